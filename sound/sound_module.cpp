// SPDX-License-Identifier: GPL-3.0-or-later
// The sound module: libsndfile and Qt Multimedia behind SoundEngine. Its
// engine plays through a Player (sound/playback.h) and holds the
// background analysis here: companion audio, summaries, frames for
// drawing, loop searches, seam measures, folders of verdicts and
// crossfades, each kind on a Worker thread of its own.
//
// Threads: the UI thread calls every SoundEngine function; the jobs run on
// the workers (a folder's verdicts also on RunInOrder's threads) and hand
// their progress and results back to the UI thread through toUi().
#include "sound/sound_engine.h"

#include "audio/exact/loop_finder.h"
#include "audio/judge/seam_measure.h"
#include "audio/musical/musical_loops.h"
#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "audio/read/in_place.h"
#include "audio/read/peak_scan.h"
#include "audio/render/crossfade.h"
#include "audio/render/loop_interchange.h"
#include "audio/search/loop_search.h"
#include "audio/search/refine_figures.h"
#include "core/loop_problems.h"
#include "core/ordered_work.h"
#include "core/pos_file.h"
#include "sound/playback.h"
#include "sound/to_ui.h"
#include "sound/worker.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace kestrin::sound {

namespace {

// Frames of a lossy file kept decoded for drawing: 3 minutes at 44.1 kHz,
// 64 MB of stereo at most; beyond them a jump back decodes again.
constexpr std::int64_t kKeptDrawingFrames = 3 * 60 * 44100;

// Hands each new whole percent of background work to `onProgress` on the UI
// thread while the work is `current`; called, says whether it still is.
class PercentReporter {
public:
    PercentReporter(std::function<bool()> current, std::function<void(double)> onProgress)
        : m_current(std::move(current)), m_onProgress(std::move(onProgress)) {}

    bool operator()(int percent) {
        if (percent != m_last) {
            m_last = percent;
            toUi([current = m_current, onProgress = m_onProgress, percent] {
                if (current())
                    onProgress(percent / 100.0);
            });
        }
        return m_current();
    }

private:
    std::function<bool()> m_current;
    std::function<void(double)> m_onProgress;
    int m_last = -1;
};

// Hands `result` to `onDone` on the UI thread unless the work was abandoned.
template <typename Result>
void deliver(const std::function<bool()>& current, const std::function<void(const Result&)>& onDone,
             const Result& result) {
    toUi([current, onDone, result] {
        if (current())
            onDone(result);
    });
}

class Engine final : public SoundEngine {
public:
    // As the playback side ends: silences every playback and ends the
    // audio thread, waiting until `deadline`; see Player::letGo.
    bool letGo(QDeadlineTimer deadline) { return m_player.letGo(deadline); }

    // Ends the workers as the application ends: a crossfade being written
    // (the user asked for that file) is waited for; searches, summaries,
    // reads and verdicts that no one will see are abandoned and not waited
    // for, so a long step of a search never holds the closing. True when
    // every worker has ended, and the engine may be deleted.
    bool finishWork() {
        const auto abandonable = {&m_trackWorker, &m_finderWorker, &m_seamWorker, &m_summaryWorker,
                                  &m_frameWorker};
        for (Worker* worker : abandonable)
            worker->finish(QDeadlineTimer(0));
        bool ended = m_crossfadeWorker.finish(QDeadlineTimer::Forever);
        for (Worker* worker : abandonable)
            ended = worker->finish(QDeadlineTimer(0)) && ended;
        return ended;
    }

    std::optional<CompanionAudio> findCompanion(const QString& posFile, QString* error) override {
        const auto companion = audio::FindCompanionAudio(toPath(posFile));
        if (!companion) {
            if (error)
                *error = QCoreApplication::translate("Kestrin", "no audio file beside %1")
                             .arg(QFileInfo(posFile).fileName());
            return std::nullopt;
        }
        const QString path = QFile::decodeName(companion->path.c_str());
        audio::AudioInfo info;
        QString lengthProblem;
        std::optional<LoopPoints> embedded;
        const auto inspect = [&] {
            const audio::AudioReader reader(companion->path);
            info = reader.info();
            if (const auto problem = reader.lengthProblem())
                lengthProblem = QString::fromStdString(*problem);
            if (const auto loop = audio::ReadInstrumentLoop(companion->path))
                embedded = LoopPoints{loop->start, loop->stop};
        };
        if (const QString failure = failureOf(path, inspect); !failure.isEmpty()) {
            if (error)
                *error = failure;
            return std::nullopt;
        }
        return CompanionAudio{
            path,
            companion->exactName,
            QFile::decodeName(audio::ExpectedAudioName(toPath(posFile)).filename().c_str()),
            info.sampleRate,
            info.frames,
            info.channels,
            lengthProblem,
            embedded};
    }

