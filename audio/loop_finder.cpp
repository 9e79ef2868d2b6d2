// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/loop_finder.h"

#include "audio/audio_files.h"
#include "audio/audio_reader.h"
#include "audio/fft.h"
#include "audio/seam_judge.h"
#include "core/loop_problems.h"

#include <fftw3.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <string>

namespace kestrin::audio {

namespace fs = std::filesystem;

namespace {

// The figures the steps in the header name, step by step, each with why.

// Step 1. Hz: 44.1 kHz / 16.
constexpr double kCoarseRate = 2756.25;

// Step 2.
// Long enough to be unique, short enough to fit a one-second overlap at the end.
constexpr double kTemplateSeconds = 0.75;
// Places a template is cut at: a template is at most the coarse signal over
// this, so that templates at all of them can lie apart.
constexpr std::int64_t kTemplatePlaces = 4;
// Coarse samples: a shorter template matches anything.
constexpr std::int64_t kMinTemplateSamples = 16;
// Codec padding at the very end.
constexpr double kEndMarginSeconds = 0.05;
// Of the track's mean energy per window: quieter is a fade's tail, not the music before silence.
constexpr double kLoudShare = 0.05;
// Of the template's energy: a window quieter than this has no correlation worth normalising.
constexpr double kSilentWindow = 1e-9;
// Peaks closer than this are one peak.
constexpr double kPeakSpacingSeconds = 0.05;
// Coarse samples: a peak and its neighbours on either side are one.
constexpr std::int64_t kMinCoarseGap = 2;
// Coarse correlation worth a closer look.
constexpr double kMinPeak = 0.4;
// The loop, a multiple or two and a near-period or two fit in this many.
constexpr int kPeaksPerTemplate = 5;
// Of a taken peak: a neighbour as high is tried as well.
constexpr double kNeighbourPeak = 0.95;

// Step 3.
// Frames past D/2 a coarse lag may be off: the parabola's vertex and the
// triangle filter each move it a little on uneven audio.
constexpr std::int64_t kLagReachPastGrid = 3;
// Every this many frames for the first pass: a quarter of the work.
constexpr int kSparseStride = 4;
// Frames to each side of a lag of the first pass tried on every frame: as
// far as the sparse pass can be off on audio periodic within a few frames.
constexpr std::int64_t kFineReach = 2;
// Frame pairs under a template, at the least, for a residual to mean anything.
constexpr std::int64_t kMinPairs = 64;
// Residual: above it, no repetition.
constexpr double kSeedLimit = 0.1;
// Residuals within this factor of the best tie.
constexpr double kTieFactor = 2.0;
// The residual of bit-exact copies, at most.
constexpr double kExactResidual = 1e-9;

// Step 4.
// Frames to each side of a divided lag: the division is exact up to the error of the lag.
constexpr std::int64_t kPeriodReach = 2;
// Of the lags' common divisor, tried as periods: the coarse grid of 16
// frames favours multiples of a short period that it does not divide.
constexpr std::int64_t kCommonDivisors = 8;
// Whole numbers a lag is divided by, at most: with the shortest loop at two
// seconds every lag under eight minutes is divided by all that leave it,
// and a shortest loop of a few samples on a tone cannot make the search try
// every one of a hundred thousand. A period shorter still is found through
// the exact lags' common divisor.
constexpr std::int64_t kMaxDivisions = 256;
// Frames: lags closer than the fine reach of step 3 are one.
constexpr std::int64_t kSameLag = 2;

// Step 5.
// The block of step 5.
constexpr double kBlockSeconds = 1024.0 / 44100;
// Frames a block has at the least, at any sample rate.
constexpr std::int64_t kMinBlockFrames = 64;
// Blocks to each side of the template, and blocks spread over the track,
// whose residuals set the threshold: one place alone can mislead.
constexpr std::int64_t kCalibrationNeighbours = 8;
constexpr std::int64_t kCalibrationSpread = 16;
// Residual threshold for bit-exact copies.
constexpr double kMinThreshold = 2e-4;
// The same through a lossy codec.
constexpr double kLossyThreshold = 0.02;
// Threshold over the typical residual.
constexpr double kThresholdFactor = 30.0;
// Residual of a copy that is not exact.
constexpr double kInexact = 1e-4;
// Typical residual above which one strongly different block is looked past:
// copies that are not exact copy unevenly.
constexpr double kCleanResidual = 1e-6;
// Seconds the copies agree again, before a stretch where they differ, for
// the repeat to go on there: as long as the evidence a loop needs when no
// other is seen for longer.
constexpr double kBridgeSeconds = 2.0;
// Of the loop, the most a second pass plays otherwise in one stretch: a
// short repeat inside a song, a bar or two played again, is broken by
// whole passages of other music, which no loop of its length plays.
constexpr double kBridgeShare = 1.0 / 8.0;
// Different blocks that end a repetition.
constexpr int kForwardMisses = 4;
// Slightly different blocks looked past.
constexpr int kLookPast = 3;
// Unshared level still taken for noise.
constexpr double kNoiseFactor = 2.0;
// Blocks this close to the noise are neutral.
constexpr double kQuietFactor = 8.0;
// Level change from block to block in a fade, at most.
constexpr double kGainStep = 0.02;

// Step 6.
// Blocks after the match's first over which the gain line is fitted: long
// enough to follow a fade, short enough for it to be straight.
constexpr std::int64_t kGainLineBlocks = 4;
// Relative determinant under which the span's level has no slope to fit.
constexpr double kFlatFit = 1e-12;
// Samples to each side for the local level of a difference.
constexpr std::size_t kLevelReach = 16;
// Keeps the floor of the level above zero where the copies share no noise.
constexpr double kTinyLevel = 1e-12;
// Keeps the log of a relative difference finite where the copies are exact.
constexpr double kTinyRelative = 1e-10;
// A split's gain over the scatter.
constexpr double kSplitEvidence = 30.0;
// Keeps the scatter above zero where the values hardly vary.
constexpr double kTinyVariance = 1e-12;
// Relative difference of exact copies, at most.
constexpr double kExactRelative = 1e-6;
// A sample this far above the typical difference of exact copies differs.
constexpr double kExactDifferFactor = 30.0;
// Samples after a split where exact copies may still differ: a split by
// means takes a few chance agreements for part of the match.
constexpr std::size_t kExactLookPast = 16;
// Samples a codec smears a change by.
constexpr std::size_t kSmear = 4;
// Samples after the start that give its noise.
constexpr std::size_t kNoiseSpan = 512;
// A sample this far above that noise differs.
constexpr double kDifferFactor = 100.0;
// Samples to each side for a codec-like level.
constexpr std::size_t kBroadReach = 64;
// Samples after a split searched for a stretch.
constexpr std::size_t kStretchReach = 256;
// Samples before the end of that search a stretch must begin: one cut off by it is not one.
constexpr std::size_t kStretchTail = 16;
// Of one sample's log ratio to the noise.
constexpr double kStretchCap = 4.0;
// Log ratio a sample of noise may reach.
constexpr double kStretchAllowance = 2.0;
// Summed log ratio of a differing stretch.
constexpr double kStretchEvidence = 12.0;
// Keeps the noise and its log ratios finite on silent or exact stretches.
constexpr double kTinyRatio = 1e-30;

// Step 7.
// A ring longer than this is part of the loop.
constexpr double kSettleSeconds = 2.0;
// Short blocks that measure the loop's body.
constexpr std::int64_t kBodyBlocks = 64;
// Of step 5's block, and at the least in frames: the short blocks.
constexpr std::int64_t kFineDivisor = 4;
constexpr std::int64_t kMinFineFrames = 16;
// Over the most the body differs by.
constexpr double kAlikeMargin = 2.0;
// Over what the body typically differs by, relative and as a level at once.
constexpr double kTypicalMargin = 3.0;
// Alike this long, a ring has ended.
constexpr double kAlikeRunSeconds = 0.1;
// Short blocks to each side of the last differing one where the noise's change is sought.
constexpr std::int64_t kNoiseSplitBlocks = 2;
// Samples each side of a split keeps at least.
constexpr std::size_t kNoiseSplitMargin = 16;
// Keeps the log of a variance finite where the copies are exact.
constexpr double kTinyVarianceShare = 1e-20;
// The longest ring of an intro a start moves past.
constexpr double kRingSeconds = 3.0;

// Step 9.
// Less is chance, not a loop.
constexpr double kMinRepeatedSeconds = 0.9;
// Of what follows the start: less is a passage played twice, not a loop.
constexpr double kMinCoverage = 0.5;
// A found loop that covers this much rules out its multiples.
constexpr double kHoldingScore = 0.9;
// The share of a loop its repeat must be seen over for the match to count in
// full, where another loop of the track is seen repeating for that long. A
// passage that recurs once near the end of a song (a chorus tail, a few bars
// of a module's order list) is seen for a second or so of a loop of a
// minute, and says nothing of the rest of it: its match is scaled down by the
// share seen. A track stored as its loop once and the first seconds of it
// again shows no loop for longer, and its loop keeps its match.
constexpr double kEvidenceShare = 1.0 / 6.0;
// A repeat seen this long is a copy, not chance, when no loop of the track
// is seen for longer; less, at the end of a file, is no evidence of a loop
// much longer than it.
constexpr double kConvincingSeconds = 2.0;
// A loop seen to play this many times as much of the song as another goes
// before it: less is the same passage measured a little differently.
constexpr double kClearlyMore = 1.25;
// Frames per multiple a lag may be off one: each exact lag's own error.
constexpr std::int64_t kMultipleSlack = 2;

// Step 10.
// Seconds at each end of the track whose levels are compared.
constexpr double kWholeEdgeSeconds = 1.0;
// The most the end may lie below the start, or above it, for the track to
// flow on into itself: a fade or a final chord ringing out falls further.
constexpr double kWholeLevelDb = 10.0;

// The whole search.
// Mean square, about -90 dBFS.
constexpr double kSilentLevel = 1e-9;
// -50 dB below the track's mean square.
constexpr double kRelativeSilence = 1e-5;
// Of the progress: the coarse signal done, and the coarse lags done.
constexpr double kSeedsProgress = 0.2;
// The same for a lossy file, which is decoded in the pass.
constexpr double kDecodedSeedsProgress = 0.5;
constexpr double kCheckProgress = 0.6;

// Maps the work of one stage onto part of the caller's progress.
class Progress {
public:
    Progress(const ProgressCallback& callback, double from, double to)
        : m_callback(callback), m_from(from), m_to(to) {}

    // False when the caller cancelled.
    bool at(double fraction) const {
        return !m_callback || m_callback(m_from + (m_to - m_from) * std::clamp(fraction, 0.0, 1.0));
    }

private:
    const ProgressCallback& m_callback;
    double m_from;
    double m_to;
};

// ---- FFT -------------------------------------------------------------------

struct FftwFree {
    void operator()(float* p) const { fftwf_free(p); }
};
using FftwBuffer = std::unique_ptr<float[], FftwFree>;

FftwBuffer fftwBuffer(std::size_t floats) {
    FftwBuffer buffer(static_cast<float*>(fftwf_malloc(floats * sizeof(float))));
    if (!buffer)
        throw std::bad_alloc();
    return buffer;
}

// A coarse signal whose transform is at most this size (about 6 minutes at
// 44.1 kHz) is correlated through one transform of the whole of it, some
// 25 ms on a busy machine; a longer one block by block (overlap-save), so
// that neither memory nor the wait for a cancel grows with its length.
constexpr std::size_t kWholeFftSize = std::size_t{1} << 20;
// The blocks' transform size, at the least: some 0.2 ms each.
constexpr std::size_t kBlockFftSize = std::size_t{1} << 16;

// In-place real transforms of one size on buffers of size + 2 floats.
class RealFft {
public:
    explicit RealFft(std::size_t size)
        : m_size(size), m_forward(plan(true)), m_inverse(plan(false)) {}
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;
    ~RealFft() {
        release(m_forward);
        release(m_inverse);
    }

