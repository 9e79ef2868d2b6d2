// SPDX-License-Identifier: GPL-3.0-or-later
// Steps 1 and 2 of the exact finder: the coarse signal, and the lags at
// which templates cut from it match.
#include "audio/exact/exact_finder_steps.h"

#include "audio/dsp/fft.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace kestrin::audio::exact {

namespace {

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
// Coarse correlation worth a closer look.
constexpr double kMinPeak = 0.4;
// The loop, a multiple or two and a near-period or two fit in this many.
constexpr int kPeaksPerTemplate = 5;
// Of a taken peak: a neighbour as high is tried as well.
constexpr double kNeighbourPeak = 0.95;
// A coarse signal whose transform is at most this size (about 6 minutes at
// 44.1 kHz) is correlated through one transform of the whole of it, some
// 25 ms on a busy machine; a longer one block by block (overlap-save), so
// that neither memory nor the wait for a cancel grows with its length.
constexpr std::size_t kWholeFftSize = std::size_t{1} << 20;
// The blocks' transform size, at the least: some 0.2 ms each.
constexpr std::size_t kBlockFftSize = std::size_t{1} << 16;

// Frames per coarse sample at `sampleRate`.
int coarseFactor(int sampleRate) {
    return std::max(1, static_cast<int>(std::lround(sampleRate / kCoarseRate)));
}

// Coarse samples of `frames` frames: those whose filter's 2D - 1 frames are all there.
std::int64_t coarseCount(std::int64_t frames, std::int64_t d) {
    const std::int64_t taps = 2 * d - 1;
    return frames < taps ? 0 : (frames - taps) / d + 1;
}

// Coarse samples a template spans in a coarse signal of `count`.
std::int64_t templateWidth(std::int64_t count, double coarseRate) {
    return std::min<std::int64_t>(std::llround(kTemplateSeconds * coarseRate),
                                  count / kTemplatePlaces);
}

// The transform templates of `width` are correlated through with a signal of
// `count` coarse samples, and whether it takes the whole signal at once.
std::pair<std::size_t, bool> correlationTransform(std::size_t count, std::size_t width) {
    const std::size_t whole = FastFftSize(count + width);
    if (whole <= kWholeFftSize)
        return {whole, true};
    return {FastFftSize(std::max(kBlockFftSize, 4 * width)), false};
}

} // namespace

std::size_t coarseTransformSize(int sampleRate, std::int64_t frames) {
    const int d = coarseFactor(sampleRate);
    const std::int64_t count = coarseCount(frames, d);
    const std::int64_t w = templateWidth(count, static_cast<double>(sampleRate) / d);
    if (w < kMinTemplateSamples)
        return 0;
    return correlationTransform(static_cast<std::size_t>(count), static_cast<std::size_t>(w)).first;
}

// ---- step 1: the coarse signal -----------------------------------------------

