// SPDX-License-Identifier: GPL-3.0-or-later
// The editor's sound: companion audio, playback, and what else needs the
// audio libraries. It lives in a module loaded on first use, so that
// libsndfile and Qt Multimedia never weigh on the editor's start.
#pragma once

#include "audio/peaks/peaks.h"
#include "core/loop_points.h"
#include "core/seam_figures.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestrin::sound {

// The audio found beside a POS file and what its header says.
struct CompanionAudio {
    QString path;
    bool exactName = false; // false: found only by ignoring case
    QString expectedName;   // the file name players look for
    int sampleRate = 0;
    std::int64_t frames = 0; // those the file holds, whatever its header claims
    int channels = 0;
    QString lengthProblem; // "the file claims N frames but holds M", or empty
    // The loop the file's own smpl chunk (or AIFF instrument) holds, in its frames.
    std::optional<LoopPoints> embeddedLoop;
};

// The spans of a seam audition, in frames.
struct AuditionSpan {
    std::int64_t before = 0; // played up to the stop
    std::int64_t after = 0;  // played from the start, at most up to the stop
    std::int64_t gap = 0;    // silence after each pass
};

// What to play: from `from` up to stop, then from start onward; ends
// `framesAfterJump` frames after the first jump, or never when negative.
struct PlayRequest {
    QString audio;
    std::int64_t from = 0;
    std::int64_t framesAfterJump = -1;
    // Called on the audio thread at the start and at every jump: must be
    // thread-safe and must not block.
    std::function<LoopPoints()> points;
    // When set, plays seam auditions instead, until stopped: passes of the
    // span's frames before the stop then after the start, each followed by
    // its gap of silence; points and span are asked for at the start of each
    // pass (on the audio thread, like `points`). Each pass fades in over its
    // first 5 ms and out over its last 5 ms; the seam itself is untouched.
    std::function<AuditionSpan()> audition;
};

// How playback started, ended or failed, delivered on the UI thread. A Gap
// is reported while playing goes on: the device ran dry (on a machine too
// busy to feed it in time), so a moment of silence was heard in place of
// some frames, and what was heard there is not what the audio holds.
struct PlayEvent {
    enum Kind { Started, Finished, Failed, Gap } kind = Started;
    QString message; // for Failed and Gap: what happened, naming the file or device
};

// Interleaved frames of a file as floats in -1..1.
struct FrameWindow {
    std::int64_t from = 0; // the first frame
    int channels = 0;
    std::vector<float> samples; // frames() * channels values

    std::int64_t frames() const {
        return channels > 0 ? static_cast<std::int64_t>(samples.size()) / channels : 0;
    }
};

// The outcome of summarising a file: the peaks, or an error naming the file.
struct SummaryResult {
    std::shared_ptr<const audio::Peaks> peaks;
    QString error;
};

// The outcome of a loop search: candidates best first (empty when nothing
// repeats), or an error naming the file.
struct LoopSearchResult {
    std::vector<LoopCandidate> candidates;
    QString error;
};

// The outcome of measuring a seam: its figures, or an error naming the file;
// neither for positions that make no loop within the audio.
struct SeamResult {
    std::optional<SeamFigures> figures;
    QString error;
};

// What check would say of one POS file, in a word: "seamless", "soft" or
// "click" for a loop's seam, "no audio" when none lies beside it, "a problem"
// when the file, its positions or its audio are wrong; `detail` says more in
// check's words.
struct TrackVerdict {
    QString word;
    QString detail;
};

// What to crossfade: the seam of (start, stop) in `audio`, over `frames`
// frames, or over the shortest length after which the seam judge calls the
// seam seamless when `frames` is nullopt (audio::ChooseCrossfade); written
// into `target`, a new file. With `keepOriginal`, `target` is `audio`
// itself, replaced only after the original was kept under `keepOriginal`
// (a name that must not exist yet).
struct CrossfadeRequest {
    QString audio;
    std::int64_t start = 0;
    std::int64_t stop = 0;
    std::optional<std::int64_t> frames;
    QString target;
    QString keepOriginal;
};

// The outcome of a crossfade: its length, curve and the verdict on the seam
// of the file written, or an error naming the file (nothing then written).
struct CrossfadeResult {
    std::int64_t frames = 0;
    bool equalPower = false;
    double correlation = 0; // in the hundredths shown, on the side of the curve chosen
    SeamFigures figures;
    QString error;
};

// Implemented by the sound module. Every call is made on the UI thread and
// returns without waiting for the device. None waits for the disk beyond a
// header: audio is read on the engine's own threads.
class SoundEngine {
public:
    virtual ~SoundEngine() = default;