    std::size_t size() const { return m_size; }
    FftwBuffer buffer() const { return fftwBuffer(m_size + 2); }
    void forward(float* data) const {
        fftwf_execute_dft_r2c(m_forward, data, reinterpret_cast<fftwf_complex*>(data));
    }
    // Unnormalised: the result is size times the signal.
    void inverse(float* data) const {
        fftwf_execute_dft_c2r(m_inverse, reinterpret_cast<fftwf_complex*>(data), data);
    }

private:
    // Plans on an example array of the alignment fftwf_malloc gives, which
    // the estimate never touches and which is not kept.
    fftwf_plan plan(bool forward) const {
        FftwBuffer probe = fftwBuffer(m_size + 2);
        const int n = static_cast<int>(m_size);
        auto* complex = reinterpret_cast<fftwf_complex*>(probe.get());
        std::lock_guard lock(FftwPlannerMutex());
        const fftwf_plan p = forward
                                 ? fftwf_plan_dft_r2c_1d(n, probe.get(), complex, FFTW_ESTIMATE)
                                 : fftwf_plan_dft_c2r_1d(n, complex, probe.get(), FFTW_ESTIMATE);
        if (!p)
            throw std::bad_alloc();
        return p;
    }
    static void release(fftwf_plan p) {
        if (!p)
            return;
        std::lock_guard lock(FftwPlannerMutex());
        fftwf_destroy_plan(p);
    }

    std::size_t m_size;
    fftwf_plan m_forward = nullptr;
    fftwf_plan m_inverse = nullptr;
};

// The smallest 2^a 3^b 5^c at or above `minimum`: sizes FFTW is fast at.
std::size_t fftSize(std::size_t minimum) {
    std::size_t best = 2;
    while (best < minimum)
        best *= 2;
    for (std::size_t p3 = 1; p3 < best; p3 *= 3) {
        for (std::size_t p35 = p3; p35 < best; p35 *= 5) {
            std::size_t v = p35;
            while (v < minimum)
                v *= 2;
            if (v % 2 == 0)
                best = std::min(best, v);
        }
    }
    return best;
}

// ---- comparing the two copies -----------------------------------------------

// Sums over the frame pairs (t, t + lag): a is frame t, b frame t + lag.
struct PairSums {
    double aa = 0;
    double bb = 0;
    double ab = 0;
};

// The residual 1 - r^2 of the header, 1 when either side is silent or the
// two are anti-correlated.
double residualOf(const PairSums& s) {
    if (s.aa <= 0 || s.bb <= 0 || s.ab <= 0)
        return 1.0;
    return std::max(0.0, 1.0 - (s.ab / s.aa) * (s.ab / s.bb));
}

// Adds the sums over `samples` interleaved samples of `a` and `b`, pair by
// pair. Float lanes over short runs keep the loop vectorisable; the runs add
// up in double. Runs begin every 4096 samples from `a`, so a track summed
// chunk by chunk (chunks a multiple of 4096 samples long) sums as one.
void addPairs(const float* a, const float* b, std::size_t samples, PairSums& sums) {
    constexpr std::size_t kLanes = 8;
    constexpr std::size_t kRun = 4096;
    std::size_t i = 0;
    while (i < samples) {
        const std::size_t runEnd = std::min(samples, i + kRun);
        std::array<float, kLanes> aa{};
        std::array<float, kLanes> bb{};
        std::array<float, kLanes> ab{};
        for (; i + kLanes <= runEnd; i += kLanes) {
            for (std::size_t k = 0; k < kLanes; ++k) {
                const float x = a[i + k];
                const float y = b[i + k];
                aa[k] += x * x;
                bb[k] += y * y;
                ab[k] += x * y;
            }
        }
        for (; i < runEnd; ++i) {
            const float x = a[i];
            const float y = b[i];
            aa[0] += x * x;
            bb[0] += y * y;
            ab[0] += x * y;
        }
        for (std::size_t k = 0; k < kLanes; ++k) {
            sums.aa += aa[k];
            sums.bb += bb[k];
            sums.ab += ab[k];
        }
    }
}

// Thrown from deep inside the search once its caller cancelled it.
struct SearchCancelled {};

// Windows read between two questions whether to go on: a window is at most
// a block or two of work, so the search stops within a millisecond or so.
constexpr std::uint32_t kPollEvery = 4;

// Frames read back from the audio by the steps that work on raw frames.
// Only windows are held: a long file never sits in memory whole.
constexpr std::int64_t kWindowFrames = std::int64_t{1} << 16;
// Frames read for a look away from the window: a block of step 5 and then some.
constexpr std::int64_t kGlanceFrames = std::int64_t{1} << 12;

// The audio the search works on: a track decoded whole, or a file whose
// frames are read back in windows where a step needs them.
class Track {
public:
    // The side a window is for: the earlier copy of a pair, the later one.
    enum Side { Earlier = 0, Later = 1 };

    explicit Track(const AudioSamples& audio)
        : sampleRate(audio.sampleRate), channels(audio.channels), lossy(audio.lossy),
          m_audio(&audio), m_frames(audio.frames()),
          m_source(std::make_unique<SamplesSource>(audio)) {}

    // `frames` as counted while reading the file through.
    Track(AudioReader& reader, std::int64_t frames)
        : sampleRate(reader.info().sampleRate), channels(reader.info().channels),
          lossy(InexactEncodingOf(reader.info().format).has_value()), m_reader(&reader),
          m_frames(frames),
          m_source(std::make_unique<ReaderSource>(reader, frames, ReaderSource::Keep::Never)) {}

    int sampleRate = 0;
    int channels = 0;
    bool lossy = false;

    std::int64_t frames() const { return m_frames; }
    // Whether the pass over the track decodes a lossy file, the longest step.
    bool decodedInPass() const { return m_reader && lossy; }

    // Asks `goOn` from time to time, at least every kPollEvery windows,
    // whether to go on; poll() throws SearchCancelled once it says no.
    void watch(std::function<bool()> goOn) const { m_goOn = std::move(goOn); }

    // Throws SearchCancelled when the search is to stop. Cheap: asks only
    // every kPollEvery calls.
    void poll() const {
        if (m_goOn && ++m_polls % kPollEvery == 0 && !m_goOn())
            throw SearchCancelled();
    }