namespace {

// Coarse samples filtered side by side: each sum waits on the one before
// it, so eight run at once.
constexpr std::size_t kFilteredSideBySide = 8;

// For `count` coarse samples, the i-th from frame i * step of `frames`: the
// channels of each frame summed, then the weights.size() frames from there
// summed, weighted frame by frame, into `out`. Each frame's channels are
// summed once into `mono`, as neighbouring samples share frames; every
// sum adds up in the order of one sample computed alone.
void filterFrames(const float* frames, std::size_t count, std::size_t step,
                  const std::vector<float>& weights, std::size_t ch, std::vector<float>& mono,
                  float* out) {
    if (count == 0)
        return;
    const std::size_t taps = weights.size();
    mono.resize((count - 1) * step + taps);
    if (ch == 2) {
        // Stereo, the usual case, in a loop that vectorises.
        for (std::size_t t = 0; t < mono.size(); ++t)
            mono[t] = (0.0F + frames[2 * t]) + frames[2 * t + 1];
    } else {
        for (std::size_t t = 0; t < mono.size(); ++t) {
            float s = 0.0F;
            for (std::size_t c = 0; c < ch; ++c)
                s += frames[t * ch + c];
            mono[t] = s;
        }
    }
    const float* w = weights.data();
    std::size_t i = 0;
    for (; i + kFilteredSideBySide <= count; i += kFilteredSideBySide) {
        const float* m = mono.data() + i * step;
        float acc0 = 0.0F, acc1 = 0.0F, acc2 = 0.0F, acc3 = 0.0F;
        float acc4 = 0.0F, acc5 = 0.0F, acc6 = 0.0F, acc7 = 0.0F;
        for (std::size_t k = 0; k < taps; ++k) {
            acc0 += w[k] * m[k];
            acc1 += w[k] * m[step + k];
            acc2 += w[k] * m[2 * step + k];
            acc3 += w[k] * m[3 * step + k];
            acc4 += w[k] * m[4 * step + k];
            acc5 += w[k] * m[5 * step + k];
            acc6 += w[k] * m[6 * step + k];
            acc7 += w[k] * m[7 * step + k];
        }
        const float acc[kFilteredSideBySide] = {acc0, acc1, acc2, acc3, acc4, acc5, acc6, acc7};
        std::copy(acc, acc + kFilteredSideBySide, out + i);
    }
    for (; i < count; ++i) {
        const float* m = mono.data() + i * step;
        float acc = 0.0F;
        for (std::size_t k = 0; k < taps; ++k)
            acc += w[k] * m[k];
        out[i] = acc;
    }
}

} // namespace

