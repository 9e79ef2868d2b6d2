// SPDX-License-Identifier: GPL-3.0-or-later
// The sound module: libsndfile and Qt Multimedia behind SoundEngine. Audio is
// read and handed to the device on a thread of its own, so the UI thread
// never waits for either.
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
#include "audio/render/loop_stream.h"
#include "audio/search/loop_search.h"
#include "audio/search/refine_figures.h"
#include "core/loop_problems.h"
#include "core/ordered_work.h"
#include "core/pos_file.h"
#include "sound/audition_stream.h"
#include "sound/fades.h"
#include "sound/worker.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QMediaDevices>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace kestrin::sound {

namespace {

// Frames of a lossy file kept decoded for drawing: 3 minutes at 44.1 kHz,
// 64 MB of stereo at most; beyond them a jump back decodes again.
constexpr std::int64_t kKeptDrawingFrames = 3 * 60 * 44100;

std::filesystem::path toPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Runs `work` and gives the reason it failed, naming `audio`, or an empty
// string. Whatever it throws ends here: an exception leaving a worker thread
// or an event handler would end the program.
template <typename Work> QString failureOf(const QString& audio, Work&& work) {
    try {
        work();
        return {};
    } catch (const audio::AudioError& e) {
        return QString::fromStdString(e.what()); // names the file itself
    } catch (const std::bad_alloc&) {
        return QCoreApplication::translate("Kestrin", "%1 is too long to hold in memory.")
            .arg(QDir::toNativeSeparators(audio));
    } catch (const std::exception& e) {
        return QCoreApplication::translate("Kestrin", "%1 could not be read: %2")
            .arg(QDir::toNativeSeparators(audio), QString::fromLocal8Bit(e.what()));
    }
}

// Whether the application is still there to take results; guarded by
// g_uiMutex. The workers still busy when it ends are not waited for.
std::mutex g_uiMutex;
bool g_uiGone = false;

// Runs `work` on the UI thread, or nowhere once the application has ended:
// a job left running at exit may finish after qApp is gone.
template <typename Work> void toUi(Work&& work) {
    const std::lock_guard lock(g_uiMutex);
    if (!g_uiGone)
        QMetaObject::invokeMethod(qApp, std::forward<Work>(work));
}

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

// Feeds the sink from the loop stream, or the audition stream, in pull
// mode, on the audio thread.
class LoopDevice : public QIODevice {
public:
    LoopDevice(std::unique_ptr<audio::AudioReader> reader, const PlayRequest& request,
               std::atomic<std::int64_t>& playhead)
        : m_reader(std::move(reader)), m_playhead(playhead), m_path(request.audio),
          m_fadeFrames(fadeFrames(m_reader->info().sampleRate)) {
        if (request.audition)
            m_audition.emplace(*m_reader, request.points, request.audition);
        else
            m_loop.emplace(*m_reader, request.points, request.from, request.framesAfterJump);
    }