    // Frames [t0, t1) as interleaved floats, valid until the next call for
    // the same side. Frames outside the audio read as silence.
    const float* window(Side side, std::int64_t t0, std::int64_t t1) const {
        poll();
        const auto ch = static_cast<std::size_t>(channels);
        if (m_audio)
            return m_audio->samples.data() + static_cast<std::size_t>(t0) * ch;
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
    FrameSource& source() const { return *m_source; }

private:
    // The reader's readFloat(), faster for 16-bit PCM: read as it is stored
    // and scaled here by 2^-15, as libsndfile scales it, in a loop that
    // vectorises.
    std::int64_t readFloats(std::int64_t from, std::int64_t count, float* out) const {
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

    const AudioSamples* m_audio = nullptr;
    AudioReader* m_reader = nullptr;
    std::int64_t m_frames = 0;
    std::unique_ptr<FrameSource> m_source;
    mutable std::array<Window, 2> m_windows;
    mutable std::vector<std::int16_t> m_shorts;
    mutable std::function<bool()> m_goOn;
    mutable std::uint32_t m_polls = 0;
};

// Sums for t in [t0, t1), every channel, every `stride`-th frame.
PairSums pairSums(const Track& audio, std::int64_t t0, std::int64_t t1, std::int64_t lag,
                  int stride = 1) {
    PairSums sums;
    if (t1 <= t0)
        return sums;
    const std::size_t ch = static_cast<std::size_t>(audio.channels);
    const float* a = audio.window(Track::Earlier, t0, t1);
    const float* b = audio.window(Track::Later, t0 + lag, t1 + lag);
    if (stride == 1) {
        addPairs(a, b, static_cast<std::size_t>(t1 - t0) * ch, sums);
        return sums;
    }
    for (std::int64_t t = t0; t < t1; t += stride) {
        const std::size_t i = static_cast<std::size_t>(t - t0) * ch;
        for (std::size_t c = 0; c < ch; ++c) {
            sums.aa += double{a[i + c]} * a[i + c];
            sums.bb += double{b[i + c]} * b[i + c];
            sums.ab += double{a[i + c]} * b[i + c];
        }
    }
    return sums;
}

// SeamScore on the frames of the search.
double seamScore(const Track& audio, std::int64_t start, std::int64_t stop,
                 std::int64_t window = SeamWindowFrames) {
    const std::int64_t n = audio.frames();
    if (start < 0 || stop < 0 || start > n || stop > n || window <= 0 || audio.channels <= 0)
        return 1.0;
    double best = std::numeric_limits<double>::infinity();
    auto compare = [&](std::int64_t a0, std::int64_t b0, std::int64_t length) {
        if (length <= 0)
            return;
        const PairSums s = pairSums(audio, a0, a0 + length, b0 - a0);
        const double energy = s.aa + s.bb;
        const double score = energy < 2 * SeamSilence * static_cast<double>(length * audio.channels)
                                 ? 0.0
                                 : std::max(0.0, energy - 2.0 * s.ab) / energy;
        best = std::min(best, score);
    };
    // pairSums takes the later side as a positive lag from the earlier.
    const std::int64_t first = std::min(start, stop);
    const std::int64_t second = std::max(start, stop);
    compare(first, second, std::min(window, n - second));
    const std::int64_t before = std::min(window, first);
    compare(first - before, second - before, before);
    return std::isinf(best) ? 1.0 : best;
}

// ---- step 1: the coarse signal -----------------------------------------------

struct Coarse {
    int factor = 1; // D
    std::vector<float> signal;
};

// What one pass through the audio gives: the coarse signal and the mean
// square per sample.
struct Pass {
    Coarse coarse;
    double meanSquare = 0.0;
    bool cancelled = false;
};

// Step 1 and the track's level in one pass, window by window, so that no
// more than a window and the coarse signal are held.
Pass passOver(const Track& audio, const Progress& progress) {
    Pass pass;
    Coarse& coarse = pass.coarse;
    coarse.factor = std::max(1, static_cast<int>(std::lround(audio.sampleRate / kCoarseRate)));
    const std::int64_t d = coarse.factor;
    const std::int64_t taps = 2 * d - 1;
    const std::int64_t n = audio.frames();
    const std::size_t ch = static_cast<std::size_t>(audio.channels);
    // A triangle summing to 1, over the channels' sum: their average.
    std::vector<float> weights(static_cast<std::size_t>(taps));
    for (std::int64_t k = 0; k < taps; ++k)
        weights[static_cast<std::size_t>(k)] =
            static_cast<float>(std::min(k + 1, taps - k)) / static_cast<float>(d * d * ch);
    const std::int64_t count = n < taps ? 0 : (n - taps) / d + 1;
    coarse.signal.reserve(static_cast<std::size_t>(count));
    std::vector<float> pending; // frames [pendingBegin, ...) not yet past every filter
    std::int64_t pendingBegin = 0;
    PairSums energy;
    std::int64_t j = 0;
    for (std::int64_t t = 0; t < n; t += kWindowFrames) {
        if (!progress.at(static_cast<double>(t) / static_cast<double>(n))) {
            pass.cancelled = true;
            return pass;
        }
        const std::int64_t t1 = std::min(n, t + kWindowFrames);
        const float* x = audio.window(Track::Earlier, t, t1);
        const std::size_t samples = static_cast<std::size_t>(t1 - t) * ch;
        addPairs(x, x, samples, energy);
        pending.insert(pending.end(), x, x + samples);
        const std::int64_t have = pendingBegin + static_cast<std::int64_t>(pending.size() / ch);
        for (; j < count && j * d + taps <= have; ++j) {
            const float* frame =
                pending.data() + static_cast<std::size_t>(j * d - pendingBegin) * ch;
            float acc = 0.0F;
            for (std::int64_t k = 0; k < taps; ++k) {
                float s = 0.0F;
                for (std::size_t c = 0; c < ch; ++c)
                    s += frame[static_cast<std::size_t>(k) * ch + c];
                acc += weights[static_cast<std::size_t>(k)] * s;
            }
            coarse.signal.push_back(acc);
        }
        const std::int64_t keep = std::min(j * d, have);
        pending.erase(pending.begin(),
                      pending.begin() + static_cast<std::ptrdiff_t>((keep - pendingBegin) * ch));
        pendingBegin = keep;
    }
    if (n > 0)
        pass.meanSquare = energy.aa / static_cast<double>(static_cast<std::size_t>(n) * ch);
    return pass;
}

// ---- step 2: coarse lags -------------------------------------------------------

// A place where the audio seems to repeat: the later copy lies at
// [laterBegin, laterEnd), the earlier one about `lag` frames before it.
struct Seed {
    double lag = 0;
    std::int64_t laterBegin = 0;
    std::int64_t laterEnd = 0;
};

// The coarse signal's energy summed from its start, prefix(k) covering
// [0, k), without a double per sample: sums are kept every kEvery samples
// and the rest added on as they were when summing from the start, so every
// value is the one a full prefix array holds. Recent stretches are cached
// for walks.
class EnergyPrefix {
public:
    // Calls `check`, which throws to stop, every kCheckEvery samples.
    EnergyPrefix(const std::vector<float>& signal, const std::function<void()>& check)
        : m_signal(signal) {
        double sum = 0.0;
        m_checkpoints.reserve(signal.size() / kEvery + 2);
        for (std::size_t i = 0; i < signal.size(); ++i) {
            if (i % kCheckEvery == 0)
                check();
            if (i % kEvery == 0)
                m_checkpoints.push_back(sum);
            sum += double{signal[i]} * signal[i];
        }
        if (signal.size() % kEvery == 0)
            m_checkpoints.push_back(sum);
        m_total = sum;
    }

    // prefix(k) for 0 <= k <= size.
    double operator()(std::int64_t k) const {
        const auto at = static_cast<std::size_t>(k);
        const std::size_t segment = at / kEvery;
        Cached* use = nullptr;
        for (Cached& c : m_cache) {
            if (c.segment == segment)
                use = &c;
        }
        if (!use) {
            use = &m_cache[m_next];
            m_next = (m_next + 1) % m_cache.size();
            use->segment = segment;
            double sum = m_checkpoints[segment];
            const std::size_t from = segment * kEvery;
            const std::size_t to = std::min(m_signal.size(), from + kEvery);
            use->values[0] = sum;
            for (std::size_t i = from; i < to; ++i) {
                sum += double{m_signal[i]} * m_signal[i];
                use->values[i - from + 1] = sum;
            }
        }
        return use->values[at - segment * kEvery];
    }

    // Coarse samples summed between two calls of the check: a few ms.
    static constexpr std::size_t kCheckEvery = std::size_t{1} << 20;

    // prefix(size): the whole signal's energy.
    double total() const { return m_total; }
    std::int64_t size() const { return static_cast<std::int64_t>(m_signal.size()); }

private:
    static constexpr std::size_t kEvery = 256;
    struct Cached {
        std::size_t segment = std::numeric_limits<std::size_t>::max();
        std::array<double, kEvery + 1> values{};
    };

    const std::vector<float>& m_signal;
    std::vector<double> m_checkpoints;
    double m_total = 0.0;
    mutable std::array<Cached, 2> m_cache;
    mutable std::size_t m_next = 0;
};

// Where templates are cut, in coarse samples: see the header.
std::vector<std::int64_t> templatePlaces(const EnergyPrefix& energyPrefix, std::int64_t w,
                                         std::int64_t margin) {
    const std::int64_t count = energyPrefix.size();
    std::vector<std::int64_t> places;
    if (count < w + margin)
        return places;
    auto energy = [&](std::int64_t p) { return energyPrefix(p + w) - energyPrefix(p); };
    const double loud = kLoudShare * energyPrefix.total() * static_cast<double>(w) / count;
    auto add = [&](std::int64_t p) {
        p = std::clamp<std::int64_t>(p, 0, count - w);
        if (energy(p) <= 0.0)
            return;
        for (std::int64_t q : places) {
            if (std::abs(q - p) < w)
                return;
        }
        places.push_back(p);
    };
    add(count - margin - w);
    std::int64_t lastLoud = count - w;
    while (lastLoud > 0 && energy(lastLoud) < loud)
        --lastLoud;
    add(lastLoud);
    add(count / 2);
    add(count * 3 / 4);
    return places;
}

// The signal's spectrum `s` times the conjugate of the template's `v`, into
// `out` (which may be either): the product whose inverse is the correlation
// of the template with the signal at every start.
void correlationSpectrum(const float* s, const float* v, float* out, std::size_t floats) {
    for (std::size_t k = 0; k < floats; k += 2) {
        const float re = s[k] * v[k] + s[k + 1] * v[k + 1];
        const float im = s[k + 1] * v[k] - s[k] * v[k + 1];
        out[k] = re;
        out[k + 1] = im;
    }
}

// Templates cut from the coarse signal, cross-correlated with the whole of
// it: a short signal through one FFT of it and one pair per template, a long
// one block by block (overlap-save) through transforms of kBlockFftSize, so
// that the search can stop between them.
class TemplateCorrelator {
public:
    TemplateCorrelator(const std::vector<float>& signal, const EnergyPrefix& energyPrefix,
                       std::int64_t width)
        : m_signal(signal), m_prefix(energyPrefix), m_width(width),
          m_whole(fftSize(signal.size() + static_cast<std::size_t>(width)) <= kWholeFftSize),
          m_fft(m_whole ? fftSize(signal.size() + static_cast<std::size_t>(width))
                        : fftSize(std::max(kBlockFftSize, 4 * static_cast<std::size_t>(width)))),
          m_work(m_fft.buffer()), m_other(m_fft.buffer()) {
        if (m_whole) {
            const std::size_t floats = m_fft.size() + 2;
            std::fill(std::copy(signal.begin(), signal.end(), m_other.get()),
                      m_other.get() + floats, 0.0F);
            m_fft.forward(m_other.get());
        } else {
            // Not filled here: the blocks fill it, page by page, between checks.
            m_ncc = std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>(last() + 1));
        }
    }

    // The last start of a full window.
    std::int64_t last() const { return static_cast<std::int64_t>(m_signal.size()) - m_width; }

    // Returns ncc, where ncc[q], for every window start q up to last(), is
    // the correlation of the template at `place` with the window at q over
    // the root of both energies; -1 for windows within `minLag` of the
    // template or silent beside it. Valid until the next call. Calls
    // `check` between transforms, which throws to stop.
    const float* correlate(std::int64_t place, std::int64_t minLag,
                           const std::function<void()>& check) {
        const std::size_t m = m_fft.size();
        // The template's spectrum: in m_work for one transform of the whole
        // signal, whose spectrum m_other holds; in m_other for blocks.
        float* t = m_whole ? m_work.get() : m_other.get();
        std::fill(std::copy(m_signal.begin() + place, m_signal.begin() + place + m_width, t),
                  t + m + 2, 0.0F);
        m_fft.forward(t);
        check();
        Normaliser normalise(*this, place, minLag, m);
        if (m_whole) {
            float* v = m_work.get();
            correlationSpectrum(m_other.get(), v, v, m + 2);
            m_fft.inverse(v);
            check();
            for (std::int64_t q = 0; q <= last(); ++q)
                v[q] = normalise(q, v[q]);
            return v;
        }
        // Overlap-save: a block of m signal samples from q0 correlates
        // exactly with the template at the m - width + 1 starts from q0.
        const auto step = static_cast<std::int64_t>(m) - m_width + 1;
        float* v = m_work.get();
        const auto count = static_cast<std::int64_t>(m_signal.size());
        for (std::int64_t q0 = 0; q0 <= last(); q0 += step) {
            check();
            const std::int64_t avail =
                std::min<std::int64_t>(static_cast<std::int64_t>(m), count - q0);
            std::fill(std::copy(m_signal.begin() + q0, m_signal.begin() + q0 + avail, v), v + m + 2,
                      0.0F);
            m_fft.forward(v);
            correlationSpectrum(v, t, v, m + 2);
            m_fft.inverse(v);
            const std::int64_t end = std::min(last() + 1, q0 + step);
            for (std::int64_t q = q0; q < end; ++q)
                m_ncc[static_cast<std::size_t>(q)] = normalise(q, v[q - q0]);
        }
        return m_ncc.get();
    }

private:
    // The correlation at each window start, in order from 0, over the root
    // of both energies; the window's energy from prefix sums kept as they
    // are summed, so each is what the prefix holds there.
    class Normaliser {
    public:
        Normaliser(const TemplateCorrelator& c, std::int64_t place, std::int64_t minLag,
                   std::size_t size)
            : m_c(c), m_place(place), m_minLag(minLag), m_size(static_cast<double>(size)),
              m_templateEnergy(c.m_prefix(place + c.m_width) - c.m_prefix(place)) {
            for (std::int64_t k = 0; k < c.m_width; ++k)
                m_above += double{c.m_signal[static_cast<std::size_t>(k)]} *
                           c.m_signal[static_cast<std::size_t>(k)];
        }
        // For q one more than at the call before, from 0.
        float operator()(std::int64_t q, float raw) {
            const double e = m_above - m_below;
            const bool far = std::abs(q - m_place) >= m_minLag;
            const float value =
                far && e > kSilentWindow * m_templateEnergy
                    ? static_cast<float>(raw / m_size / std::sqrt(m_templateEnergy * e))
                    : -1.0F;
            const std::vector<float>& signal = m_c.m_signal;
            const auto out = static_cast<std::size_t>(q);
            const auto in = static_cast<std::size_t>(q + m_c.m_width);
            m_below += double{signal[out]} * signal[out];
            if (in < signal.size())
                m_above += double{signal[in]} * signal[in];
            return value;
        }

    private:
        const TemplateCorrelator& m_c;
        std::int64_t m_place;
        std::int64_t m_minLag;
        double m_size;
        double m_templateEnergy;
        double m_below = 0.0; // prefix(q)
        double m_above = 0.0; // prefix(q + width)
    };

    const std::vector<float>& m_signal;
    const EnergyPrefix& m_prefix;
    std::int64_t m_width;
    bool m_whole; // one transform of the whole signal
    RealFft m_fft;
    FftwBuffer m_work;
    FftwBuffer m_other;             // the whole signal's spectrum, or the template's
    std::unique_ptr<float[]> m_ncc; // the blocks' correlation
};

// A peak of the correlation: the height of its parabola, and where it lies.
using Peak = std::pair<float, std::int64_t>;

// The local maxima of ncc[0..last] that reach kMinPeak, highest first by the
// height of the parabola through each and its two neighbours: a true lag
// between two coarse samples peaks lower on the grid than a near one that
// falls on it.
// Calls `check`, which throws to stop, every EnergyPrefix::kCheckEvery.
std::vector<Peak> rankedPeaks(const float* ncc, std::int64_t last,
                              const std::function<void()>& check) {
    std::vector<Peak> peaks;
    for (std::int64_t q = 0; q <= last; ++q) {
        if (static_cast<std::size_t>(q) % EnergyPrefix::kCheckEvery == 0)
            check();
        const float here = ncc[static_cast<std::size_t>(q)];
        if (here < kMinPeak)
            continue;
        const float before = q > 0 ? ncc[static_cast<std::size_t>(q - 1)] : -1.0F;
        const float after = q < last ? ncc[static_cast<std::size_t>(q + 1)] : -1.0F;
        if (here < before || here <= after)
            continue;
        const float curve = before - 2 * here + after;
        const float height = before > -1.0F && after > -1.0F && curve < 0
                                 ? here - 0.125F * (before - after) * (before - after) / curve
                                 : here;
        peaks.emplace_back(height, q);
    }
    check();
    std::sort(peaks.begin(), peaks.end(),
              [](const auto& x, const auto& y) { return x.first > y.first; });
    return peaks;
}

// One template's correlation with the coarse signal.
struct TemplateMatch {
    const float* ncc;
    std::int64_t last;  // the last window start
    std::int64_t place; // the template's start
    std::int64_t width;
};

// The seed of the peak at `q`: the parabola's vertex gives the lag to a
// fraction of a coarse sample, then in frames.
Seed seedAt(const TemplateMatch& match, std::int64_t q, const Coarse& coarse, std::int64_t frames) {
    const float* ncc = match.ncc;
    double offset = 0.0;
    if (q > 0 && q < match.last) {
        const double y0 = ncc[static_cast<std::size_t>(q - 1)];
        const double y1 = ncc[static_cast<std::size_t>(q)];
        const double y2 = ncc[static_cast<std::size_t>(q + 1)];
        const double curve = y0 - 2 * y1 + y2;
        if (y0 > -1.0F && y2 > -1.0F && curve < 0)
            offset = std::clamp(0.5 * (y0 - y2) / curve, -0.5, 0.5);
    }
    const double at = static_cast<double>(q) + offset;
    const std::int64_t later = std::max(match.place, q);
    Seed seed;
    seed.lag = std::abs(at - static_cast<double>(match.place)) * coarse.factor;
    seed.laterBegin = later * coarse.factor;
    seed.laterEnd = std::min(frames, (later + match.width) * coarse.factor);
    return seed;
}

// Adds the seeds of the kPeaksPerTemplate highest peaks at least `spacing`
// apart, each with the nearest peak to either side within `spacing` that
// reaches kNeighbourPeak of it: on a steady tone every period of it peaks
// almost as high, and off the coarse grid the true lag may be a neighbour
// of the highest one.
void addPeakSeeds(const TemplateMatch& match, std::int64_t spacing, const Coarse& coarse,
                  std::int64_t frames, std::vector<Seed>& seeds,
                  const std::function<void()>& check) {
    const float* ncc = match.ncc;
    std::vector<std::int64_t> taken;
    for (const auto& [value, q] : rankedPeaks(ncc, match.last, check)) {
        if (static_cast<int>(taken.size()) == kPeaksPerTemplate)
            break;
        // q by copy: clang before 16 cannot capture a structured binding.
        if (std::any_of(taken.begin(), taken.end(),
                        [&, q = q](std::int64_t o) { return std::abs(o - q) < spacing; }))
            continue;
        taken.push_back(q);
        seeds.push_back(seedAt(match, q, coarse, frames));
        for (const std::int64_t step : {std::int64_t{-1}, std::int64_t{1}}) {
            for (std::int64_t o = q + 2 * step;
                 std::abs(o - q) < spacing && o > 0 && o < match.last; o += step) {
                const float here = ncc[static_cast<std::size_t>(o)];
                if (here >= ncc[static_cast<std::size_t>(o - 1)] &&
                    here > ncc[static_cast<std::size_t>(o + 1)]) {
                    if (here >= kNeighbourPeak * value)
                        seeds.push_back(seedAt(match, o, coarse, frames));
                    break;
                }
            }
        }
    }
}

// Step 2: the candidate lags of every template, each with the place where
// its later copy lies. Sets `cancelled` when `progress` was cancelled.
std::vector<Seed> coarseSeeds(const Track& audio, const Coarse& coarse, std::int64_t minLoop,
                              const Progress& progress, bool& cancelled) {
    std::vector<Seed> seeds;
    const std::vector<float>& c = coarse.signal;
    const auto count = static_cast<std::int64_t>(c.size());
    const double coarseRate = static_cast<double>(audio.sampleRate) / coarse.factor;
    const std::int64_t w = std::min<std::int64_t>(std::llround(kTemplateSeconds * coarseRate),
                                                  count / kTemplatePlaces);
    if (w < kMinTemplateSamples)
        return seeds;
    // Asked between pieces of work on the coarse signal, at the share of
    // the templates done.
    double done = 0.0;
    const std::function<void()> check = [&] {
        if (!progress.at(done))
            throw SearchCancelled();
    };
    const EnergyPrefix prefix(c, check);
    const std::vector<std::int64_t> places =
        templatePlaces(prefix, w, std::llround(kEndMarginSeconds * coarseRate));
    if (places.empty())
        return seeds;
    TemplateCorrelator correlator(c, prefix, w);
    const std::int64_t minLag =
        std::max<std::int64_t>(2, (minLoop - coarse.factor) / coarse.factor);
    const std::int64_t spacing =
        std::max<std::int64_t>(2, std::llround(kPeakSpacingSeconds * coarseRate));
    for (std::size_t t = 0; t < places.size(); ++t) {
        done = static_cast<double>(t) / places.size();
        if (!progress.at(done)) {
            cancelled = true;
            return {};
        }
        const float* ncc = correlator.correlate(places[t], minLag, check);
        addPeakSeeds({ncc, correlator.last(), places[t], w}, spacing, coarse, audio.frames(), seeds,
                     check);
    }
    return seeds;
}

// ---- steps 3 to 8: one lag checked, followed and admitted ----------------------

// A lag checked on the raw frames.
struct Lag {
    std::int64_t frames = 0; // the loop length this lag gives
    double residual = 1.0;
    double noise = 0.0; // mean square per sample of what the copies do not share
    Seed seed;
};

// The level of the later copy over the earlier one.
double gainOf(const PairSums& s) {
    return s.aa > 0 ? std::sqrt(s.bb / s.aa) : 1.0;
}

// The mean square per sample of what two copies do not share: the residual
// applied to their mean energy.
double unsharedLevel(const PairSums& s, std::int64_t samples) {
    return residualOf(s) * 0.5 * (s.aa + s.bb) / static_cast<double>(samples);
}

// The lag within `reach` of the seed's with the smallest residual under the
// seed's template; 0 frames when none comes near a repetition.
Lag exactLag(const Track& audio, const Seed& seed, std::int64_t reach) {
    const std::int64_t n = audio.frames();
    const std::int64_t centre = std::llround(seed.lag);
    auto rangeAt = [&](std::int64_t lag) {
        return std::pair{std::max<std::int64_t>(0, seed.laterBegin - lag),
                         std::min(seed.laterEnd, n) - lag};
    };
    auto residualAt = [&](std::int64_t lag, int stride) {
        const auto [t0, t1] = rangeAt(lag);
        if (t1 - t0 < kMinPairs)
            return 1.0;
        return residualOf(pairSums(audio, t0, t1, lag, stride));
    };
    Lag best;
    best.seed = seed;
    // Every 4th frame first. On audio that is periodic within a few frames
    // (a square wave, say) that can miss every frame where lags a sample
    // apart disagree, so all lags that tie with the best there are tried on
    // every frame.
    std::vector<std::pair<std::int64_t, double>> sparse;
    double coarseResidual = 2.0;
    for (std::int64_t lag = std::max<std::int64_t>(1, centre - reach); lag <= centre + reach;
         ++lag) {
        const double r = residualAt(lag, kSparseStride);
        sparse.emplace_back(lag, r);
        coarseResidual = std::min(coarseResidual, r);
    }
    if (coarseResidual > kSeedLimit)
        return best;
    std::int64_t tried = 0; // lags below this were tried on every frame
    for (const auto& [centreLag, r] : sparse) {
        if (r > kTieFactor * coarseResidual + kExactResidual)
            continue;
        for (std::int64_t lag = std::max({std::int64_t{1}, centreLag - kFineReach, tried});
             lag <= centreLag + kFineReach; ++lag) {
            const double fine = residualAt(lag, 1);
            if (fine < best.residual) {
                best.residual = fine;
                best.frames = lag;
            }
        }
        tried = centreLag + kFineReach + 1;
    }
    if (best.frames > 0) {
        const auto [t0, t1] = rangeAt(best.frames);
        best.noise =
            unsharedLevel(pairSums(audio, t0, t1, best.frames), (t1 - t0) * audio.channels);
    }
    return best;
}

// Adds the lag nearest `period` to `lags` when it repeats the template of
// `of` as exactly as `of` does.
void tryPeriod(const Track& audio, const Lag& of, double period, std::vector<Lag>& lags) {
    Seed seed = of.seed;
    seed.lag = period;
    const Lag lag = exactLag(audio, seed, kPeriodReach);
    if (lag.frames > 0 && lag.frames < of.frames &&
        lag.residual <= kTieFactor * of.residual + kExactResidual)
        lags.push_back(lag);
}

// The verdict on a candidate's seam; every candidate must pass it.
bool seamHolds(const Track& audio, std::int64_t start, std::int64_t stop) {
    return IsSeamless(JudgeSeam(audio.source(), start, stop));
}

// The earliest start from `start` on, within kRingSeconds, whose loop of
// `length` frames the judge passes; nullopt when there is none. Where the
// intro's last notes or reverb ring on into the loop as loud as a codec's
// noise, no block measure tells them apart, but the seam does: what plays
// after the jump carries the ring. Starts are tried a block apart, then the
// first that passes is brought back to the sample by halving, as the ring
// only fades.
std::optional<std::int64_t> seamlessStartFrom(const Track& audio, std::int64_t start,
                                              std::int64_t length, std::int64_t block) {
    const std::int64_t last = std::min<std::int64_t>(
        audio.frames() - length, start + std::llround(kRingSeconds * audio.sampleRate));
    std::int64_t passes = -1;
    std::int64_t fails = start;
    for (std::int64_t t = start + block; t <= last; t += block) {
        audio.poll();
        if (seamHolds(audio, t, t + length)) {
            passes = t;
            break;
        }
        fails = t;
    }
    if (passes < 0)
        return std::nullopt;
    while (passes - fails > 1) {
        audio.poll();
        const std::int64_t mid = fails + (passes - fails) / 2;
        (seamHolds(audio, mid, mid + length) ? passes : fails) = mid;
    }
    return passes;
}

// The verdict on the loop of the whole track, which has no copy to compare:
// its junction must also be continuous measured from the audio before the
// stop alone, as an attack right after the start would excuse a step in
// music that merely stops.
bool wholeLoopHolds(const SeamFigures& figures) {
    return IsSeamless(figures) && figures.kinkFromBefore < kClickKink;
}

enum class BlockMatch { Silent, Same, Different };

// Follows one lag through the audio: steps 5 to 7.
class Follower {
public:
    Follower(const Track& audio, const Lag& lag, double silence)
        : m_audio(audio), m_lag(lag.frames), m_end(audio.frames() - lag.frames), m_silence(silence),
          m_block(std::max<std::int64_t>(kMinBlockFrames,
                                         std::llround(kBlockSeconds * audio.sampleRate))) {
        calibrate(lag);
    }