// Step 1 and the track's level in one pass, window by window, so that no
// more than a window and the coarse signal are held.
Pass passOver(Track& audio, const ProgressCallback& progress, std::int64_t differenceLag) {
    Pass pass;
    Coarse& coarse = pass.coarse;
    coarse.factor = coarseFactor(audio.sampleRate);
    const std::int64_t d = coarse.factor;
    const std::int64_t taps = 2 * d - 1;
    const std::int64_t n = audio.frames();
    const std::size_t ch = static_cast<std::size_t>(audio.channels);
    // A triangle summing to 1, over the channels' sum: their average.
    std::vector<float> weights(static_cast<std::size_t>(taps));
    for (std::int64_t k = 0; k < taps; ++k)
        weights[static_cast<std::size_t>(k)] =
            static_cast<float>(std::min(k + 1, taps - k)) / static_cast<float>(d * d * ch);
    const std::int64_t count = coarseCount(n, d);
    coarse.signal.reserve(static_cast<std::size_t>(count));
    std::vector<float> pending; // frames [pendingBegin, ...) not yet past every filter
    std::int64_t pendingBegin = 0;
    std::vector<float> difference; // of a window, with differenceLag
    std::vector<float> mono;       // the channels of pending frames summed
    PairSums energy;
    std::int64_t j = 0;
    for (std::int64_t t = 0; t < n; t += kWindowFrames) {
        if (!ReportProgress(progress, static_cast<double>(t) / static_cast<double>(n))) {
            pass.cancelled = true;
            return pass;
        }
        const std::int64_t t1 = std::min(n, t + kWindowFrames);
        const float* x = audio.window(Track::Earlier, t, t1);
        const std::size_t samples = static_cast<std::size_t>(t1 - t) * ch;
        if (differenceLag > 0) {
            difference.assign(x, x + samples);
            const float* y = audio.window(Track::Later, t - differenceLag, t1 - differenceLag);
            for (std::size_t i = 0; i < samples; ++i)
                difference[i] -= y[i];
            x = difference.data();
        }
        AddPairsInRuns(x, x, samples, energy);
        pending.insert(pending.end(), x, x + samples);
        const std::int64_t have = pendingBegin + static_cast<std::int64_t>(pending.size() / ch);
        // The coarse samples whose frames are all in.
        const std::int64_t ready = have < taps ? j : std::min(count, (have - taps) / d + 1);
        if (ready > j) {
            const std::size_t from = coarse.signal.size();
            coarse.signal.resize(from + static_cast<std::size_t>(ready - j));
            filterFrames(pending.data() + static_cast<std::size_t>(j * d - pendingBegin) * ch,
                         static_cast<std::size_t>(ready - j), static_cast<std::size_t>(d), weights,
                         ch, mono, coarse.signal.data() + from);
            j = ready;
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

namespace {

// The coarse signal's energy summed from its start, prefix(k) covering
// [0, k), without a double per sample: sums are kept every kEvery samples
// and the rest added on as they were when summing from the start, so every
// value is the one a full prefix array holds. Recent stretches are cached
// for walks.
// Not thread-safe: a lookup may fill the cache, so it is not const, and one
// thread alone asks it (the template energies are taken before the
// templates are correlated on threads, which read the signal alone).
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

    // prefix(k) for 0 <= k <= size; may refill the cache.
    double operator()(std::int64_t k) {
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
    std::array<Cached, 2> m_cache;
    std::size_t m_next = 0;
};

// Where templates are cut, in coarse samples: where repeated material has
// to be in every layout of a looping track (an intro then the loop played
// twice or more, perhaps fading; or the loop once and its first seconds
// again), in this order: ending `margin` before the end, the last window
// before the audio fades under kLoudShare of its mean energy, and at one
// half and three quarters of the track. A place that is silent or overlaps
// one already taken is skipped.
std::vector<std::int64_t> templatePlaces(EnergyPrefix& energyPrefix, std::int64_t w,
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
// Threads: built, and correlate() and templateEnergy() asked, on one
// thread; where whole(), correlateInto() (const, reading only what the
// constructor made) runs on several at once, each into its own buffer.
class TemplateCorrelator {
public:
    TemplateCorrelator(const std::vector<float>& signal, EnergyPrefix& energyPrefix,
                       std::int64_t width)
        : m_signal(signal), m_prefix(energyPrefix), m_width(width),
          m_whole(correlationTransform(signal.size(), static_cast<std::size_t>(width)).second),
          m_fft(correlationTransform(signal.size(), static_cast<std::size_t>(width)).first),
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
        if (m_whole)
            return correlateInto(place, templateEnergy(place), minLag, m_work.get(), check);
        // The template's spectrum, in m_other.
        float* t = m_other.get();
        std::fill(std::copy(m_signal.begin() + place, m_signal.begin() + place + m_width, t),
                  t + m + 2, 0.0F);
        m_fft.forward(t);
        check();
        Normaliser normalise(*this, templateEnergy(place), minLag, m, place);
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

    // Whether the whole signal goes through one transform: then correlateInto
    // may run for several templates at once, on threads of their own.
    bool whole() const { return m_whole; }
    // A buffer for correlateInto.
    FftwFloats buffer() const { return m_fft.buffer(); }
    // The energy of the template at `place`, for correlateInto: taken on
    // one thread, as the prefix is.
    double templateEnergy(std::int64_t place) {
        return m_prefix(place + m_width) - m_prefix(place);
    }

    // correlate() where whole(), into `v` (from buffer()), which it returns.
    // Reads only what the constructor made: templates may be correlated at
    // once, each into a buffer of its own.
    const float* correlateInto(std::int64_t place, double templateEnergy, std::int64_t minLag,
                               float* v, const std::function<void()>& check) const {
        const std::size_t m = m_fft.size();
        std::fill(std::copy(m_signal.begin() + place, m_signal.begin() + place + m_width, v),
                  v + m + 2, 0.0F);
        m_fft.forward(v);
        check();
        Normaliser normalise(*this, templateEnergy, minLag, m, place);
        correlationSpectrum(m_other.get(), v, v, m + 2);
        m_fft.inverse(v);
        check();
        for (std::int64_t q = 0; q <= last(); ++q)
            v[q] = normalise(q, v[q]);
        return v;
    }

private:
    // The correlation at each window start, in order from 0, over the root
    // of both energies; the window's energy from prefix sums kept as they
    // are summed, so each is what the prefix holds there.
    class Normaliser {
    public:
        Normaliser(const TemplateCorrelator& c, double templateEnergy, std::int64_t minLag,
                   std::size_t size, std::int64_t place)
            : m_c(c), m_place(place), m_minLag(minLag), m_size(static_cast<double>(size)),
              m_templateEnergy(templateEnergy) {
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
    EnergyPrefix& m_prefix;
    std::int64_t m_width;
    bool m_whole; // one transform of the whole signal
    InPlaceRealFft m_fft;
    FftwFloats m_work;
    FftwFloats m_other;             // the whole signal's spectrum, or the template's
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
                  std::int64_t frames, std::int64_t besidePeriod, std::vector<Seed>& seeds,
                  const std::function<void()>& check) {
    const float* ncc = match.ncc;
    // Whether the lag of the peak at q is a whole number of besidePeriod, to
    // within a coarse sample each side.
    const auto onPeriod = [&](std::int64_t q) {
        if (besidePeriod <= 0)
            return false;
        const std::int64_t off = std::abs(q - match.place) * coarse.factor % besidePeriod;
        return std::min(off, besidePeriod - off) <= 2 * coarse.factor;
    };
    std::vector<std::int64_t> taken;
    for (const auto& [value, q] : rankedPeaks(ncc, match.last, check)) {
        if (static_cast<int>(taken.size()) == kPeaksPerTemplate)
            break;
        // q by copy: clang before 16 cannot capture a structured binding.
        if (onPeriod(q) || std::any_of(taken.begin(), taken.end(), [&, q = q](std::int64_t o) {
                return std::abs(o - q) < spacing;
            }))
            continue;
        taken.push_back(q);
        seeds.push_back(seedAt(match, q, coarse, frames));
        for (const std::int64_t step : {std::int64_t{-1}, std::int64_t{1}}) {
            for (std::int64_t o = q + 2 * step;
                 std::abs(o - q) < spacing && o > 0 && o < match.last; o += step) {
                const float here = ncc[static_cast<std::size_t>(o)];
                if (here >= ncc[static_cast<std::size_t>(o - 1)] &&
                    here > ncc[static_cast<std::size_t>(o + 1)]) {
                    if (here >= kNeighbourPeak * value && !onPeriod(o))
                        seeds.push_back(seedAt(match, o, coarse, frames));
                    break;
                }
            }
        }
    }
}

// Where one transform takes the whole signal, the templates at `places`
// are correlated through `correlator` and their peaks taken side by side,
// on threads, into `ofPlace`; the correlations are kept with the signal for
// the next time. Without a correlator, those kept are used. False when
// `onShare` cancelled, with nothing kept.
template <class AddPeaks, class OnShare>
bool correlateSideBySide(Track& audio, Coarse& coarse, TemplateCorrelator* correlator,
                         const std::vector<std::int64_t>& places, std::int64_t minLag,
                         const AddPeaks& addPeaks, std::vector<std::vector<Seed>>& ofPlace,
                         const OnShare& onShare) {
    std::vector<FftwFloats>& correlations = coarse.correlations;
    // The template energies are taken here, before the threads: the prefix
    // they come from serves one thread.
    std::vector<double> energies;
    if (correlator) {
        correlations.clear();
        coarse.correlatedPlaces.clear();
        for (const std::int64_t place : places) {
            energies.push_back(correlator->templateEnergy(place));
            correlations.push_back(correlator->buffer());
        }
    }
    const TemplateCorrelator* const shared = correlator;
    const bool finished = parallelFor(
        audio, places.size(),
        [&](Track& track, std::size_t t) {
            const std::function<void()> asking = [&] { track.poll(); };
            if (shared)
                shared->correlateInto(places[t], energies[t], minLag, correlations[t].get(),
                                      asking);
            addPeaks(correlations[t].get(), places[t], ofPlace[t], asking);
        },
        onShare);
    if (!finished) {
        if (correlator)
            correlations.clear();
        return false;
    }
    coarse.correlatedPlaces = places;
    coarse.correlatedMinLag = minLag;
    return true;
}

} // namespace

// Step 2: the candidate lags of every template, each with the place where
// its later copy lies. Sets `cancelled` when `progress` was cancelled.
std::vector<Seed> coarseSeeds(Track& audio, Coarse& coarse, std::int64_t minLoop,
                              const ProgressCallback& progress, bool& cancelled,
                              std::int64_t besidePeriod) {
    std::vector<Seed> seeds;
    const std::vector<float>& c = coarse.signal;
    const auto count = static_cast<std::int64_t>(c.size());
    const double coarseRate = static_cast<double>(audio.sampleRate) / coarse.factor;
    const std::int64_t w = templateWidth(count, coarseRate);
    if (w < kMinTemplateSamples)
        return seeds;
    // Asked between pieces of work on the coarse signal, at the share of
    // the templates done.
    double done = 0.0;
    const std::function<void()> check = [&] {
        if (!ReportProgress(progress, done))
            throw SearchCancelled();
    };
    EnergyPrefix prefix(c, check);
    const std::vector<std::int64_t> places =
        templatePlaces(prefix, w, std::llround(kEndMarginSeconds * coarseRate));
    if (places.empty())
        return seeds;
    const std::int64_t minLag =
        std::max<std::int64_t>(2, (minLoop - coarse.factor) / coarse.factor);
    const std::int64_t spacing =
        std::max<std::int64_t>(2, std::llround(kPeakSpacingSeconds * coarseRate));
    std::optional<TemplateCorrelator> correlator;
    const auto correlating = [&]() -> TemplateCorrelator& {
        if (!correlator)
            correlator.emplace(c, prefix, w);
        return *correlator;
    };
    const std::int64_t last = count - w;
    // The seeds of the template at `place` whose correlation is `ncc`.
    const auto addPeaks = [&](const float* ncc, std::int64_t place, std::vector<Seed>& to,
                              const std::function<void()>& asking) {
        addPeakSeeds({ncc, last, place, w}, spacing, coarse, audio.frames(), besidePeriod, to,
                     asking);
    };
    std::vector<std::vector<Seed>> ofPlace(places.size());
    const bool kept = coarse.correlatedPlaces == places && coarse.correlatedMinLag == minLag;
    if (kept || correlating().whole()) {
        const auto onShare = [&](double share) {
            done = share;
            return ReportProgress(progress, share);
        };
        if (!correlateSideBySide(audio, coarse, kept ? nullptr : &*correlator, places, minLag,
                                 addPeaks, ofPlace, onShare)) {
            cancelled = true;
            return {};
        }
    }
    const std::vector<FftwFloats>& correlations = coarse.correlations;
    for (std::size_t t = 0; t < places.size(); ++t) {
        done = static_cast<double>(t) / places.size();
        if (!ReportProgress(progress, done)) {
            cancelled = true;
            return {};
        }
        if (correlations.empty())
            addPeaks(correlating().correlate(places[t], minLag, check), places[t], ofPlace[t],
                     check);
        seeds.insert(seeds.end(), ofPlace[t].begin(), ofPlace[t].end());
        // The file's last moments may be a pass cut short or a final chord
        // the loop never plays, loud enough to hide what the template holds
        // of a copy before them: where the template at the end finds none,
        // the one a template's length before it is tried as well.
        const std::int64_t earlier = places[t] - w;
        if (t == 0 && ofPlace[t].empty() && earlier >= 0 &&
            prefix(earlier + w) - prefix(earlier) > 0.0 &&
            std::none_of(places.begin() + 1, places.end(),
                         [&](std::int64_t q) { return std::abs(q - earlier) < w; }))
            addPeaks(correlating().correlate(earlier, minLag, check), earlier, seeds, check);
    }
    return seeds;
}

} // namespace kestrin::audio::exact