    // Frames of this device the sink has surely played so far.
    void setPlayedFrames(std::function<std::int64_t()> played) { m_played = std::move(played); }
    // Ends the stream with a fade over the next 5 ms of frames handed out.
    void fadeOut() { m_fadeLeft = m_fadeFrames; }
    // True once the sink has played the stream's last frame.
    bool ended() const { return streamEnded() && m_drained; }
    const QString& failure() const { return m_failure; }
    bool isSequential() const override { return true; }
    // Never says so, even once ended: Qt's PulseAudio sink, seeing its
    // source at the end when the server runs dry, drains the stream with a
    // callback on itself that closing the sink does not call off, so a sink
    // deleted before the server answers is called after it is gone. The end
    // reaches the playback as the sink's idle state all the same.
    bool atEnd() const override { return false; }
    qint64 bytesAvailable() const override {
        return (ended() ? 0 : 1 << 16) + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const int frameBytes = m_reader->bytesPerFrame();
        qint64 frames = maxSize / frameBytes;
        if (frames <= 0 || ended())
            return 0;
        if (streamEnded()) {
            // Stopping the sink drops what its buffers still hold, so it is
            // fed silence until it has played the last frame, however long
            // a busy machine takes. A sink that never says so still ends,
            // after a bound no buffer comes near.
            const std::int64_t mostSilence = 10 * std::int64_t{m_reader->info().sampleRate};
            if ((m_played && m_played() >= m_audioFrames) ||
                m_framesOut - m_audioFrames >= mostSilence) {
                m_drained = true;
                return 0;
            }
            std::memset(data, 0, static_cast<std::size_t>(frames * frameBytes));
            m_framesOut += frames;
            return frames * frameBytes;
        }
        const bool fading = m_fadeLeft > 0;
        if (fading)
            frames = std::min<qint64>(frames, m_fadeLeft);
        std::int64_t got = 0;
        m_failure = failureOf(m_path, [&] {
            got = m_audition ? m_audition->read(data, frames) : m_loop->read(data, frames);
            // A stopped playback fading out is no longer what plays.
            if (!fading)
                m_playhead.store(m_audition ? m_audition->position() : m_loop->position(),
                                 std::memory_order_relaxed);
        });
        if (!m_failure.isEmpty())
            return -1;
        if (fading) {
            applyRamp(data, m_reader->sampleType(), m_reader->info().channels, got,
                      static_cast<double>(m_fadeLeft) / static_cast<double>(m_fadeFrames),
                      -1.0 / static_cast<double>(m_fadeFrames));
            m_fadeLeft -= got;
            m_faded = m_fadeLeft <= 0 || got == 0;
        }
        m_framesOut += got;
        m_audioFrames = m_framesOut;
        return got * frameBytes;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    bool streamEnded() const {
        return m_faded || (m_audition ? m_audition->ended() : m_loop->ended());
    }

    std::unique_ptr<audio::AudioReader> m_reader;
    std::optional<audio::LoopStream> m_loop;
    std::optional<AuditionStream> m_audition;
    std::atomic<std::int64_t>& m_playhead;
    std::function<std::int64_t()> m_played;
    std::int64_t m_framesOut = 0;   // audio and silence handed to the sink
    std::int64_t m_audioFrames = 0; // of those, up to the stream's last frame
    bool m_drained = false;
    QString m_path;
    QString m_failure;
    std::int64_t m_fadeFrames;
    std::int64_t m_fadeLeft = 0; // frames of the fade still to hand out
    bool m_faded = false;
};

QAudioFormat::SampleFormat sinkFormatOf(audio::SampleType type) {
    switch (type) {
    case audio::SampleType::Int16:
        return QAudioFormat::Int16;
    case audio::SampleType::Int32:
        return QAudioFormat::Int32;
    case audio::SampleType::Float32:
        return QAudioFormat::Float;
    }
    return QAudioFormat::Int16;
}

// One playback: created, run and destroyed on the audio thread.
class Playback : public QObject {
public:
    Playback(const PlayRequest& request, std::function<void(const PlayEvent&)> report,
             std::atomic<std::int64_t>& playhead)
        : m_request(request), m_report(std::move(report)), m_playhead(playhead) {}
    ~Playback() override {
        // The sink's destructor runs this thread's pending events: whatever
        // it still reports then must not reach a playback half gone.
        if (m_sink)
            m_sink->disconnect(this);
    }