    // Steps 5 to 7 from the seed's template: the candidate of the repetition
    // found there, nullopt when too little of it repeats.
    std::optional<LoopCandidate> follow(const Seed& seed) {
        const std::int64_t seed0 = std::max<std::int64_t>(0, seed.laterBegin - m_lag);
        const std::int64_t seed1 = std::min(seed.laterEnd - m_lag, m_end);
        if (seed1 <= seed0)
            return std::nullopt;
        m_matchedFrames = static_cast<double>(seed1 - seed0);
        const std::int64_t earliest = matchBackFrom(seed0, seed1);
        const std::int64_t lastEnd = matchForwardFrom(seed0, seed1);
        return candidateFrom(alikeFrom(startNear(earliest), lastEnd), lastEnd);
    }

    // How far the copies of the candidate followed last are from exact: the
    // energy-weighted residual of its matching blocks.
    double inexactness() const { return m_inexactness; }
    // Frames from the start of the candidate followed last over which its
    // repeat was seen.
    double seen() const { return m_seen; }
    std::int64_t block() const { return m_block; }

private:
    // Step 5 backwards from the template at [seed0, seed1): the first frame
    // of the earliest block that matches. Past a stretch that differs, the
    // copies may agree again for seconds: a tracker's second pass plays a
    // note or a few bars otherwise, and its loop begins before them. The
    // walk goes on from there.
    std::int64_t matchBackFrom(std::int64_t seed0, std::int64_t seed1) {
        m_gain = gainOf(pairSums(m_audio, seed0, std::min(seed1, seed0 + m_block), m_lag));
        auto [earliest, stopped] = walkBack(seed0);
        const std::int64_t bridge = std::llround(kBridgeSeconds * m_audio.sampleRate);
        // Copies that are not exact match block by block within a codec's
        // noise, loose enough for other music to pass now and then.
        while (stopped > 0 && m_toleratedMisses == 0) {
            const std::int64_t top = agreeingBefore(
                stopped, bridge, std::llround(kBridgeShare * static_cast<double>(m_lag)));
            if (top < 0)
                break;
            m_gain = gainOf(pairSums(m_audio, top - m_block, top, m_lag));
            const auto [from, next] = walkBack(top);
            if (from < top)
                earliest = from;
            stopped = next;
        }
        return earliest;
    }