    // The audio beside `posFile`: the name players look for first, then any
    // name equal to it when case is ignored. nullopt with `error` set when
    // there is none or its header cannot be read.
    virtual std::optional<CompanionAudio> findCompanion(const QString& posFile, QString* error) = 0;

    // Starts playing `request`, stopping whatever played before. `onEvent`
    // runs on the UI thread for each event of this playback.
    virtual void play(const PlayRequest& request,
                      std::function<void(const PlayEvent&)> onEvent) = 0;
    // Stops playing, fading out over 5 ms from the next frame not yet handed
    // to the device rather than cutting; nothing more is reported for the
    // stopped playback.
    virtual void stop() = 0;
    virtual bool isPlaying() const = 0;
    // The file frame most recently handed to the device, or -1 when idle.
    virtual std::int64_t playhead() const = 0;

    // Summarises `audio` for drawing on a worker thread. `onProgress` (the
    // fraction read, 0..1) and finally `onDone` run on the UI thread. A new
    // call abandons the one before, which reports nothing more.
    virtual void summarize(const QString& audio, std::function<void(double)> onProgress,
                           std::function<void(const SummaryResult&)> onDone) = 0;
    // Reads up to `count` frames of `audio` from frame `from` on a thread of
    // its own, for frames to draw or search near the seam: a few thousand
    // when snapping, up to 2 Mi when the seam view is zoomed out just short
    // of its peaks (about 16 MB of stereo floats). The first read far into a
    // lossy file decodes everything before it (its first three minutes are
    // kept for the reads after), which takes seconds on a long Ogg: hence
    // never on the UI thread. `onDone` runs on the UI thread with the frames
    // (those outside the audio left out) and an empty error, or no frames and
    // an error naming the file. Requests are served in the order made and
    // none is abandoned, so callers keep few in flight.
    virtual void readFrames(const QString& audio, std::int64_t from, std::int64_t count,
                            std::function<void(const FrameWindow&, const QString&)> onDone) = 0;

    // Searches the whole of `audio` for seamless loops on a worker thread
    // (audio::FindAnyLoops: exact loops, else musical ones), or with `near`
    // only within two seconds of its start and stop. `onProgress` (0..1)
    // and finally `onDone` run on the UI thread. A new call or
    // cancelFindLoops() abandons the search before, which stops at its next
    // step and reports nothing more.
    virtual void findLoops(const QString& audio, std::function<void(double)> onProgress,
                           std::function<void(const LoopSearchResult&)> onDone,
                           std::optional<LoopPoints> near = std::nullopt) = 0;
    virtual void cancelFindLoops() = 0;

    // Measures the seam of the loop (start, stop) in `audio` on a worker
    // thread, reading only the frames around it, with the nearest seamless
    // stop within a second; `onDone` runs on the UI thread. Needs
    // 0 <= start < stop <= frames. A new call abandons the one before.
    virtual void measureSeam(const QString& audio, std::int64_t start, std::int64_t stop,
                             std::function<void(const SeamResult&)> onDone) = 0;

    // Judges `posFiles` side by side off the UI thread (as check -j does, one
    // per core), reading only the frames around each seam; `onEach` runs on
    // the UI thread for each verdict, in the order of `posFiles`. A new call
    // abandons the one before, which starts no more files and reports
    // nothing more.
    virtual void judgeTracks(const QStringList& posFiles,
                             std::function<void(const QString&, const TrackVerdict&)> onEach) = 0;
    // Carries out `request` on a worker thread (see CrossfadeRequest);
    // `onDone` runs on the UI thread. A new call abandons the one before,
    // which reports nothing more (a file it was writing is still completed
    // or not written at all).
    virtual void crossfadeSeam(const CrossfadeRequest& request,
                               std::function<void(const CrossfadeResult&)> onDone) = 0;
};

// Loads the sound module on first call and returns its engine, or nullptr
// with `error` set when the module cannot be loaded or belongs to another
// build. The module is looked for in $KESTRIN_SOUND_MODULE, then in
// ../lib/kestrin beside the program.
SoundEngine* LoadSoundEngine(QString* error);

} // namespace kestrin::sound

// The module exports two symbols: "kestrin_sound_interface", the id of the
// interface it was built for, and "kestrin_sound_engine", the engine. The
// loader makes the engine only when the ids match.
using KestrinSoundInterface = const char* (*)();
using KestrinSoundEngineFactory = kestrin::sound::SoundEngine* (*)();
