// SPDX-License-Identifier: GPL-3.0-or-later
// The exact finder's steps (see loop_finder.h), one file each in step order:
// exact_copies.cpp compares two copies, exact_coarse_lags.cpp holds steps 1
// and 2, exact_lags.cpp steps 3 and 4, exact_follower.h steps 5 to 7 (a
// file each) and exact_follow_lags.cpp step 8, exact_ranking.cpp steps 9
// and 10; loop_finder.cpp runs them. Private to those files.
#pragma once

#include "audio/dsp/copy_sums.h"
#include "audio/dsp/fft.h"
#include "audio/exact/loop_finder.h"
#include "audio/judge/seam_judge.h"
#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "audio/read/frames.h"
#include "core/positions.h"

#include <sndfile.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace kestrin::audio::exact {

// Figures more than one step uses.
// Step 3.
// Residual: above it, no repetition (also the most a block of step 5 may match by).
constexpr double kSeedLimit = 0.1;
// Residuals within this factor of the best tie.
constexpr double kTieFactor = 2.0;
// The residual of bit-exact copies, at most.
constexpr double kExactResidual = 1e-9;
// Step 9.
// Less is chance, not a loop.
constexpr double kMinRepeatedSeconds = 0.9;

// Sums over the frame pairs (t, t + lag) are PairSums (audio/dsp/copy_sums.h):
// a is frame t, b frame t + lag.

// Thrown from deep inside the search once its caller cancelled it.
struct SearchCancelled {};

// Windows read between two questions whether to go on: a window is at most
// a block or two of work, so the search stops within a millisecond or so.
constexpr std::uint32_t kPollEvery = 4;

// Frames read back from the audio by the steps that work on raw frames,
// where the track is not held whole.
constexpr std::int64_t kWindowFrames = std::int64_t{1} << 16;
// Frames read for a look away from the window: a block of step 5 and then some.
constexpr std::int64_t kGlanceFrames = std::int64_t{1} << 12;