    // The walk of step 5 back from `t`: the first frame of the earliest
    // block that matches (`t` when none does) and where the walk stopped (0
    // at the beginning of the audio).
    std::pair<std::int64_t, std::int64_t> walkBack(std::int64_t t) {
        std::int64_t earliest = t;
        for (std::int64_t misses = 0, strongMisses = 0; t > 0;) {
            const std::int64_t t0 = std::max<std::int64_t>(0, t - m_block);
            const BlockMatch m = classify(t0, t);
            if (m == BlockMatch::Same) {
                earliest = t0;
                misses = strongMisses = 0;
                m_matchedFrames += static_cast<double>(t - t0);
            } else if (m == BlockMatch::Different) {
                // A block that differs only a little is looked past, for a
                // few blocks: codecs copy unevenly.
                if (m_lastResidual > kSeedLimit)
                    ++strongMisses;
                if (strongMisses > m_toleratedMisses || ++misses > kLookPast)
                    return {earliest, t0};
            }
            t = t0;
        }
        return {earliest, 0};
    }

    // The end of the latest stretch before `t`, within `gap` of it, where
    // the copies agree block after block (quiet blocks neither break nor
    // count) over `frames` at least; -1 when there is none.
    std::int64_t agreeingBefore(std::int64_t t, std::int64_t frames, std::int64_t gap) const {
        const std::int64_t samples = m_block * m_audio.channels;
        const std::int64_t latest = t - gap;
        std::int64_t top = -1;
        std::int64_t agreeing = 0;
        for (; t >= m_block && (top >= 0 || t >= latest); t -= m_block) {
            const PairSums s = pairSums(m_audio, t - m_block, t, m_lag);
            if (s.aa + s.bb < 2.0 * m_quiet * static_cast<double>(samples))
                continue;
            if (residualOf(s) > m_threshold && unsharedLevel(s, samples) > kNoiseFactor * m_noise) {
                top = -1;
                agreeing = 0;
                continue;
            }
            if (top < 0)
                top = t;
            agreeing += m_block;
            if (agreeing >= frames)
                return top;
        }
        return -1;
    }

    // Step 5 forwards from the template at [seed0, seed1): the end of the
    // last block that matches, or of the silence right after it.
    std::int64_t matchForwardFrom(std::int64_t seed0, std::int64_t seed1) {
        m_gain = gainOf(pairSums(m_audio, std::max(seed0, seed1 - m_block), seed1, m_lag));
        std::int64_t lastEnd = seed1;
        for (std::int64_t t = seed1, misses = 0; t < m_end;) {
            std::int64_t t1 = std::min(m_end, t + m_block);
            if (m_end - t1 < m_block / 2)
                t1 = m_end; // no sliver of a block at the end
            const BlockMatch m = classify(t, t1);
            if (m == BlockMatch::Same) {
                lastEnd = t1;
                misses = 0;
                m_matchedFrames += static_cast<double>(t1 - t);
            } else if (m == BlockMatch::Silent) {
                if (misses == 0)
                    lastEnd = t1;
            } else if (++misses >= kForwardMisses) {
                break;
            }
            t = t1;
        }
        return lastEnd;
    }

    // The candidate from `start` whose repetition holds up to `lastEnd`,
    // scored (see LoopCandidate::score); nullopt when it repeats too little
    // or covers too little of what follows its start.
    std::optional<LoopCandidate> candidateFrom(std::int64_t start, std::int64_t lastEnd) {
        if (start >= lastEnd)
            return std::nullopt;
        LoopCandidate candidate;
        candidate.start = start;
        candidate.stop = start + m_lag;
        candidate.repeatedSeconds = m_matchedFrames / m_audio.sampleRate;
        const double coverage =
            static_cast<double>(lastEnd - start) / static_cast<double>(m_end - start);
        // Only what plays within the loop counts: blocks matched before the
        // start were a different passage, whatever the residual said.
        double weightedResidual = 0.0;
        double energy = 0.0;
        for (const MatchedBlock& block : m_matched) {
            if (block.begin >= start) {
                weightedResidual += block.residual * block.energy;
                energy += block.energy;
            }
        }
        const double similarity = energy > 0 ? 1.0 - weightedResidual / energy : 1.0;
        candidate.score = std::clamp(coverage, 0.0, 1.0) * similarity;
        m_seen = static_cast<double>(lastEnd - start);
        if (candidate.repeatedSeconds < kMinRepeatedSeconds || coverage < kMinCoverage)
            return std::nullopt;
        candidate.seam = seamScore(m_audio, candidate.start, candidate.stop);
        m_inexactness = 1.0 - similarity;
        return candidate;
    }

    // The thresholds of step 5 from what the repetition looks like where it
    // holds: the median residual and unshared level of the seed and of blocks
    // around it and spread over the track, those that match at all. One
    // place alone can mislead: a lossy codec may copy one stretch exactly and
    // the next one only closely.
    void calibrate(const Lag& lag) {
        std::vector<double> residuals{lag.residual};
        std::vector<double> levels{lag.noise};
        const std::int64_t samples = m_block * m_audio.channels;
        auto sample = [&](std::int64_t t0) {
            if (t0 < 0 || t0 + m_block > m_end)
                return;
            const PairSums s = pairSums(m_audio, t0, t0 + m_block, m_lag);
            if (s.aa + s.bb < 2.0 * m_silence * static_cast<double>(samples))
                return;
            if (residualOf(s) <= kSeedLimit) {
                residuals.push_back(residualOf(s));
                levels.push_back(unsharedLevel(s, samples));
            }
        };
        const std::int64_t seed0 = lag.seed.laterBegin - m_lag;
        const std::int64_t seed1 = lag.seed.laterEnd - m_lag;
        for (std::int64_t k = 1; k <= kCalibrationNeighbours; ++k) {
            sample(seed0 - k * m_block);
            sample(seed1 + (k - 1) * m_block);
        }
        for (std::int64_t k = 0; k < kCalibrationSpread; ++k)
            sample((2 * k + 1) * m_end / (2 * kCalibrationSpread) - m_block / 2);
        auto median = [](std::vector<double>& v) {
            std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2),
                             v.end());
            return v[v.size() / 2];
        };
        const double residual = median(residuals);
        // A track decoded from a lossy codec and stored again as PCM copies
        // exactly in places and only closely in others, like the codec's own
        // file: one inexact block that still matches is taken for that.
        const bool inexact =
            m_audio.lossy || *std::max_element(residuals.begin(), residuals.end()) > kInexact;
        m_threshold = std::clamp(kThresholdFactor * residual,
                                 inexact ? kLossyThreshold : kMinThreshold, kSeedLimit);
        m_noise = median(levels);
        m_quiet = std::max(m_silence, kQuietFactor * m_noise);
        m_toleratedMisses = inexact || residual > kCleanResidual ? 1 : 0;
    }

    BlockMatch classify(std::int64_t t0, std::int64_t t1) {
        const PairSums s = pairSums(m_audio, t0, t1, m_lag);
        const double energy = s.aa + s.bb;
        const std::int64_t samples = (t1 - t0) * m_audio.channels;
        if (energy < 2.0 * m_quiet * static_cast<double>(samples))
            return BlockMatch::Silent;
        const double r = residualOf(s);
        m_lastResidual = r;
        if (r > m_threshold && unsharedLevel(s, samples) > kNoiseFactor * m_noise)
            return BlockMatch::Different;
        // The residual ignores level: copies whose level swings against each
        // other (a tremolo out of step) match in it block by block. A fade
        // changes the level slowly; anything faster is a different passage.
        const double gain = gainOf(s);
        if (std::abs(gain - m_gain) > kGainStep * std::max(1.0, m_gain) + std::sqrt(r))
            return BlockMatch::Different;
        m_gain = gain;
        m_matched.push_back({t0, r, energy});
        return BlockMatch::Same;
    }

    // The gain g0 + g1 (t - t0) that best turns frames t into frames t + lag
    // over [t0, t1) (least squares); (1, 0) when there is too little to fit.
    std::pair<double, double> gainLine(std::int64_t t0, std::int64_t t1) const {
        const std::size_t ch = static_cast<std::size_t>(m_audio.channels);
        const float* x = m_audio.window(Track::Earlier, t0, t1);
        const float* y = m_audio.window(Track::Later, t0 + m_lag, t1 + m_lag);
        double saa = 0, staa = 0, sttaa = 0, sab = 0, stab = 0;
        for (std::int64_t t = t0; t < t1; ++t) {
            const float* a = x + static_cast<std::size_t>(t - t0) * ch;
            const float* b = y + static_cast<std::size_t>(t - t0) * ch;
            const auto at = static_cast<double>(t - t0);
            for (std::size_t c = 0; c < ch; ++c) {
                const double aa = double{a[c]} * a[c];
                const double ab = double{a[c]} * b[c];
                saa += aa;
                staa += at * aa;
                sttaa += at * at * aa;
                sab += ab;
                stab += at * ab;
            }
        }
        const double det = saa * sttaa - staa * staa;
        if (!(det > kFlatFit * saa * sttaa) || saa <= 0)
            return {saa > 0 && sab > 0 ? sab / saa : 1.0, 0.0};
        return {(sab * sttaa - stab * staa) / det, (saa * stab - staa * sab) / det};
    }