    void start() {
        std::unique_ptr<audio::AudioReader> reader;
        if (const QString failure = failureOf(
                m_request.audio,
                [&] { reader = std::make_unique<audio::AudioReader>(toPath(m_request.audio)); });
            !failure.isEmpty()) {
            fail(failure);
            return;
        }
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) {
            fail(QCoreApplication::translate("Kestrin", "No sound device or sound server found."));
            return;
        }
        QAudioFormat format;
        format.setSampleRate(reader->info().sampleRate);
        format.setChannelCount(reader->info().channels);
        format.setSampleFormat(sinkFormatOf(reader->sampleType()));
        if (!device.isFormatSupported(format)) {
            fail(QCoreApplication::translate("Kestrin",
                                             "The sound device %1 cannot play %2 channels at %3 Hz "
                                             "without converting them.")
                     .arg(device.description())
                     .arg(format.channelCount())
                     .arg(format.sampleRate()));
            return;
        }
        m_device = std::make_unique<LoopDevice>(std::move(reader), m_request, m_playhead);
        m_device->open(QIODevice::ReadOnly);
        m_sink = std::make_unique<QAudioSink>(device, format);
        // A loop keeps about 100 ms of buffer, so that an edit is heard soon.
        // A seam is a passage set at its start and listened to for its
        // jump: a gap there would pass for a fault of the loop, so it takes
        // half a second, which rides out a busy machine that 300 ms did not,
        // at the price of a Stop heard up to half a second late. (A second
        // would be safer still, but PulseAudio's null sink then plays the
        // stream's first moments and silence after them.) An audition reads
        // its points at each pass, not at each jump, so it takes the larger
        // buffer too.
        const bool seam = m_request.framesAfterJump >= 0 || m_request.audition;
        m_sink->setBufferSize(format.bytesForDuration(seam ? 500000 : 100000));
        // The server counts the silence it plays when the sink runs dry as
        // played, and drops late frames only in part, so its count can run
        // ahead of the frames heard by up to about its buffer: that much is
        // held back, or a fade would be stopped before it was heard.
        m_device->setPlayedFrames(
            [sink = m_sink.get(), rate = format.sampleRate(), frameBytes = format.bytesPerFrame()] {
                return sink->processedUSecs() * rate / 1000000 - sink->bufferSize() / frameBytes;
            });
        QObject::connect(m_sink.get(), &QAudioSink::stateChanged, this,
                         [this](QAudio::State state) { onState(state); });
        m_sink->start(m_device.get());
        if (m_sink->error() != QAudio::NoError) {
            fail(QCoreApplication::translate("Kestrin", "The sound device %1 could not be opened.")
                     .arg(device.description()));
            return;
        }
        report({PlayEvent::Started, {}});
    }

    void halt() {
        m_report = nullptr;
        m_whenStopped = nullptr;
        if (m_sink)
            m_sink->stop();
    }

    // Lets the sink play out a 5 ms fade; true when there is one to wait for,
    // false when the playback had nothing playing and is done.
    bool fadeOut() {
        m_report = nullptr;
        if (!m_sink || !m_device || m_device->ended() || m_sink->state() == QAudio::StoppedState)
            return false;
        m_device->fadeOut();
        return true;
    }
    bool done() const { return !m_sink || m_sink->state() == QAudio::StoppedState; }
    // Runs `then` on this thread, after the event that stopped the sink.
    void whenStopped(std::function<void()> then) { m_whenStopped = std::move(then); }

private:
    void onState(QAudio::State state) {
        if (state == QAudio::StoppedState && m_whenStopped)
            QMetaObject::invokeMethod(this, std::exchange(m_whenStopped, nullptr),
                                      Qt::QueuedConnection);
        if (state == QAudio::IdleState && m_device && m_device->ended()) {
            m_sink->stop();
            report({PlayEvent::Finished, {}});
        } else if (state == QAudio::IdleState && m_device) {
            // The device never runs out before the stream ends: the sink
            // ran dry because this thread or the server was kept waiting.
            // The server counts the silence it played as played, so the
            // time says where the gap began.
            const double seconds = static_cast<double>(m_sink->processedUSecs()) / 1e6;
            report({PlayEvent::Gap,
                    QCoreApplication::translate(
                        "Kestrin", "%1 broke off %2 s into playing: the machine was too busy to "
                                   "feed the sound device in time, and a moment of it was lost "
                                   "to silence. The audio itself is not at fault.")
                        .arg(QFileInfo(m_request.audio).fileName())
                        .arg(seconds, 0, 'f', 1)});
        } else if (state == QAudio::StoppedState && m_sink->error() != QAudio::NoError &&
                   m_sink->error() != QAudio::UnderrunError) {
            const QString failure = m_device ? m_device->failure() : QString();
            fail(failure.isEmpty()
                     ? QCoreApplication::translate("Kestrin", "Playback stopped: the sound device "
                                                              "reported an error.")
                     : failure);
        }
    }