    void play(const PlayRequest& request, std::function<void(const PlayEvent&)> onEvent) override {
        m_player.play(request, std::move(onEvent));
    }
    void stop() override { m_player.stop(); }
    bool isPlaying() const override { return m_player.isPlaying(); }
    std::int64_t playhead() const override { return m_player.playhead(); }

    void summarize(const QString& audio, std::function<void(double)> onProgress,
                   std::function<void(const SummaryResult&)> onDone) override {
        // A file opened again may have changed on disk: read it afresh.
        m_frameWorker.queue([this] { m_frameReader.reset(); });
        m_summaryWorker.post([audio, onProgress, onDone](const Worker::Current& current) {
            SummaryResult result;
            bool abandoned = false;
            result.error = failureOf(audio, [&] {
                audio::AudioReader reader(toPath(audio));
                PercentReporter report(current, onProgress);
                auto peaks = audio::ScanPeaks(reader, [&](std::int64_t done, std::int64_t total) {
                    return report(total > 0 ? static_cast<int>(done * 100 / total) : 100);
                });
                abandoned = !peaks;
                if (peaks)
                    result.peaks = std::make_shared<const audio::Peaks>(std::move(*peaks));
            });
            if (!abandoned)
                deliver(current, onDone, result);
        });
    }

    void readFrames(const QString& audio, std::int64_t from, std::int64_t count,
                    std::function<void(const FrameWindow&, const QString&)> onDone) override {
        m_frameWorker.queue([this, audio, from, count, onDone] {
            FrameWindow window;
            const QString failure = failureOf(audio, [&] {
                if (!m_frameReader || m_framePath != audio) {
                    m_frameReader.reset();
                    m_frameReader = std::make_unique<audio::AudioReader>(toPath(audio));
                    // A lossy file is drawn from what was decoded up to the
                    // furthest window, not decoded again at every jump back.
                    m_frameReader->keepDecoded(kKeptDrawingFrames);
                    m_framePath = audio;
                }
                const std::int64_t frames = m_frameReader->info().frames;
                const std::int64_t first = std::clamp<std::int64_t>(from, 0, frames);
                const std::int64_t last =
                    std::clamp<std::int64_t>(from + std::max<std::int64_t>(count, 0), 0, frames);
                window.from = first;
                window.channels = m_frameReader->info().channels;
                window.samples.resize(static_cast<std::size_t>((last - first) * window.channels));
                const std::int64_t got =
                    m_frameReader->readFloat(first, last - first, window.samples.data());
                window.samples.resize(static_cast<std::size_t>(got * window.channels));
            });
            if (!failure.isEmpty()) {
                m_frameReader.reset();
                window.samples.clear();
            }
            toUi([onDone, window = std::move(window), failure] { onDone(window, failure); });
        });
    }

    void findLoops(const QString& audio, std::function<void(double)> onProgress,
                   std::function<void(const LoopSearchResult&)> onDone,
                   std::optional<LoopPoints> near) override {
        m_finderWorker.post([audio, onProgress, onDone, near](const Worker::Current& current) {
            LoopSearchResult result;
            bool cancelled = false;
            result.error = failureOf(audio, [&] {
                PercentReporter report(current, onProgress);
                // Through the reader, as kestrin-pos find searches: the exact
                // search reads the file in windows and the musical one keeps
                // only its frames' features, so memory stays bounded for any
                // length.
                audio::AudioReader reader(toPath(audio));
                const auto percent = [&report](double fraction) {
                    return report(static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100));
                };
                // A Refine shows the figures Find gives the same loops.
                const audio::LoopSearch search =
                    near ? audio::RefineLoops(reader, {}, *near, percent)
                         : audio::FindAnyLoops(reader, {}, {}, percent);
                cancelled = search.cancelled;
                result.candidates = search.candidates;
            });
            if (!cancelled)
                deliver(current, onDone, result);
        });
    }