    // Step 7: the intro may ring on into the first pass, its tail too faint
    // for the blocks of step 5 to tell from a match. From `start` on the
    // copies have to be as alike as in the body of the loop, measured where
    // no ring reaches: bit-exact there means bit-exact from the start, and
    // otherwise no stretch may differ beyond the body's own noise.
    std::int64_t alikeFrom(std::int64_t start, std::int64_t lastEnd) {
        const std::int64_t settle = std::llround(kSettleSeconds * m_audio.sampleRate);
        // Where the repeat is short, its second half is the body.
        const std::int64_t from = std::min(start + settle, start + (m_end - start) / 2);
        const std::int64_t fine = std::max<std::int64_t>(kMinFineFrames, m_block / kFineDivisor);
        const std::int64_t samples = fine * m_audio.channels;
        int exactBlocks = 0;
        int inexactBlocks = 0;
        int closeBlocks = 0;   // copied, not exactly: a codec's noise
        double residual = 0.0; // the most the body's copies differ by, relative
        double level = 0.0;    // and as a level
        std::vector<double> residuals;
        std::vector<double> levels;
        for (std::int64_t k = 0; k < kBodyBlocks && from + fine <= m_end; ++k) {
            const std::int64_t t0 = from + (m_end - fine - from) * k / (kBodyBlocks - 1);
            const PairSums s = pairSums(m_audio, t0, t0 + fine, m_lag);
            if (s.aa + s.bb < 2.0 * m_quiet * static_cast<double>(samples))
                continue;
            ++(residualOf(s) <= kExactResidual ? exactBlocks : inexactBlocks);
            if (residualOf(s) > kInexact && residualOf(s) <= kSeedLimit)
                ++closeBlocks;
            residual = std::max(residual, residualOf(s));
            level = std::max(level, unsharedLevel(s, samples));
            residuals.push_back(residualOf(s));
            levels.push_back(unsharedLevel(s, samples));
        }
        const std::int64_t end = std::min(m_end, from + settle);
        // A body bit-exact in places and elsewhere not a copy at all repeats
        // bit-exactly: a tracker's second pass may play a note otherwise
        // here and there, and before its restart row the first pass may
        // play otherwise (a ring of the intro, a volume or panning of its
        // own), however faint, so the loop begins where the copies become
        // exact for a while. A body copied closely in places is lossy audio,
        // perhaps stored again as PCM, whose codec noise is no ring.
        if (!m_audio.lossy && exactBlocks > 0 && closeBlocks == 0)
            return exactFrom(start, std::min(m_end, lastEnd), settle);
        // Exact in some places and close in others: its noise has no level
        // to measure a ring against.
        if (inexactBlocks == 0 || exactBlocks > 0)
            return start;
        // A stretch differs when it stands out of all the body shows: above
        // its largest relative difference (codec noise follows the level)
        // or above its largest unshared level (added noise does not). A ring
        // differs from the start on without a break; a short run that is
        // alike ends it.
        // Or above what the body typically shows, both relative and as a
        // level: a ring that still sounds three times above how closely
        // the loop repeats itself elsewhere is heard, even where a codec's
        // noise somewhere in the body reaches that high. Codec noise rises
        // with a loud block's level but not relative to it, added noise
        // rises relative to a quiet block but not as a level; a ring raises
        // both.
        const double typicalResidual = medianOf(residuals, 0, residuals.size());
        const double typicalLevel = medianOf(levels, 0, levels.size());
        const std::int64_t run = std::llround(kAlikeRunSeconds * m_audio.sampleRate);
        std::int64_t differs = -1; // the end of the last stretch that differs
        for (std::int64_t t = start; t + fine <= end && t - std::max(differs, start) < run;
             t += fine) {
            const PairSums s = pairSums(m_audio, t, t + fine, m_lag);
            if (s.aa + s.bb < 2.0 * m_quiet * static_cast<double>(samples))
                continue;
            const double r = residualOf(s);
            const double u = unsharedLevel(s, samples);
            if (r > kAlikeMargin * residual || u > kAlikeMargin * level ||
                (r > kTypicalMargin * typicalResidual && u > kTypicalMargin * typicalLevel))
                differs = t + fine;
        }
        if (differs < 0)
            return start;
        return std::max(start, m_audio.lossy ? startNear(differs) : noiseSplit(differs, fine));
    }

    // The first sample from `start` on after which the copies are bit-exact
    // for `settle` frames: where an exact repeat repeats. The intro's ring, or
    // a state the first pass plays otherwise (a tracker's volume or panning
    // before its restart row), may last many seconds, so the scan goes on up
    // to `end`; `start` where the copies differ up to there.
    std::int64_t exactFrom(std::int64_t start, std::int64_t end, std::int64_t settle) const {
        const std::size_t ch = static_cast<std::size_t>(m_audio.channels);
        std::int64_t alike = start;
        for (std::int64_t t0 = start; t0 < end && t0 - alike < settle; t0 += kWindowFrames / 2) {
            const std::int64_t t1 = std::min(end, t0 + kWindowFrames / 2);
            const float* x = m_audio.window(Track::Earlier, t0, t1);
            const float* y = m_audio.window(Track::Later, t0 + m_lag, t1 + m_lag);
            for (std::int64_t t = t0; t < t1 && t - alike < settle; ++t) {
                const float* a = x + static_cast<std::size_t>(t - t0) * ch;
                const float* b = y + static_cast<std::size_t>(t - t0) * ch;
                for (std::size_t c = 0; c < ch; ++c) {
                    if (a[c] != b[c])
                        alike = t + 1;
                }
            }
        }
        return alike < end ? alike : start;
    }

    // Noise added to lossless audio does not follow the music: where the
    // copies agree their difference is that noise alone, and where a ring
    // still sounds it is louder. The change of its variance is placed by
    // maximum likelihood (Gaussian noise, a different variance on either
    // side), exact in the sense that no other split explains the samples
    // better, within a couple of fine blocks of the last one that differs.
    std::int64_t noiseSplit(std::int64_t differs, std::int64_t fine) const {
        const std::int64_t lo = std::max<std::int64_t>(0, differs - kNoiseSplitBlocks * fine);
        const std::int64_t hi = std::min(m_end, differs + kNoiseSplitBlocks * fine);
        const std::size_t ch = static_cast<std::size_t>(m_audio.channels);
        const auto span = static_cast<std::size_t>(std::max<std::int64_t>(0, hi - lo));
        const float* x = m_audio.window(Track::Earlier, lo, hi);
        const float* y = m_audio.window(Track::Later, lo + m_lag, hi + m_lag);
        std::vector<double> prefix(span + 1, 0.0);
        for (std::size_t i = 0; i < span; ++i) {
            const float* a = x + i * ch;
            const float* b = y + i * ch;
            double d = 0.0;
            for (std::size_t c = 0; c < ch; ++c)
                d += (double{b[c]} - a[c]) * (double{b[c]} - a[c]);
            prefix[i + 1] = prefix[i] + d;
        }
        double best = std::numeric_limits<double>::infinity();
        std::size_t at = span;
        for (std::size_t u = kNoiseSplitMargin; u + kNoiseSplitMargin <= span; ++u) {
            const double nl = static_cast<double>(u);
            const double nr = static_cast<double>(span - u);
            const double left = prefix[u] / nl + kTinyVarianceShare;
            const double right = (prefix[span] - prefix[u]) / nr + kTinyVarianceShare;
            const double cost = nl * std::log(left) + nr * std::log(right);
            if (left > right && cost < best) {
                best = cost;
                at = u;
            }
        }
        return lo + static_cast<std::int64_t>(at);
    }

    // Step 6: the change point between the block before `earliest` (and any
    // quiet blocks before that) and the block from it on.
    std::int64_t startNear(std::int64_t earliest) {
        const std::int64_t lo = afterQuietBlocks(earliest);
        const std::int64_t hi = std::min(m_end, earliest + m_block);
        if (hi - lo < 2)
            return earliest;
        const SpanDifference d = spanDifference(lo, hi, earliest);
        const std::size_t span = d.relative.size();
        Split split = bestSplit(d.logSums);
        const double typical = medianOf(d.relative, split.at, span);
        if (typical < kExactRelative && split.at > 0)
            return lo + static_cast<std::int64_t>(afterLastInexact(d.relative, split.at, typical));
        if (lo == 0 && split.at > 0 && !standsOut(d, split))
            split.at = 0;
        if (split.at > 0)
            split.at = lastDifferingBefore(d.relative, lastDifferingStretch(d.broad, split.at));
        return lo + static_cast<std::int64_t>(split.at);
    }

    // The start of the block before `earliest`, or of the first of the quiet
    // blocks right before that one, which neither match nor differ.
    std::int64_t afterQuietBlocks(std::int64_t earliest) {
        std::int64_t lo = earliest;
        while (lo > 0) {
            const std::int64_t b = std::max<std::int64_t>(0, lo - m_block);
            const bool quiet = classify(b, lo) == BlockMatch::Silent;
            lo = b;
            if (!quiet)
                break;
        }
        return lo;
    }

    // Each sample's difference of the two copies over [lo, hi), relative to
    // the level around it, as step 6 weighs it.
    struct SpanDifference {
        std::vector<double> relative;   // to the local level
        std::vector<double> broad;      // the same over a broader level
        std::vector<double> logSums;    // prefix sums of log(relative)
        std::vector<double> logSquares; // and of their squares
    };

    // The difference follows the gain of the later copy, a straight line
    // fitted where both surely agree, so that a fade is followed into the
    // span. It is taken relative to the local level, so that loud and quiet
    // passages weigh alike, on a log scale, where a burst of codec noise
    // stays far from a real difference. Below the noise the noise counts.
    SpanDifference spanDifference(std::int64_t lo, std::int64_t hi, std::int64_t earliest) const {
        const std::int64_t g0 = hi + kGainLineBlocks * m_block <= m_end ? hi : earliest;
        const auto [gain, slope] = gainLine(g0, std::min(m_end, g0 + kGainLineBlocks * m_block));
        const std::size_t ch = static_cast<std::size_t>(m_audio.channels);
        const std::size_t span = static_cast<std::size_t>(hi - lo);
        std::vector<double> difference(span);
        std::vector<double> energyPrefix(span + 1, 0.0);
        const float* x = m_audio.window(Track::Earlier, lo, hi);
        const float* y = m_audio.window(Track::Later, lo + m_lag, hi + m_lag);
        for (std::size_t i = 0; i < span; ++i) {
            const float* a = x + i * ch;
            const float* b = y + i * ch;
            double d = 0;
            double e = 0;
            for (std::size_t c = 0; c < ch; ++c) {
                const double u = a[c];
                const double v = b[c];
                const double g =
                    gain + slope * static_cast<double>(lo + static_cast<std::int64_t>(i) - g0);
                d += (v - g * u) * (v - g * u);
                e += u * u + v * v;
            }
            difference[i] = d;
            energyPrefix[i + 1] = energyPrefix[i] + e;
        }
        const double floor = 2.0 * static_cast<double>(ch) * (kNoiseFactor * m_noise + kTinyLevel);
        SpanDifference out{std::vector<double>(span), std::vector<double>(span),
                           std::vector<double>(span + 1, 0.0), std::vector<double>(span + 1, 0.0)};
        for (std::size_t i = 0; i < span; ++i) {
            const std::size_t from = i > kLevelReach ? i - kLevelReach : 0;
            const std::size_t to = std::min(span, i + kLevelReach + 1);
            const double level =
                (energyPrefix[to] - energyPrefix[from]) / static_cast<double>(to - from);
            out.relative[i] = difference[i] / (level + floor);
            const std::size_t wideFrom = i > kBroadReach ? i - kBroadReach : 0;
            const std::size_t wideTo = std::min(span, i + kBroadReach + 1);
            out.broad[i] = difference[i] / ((energyPrefix[wideTo] - energyPrefix[wideFrom]) /
                                                static_cast<double>(wideTo - wideFrom) +
                                            floor);
            const double v = std::log(out.relative[i] + kTinyRelative);
            out.logSums[i + 1] = out.logSums[i] + v;
            out.logSquares[i + 1] = out.logSquares[i] + v * v;
        }
        return out;
    }