// Asks the system to back [data, data + bytes) with large pages where it
// can: a one-minute track held in small pages takes some 5,000 page faults,
// a third of the time the pass over it takes.
inline void askForLargePages(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kLargePage = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t from = (begin + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t to = (begin + bytes) & ~(kLargePage - 1);
    if (from < to)
        ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// The audio the search works on: a track decoded whole, or a file read
// through once and then held, or, when too long for that, read back in
// windows where a step needs its frames.
// Thread rule: one thread's. Reading moves its windows, its reading cursor
// and its watcher, so the steps take it by non-const reference; parallelFor
// hands each thread a Track of its own over the same frames, which once held
// whole (heldWhole()) are const and shared by all of them.
class Track {
public:
    // The side a window is for: the earlier copy of a pair, the later one.
    enum Side { Earlier = 0, Later = 1 };

    explicit Track(const AudioSamples& audio)
        : sampleRate(audio.sampleRate), channels(audio.channels), lossy(audio.lossy),
          m_audio(&audio), m_frames(audio.frames()), m_source(*this) {}

    // `frames` as counted while reading the file through. A file of at most
    // `mostHeld` samples is held in memory as the pass reads it: the steps
    // after it read every repeat again, once per lag, and converting the
    // same frames from the file each time costs more than comparing them.
    Track(AudioReader& reader, std::int64_t frames, std::int64_t mostHeld)
        : sampleRate(reader.info().sampleRate), channels(reader.info().channels),
          lossy(InexactEncodingOf(reader.info().format).has_value()), m_reader(&reader),
          m_frames(frames), m_source(*this) {
        if (frames > 0 && channels > 0 && frames <= mostHeld / channels) {
            m_held.sampleRate = sampleRate;
            m_held.channels = channels;
            m_held.lossy = lossy;
            m_held.samples.reserve(static_cast<std::size_t>(frames * channels));
            askForLargePages(m_held.samples.data(), m_held.samples.capacity() * sizeof(float));
            m_holding = true;
        }
    }
    // m_audio may point into the track itself.
    Track(const Track&) = delete;
    Track& operator=(const Track&) = delete;

    int sampleRate = 0;
    int channels = 0;
    bool lossy = false;

    std::int64_t frames() const { return m_frames; }
    // Whether the pass over the track decodes a lossy file, the longest step.
    bool decodedInPass() const { return m_reader && lossy; }

    // Asks `goOn` from time to time, at least every kPollEvery windows,
    // whether to go on; poll() throws SearchCancelled once it says no.
    void watch(std::function<bool()> goOn) { m_goOn = std::move(goOn); }

    // Throws SearchCancelled when the search is to stop. Cheap: asks only
    // every kPollEvery calls.
    void poll() {
        if (m_goOn && ++m_polls % kPollEvery == 0 && !m_goOn())
            throw SearchCancelled();
    }

    // Frames [t0, t1) as interleaved floats, valid until the next call for
    // the same side. Frames outside the audio read as silence. A file read
    // in order from its start is held as it is read, where it fits.
    const float* window(Side side, std::int64_t t0, std::int64_t t1) {
        poll();
        const auto ch = static_cast<std::size_t>(channels);
        if (m_holding && t0 == heldFrames() && t0 < t1 && t1 <= m_frames) {
            if (const float* held = holdOn(t0, t1))
                return held;
        }
        if (m_audio) {
            if (t0 >= 0 && t1 <= m_frames)
                return m_audio->samples.data() + static_cast<std::size_t>(t0) * ch;
            return padded(side, t0, t1);
        }
        Window& w = m_windows[side];
        if (t0 >= w.begin && t1 <= w.end)
            return w.samples.data() + static_cast<std::size_t>(t0 - w.begin) * ch;
        // A walk reads on from its window, a whole window at a time; a look
        // elsewhere (a block spread over the track) reads what it asks for,
        // not the 64k frames around it.
        const bool walking = t1 >= w.begin - kWindowFrames && t0 <= w.end + kWindowFrames;
        const std::int64_t size = std::max(walking ? kWindowFrames : kGlanceFrames, t1 - t0);
        // Backwards walks fill the window up to the frames asked for.
        std::int64_t from = t0 < w.begin ? t1 - size : t0;
        from = std::max<std::int64_t>(0, std::min(from, m_frames - size));
        from = std::min(from, t0);
        w.samples.resize(static_cast<std::size_t>(size) * ch);
        std::int64_t got = 0;
        if (from >= 0 && from < m_frames)
            got = std::max<std::int64_t>(
                0, readFloats(from, std::min(size, m_frames - from), w.samples.data()));
        // What is not there reads as silence.
        std::fill(w.samples.begin() + static_cast<std::ptrdiff_t>(got) * channels, w.samples.end(),
                  0.0F);
        w.begin = from;
        w.end = from + size;
        return w.samples.data() + static_cast<std::size_t>(t0 - w.begin) * ch;
    }

    // The same frames for the seam verdict.
    FrameSource& source() { return m_source; }

    // The frames, once the track is held whole in memory; null before.
    const AudioSamples* heldWhole() const { return m_audio; }

private:
    // The frames of the track for the judge: from memory where it is held,
    // else from the file, [0, frames()) only.
    class Source final : public FrameSource {
    public:
        explicit Source(Track& track) : m_track(track) {}
        std::int64_t frames() const override { return m_track.m_frames; }
        int channels() const override { return m_track.channels; }
        int sampleRate() const override {
            return m_track.sampleRate > 0 ? m_track.sampleRate : SamplesPerSecond;
        }
        std::int64_t append(std::int64_t from, std::int64_t to, std::vector<float>& out) override {
            if (!m_track.m_audio)
                return AppendFrames(*m_track.m_reader, from, to, m_track.m_frames, out);
            from = std::max<std::int64_t>(0, from);
            to = std::min(to, m_track.m_frames);
            if (to <= from)
                return 0;
            const auto ch = static_cast<std::ptrdiff_t>(m_track.channels);
            const auto begin = m_track.m_audio->samples.begin();
            out.insert(out.end(), begin + from * ch, begin + to * ch);
            return to - from;
        }

    private:
        Track& m_track;
    };

    std::int64_t heldFrames() const {
        return static_cast<std::int64_t>(m_held.samples.size()) / channels;
    }

    // Reads frames [t0, t1), which follow those held, onto the held ones;
    // once every frame is held the track is served from memory. A file that
    // gives fewer frames than counted is not held at all: it is read back
    // as before, where what is missing reads as silence.
    const float* holdOn(std::int64_t t0, std::int64_t t1) {
        const auto ch = static_cast<std::size_t>(channels);
        const std::size_t old = m_held.samples.size();
        m_held.samples.resize(old + static_cast<std::size_t>(t1 - t0) * ch);
        const std::int64_t got = readFloats(t0, t1 - t0, m_held.samples.data() + old);
        if (got != t1 - t0) {
            m_holding = false;
            m_held.samples = {};
            return nullptr;
        }
        if (t1 == m_frames) {
            m_holding = false;
            m_audio = &m_held;
        }
        return m_held.samples.data() + old;
    }

    // Frames [t0, t1) of a track held whole, silence outside it.
    const float* padded(Side side, std::int64_t t0, std::int64_t t1) {
        const auto ch = static_cast<std::size_t>(channels);
        Window& w = m_windows[side];
        w.samples.assign(static_cast<std::size_t>(std::max<std::int64_t>(0, t1 - t0)) * ch, 0.0F);
        const std::int64_t from = std::max<std::int64_t>(0, t0);
        const std::int64_t to = std::min(t1, m_frames);
        if (from < to)
            std::copy(m_audio->samples.begin() + static_cast<std::ptrdiff_t>(from) * channels,
                      m_audio->samples.begin() + static_cast<std::ptrdiff_t>(to) * channels,
                      w.samples.begin() + static_cast<std::ptrdiff_t>(from - t0) * channels);
        // Not a window of the file: the next read there reads it afresh.
        w.begin = w.end = 0;
        return w.samples.data();
    }

    // The reader's readFloat(), faster for 16-bit PCM: read as it is stored
    // and scaled here by 2^-15, as libsndfile scales it, in a loop that
    // vectorises.
    std::int64_t readFloats(std::int64_t from, std::int64_t count, float* out) {
        if ((m_reader->info().format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16 ||
            m_reader->sampleType() != SampleType::Int16)
            return m_reader->readFloat(from, count, out);
        const auto ch = static_cast<std::size_t>(channels);
        m_shorts.resize(static_cast<std::size_t>(count) * ch);
        const std::int64_t got =
            std::max<std::int64_t>(0, m_reader->read(from, count, m_shorts.data()));
        constexpr float kScale = 1.0F / 32768.0F;
        const std::size_t samples = static_cast<std::size_t>(got) * ch;
        for (std::size_t i = 0; i < samples; ++i)
            out[i] = static_cast<float>(m_shorts[i]) * kScale;
        return got;
    }

    struct Window {
        std::vector<float> samples;
        std::int64_t begin = 0;
        std::int64_t end = 0;
    };

    // The frames, where held whole: never changed once here, so that the
    // Tracks of other threads may read them at once.
    const AudioSamples* m_audio = nullptr;
    AudioReader* m_reader = nullptr;
    std::int64_t m_frames = 0;
    AudioSamples m_held; // the file's frames read so far, while m_holding
    bool m_holding = false;
    Source m_source;
    std::array<Window, 2> m_windows;
    std::vector<std::int16_t> m_shorts;
    std::function<bool()> m_goOn;
    std::uint32_t m_polls = 0;
};

// Runs work(track, i) once for every i in [0, count). Once the track is
// held whole, two threads run it, each with a Track of its own over the
// same frames (a Track's windows are its own), each taking the next i when
// done with one; else the calling thread runs them in order with `audio`.
// The work keeps each result in a slot of its own, so that the results do
// not depend on which thread ran what. Only the calling thread asks
// whether to go on: `progress` and the track's watcher once per i, in the
// same order whatever the threads do, so that a search asked the same is
// refused at the same question. Returns false when `progress` said stop;
// rethrows what the work threw, SearchCancelled among it. Either way the
// threads stop at their next window and have ended before it returns.
bool parallelFor(Track& audio, std::size_t count,
                 const std::function<void(Track& track, std::size_t i)>& work,
                 const ProgressCallback& progress = {});

// The coarse signal of step 1 and what step 2 keeps of it.
// Threads: made and changed by the search's thread; step 2's threads read
// the signal and write only the correlation slot of their own template.
struct Coarse {
    int factor = 1; // D
    std::vector<float> signal;
    // Step 2's correlations of its templates (at `correlatedPlaces`, with
    // `correlatedMinLag`) with the signal, kept for step 2 again on the
    // same signal: they do not depend on the lags it looks for. Step 2
    // writes them, so it takes the Coarse by non-const reference.
    std::vector<FftwFloats> correlations;
    std::vector<std::int64_t> correlatedPlaces;
    std::int64_t correlatedMinLag = 0;
};

// What one pass through the audio gives: the coarse signal and the mean
// square per sample.
struct Pass {
    Coarse coarse;
    double meanSquare = 0.0;
    bool cancelled = false;
};

// A place where the audio seems to repeat: the later copy lies at
// [laterBegin, laterEnd), the earlier one about `lag` frames before it.
struct Seed {
    double lag = 0;
    std::int64_t laterBegin = 0;
    std::int64_t laterEnd = 0;
};

// A lag checked on the raw frames.
struct Lag {
    std::int64_t frames = 0; // the loop length this lag gives
    double residual = 1.0;
    double noise = 0.0; // mean square per sample of what the copies do not share
    Seed seed;
};

// A period shorter than the shortest loop, found through the exact lags'
// common divisor, and its first multiple that is a loop; zeros for none.
struct ShortPeriod {
    std::int64_t period = 0;
    std::int64_t loop = 0;
};

// A block of step 5 whose copies match: the earlier copy begins at `begin`.
struct MatchedBlock {
    std::int64_t begin = 0;
    double residual = 0.0;
    double energy = 0.0; // of both copies, which weighs the residual
};

// Candidates found so far, each with how far its copies are from exact.
struct Found {
    std::vector<LoopCandidate> candidates;
    std::vector<double> inexactness;
    std::vector<double> seen; // frames from each start over which its repeat was seen
    // The blocks each candidate's repeat was seen to match in, from its start on.
    std::vector<std::vector<MatchedBlock>> matched;
    bool lossy = false; // decoded through a lossy codec
};

// ---- comparing the two copies (exact_copies.cpp) ----------------------------

// The residual 1 - r^2 of the header, 1 when either side is silent or the
// two are anti-correlated.
double residualOf(const PairSums& s);

// Sums for t in [t0, t1), every channel, every `stride`-th frame.
PairSums pairSums(Track& audio, std::int64_t t0, std::int64_t t1, std::int64_t lag, int stride = 1);

// How audible a jump from `stop` back to `start` is. Playback runs up to
// stop and goes on at start, so the jump is inaudible when the `window`
// frames after start are those after stop (what would have played), or the
// frames before stop are those before start (start is reached the way stop
// is). Each comparison is the energy of the difference over the energy of
// both sides, all channels; the smaller one is returned, from 0 (identical)
// through 1 (unrelated audio) to at most 2 (opposite signs). Comparisons are
// cut at the ends of the audio; one with no frames left does not count, and
// 1 is returned when neither has any. Windows where both sides are silent
// (below SeamSilence mean square per sample on each side) give 0.
double seamScore(Track& audio, std::int64_t start, std::int64_t stop,
                 std::int64_t window = SeamWindowFrames);

// The mean square per sample of what two copies do not share.
double unsharedLevel(const PairSums& s, std::int64_t samples);

// ---- steps 1 and 2 (exact_coarse_lags.cpp) ------------------------------------

// Step 1 and the track's level in one pass. With a `differenceLag`, of what
// copies that far apart do not share: frame t less frame t - differenceLag.
Pass passOver(Track& audio, const ProgressCallback& progress, std::int64_t differenceLag = 0);

// The size of the transform step 2 correlates through for a track of
// `frames` at `sampleRate`; 0 when it makes none.
std::size_t coarseTransformSize(int sampleRate, std::int64_t frames);

// Step 2: the candidate lags of every template, with `besidePeriod` those
// that are not a whole number of it. Sets `cancelled` when `progress` was
// cancelled. Keeps its correlations in `coarse` for the next call.
std::vector<Seed> coarseSeeds(Track& audio, Coarse& coarse, std::int64_t minLoop,
                              const ProgressCallback& progress, bool& cancelled,
                              std::int64_t besidePeriod = 0);

// ---- steps 3 and 4 (exact_lags.cpp) -------------------------------------------

// Step 3: each seed's lag to the sample.
std::vector<Lag> exactLags(Track& audio, const std::vector<Seed>& seeds, const Coarse& coarse,
                           std::int64_t minLoop);

// Step 3 again where the track repeats itself closely but at no lag
// exactly, in audio that can repeat exactly: steps 1 and 2 on what its
// closest repeat does not share, and the exact lags found there added to
// `lags`. False when `progress` was cancelled.
bool addLagsBeneathNearPeriod(Track& audio, std::int64_t minLoop, std::vector<Lag>& lags,
                              const ProgressCallback& progress);

// Step 3 again where every exact lag is a whole number of one period, as
// in music that repeats exactly within each pass of its loop: the lags of
// step 2 beside that period, those that are exact added to `lags`. False
// when `progress` was cancelled.
bool addLagsBesidePeriod(Track& audio, Coarse& coarse, std::int64_t minLoop, std::vector<Lag>& lags,
                         const ProgressCallback& progress);

// Step 4: the whole-number divisions of the first `seedLags` lags that
// repeat as exactly, added to `lags`.
void addDividedLags(Track& audio, std::int64_t minLoop, std::size_t seedLags,
                    std::vector<Lag>& lags);

// Step 4: the period the exact lags share, added to `lags` as its shortest loop.
ShortPeriod addCommonPeriodLag(Track& audio, std::int64_t minLoop, std::size_t seedLags,
                               std::vector<Lag>& lags);

// Step 4: the differences of the exact lags among `seeds` that repeat
// exactly and are not in `lags` yet, added to it; false when none is.
bool addDifferenceLags(Track& audio, std::int64_t minLoop, const std::vector<Lag>& seeds,
                       std::vector<Lag>& lags);

// The lags shortest first, near-equal ones as one.
std::vector<Lag> distinctLags(std::vector<Lag> lags);

// ---- steps 5 to 8 (exact_follow_lags.cpp) -------------------------------------

// Steps 5 to 8 for every lag, shortest first; nullopt when cancelled.
std::optional<Found> followLags(Track& audio, const std::vector<Lag>& lags,
                                const ShortPeriod& shortPeriod, double silence,
                                const ProgressCallback& checking);

// ---- steps 9 and 10 (exact_ranking.cpp) ---------------------------------------

// Step 9: the candidates best first, at most `most`, of a track of `frames`.
std::vector<LoopCandidate> rankedCandidates(const Found& found, double rate, std::int64_t frames,
                                            std::size_t most);

// Step 10: the loop of the whole track, when nothing repeats inside it.
std::optional<LoopCandidate> wholeTrackLoop(Track& audio, const Coarse& coarse,
                                            std::int64_t minLoop, double silence,
                                            double meanSquare);

// Step 10 too: the loop of the whole track, judged as it sounds, when the
// music plays on at the song's level to the last frame (`meanSquare` is the
// track's, per sample): a song as a game ships it, cut where it jumps back.
// `whole` is wholeTrackLoop's answer, reused where there is one.
std::optional<LoopCandidate> playedToTheEnd(Track& audio, std::int64_t minLoop, double silence,
                                            double meanSquare,
                                            const std::optional<LoopCandidate>& whole);

} // namespace kestrin::audio::exact
