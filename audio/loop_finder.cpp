// SPDX-License-Identifier: GPL-3.0-or-later
#include "loop_finder.h"

#include "audio_files.h"
#include "audio_reader.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace kestrin::audio {

namespace fs = std::filesystem;

namespace {

// The figures the steps in the header name.
constexpr double kCoarseRate = 2756.25;          // Hz: 44.1 kHz / 16
constexpr double kTemplateSeconds = 0.75;        // long enough to be unique, short enough
                                                 // to fit a one-second overlap at the end
constexpr double kEndMarginSeconds = 0.05;       // codec padding at the very end
constexpr double kPeakSpacingSeconds = 0.05;     // peaks closer than this are one peak
constexpr double kMinPeak = 0.4;                 // coarse correlation worth a closer look
constexpr int kPeaksPerTemplate = 5;             //
constexpr double kSeedLimit = 0.1;               // residual: above it, no repetition
constexpr double kMinThreshold = 2e-4;           // residual threshold for bit-exact copies
constexpr double kLossyThreshold = 0.02;         // the same through a lossy codec
constexpr double kThresholdFactor = 30.0;        // threshold over the typical residual
constexpr double kInexact = 1e-4;                // residual of a copy that is not exact
constexpr double kBlockSeconds = 1024.0 / 44100; // the block of step 4
constexpr int kForwardMisses = 4;                // different blocks that end a repetition
constexpr int kLookPast = 3;                     // slightly different blocks looked past
constexpr double kMinRepeatedSeconds = 0.9;      // less is chance, not a loop
constexpr double kMinCoverage = 0.5;             //
constexpr double kNoiseFactor = 2.0;             // unshared level still taken for noise
constexpr double kQuietFactor = 8.0;             // blocks this close to the noise are neutral
constexpr double kSplitEvidence = 30.0;          // a split's gain over the scatter
constexpr double kExactRelative = 1e-6;          // relative difference of exact copies, at most
constexpr std::size_t kSmear = 4;                // samples a codec smears a change by
constexpr std::size_t kNoiseSpan = 512;          // samples after the start that give its noise
constexpr double kDifferFactor = 100.0;          // a sample this far above that noise differs
constexpr std::size_t kBroadReach = 64;          // samples to each side for a codec-like level
constexpr std::size_t kStretchReach = 256;       // samples after a split searched for a stretch
constexpr double kStretchCap = 4.0;              // of one sample's log ratio to the noise
constexpr double kStretchAllowance = 2.0;        // log ratio a sample of noise may reach
constexpr double kStretchEvidence = 12.0;        // summed log ratio of a differing stretch
constexpr double kSilentLevel = 1e-9;            // mean square, about -90 dBFS
constexpr double kRelativeSilence = 1e-5;        // -50 dB below the track's mean square

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

// FFTW's planner keeps global state: plans are made and destroyed one at a
// time. Executing a plan is thread-safe.
std::mutex& fftwPlannerMutex() {
    static std::mutex mutex;
    return mutex;
}

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

// In-place real transforms of one size on buffers of size + 2 floats.
class RealFft {
public:
    explicit RealFft(std::size_t size) : m_size(size), m_probe(fftwBuffer(size + 2)) {
        const int n = static_cast<int>(size);
        auto* complex = reinterpret_cast<fftwf_complex*>(m_probe.get());
        std::lock_guard lock(fftwPlannerMutex());
        m_forward = fftwf_plan_dft_r2c_1d(n, m_probe.get(), complex, FFTW_ESTIMATE);
        m_inverse = fftwf_plan_dft_c2r_1d(n, complex, m_probe.get(), FFTW_ESTIMATE);
        if (!m_forward || !m_inverse) {
            destroy();
            throw std::bad_alloc();
        }
    }
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;
    ~RealFft() {
        std::lock_guard lock(fftwPlannerMutex());
        destroy();
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
    void destroy() {
        if (m_forward)
            fftwf_destroy_plan(m_forward);
        if (m_inverse)
            fftwf_destroy_plan(m_inverse);
        m_forward = m_inverse = nullptr;
    }

    std::size_t m_size;
    FftwBuffer m_probe; // the planner's example array; alignment matches fftwf_malloc's
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

// Sums for t in [t0, t1), every channel, every `stride`-th frame. Float lanes
// over short runs keep the loop vectorisable; the runs add up in double.
PairSums pairSums(const AudioSamples& audio, std::int64_t t0, std::int64_t t1, std::int64_t lag,
                  int stride = 1) {
    PairSums sums;
    if (t1 <= t0)
        return sums;
    const std::size_t ch = static_cast<std::size_t>(audio.channels);
    const float* x = audio.samples.data();
    const std::size_t offset = static_cast<std::size_t>(lag) * ch;
    if (stride == 1) {
        constexpr std::size_t kLanes = 8;
        constexpr std::size_t kRun = 4096;
        std::size_t i = static_cast<std::size_t>(t0) * ch;
        const std::size_t end = static_cast<std::size_t>(t1) * ch;
        while (i < end) {
            const std::size_t runEnd = std::min(end, i + kRun);
            std::array<float, kLanes> aa{};
            std::array<float, kLanes> bb{};
            std::array<float, kLanes> ab{};
            for (; i + kLanes <= runEnd; i += kLanes) {
                for (std::size_t k = 0; k < kLanes; ++k) {
                    const float a = x[i + k];
                    const float b = x[i + k + offset];
                    aa[k] += a * a;
                    bb[k] += b * b;
                    ab[k] += a * b;
                }
            }
            for (; i < runEnd; ++i) {
                const float a = x[i];
                const float b = x[i + offset];
                aa[0] += a * a;
                bb[0] += b * b;
                ab[0] += a * b;
            }
            for (std::size_t k = 0; k < kLanes; ++k) {
                sums.aa += aa[k];
                sums.bb += bb[k];
                sums.ab += ab[k];
            }
        }
        return sums;
    }
    for (std::int64_t t = t0; t < t1; t += stride) {
        const float* a = x + static_cast<std::size_t>(t) * ch;
        for (std::size_t c = 0; c < ch; ++c) {
            sums.aa += double{a[c]} * a[c];
            sums.bb += double{a[c + offset]} * a[c + offset];
            sums.ab += double{a[c]} * a[c + offset];
        }
    }
    return sums;
}

double meanSquare(const AudioSamples& audio) {
    if (audio.samples.empty())
        return 0.0;
    PairSums s = pairSums(audio, 0, audio.frames(), 0);
    return s.aa / static_cast<double>(audio.samples.size());
}

// ---- step 1: the coarse signal -----------------------------------------------

struct Coarse {
    int factor = 1; // D
    std::vector<float> signal;
};

Coarse coarseSignal(const AudioSamples& audio) {
    Coarse coarse;
    coarse.factor = std::max(1, static_cast<int>(std::lround(audio.sampleRate / kCoarseRate)));
    const std::int64_t d = coarse.factor;
    const std::int64_t taps = 2 * d - 1;
    const std::int64_t n = audio.frames();
    if (n < taps)
        return coarse;
    const std::size_t ch = static_cast<std::size_t>(audio.channels);
    // A triangle summing to 1, over the channels' sum: their average.
    std::vector<float> weights(static_cast<std::size_t>(taps));
    for (std::int64_t k = 0; k < taps; ++k)
        weights[static_cast<std::size_t>(k)] =
            static_cast<float>(std::min(k + 1, taps - k)) / static_cast<float>(d * d * ch);
    const std::int64_t count = (n - taps) / d + 1;
    coarse.signal.resize(static_cast<std::size_t>(count));
    const float* x = audio.samples.data();
    for (std::int64_t j = 0; j < count; ++j) {
        const float* frame = x + static_cast<std::size_t>(j * d) * ch;
        float acc = 0.0F;
        for (std::int64_t k = 0; k < taps; ++k) {
            float s = 0.0F;
            for (std::size_t c = 0; c < ch; ++c)
                s += frame[static_cast<std::size_t>(k) * ch + c];
            acc += weights[static_cast<std::size_t>(k)] * s;
        }
        coarse.signal[static_cast<std::size_t>(j)] = acc;
    }
    return coarse;
}

// ---- step 2: coarse lags -------------------------------------------------------

// A place where the audio seems to repeat: the later copy lies at
// [laterBegin, laterEnd), the earlier one about `lag` frames before it.
struct Seed {
    double lag = 0;
    std::int64_t laterBegin = 0;
    std::int64_t laterEnd = 0;
};

// Where templates are cut, in coarse samples: see the header.
std::vector<std::int64_t> templatePlaces(const std::vector<double>& energyPrefix, std::int64_t w,
                                         std::int64_t margin) {
    const auto count = static_cast<std::int64_t>(energyPrefix.size()) - 1;
    std::vector<std::int64_t> places;
    if (count < w + margin)
        return places;
    auto energy = [&](std::int64_t p) {
        return energyPrefix[static_cast<std::size_t>(p + w)] -
               energyPrefix[static_cast<std::size_t>(p)];
    };
    const double loud = 0.05 * energyPrefix.back() * static_cast<double>(w) / count;
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

std::vector<Seed> coarseSeeds(const AudioSamples& audio, const Coarse& coarse, std::int64_t minLoop,
                              const Progress& progress, bool& cancelled) {
    std::vector<Seed> seeds;
    const std::vector<float>& c = coarse.signal;
    const auto count = static_cast<std::int64_t>(c.size());
    const double coarseRate = static_cast<double>(audio.sampleRate) / coarse.factor;
    const std::int64_t w =
        std::min<std::int64_t>(std::llround(kTemplateSeconds * coarseRate), count / 4);
    if (w < 16)
        return seeds;
    std::vector<double> prefix(c.size() + 1, 0.0);
    for (std::size_t i = 0; i < c.size(); ++i)
        prefix[i + 1] = prefix[i] + double{c[i]} * c[i];
    const std::vector<std::int64_t> places =
        templatePlaces(prefix, w, std::llround(kEndMarginSeconds * coarseRate));
    if (places.empty())
        return seeds;

    const RealFft fft(fftSize(c.size() + static_cast<std::size_t>(w)));
    const std::size_t m = fft.size();
    FftwBuffer spectrum = fft.buffer();
    std::fill(std::copy(c.begin(), c.end(), spectrum.get()), spectrum.get() + m + 2, 0.0F);
    fft.forward(spectrum.get());
    FftwBuffer work = fft.buffer();
    std::vector<float> ncc(c.size());
    const std::int64_t minLag =
        std::max<std::int64_t>(2, (minLoop - coarse.factor) / coarse.factor);
    const std::int64_t spacing =
        std::max<std::int64_t>(2, std::llround(kPeakSpacingSeconds * coarseRate));

    for (std::size_t t = 0; t < places.size(); ++t) {
        if (!progress.at(static_cast<double>(t) / places.size())) {
            cancelled = true;
            return {};
        }
        const std::int64_t p = places[t];
        float* v = work.get();
        std::fill(std::copy(c.begin() + p, c.begin() + p + w, v), v + m + 2, 0.0F);
        fft.forward(v);
        const float* s = spectrum.get();
        for (std::size_t k = 0; k < m + 2; k += 2) {
            const float re = s[k] * v[k] + s[k + 1] * v[k + 1];
            const float im = s[k + 1] * v[k] - s[k] * v[k + 1];
            v[k] = re;
            v[k + 1] = im;
        }
        fft.inverse(v);
        const double templateEnergy =
            prefix[static_cast<std::size_t>(p + w)] - prefix[static_cast<std::size_t>(p)];
        const std::int64_t last = count - w; // the last start of a full window
        for (std::int64_t q = 0; q <= last; ++q) {
            const double e =
                prefix[static_cast<std::size_t>(q + w)] - prefix[static_cast<std::size_t>(q)];
            const bool far = std::abs(q - p) >= minLag;
            ncc[static_cast<std::size_t>(q)] =
                far && e > 1e-9 * templateEnergy
                    ? static_cast<float>(v[q] / static_cast<double>(m) /
                                         std::sqrt(templateEnergy * e))
                    : -1.0F;
        }
        std::vector<std::pair<float, std::int64_t>> peaks;
        for (std::int64_t q = 0; q <= last; ++q) {
            const float here = ncc[static_cast<std::size_t>(q)];
            if (here < kMinPeak)
                continue;
            const float before = q > 0 ? ncc[static_cast<std::size_t>(q - 1)] : -1.0F;
            const float after = q < last ? ncc[static_cast<std::size_t>(q + 1)] : -1.0F;
            if (here >= before && here > after)
                peaks.emplace_back(here, q);
        }
        std::sort(peaks.begin(), peaks.end(),
                  [](const auto& x, const auto& y) { return x.first > y.first; });
        std::vector<std::int64_t> taken;
        for (const auto& [value, q] : peaks) {
            if (static_cast<int>(taken.size()) == kPeaksPerTemplate)
                break;
            if (std::any_of(taken.begin(), taken.end(),
                            [&](std::int64_t o) { return std::abs(o - q) < spacing; }))
                continue;
            taken.push_back(q);
            double offset = 0.0;
            if (q > 0 && q < last) {
                const double y0 = ncc[static_cast<std::size_t>(q - 1)];
                const double y1 = value;
                const double y2 = ncc[static_cast<std::size_t>(q + 1)];
                const double curve = y0 - 2 * y1 + y2;
                if (y0 > -1.0F && y2 > -1.0F && curve < 0)
                    offset = std::clamp(0.5 * (y0 - y2) / curve, -0.5, 0.5);
            }
            const double at = static_cast<double>(q) + offset;
            const std::int64_t later = std::max(p, q);
            Seed seed;
            seed.lag = std::abs(at - static_cast<double>(p)) * coarse.factor;
            seed.laterBegin = later * coarse.factor;
            seed.laterEnd = std::min(audio.frames(), (later + w) * coarse.factor);
            seeds.push_back(seed);
        }
    }
    return seeds;
}

// ---- steps 3 to 5 ------------------------------------------------------------------

// A lag checked on the raw frames.
struct Lag {
    std::int64_t lag = 0;
    double residual = 1.0;
    double noise = 0.0; // mean square per sample of what the copies do not share
    Seed seed;
};

// The mean square per sample of what two copies do not share: the residual
// applied to their mean energy.
double unsharedLevel(const PairSums& s, std::int64_t samples) {
    return residualOf(s) * 0.5 * (s.aa + s.bb) / static_cast<double>(samples);
}

Lag exactLag(const AudioSamples& audio, const Seed& seed, int factor) {
    const std::int64_t n = audio.frames();
    const std::int64_t centre = std::llround(seed.lag);
    const std::int64_t reach = factor / 2 + 3;
    auto rangeAt = [&](std::int64_t lag) {
        return std::pair{std::max<std::int64_t>(0, seed.laterBegin - lag),
                         std::min(seed.laterEnd, n) - lag};
    };
    auto residualAt = [&](std::int64_t lag, int stride) {
        const auto [t0, t1] = rangeAt(lag);
        if (t1 - t0 < 64)
            return 1.0;
        return residualOf(pairSums(audio, t0, t1, lag, stride));
    };
    Lag best;
    best.seed = seed;
    std::int64_t coarseBest = 0;
    double coarseResidual = 2.0;
    for (std::int64_t lag = std::max<std::int64_t>(1, centre - reach); lag <= centre + reach;
         ++lag) {
        const double r = residualAt(lag, 4);
        if (r < coarseResidual) {
            coarseResidual = r;
            coarseBest = lag;
        }
    }
    if (coarseBest == 0)
        return best;
    for (std::int64_t lag = std::max<std::int64_t>(1, coarseBest - 2); lag <= coarseBest + 2;
         ++lag) {
        const double r = residualAt(lag, 1);
        if (r < best.residual) {
            best.residual = r;
            best.lag = lag;
        }
    }
    if (best.lag > 0) {
        const auto [t0, t1] = rangeAt(best.lag);
        best.noise = unsharedLevel(pairSums(audio, t0, t1, best.lag), (t1 - t0) * audio.channels);
    }
    return best;
}

enum class BlockMatch { Silent, Same, Different };

// Follows one lag through the audio: steps 4 and 5.
class Follower {
public:
    Follower(const AudioSamples& audio, const Lag& lag, double silence)
        : m_audio(audio), m_lag(lag.lag), m_end(audio.frames() - lag.lag), m_silence(silence),
          m_block(std::max<std::int64_t>(64, std::llround(kBlockSeconds * audio.sampleRate))) {
        calibrate(lag);
    }

    std::optional<LoopCandidate> follow(const Seed& seed) {
        const std::int64_t seed0 = std::max<std::int64_t>(0, seed.laterBegin - m_lag);
        const std::int64_t seed1 = std::min(seed.laterEnd - m_lag, m_end);
        if (seed1 <= seed0)
            return std::nullopt;
        m_matchedFrames = static_cast<double>(seed1 - seed0);

        std::int64_t earliest = seed0;
        for (std::int64_t t = seed0, misses = 0, strongMisses = 0; t > 0;) {
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
                    break;
            }
            t = t0;
        }
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
        const std::int64_t start = startNear(earliest);
        LoopCandidate candidate;
        candidate.start = start;
        candidate.stop = start + m_lag;
        candidate.repeatedSeconds = m_matchedFrames / m_audio.sampleRate;
        const double coverage =
            static_cast<double>(lastEnd - start) / static_cast<double>(m_end - start);
        const double similarity = m_energy > 0 ? 1.0 - m_weightedResidual / m_energy : 1.0;
        candidate.score = std::clamp(coverage, 0.0, 1.0) * similarity;
        if (candidate.repeatedSeconds < kMinRepeatedSeconds || coverage < kMinCoverage)
            return std::nullopt;
        candidate.seam = SeamScore(m_audio, candidate.start, candidate.stop);
        return candidate;
    }

private:
    // The thresholds of step 4 from what the repetition looks like where it
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
        for (std::int64_t k = 1; k <= 8; ++k) {
            sample(seed0 - k * m_block);
            sample(seed1 + (k - 1) * m_block);
        }
        for (std::int64_t k = 0; k < 16; ++k)
            sample((2 * k + 1) * m_end / 32 - m_block / 2);
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
        m_toleratedMisses = inexact || residual > 1e-6 ? 1 : 0;
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
        m_weightedResidual += r * energy;
        m_energy += energy;
        return BlockMatch::Same;
    }

    // The gain g0 + g1 (t - t0) that best turns frames t into frames t + lag
    // over [t0, t1) (least squares); (1, 0) when there is too little to fit.
    std::pair<double, double> gainLine(std::int64_t t0, std::int64_t t1) const {
        const std::size_t ch = static_cast<std::size_t>(m_audio.channels);
        const std::size_t offset = static_cast<std::size_t>(m_lag) * ch;
        double saa = 0, staa = 0, sttaa = 0, sab = 0, stab = 0;
        for (std::int64_t t = t0; t < t1; ++t) {
            const float* a = m_audio.samples.data() + static_cast<std::size_t>(t) * ch;
            const auto at = static_cast<double>(t - t0);
            for (std::size_t c = 0; c < ch; ++c) {
                const double aa = double{a[c]} * a[c];
                const double ab = double{a[c]} * a[c + offset];
                saa += aa;
                staa += at * aa;
                sttaa += at * at * aa;
                sab += ab;
                stab += at * ab;
            }
        }
        const double det = saa * sttaa - staa * staa;
        if (!(det > 1e-12 * saa * sttaa) || saa <= 0)
            return {saa > 0 && sab > 0 ? sab / saa : 1.0, 0.0};
        return {(sab * sttaa - stab * staa) / det, (saa * stab - staa * sab) / det};
    }

    // Step 5: the change point between the block before `earliest` (and any
    // quiet blocks before that) and the block from it on.
    std::int64_t startNear(std::int64_t earliest) {
        std::int64_t lo = earliest;
        while (lo > 0) {
            const std::int64_t b = std::max<std::int64_t>(0, lo - m_block);
            const bool quiet = classify(b, lo) == BlockMatch::Silent;
            lo = b;
            if (!quiet)
                break;
        }
        const std::int64_t hi = std::min(m_end, earliest + m_block);
        if (hi - lo < 2)
            return earliest;
        // The gain of the later copy, a straight line fitted where both
        // surely agree, so that a fade is followed into the span.
        const std::int64_t g0 = hi + 4 * m_block <= m_end ? hi : earliest;
        const auto [gain, slope] = gainLine(g0, std::min(m_end, g0 + 4 * m_block));
        const std::size_t ch = static_cast<std::size_t>(m_audio.channels);
        const std::size_t span = static_cast<std::size_t>(hi - lo);
        std::vector<double> difference(span);
        std::vector<double> energyPrefix(span + 1, 0.0);
        const float* x = m_audio.samples.data();
        const std::size_t offset = static_cast<std::size_t>(m_lag) * ch;
        for (std::size_t i = 0; i < span; ++i) {
            const float* a = x + (static_cast<std::size_t>(lo) + i) * ch;
            double d = 0;
            double e = 0;
            for (std::size_t c = 0; c < ch; ++c) {
                const double u = a[c];
                const double v = a[c + offset];
                const double g =
                    gain + slope * static_cast<double>(lo + static_cast<std::int64_t>(i) - g0);
                d += (v - g * u) * (v - g * u);
                e += u * u + v * v;
            }
            difference[i] = d;
            energyPrefix[i + 1] = energyPrefix[i] + e;
        }
        // The difference relative to the local level, so that loud and quiet
        // passages weigh alike, on a log scale, where a burst of codec noise
        // stays far from a real difference. Below the noise the noise counts.
        constexpr std::size_t kReach = 16;
        const double floor = 2.0 * static_cast<double>(ch) * (kNoiseFactor * m_noise + 1e-12);
        std::vector<double> relative(span);
        std::vector<double> broad(span);           // the same over a broader level
        std::vector<double> sum(span + 1, 0.0);    // prefix sums of the log values
        std::vector<double> square(span + 1, 0.0); // and of their squares
        for (std::size_t i = 0; i < span; ++i) {
            const std::size_t from = i > kReach ? i - kReach : 0;
            const std::size_t to = std::min(span, i + kReach + 1);
            const double level =
                (energyPrefix[to] - energyPrefix[from]) / static_cast<double>(to - from);
            relative[i] = difference[i] / (level + floor);
            const std::size_t wideFrom = i > kBroadReach ? i - kBroadReach : 0;
            const std::size_t wideTo = std::min(span, i + kBroadReach + 1);
            broad[i] = difference[i] / ((energyPrefix[wideTo] - energyPrefix[wideFrom]) /
                                            static_cast<double>(wideTo - wideFrom) +
                                        floor);
            const double v = std::log(relative[i] + 1e-10);
            sum[i + 1] = sum[i] + v;
            square[i + 1] = square[i] + v * v;
        }
        // The split into a differing stretch and a matching one with the
        // least squared deviation from their means, earlier on ties.
        const double total = static_cast<double>(span);
        double bestGain = 0.0;
        std::size_t bestAt = 0;
        for (std::size_t u = 1; u < span; ++u) {
            const double nl = static_cast<double>(u);
            const double nr = total - nl;
            const double left = sum[u] / nl;
            const double right = (sum[span] - sum[u]) / nr;
            const double gain = nl * nr / total * (left - right) * (left - right);
            if (left > right && gain > bestGain) {
                bestGain = gain;
                bestAt = u;
            }
        }
        // Where the copies are exact after the split, the start is right
        // after the last sample that differs at all: a split by means may
        // take a few chance agreements before it for part of the match.
        const double typical = medianOf(relative, bestAt, span);
        if (typical < kExactRelative && bestAt > 0) {
            const double differs = std::max(kExactRelative, 30.0 * typical);
            std::size_t last = std::min(span, bestAt + 16);
            while (last > 0 && relative[last - 1] <= differs)
                --last;
            return lo + static_cast<std::int64_t>(last);
        }
        // At the very beginning of the audio the span may not differ at all:
        // then a split must stand far out of the scatter of the values.
        if (lo == 0 && bestAt > 0) {
            const double variance = (square[span] - sum[span] * sum[span] / total - bestGain) /
                                    std::max(1.0, total - 2);
            if (bestGain < kSplitEvidence * std::max(variance, 1e-12))
                bestAt = 0;
        }
        if (bestAt > 0)
            bestAt = lastDifferingBefore(relative, lastDifferingStretch(broad, bestAt));
        return lo + static_cast<std::int64_t>(bestAt);
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
        const double noise = medianOf(broad, split, split + kNoiseSpan) + 1e-30;
        const std::size_t top = std::min(broad.size(), split + kStretchReach);
        double evidence = 0.0;
        std::size_t boundary = top;
        for (std::size_t i = top; i > split; --i) {
            const double previous = evidence;
            const double ratio = std::log(broad[i - 1] / noise + 1e-30);
            evidence = std::max(0.0, evidence + std::min(kStretchCap, ratio) - kStretchAllowance);
            if (previous == 0.0 && evidence > 0.0)
                boundary = i;
            if (evidence > kStretchEvidence) // a stretch cut off by the end of the reach is not one
                return boundary + 16 <= top ? boundary : split;
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

    const AudioSamples& m_audio;
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
    double m_weightedResidual = 0;
    double m_energy = 0;
};

LoopSearch findLoops(const AudioSamples& audio, const LoopSearchOptions& options,
                     const ProgressCallback& callback, double from, double to) {
    LoopSearch result;
    const std::int64_t n = audio.frames();
    if (audio.channels <= 0 || audio.sampleRate <= 0 || n == 0)
        return result;
    const std::int64_t minLoop =
        options.minLoopFrames > 0 ? options.minLoopFrames : std::int64_t{2} * audio.sampleRate;
    const double span = to - from;
    if (!Progress(callback, from, to).at(0.0)) {
        result.cancelled = true;
        return result;
    }
    const Coarse coarse = coarseSignal(audio);
    const double silence = std::max(kSilentLevel, kRelativeSilence * meanSquare(audio));
    bool cancelled = false;
    const std::vector<Seed> seeds =
        coarseSeeds(audio, coarse, minLoop,
                    Progress(callback, from + 0.2 * span, from + 0.6 * span), cancelled);
    if (cancelled) {
        result.cancelled = true;
        return result;
    }
    const Progress checking(callback, from + 0.6 * span, to);

    std::vector<Lag> lags;
    for (const Seed& seed : seeds) {
        Lag lag = exactLag(audio, seed, coarse.factor);
        if (lag.lag >= minLoop && lag.lag < n && lag.residual <= kSeedLimit)
            lags.push_back(lag);
    }
    // Shortest first, so that multiples meet their loop; near-equal lags are one.
    std::sort(lags.begin(), lags.end(), [](const Lag& a, const Lag& b) {
        return a.lag != b.lag ? a.lag < b.lag : a.residual < b.residual;
    });
    std::vector<Lag> distinct;
    for (const Lag& lag : lags) {
        if (!distinct.empty() && lag.lag - distinct.back().lag <= 2) {
            if (lag.residual < distinct.back().residual)
                distinct.back() = lag;
            continue;
        }
        distinct.push_back(lag);
    }

    std::vector<LoopCandidate> found;
    for (std::size_t i = 0; i < distinct.size(); ++i) {
        if (!checking.at(static_cast<double>(i) / distinct.size())) {
            result.cancelled = true;
            return result;
        }
        const Lag& lag = distinct[i];
        const bool multiple = std::any_of(found.begin(), found.end(), [&](const LoopCandidate& c) {
            const std::int64_t loop = c.stop - c.start;
            const std::int64_t k = (lag.lag + loop / 2) / loop;
            return k >= 2 && c.score >= 0.9 && std::abs(lag.lag - k * loop) <= 2 * k;
        });
        if (multiple)
            continue;
        Follower follower(audio, lag, silence);
        if (auto candidate = follower.follow(lag.seed))
            found.push_back(*candidate);
    }
    std::sort(found.begin(), found.end(), [](const LoopCandidate& a, const LoopCandidate& b) {
        if (a.score != b.score)
            return a.score > b.score;
        if (a.repeatedSeconds != b.repeatedSeconds)
            return a.repeatedSeconds > b.repeatedSeconds;
        return a.stop - a.start < b.stop - b.start;
    });
    if (found.size() > options.maxCandidates)
        found.resize(options.maxCandidates);
    result.candidates = std::move(found);
    if (!checking.at(1.0))
        result.cancelled = true;
    return result;
}

} // namespace

std::optional<AudioSamples> ReadAudioSamples(const fs::path& file,
                                             const ProgressCallback& progress) {
    AudioReader reader(file);
    const AudioInfo& info = reader.info();
    AudioSamples audio;
    audio.sampleRate = info.sampleRate;
    audio.channels = info.channels;
    audio.lossy = InexactEncodingOf(info.format).has_value();
    const auto ch = static_cast<std::size_t>(info.channels);
    // The buffer grows with the frames that arrive, never to what the file
    // says it holds: a damaged file must not decide how much is allocated.
    constexpr std::int64_t kChunk = 1 << 16;
    std::int64_t done = 0;
    try {
        while (done < info.frames) {
            if (progress && !progress(static_cast<double>(done) / static_cast<double>(info.frames)))
                return std::nullopt;
            audio.samples.resize(static_cast<std::size_t>(done + kChunk) * ch);
            const std::int64_t got = reader.readFloat(
                done, kChunk, audio.samples.data() + static_cast<std::size_t>(done) * ch);
            if (got <= 0)
                break;
            done += got;
        }
    } catch (const std::bad_alloc&) {
        throw AudioError("cannot read audio file " + file.string() + ": not enough memory for " +
                         std::to_string(info.frames) + " frames");
    }
    audio.samples.resize(static_cast<std::size_t>(done) * ch);
    return audio;
}

LoopSearch FindLoops(const AudioSamples& audio, const LoopSearchOptions& options,
                     const ProgressCallback& progress) {
    return findLoops(audio, options, progress, 0.0, 1.0);
}

LoopSearch FindLoops(const fs::path& file, const LoopSearchOptions& options,
                     const ProgressCallback& progress) {
    const ProgressCallback reading = [&](double f) { return !progress || progress(0.5 * f); };
    const std::optional<AudioSamples> audio = ReadAudioSamples(file, reading);
    if (!audio) {
        LoopSearch cancelled;
        cancelled.cancelled = true;
        return cancelled;
    }
    return findLoops(*audio, options, progress, 0.5, 1.0);
}

double SeamScore(const AudioSamples& audio, std::int64_t start, std::int64_t stop,
                 std::int64_t window) {
    const std::int64_t n = audio.frames();
    if (start < 0 || stop < 0 || start > n || stop > n || window <= 0 || audio.channels <= 0)
        return 1.0;
    double best = std::numeric_limits<double>::infinity();
    auto compare = [&](std::int64_t a0, std::int64_t b0, std::int64_t length) {
        if (length <= 0)
            return;
        const PairSums s = pairSums(audio, a0, a0 + length, b0 - a0);
        const double energy = s.aa + s.bb;
        const double score = energy < 2e-10 * static_cast<double>(length * audio.channels)
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

} // namespace kestrin::audio