    void fail(const QString& message) {
        if (m_sink)
            m_sink->stop();
        report({PlayEvent::Failed, message});
    }

    void report(const PlayEvent& event) {
        const bool ends = event.kind == PlayEvent::Finished || event.kind == PlayEvent::Failed;
        if (ends)
            m_playhead.store(-1);
        if (m_report)
            m_report(event);
        if (ends)
            m_report = nullptr;
    }

    PlayRequest m_request;
    std::function<void(const PlayEvent&)> m_report;
    std::function<void()> m_whenStopped;
    std::atomic<std::int64_t>& m_playhead;
    std::unique_ptr<LoopDevice> m_device;
    std::unique_ptr<QAudioSink> m_sink;
};

// Lets go of a playback: silences it now and deletes it from the audio
// thread's event loop. Qt's PulseAudio sink runs that thread's pending events
// inside its destructor, so a sink deleted from within the engine's own work
// (walking m_fading, replacing m_current) would run the next queued stop()
// or play() in the middle of it, on a half-destroyed playback still held
// there. Deleted later, it has left the engine's hands before its sink goes.
struct ReleasePlayback {
    void operator()(Playback* playback) const {
        playback->halt();
        playback->deleteLater();
    }
};
using PlaybackPtr = std::unique_ptr<Playback, ReleasePlayback>;

class Engine final : public SoundEngine {
public:
    Engine() {
        m_thread.setObjectName(QStringLiteral("kestrin-audio"));
        m_thread.start();
        m_context.moveToThread(&m_thread);
    }
    ~Engine() override { letGo(QDeadlineTimer::Forever); }

    // Silences every playback and ends the audio thread, waiting for it
    // until `deadline`; false if the thread is still running then. The
    // sinks belong to that thread and are torn down there: the playbacks
    // are deleted as it finishes.
    bool letGo(QDeadlineTimer deadline) {
        if (!m_letGo) {
            m_letGo = true;
            ++m_generation;
            QMetaObject::invokeMethod(&m_context, [this] {
                m_current.reset();
                m_fading.clear();
                m_thread.quit();
            });
        }
        return m_thread.wait(deadline);
    }

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
        stop();
        const int generation = ++m_generation;
        m_playing = true;
        // Events cross back to the UI thread and are dropped once a newer
        // playback or a stop has replaced this one.
        auto report = [this, generation, onEvent = std::move(onEvent)](const PlayEvent& event) {
            toUi([this, generation, onEvent, event] {
                if (generation != m_generation)
                    return;
                if (event.kind != PlayEvent::Started)
                    m_playing = false;
                onEvent(event);
            });
        };
        QMetaObject::invokeMethod(&m_context, [this, request, report] {
            m_current.reset(new Playback(request, report, m_playhead));
            m_current->start();
        });
    }

    void stop() override {
        ++m_generation;
        m_playing = false;
        m_playhead.store(-1);
        QMetaObject::invokeMethod(&m_context, [this] {
            // Playbacks whose fade has played out are let go.
            letGoOfFaded();
            if (m_current && m_current->fadeOut()) {
                // Once faded out it holds a stream to the server for
                // nothing: it goes then, not at the next stop.
                m_current->whenStopped([this] { letGoOfFaded(); });
                m_fading.push_back(std::move(m_current));
            }
            m_current.reset();
        });
    }

    bool isPlaying() const override { return m_playing; }
    std::int64_t playhead() const override { return m_playhead.load(); }

    // Deletes the playbacks whose fade has played out; audio thread only.
    void letGoOfFaded() {
        std::erase_if(m_fading, [](const PlaybackPtr& p) { return p->done(); });
    }

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

    QThread m_thread;
    QObject m_context;     // lives on m_thread; playbacks run in its event loop
    PlaybackPtr m_current; // touched on m_thread only
    // Stopped playbacks playing out their fade; m_thread only.
    std::vector<PlaybackPtr> m_fading;
    std::atomic<std::int64_t> m_playhead{-1};
    int m_generation = 0; // UI thread only
    bool m_playing = false;
    bool m_letGo = false; // UI thread only
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