    // A split of the span: the matching stretch begins `at` samples in, and
    // `gain` is how much the split lowers the squared deviation of the log
    // values from their means.
    struct Split {
        double gain = 0.0;
        std::size_t at = 0;
    };

    // The split into a differing stretch and a matching one with the least
    // squared deviation from their means, earlier on ties; at 0 for none.
    static Split bestSplit(const std::vector<double>& logSums) {
        const std::size_t span = logSums.size() - 1;
        const double total = static_cast<double>(span);
        Split best;
        for (std::size_t u = 1; u < span; ++u) {
            const double nl = static_cast<double>(u);
            const double nr = total - nl;
            const double left = logSums[u] / nl;
            const double right = (logSums[span] - logSums[u]) / nr;
            const double gain = nl * nr / total * (left - right) * (left - right);
            if (left > right && gain > best.gain) {
                best.gain = gain;
                best.at = u;
            }
        }
        return best;
    }

    // Where the copies are exact after the split, the start is right after
    // the last sample that differs at all: a split by means may take a few
    // chance agreements before it for part of the match.
    static std::size_t afterLastInexact(const std::vector<double>& relative, std::size_t split,
                                        double typical) {
        const double differs = std::max(kExactRelative, kExactDifferFactor * typical);
        std::size_t last = std::min(relative.size(), split + kExactLookPast);
        while (last > 0 && relative[last - 1] <= differs)
            --last;
        return last;
    }

    // At the very beginning of the audio the span may not differ at all: then
    // a split must stand far out of the scatter of the values.
    static bool standsOut(const SpanDifference& d, const Split& split) {
        const double total = static_cast<double>(d.relative.size());
        const double sum = d.logSums.back();
        const double variance =
            (d.logSquares.back() - sum * sum / total - split.gain) / std::max(1.0, total - 2);
        return !(split.gain < kSplitEvidence * std::max(variance, kTinyVariance));
    }

    // The median of values[from, to), to clipped to the end.
    static double medianOf(const std::vector<double>& values, std::size_t from, std::size_t to) {
        std::vector<double> part(values.begin() + static_cast<std::ptrdiff_t>(from),
                                 values.begin() +
                                     static_cast<std::ptrdiff_t>(std::min(values.size(), to)));
        std::nth_element(part.begin(), part.begin() + static_cast<std::ptrdiff_t>(part.size() / 2),
                         part.end());
        return part[part.size() / 2];
    }

    // A split by means can stop at a long stretch that differs only a little
    // and leave a short one that clearly differs after it: the codec hid most
    // of the change. Scanning back from a little after `split`, the evidence
    // that the copies differ is summed (CUSUM) from each sample's log ratio
    // to the noise of the match, capped so that one burst of codec noise
    // cannot decide, less what noise alone reaches; where it exceeds a bound,
    // the split moves to just after the stretch that raised it. The level
    // here is taken over a codec's short frame, as its noise is, so that a
    // quiet moment after a loud one does not pass for a difference.
    static std::size_t lastDifferingStretch(const std::vector<double>& broad, std::size_t split) {
        const double noise = medianOf(broad, split, split + kNoiseSpan) + kTinyRatio;
        const std::size_t top = std::min(broad.size(), split + kStretchReach);
        double evidence = 0.0;
        std::size_t boundary = top;
        for (std::size_t i = top; i > split; --i) {
            const double previous = evidence;
            const double ratio = std::log(broad[i - 1] / noise + kTinyRatio);
            evidence = std::max(0.0, evidence + std::min(kStretchCap, ratio) - kStretchAllowance);
            if (previous == 0.0 && evidence > 0.0)
                boundary = i;
            if (evidence > kStretchEvidence) // a stretch cut off by the end of the reach is not one
                return boundary + kStretchTail <= top ? boundary : split;
        }
        return split;
    }

    // A codec spreads its noise a few samples to both sides of the change,
    // which can carry a split by means past it. The start goes to just after
    // the last sample within a few of `split` whose difference stands far
    // above the noise of the match after it; with none there, `split` stays.
    static std::size_t lastDifferingBefore(const std::vector<double>& relative, std::size_t split) {
        const std::size_t span = relative.size();
        const double differs = kDifferFactor * medianOf(relative, split, split + kNoiseSpan);
        const std::size_t bottom = split > kSmear ? split - kSmear : 0;
        for (std::size_t i = std::min(span, split + kSmear); i > bottom; --i) {
            if (relative[i - 1] > differs)
                return i;
        }
        return split;
    }