    void cancelFindLoops() override { m_finderWorker.abandon(); }

    void measureSeam(const QString& audio, std::int64_t start, std::int64_t stop,
                     std::function<void(const SeamResult&)> onDone) override {
        m_seamWorker.post([audio, start, stop, onDone](const Worker::Current& current) {
            SeamResult result;
            result.error = failureOf(audio, [&] {
                audio::AudioReader reader(toPath(audio));
                result.figures = audio::MeasureSeam(reader, start, stop);
            });
            deliver(current, onDone, result);
        });
    }

    void judgeTracks(const QStringList& posFiles,
                     std::function<void(const QString&, const TrackVerdict&)> onEach) override {
        m_trackWorker.post([posFiles, onEach](const Worker::Current& current) {
            // Side by side as check -j judges; a judge reads only the frames
            // around its seam, so memory sets no bound. This thread hands
            // the verdicts on in the list's order.
            std::vector<TrackVerdict> verdicts(static_cast<std::size_t>(posFiles.size()));
            const OrderedWork plan{verdicts.size(),
                                   std::max(1U, std::thread::hardware_concurrency()),
                                   {},
                                   0,
                                   [&current] { return !current(); }};
            RunInOrder(
                plan,
                [&](std::size_t i) {
                    verdicts[i] = judgeTrack(posFiles[static_cast<qsizetype>(i)]);
                },
                [&](std::size_t i) {
                    toUi([current, onEach, file = posFiles[static_cast<qsizetype>(i)],
                          verdict = verdicts[i]] {
                        if (current())
                            onEach(file, verdict);
                    });
                });
        });
    }

    void crossfadeSeam(const CrossfadeRequest& request,
                       std::function<void(const CrossfadeResult&)> onDone) override {
        m_crossfadeWorker.post([request, onDone](const Worker::Current& current) {
            CrossfadeResult result;
            result.error = failureOf(request.audio, [&] { crossfade(request, result); });
            deliver(current, onDone, result);
        });
    }

private:
    static void crossfade(const CrossfadeRequest& request, CrossfadeResult& result) {
        const std::filesystem::path source = toPath(request.audio);
        audio::AudioReader reader(source);
        if (const auto damage = reader.lengthProblem())
            throw audio::AudioError(*damage + ": not crossfaded");
        audio::ReaderSource frames(reader);
        std::optional<audio::CrossfadeChoice> choice;
        if (request.frames) {
            if (const auto problem =
                    audio::CrossfadeProblem(request.start, request.stop, *request.frames,
                                            reader.info().frames, reader.info().sampleRate))
                throw audio::AudioError("cannot crossfade " + source.string() + ": " + *problem);
            choice = audio::MeasureCrossfade(frames, request.start, request.stop, *request.frames);
        } else {
            choice = audio::ChooseCrossfade(frames, request.start, request.stop,
                                            reader.info().sampleRate);
            if (!choice)
                throw audio::AudioError("no crossfade the loop of " + source.string() +
                                        " has room for makes its seam seamless");
        }
        result.frames = choice->fade.frames;
        result.equalPower = choice->fade.curve == audio::CrossfadeCurve::EqualPower;
        result.correlation = audio::ShownCorrelation(choice->correlation);
        result.figures = choice->figures;
        if (request.keepOriginal.isEmpty()) {
            audio::WriteCrossfaded(source, toPath(request.target), choice->fade, false);
            return;
        }
        const std::filesystem::path kept = toPath(request.keepOriginal);
        audio::KeepOriginal(source, kept);
        try {
            audio::WriteCrossfaded(kept, source, choice->fade, true, {},
                                   audio::CrossfadeOutput::AsTheSource);
        } catch (...) {
            std::error_code ec;
            std::filesystem::remove(kept, ec);
            throw;
        }
    }