    const Track& m_audio;
    std::int64_t m_lag;
    std::int64_t m_end; // pairs exist for t below this
    double m_silence;
    std::int64_t m_block;
    double m_threshold = kMinThreshold;
    double m_noise = 0; // unshared level of the repetition: the noise the copies carry
    double m_quiet = 0; // blocks below this mean square tell nothing
    int m_toleratedMisses = 0;
    double m_lastResidual = 1.0; // of the block classify saw last
    double m_matchedFrames = 0;
    struct MatchedBlock {
        std::int64_t begin;
        double residual;
        double energy;
    };
    std::vector<MatchedBlock> m_matched;
    double m_inexactness = 1.0;
    double m_seen = 0.0;
    double m_gain = 1.0; // of the later copy over the earlier, in the block matched last
};

// ---- step 3: sample-exact lags -------------------------------------------------

// The seeds' lags to the sample, those within the audio, at least the
// shortest loop long and repeating at all.
std::vector<Lag> exactLags(const Track& audio, const std::vector<Seed>& seeds, const Coarse& coarse,
                           std::int64_t minLoop) {
    std::vector<Lag> lags;
    for (const Seed& seed : seeds) {
        Lag lag = exactLag(audio, seed, coarse.factor / 2 + kLagReachPastGrid);
        if (lag.frames >= minLoop && lag.frames < audio.frames() && lag.residual <= kSeedLimit)
            lags.push_back(lag);
    }
    return lags;
}

// ---- step 4: the shortest period -------------------------------------------------

// The first `seedLags` of `lags` divided by every whole number that leaves at
// least the shortest loop: a loop repeated many times shows its fundamental
// no more clearly than its multiples. Periods that repeat are added.
void addDividedLags(const Track& audio, std::int64_t minLoop, std::size_t seedLags,
                    std::vector<Lag>& lags) {
    for (std::size_t i = 0; i < seedLags; ++i) {
        const Lag lag = lags[i];
        for (std::int64_t k = 2; k <= kMaxDivisions + 1 && lag.frames / k >= minLoop; ++k)
            tryPeriod(audio, lag, static_cast<double>(lag.frames) / static_cast<double>(k), lags);
    }
}

// A period shorter than the shortest loop, found through the exact lags'
// common divisor, and its first multiple that is a loop; zeros for none.
struct ShortPeriod {
    std::int64_t period = 0;
    std::int64_t loop = 0;
};

// Exact lags are all multiples of their greatest common divisor, which may be
// shorter than the shortest loop: then its first multiple that is long enough
// is the loop. A divisor of it may be the true period (lags found on the
// coarse grid share its multiples): the shortest loop the divisors give that
// repeats exactly is added to `lags` and returned with its period, so that
// every exact lag that is a multiple of that period is taken for one of its
// multiples.
ShortPeriod addCommonPeriodLag(const Track& audio, std::int64_t minLoop, std::size_t seedLags,
                               std::vector<Lag>& lags) {
    ShortPeriod found;
    std::int64_t common = 0;
    for (std::size_t i = 0; i < seedLags; ++i) {
        if (lags[i].residual <= kExactResidual)
            common = std::gcd(common, lags[i].frames);
    }
    const auto longest =
        std::max_element(lags.begin(), lags.begin() + static_cast<std::ptrdiff_t>(seedLags),
                         [](const Lag& a, const Lag& b) {
                             return (a.residual <= kExactResidual ? a.frames : 0) <
                                    (b.residual <= kExactResidual ? b.frames : 0);
                         });
    if (!(common > 0 && longest->residual <= kExactResidual))
        return found;
    std::vector<std::pair<std::int64_t, std::int64_t>> loops; // (loop, period)
    for (std::int64_t d = 1; d <= kCommonDivisors; ++d) {
        if (common % d == 0) {
            const std::int64_t q = common / d;
            loops.emplace_back((minLoop + q - 1) / q * q, q);
        }
    }
    std::sort(loops.begin(), loops.end());
    const Lag of = *longest; // `lags` may grow under it
    for (const auto& [loop, q] : loops) {
        if (loop >= of.frames)
            break;
        const std::size_t before = lags.size();
        tryPeriod(audio, of, static_cast<double>(loop), lags);
        if (lags.size() > before && lags.back().frames == loop) {
            found.period = q;
            found.loop = loop;
            break;
        }
    }
    return found;
}

// The lags shortest first, so that multiples meet their loop; lags within
// kSameLag frames of each other are one, the one with the smaller residual.
std::vector<Lag> distinctLags(std::vector<Lag> lags) {
    std::sort(lags.begin(), lags.end(), [](const Lag& a, const Lag& b) {
        return a.frames != b.frames ? a.frames < b.frames : a.residual < b.residual;
    });
    std::vector<Lag> distinct;
    for (const Lag& lag : lags) {
        if (!distinct.empty() && lag.frames - distinct.back().frames <= kSameLag) {
            if (lag.residual < distinct.back().residual)
                distinct.back() = lag;
            continue;
        }
        distinct.push_back(lag);
    }
    return distinct;
}

// ---- steps 5 to 8, per lag ---------------------------------------------------------

// Candidates found so far, each with how far its copies are from exact.
struct Found {
    std::vector<LoopCandidate> candidates;
    std::vector<double> inexactness;
    std::vector<double> seen; // frames from each start over which its repeat was seen
};

// Whether `lag` only repeats a loop already found: a multiple of a found loop
// adds nothing where that loop already holds; a shorter loop that repeats
// only by chance somewhere later (a few notes played again) says nothing of
// this lag.
bool multipleOfFound(const Lag& lag, const std::vector<LoopCandidate>& found,
                     const ShortPeriod& shortPeriod) {
    const std::int64_t seenFrom = std::max<std::int64_t>(0, lag.seed.laterBegin - lag.frames);
    const bool multiple = std::any_of(found.begin(), found.end(), [&](const LoopCandidate& c) {
        const std::int64_t loop = c.stop - c.start;
        const std::int64_t k = (lag.frames + loop / 2) / loop;
        return k >= 2 && c.score >= kHoldingScore && c.start <= seenFrom &&
               std::abs(lag.frames - k * loop) <= kMultipleSlack * k;
    });
    const bool ofShortPeriod =
        shortPeriod.period > 0 && lag.frames != shortPeriod.loop &&
        lag.residual <= kExactResidual && lag.frames % shortPeriod.period == 0 &&
        std::any_of(found.begin(), found.end(), [&](const LoopCandidate& c) {
            return c.stop - c.start == shortPeriod.loop && c.start <= seenFrom;
        });
    return multiple || ofShortPeriod;
}

// Steps 5 to 8 for one lag: followed through the audio, its start placed,
// moved past a ring the seam judge hears, and admitted by the seam verdict.
// Adds the candidate to `found` when there is one.
void followLag(const Track& audio, const Lag& lag, double silence, Found& found) {
    Follower follower(audio, lag, silence);
    std::optional<LoopCandidate> candidate = follower.follow(lag.seed);
    if (!candidate)
        return;
    const std::int64_t length = candidate->stop - candidate->start;
    candidate->judged = JudgeSeam(audio.source(), candidate->start, candidate->stop);
    if (!IsSeamless(candidate->judged)) {
        const std::optional<std::int64_t> start =
            seamlessStartFrom(audio, candidate->start, length, follower.block());
        if (!start)
            return;
        candidate->start = *start;
        candidate->stop = *start + length;
        candidate->judged = JudgeSeam(audio.source(), candidate->start, candidate->stop);
    }
    candidate->seam = seamScore(audio, candidate->start, candidate->stop);
    found.candidates.push_back(*candidate);
    found.inexactness.push_back(follower.inexactness());
    found.seen.push_back(follower.seen());
}

// Steps 5 to 8 for every lag, shortest first; nullopt when `checking` was
// cancelled.
std::optional<Found> followLags(const Track& audio, const std::vector<Lag>& lags,
                                const ShortPeriod& shortPeriod, double silence,
                                const Progress& checking) {
    Found found;
    for (std::size_t i = 0; i < lags.size(); ++i) {
        if (!checking.at(static_cast<double>(i) / lags.size()))
            return std::nullopt;
        if (!multipleOfFound(lags[i], found.candidates, shortPeriod))
            followLag(audio, lags[i], silence, found);
    }
    return found;
}

// ---- step 9: ranking ----------------------------------------------------------------

// A near-period repeats the audio closely and the period exactly: the least
// inexact candidates are kept, as the others are not the repetition the track
// was made of, best first, at most `most` of them.
std::vector<LoopCandidate> rankedCandidates(const Found& found, double rate, std::size_t most) {
    double least = 1.0;
    for (double v : found.inexactness)
        least = std::min(least, v);
    // The evidence: a repeat seen over less than a sixth of its loop (and
    // 0.9 s) scales the match down, unless it is seen for 2 s and no loop of
    // the track is seen repeating for longer (a track stored as its loop and
    // a few seconds of it again shows no more than those seconds of any loop).
    double longestSeen = 0.0;
    for (std::size_t i = 0; i < found.candidates.size(); ++i) {
        const LoopCandidate& c = found.candidates[i];
        longestSeen =
            std::max(longestSeen, std::min(found.seen[i], static_cast<double>(c.stop - c.start)));
    }
    std::vector<LoopCandidate> ranked;
    for (std::size_t i = 0; i < found.candidates.size(); ++i) {
        if (found.inexactness[i] > kTieFactor * least + kExactResidual)
            continue;
        LoopCandidate c = found.candidates[i];
        const double needed =
            std::min(std::max(kMinRepeatedSeconds * rate,
                              kEvidenceShare * static_cast<double>(c.stop - c.start)),
                     std::max(longestSeen, kConvincingSeconds * rate));
        if (needed > 0)
            c.score *= std::min(1.0, found.seen[i] / needed);
        ranked.push_back(c);
    }
    std::sort(ranked.begin(), ranked.end(), [](const LoopCandidate& a, const LoopCandidate& b) {
        if (a.score != b.score)
            return a.score > b.score;
        if (a.repeatedSeconds != b.repeatedSeconds)
            return a.repeatedSeconds > b.repeatedSeconds;
        return a.stop - a.start < b.stop - b.start;
    });
    // Then by what each loop is seen to play seamlessly (its repeat, at
    // most one loop's length of it, times its match): a loop seen to play
    // clearly more of the song goes before one better by the figures above,
    // so the loop that holds the repeated part of the song comes before a
    // short repeat inside it, however clean that one is.
    const auto played = [rate](const LoopCandidate& c) {
        return std::min(c.repeatedSeconds, static_cast<double>(c.stop - c.start) / rate) * c.score;
    };
    for (auto next = ranked.begin(); next != ranked.end(); ++next) {
        const auto most = std::max_element(next, ranked.end(), [&](const auto& a, const auto& b) {
            return played(a) < played(b);
        });
        if (played(*most) > kClearlyMore * played(*next))
            std::rotate(next, most, most + 1);
    }
    if (ranked.size() > most)
        ranked.resize(most);
    return ranked;
}

// ---- step 10: the whole track ---------------------------------------------------------

// Whether the track ends at about the level it starts at, over its first
// and last second of the coarse signal: a song that fades or rings out to
// silence and then starts again at full level restarts, however smooth the
// junction of two quiet samples is.
bool levelsMeet(const Track& audio, const Coarse& coarse) {
    const auto edge = std::min<std::size_t>(
        coarse.signal.size() / 2,
        static_cast<std::size_t>(kWholeEdgeSeconds * audio.sampleRate / coarse.factor));
    if (edge == 0)
        return false;
    double head = 0.0;
    double tail = 0.0;
    for (std::size_t i = 0; i < edge; ++i) {
        head += double{coarse.signal[i]} * coarse.signal[i];
        tail += double{coarse.signal[coarse.signal.size() - 1 - i]} *
                coarse.signal[coarse.signal.size() - 1 - i];
    }
    const double louder = std::max(head, tail);
    return louder > 0 && std::min(head, tail) >= louder * std::pow(10.0, -kWholeLevelDb / 10);
}

// Music made to loop whole repeats nothing inside the track: then the loop
// is the whole track when it is long enough, audible, and its end flows into
// its start; nullopt otherwise.
std::optional<LoopCandidate> wholeTrackLoop(const Track& audio, const Coarse& coarse,
                                            std::int64_t minLoop, double silence,
                                            double meanSquare) {
    const std::int64_t n = audio.frames();
    if (!(n >= minLoop && meanSquare > silence) || !levelsMeet(audio, coarse))
        return std::nullopt;
    LoopCandidate whole;
    whole.kind = LoopKind::WholeTrack;
    whole.judged = JudgeSeam(audio.source(), 0, n);
    if (!wholeLoopHolds(whole.judged))
        return std::nullopt;
    whole.stop = n;
    whole.score = 1.0;
    whole.seam = 0.0;
    return whole;
}

// ---- the search ------------------------------------------------------------------------

// FindLoops with its progress mapped onto [from, to] of `callback`'s.
LoopSearch searchSteps(const Track& audio, const LoopSearchOptions& options,
                       const ProgressCallback& callback, double from, double to) {
    LoopSearch result;
    if (audio.channels <= 0 || audio.sampleRate <= 0 || audio.frames() == 0)
        return result;
    const std::int64_t minLoop =
        options.minLoopFrames > 0 ? options.minLoopFrames : std::int64_t{2} * audio.sampleRate;
    const double span = to - from;
    if (!Progress(callback, from, to).at(0.0)) {
        result.cancelled = true;
        return result;
    }
    const double seedsFrom =
        from + (audio.decodedInPass() ? kDecodedSeedsProgress : kSeedsProgress) * span;
    const Pass pass = passOver(audio, Progress(callback, from, seedsFrom));
    if (pass.cancelled) {
        result.cancelled = true;
        return result;
    }
    const Coarse& coarse = pass.coarse;
    const double silence = std::max(kSilentLevel, kRelativeSilence * pass.meanSquare);
    bool cancelled = false;
    const std::vector<Seed> seeds =
        coarseSeeds(audio, coarse, minLoop,
                    Progress(callback, seedsFrom, from + kCheckProgress * span), cancelled);
    if (cancelled) {
        result.cancelled = true;
        return result;
    }
    std::vector<Lag> lags = exactLags(audio, seeds, coarse, minLoop);
    const std::size_t seedLags = lags.size();
    addDividedLags(audio, minLoop, seedLags, lags);
    const ShortPeriod shortPeriod = addCommonPeriodLag(audio, minLoop, seedLags, lags);
    const Progress checking(callback, from + kCheckProgress * span, to);
    const std::optional<Found> found =
        followLags(audio, distinctLags(std::move(lags)), shortPeriod, silence, checking);
    if (!found) {
        result.cancelled = true;
        return result;
    }
    result.candidates = rankedCandidates(*found, audio.sampleRate, options.maxCandidates);
    if (result.candidates.empty()) {
        if (std::optional<LoopCandidate> whole =
                wholeTrackLoop(audio, pass.coarse, minLoop, silence, pass.meanSquare))
            result.candidates.push_back(*whole);
    }
    if (!checking.at(1.0))
        result.cancelled = true;
    return result;
}

// searchSteps, which the caller may stop at any window read: between
// reports of progress the search asks again at the fraction last reported.
LoopSearch searchLoops(const Track& audio, const LoopSearchOptions& options,
                       const ProgressCallback& callback, double from, double to) {
    double reported = from;
    const ProgressCallback tracked = [&](double fraction) {
        reported = fraction;
        return !callback || callback(fraction);
    };
    if (callback)
        audio.watch([&] { return callback(reported); });
    try {
        LoopSearch result = searchSteps(audio, options, tracked, from, to);
        audio.watch({});
        return result;
    } catch (const SearchCancelled&) {
        audio.watch({});
        LoopSearch cancelled;
        cancelled.cancelled = true;
        return cancelled;
    }
}

} // namespace

LoopSearch FindLoops(const AudioSamples& audio, const LoopSearchOptions& options,
                     const ProgressCallback& progress) {
    return searchLoops(Track(audio), options, progress, 0.0, 1.0);
}

LoopSearch FindLoops(AudioReader& reader, const LoopSearchOptions& options,
                     const ProgressCallback& progress) {
    // A lossy file decodes again from its beginning at every jump back: the
    // pass over it decodes it once, in order, into a scratch file, from
    // which the windows are then read back.
    reader.keepDecodedInScratch();
    const std::int64_t frames = reader.info().frames;
    LoopSearch found = searchLoops(Track(reader, frames), options, progress, 0.0, 1.0);
    // A lossy file whose decoding ended before its header's end holds what
    // decoded: the search is made again on that.
    if (!found.cancelled && reader.info().frames != frames)
        found = searchLoops(Track(reader, reader.info().frames), options, progress, 0.0, 1.0);
    return found;
}

LoopSearch FindLoops(const fs::path& file, const LoopSearchOptions& options,
                     const ProgressCallback& progress) {
    AudioReader reader(file);
    return FindLoops(reader, options, progress);
}

double SeamScore(const AudioSamples& audio, std::int64_t start, std::int64_t stop,
                 std::int64_t window) {
    return seamScore(Track(audio), start, stop, window);
}

} // namespace kestrin::audio