    static TrackVerdict judgeTrack(const QString& file) {
        const auto problem = [](const std::string& text) {
            return TrackVerdict{QStringLiteral("a problem"), QString::fromStdString(text)};
        };
        PosFileInfo pos;
        try {
            pos = InspectPosFile(toPath(file));
        } catch (const PosFileError& e) {
            return problem(e.what());
        }
        if (pos.size != 8)
            return problem("the file is " + std::to_string(pos.size) +
                           " bytes long, not 8: players refuse it");
        if (const auto problems = PositionProblems(pos.values); !problems.empty())
            return problem(problems.front());
        const auto companion = audio::FindCompanionAudio(toPath(file));
        if (!companion)
            return {QStringLiteral("no audio"),
                    QString::fromStdString(NoAudioProblem(
                        "it", audio::ExpectedAudioName(toPath(file)).filename().string()))};
        TrackVerdict verdict;
        const QString audioPath = QFile::decodeName(companion->path.c_str());
        const QString failure = failureOf(audioPath, [&] {
            audio::AudioReader reader(companion->path);
            if (const auto beyond = StopBeyondAudioProblem(pos.values.stop, reader.info().frames)) {
                verdict = problem(*beyond);
                return;
            }
            const auto seam = audio::MeasureSeam(reader, pos.values.start, pos.values.stop, false);
            if (!seam) {
                verdict = problem("the loop's frames cannot be read");
                return;
            }
            verdict = {QString::fromLatin1(SeamSoundWord(seam->sound)),
                       QString::fromStdString(SeamVerdict(*seam))};
        });
        return failure.isEmpty() ? verdict : TrackVerdict{QStringLiteral("a problem"), failure};
    }

    // Whole folders of tracks, judged one after another.
    Worker m_trackWorker{QStringLiteral("kestrin-tracks")};
    // An abandoned search stops at its next progress report.
    Worker m_finderWorker{QStringLiteral("kestrin-finder")};
    // Apart from long searches and summaries, so a seam is measured at once.
    Worker m_seamWorker{QStringLiteral("kestrin-seam")};
    // Crossfades of a seam, written off the UI thread.
    Worker m_crossfadeWorker{QStringLiteral("kestrin-crossfade")};
    // An abandoned summary stops at its next block.
    Worker m_summaryWorker{QStringLiteral("kestrin-peaks")};
    // Frames read for drawing and snapping, through a reader kept open; the
    // reader is touched on m_frameWorker's thread only, and outlives it.
    std::unique_ptr<audio::AudioReader> m_frameReader;
    QString m_framePath;
    Worker m_frameWorker{QStringLiteral("kestrin-frames")};

    // Declared last, so that its audio thread ends before the workers go.
    Player m_player;
};

} // namespace

} // namespace kestrin::sound

namespace {
kestrin::sound::Engine* g_engine = nullptr;
}

extern "C" Q_DECL_EXPORT const char* kestrin_sound_interface() {
    return KESTRIN_SOUND_INTERFACE;
}

// One engine per application, ended with it: the audio thread must stop
// while Qt is still there, and nothing is handed to the UI thread after.
// Qt's PulseAudio backend can keep its own lock for ever after a write fails
// on a connection the server dropped, and its audio thread then never ends:
// quitting must not wait for it without end. Such an engine is left to the
// process's exit.
extern "C" Q_DECL_EXPORT kestrin::sound::SoundEngine* kestrin_sound_engine() {
    if (!g_engine) {
        g_engine = new kestrin::sound::Engine;
        {
            const std::lock_guard lock(kestrin::sound::g_uiMutex);
            kestrin::sound::g_uiGone = false;
        }
        qAddPostRoutine([] {
            {
                const std::lock_guard lock(kestrin::sound::g_uiMutex);
                kestrin::sound::g_uiGone = true;
            }
            constexpr int kLongestRelease = 10000; // ms; a sink lets go in far less
            const bool released = g_engine->letGo(QDeadlineTimer(kLongestRelease));
            if (!released)
                qWarning("kestrin: the sound system did not let go of its output within %d s; "
                         "quitting without it",
                         kLongestRelease / 1000);
            // Workers still in a step of abandoned work end with the process.
            if (g_engine->finishWork() && released)
                delete g_engine;
            g_engine = nullptr;
        });
    }
    return g_engine;
}
