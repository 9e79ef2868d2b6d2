// SPDX-License-Identifier: GPL-3.0-or-later
// How alike two copies of the audio are, over frame pairs a lag apart.
#include "audio/exact/exact_finder_steps.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace kestrin::audio::exact {

// ---- comparing the two copies -----------------------------------------------

// The residual 1 - r^2 (r the correlation of the two copies), 1 when either side is silent or the
// two are anti-correlated.
double residualOf(const PairSums& s) {
    if (s.aa <= 0 || s.bb <= 0 || s.ab <= 0)
        return 1.0;
    return std::max(0.0, 1.0 - (s.ab / s.aa) * (s.ab / s.bb));
}

namespace {

// Four float lanes in one register (a GCC and Clang extension): the sums
// stay in registers across a run, where an array of lanes is stored and
// loaded again at every step.
using FourFloats = float __attribute__((vector_size(16)));

FourFloats fourAt(const float* p) {
    FourFloats v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

} // namespace

// Adds the sums over `samples` interleaved samples of `a` and `b`, pair by
// pair. Eight float lanes over short runs keep the loop vectorised; the runs
// add up in double. Runs begin every 4096 samples from `a`, so a track summed
// chunk by chunk (chunks a multiple of 4096 samples long) sums as one.
void addPairs(const float* a, const float* b, std::size_t samples, PairSums& sums) {
    constexpr std::size_t kLanes = 8;
    constexpr std::size_t kRun = 4096;
    std::size_t i = 0;
    while (i < samples) {
        const std::size_t runEnd = std::min(samples, i + kRun);
        // Lanes 0 to 3 and 4 to 7.
        FourFloats aaLow{}, aaHigh{}, bbLow{}, bbHigh{}, abLow{}, abHigh{};
        for (; i + kLanes <= runEnd; i += kLanes) {
            const FourFloats xLow = fourAt(a + i);
            const FourFloats xHigh = fourAt(a + i + 4);
            const FourFloats yLow = fourAt(b + i);
            const FourFloats yHigh = fourAt(b + i + 4);
            aaLow += xLow * xLow;
            aaHigh += xHigh * xHigh;
            bbLow += yLow * yLow;
            bbHigh += yHigh * yHigh;
            abLow += xLow * yLow;
            abHigh += xHigh * yHigh;
        }
        std::array<float, kLanes> aa{};
        std::array<float, kLanes> bb{};
        std::array<float, kLanes> ab{};
        std::memcpy(aa.data(), &aaLow, sizeof aaLow);
        std::memcpy(aa.data() + 4, &aaHigh, sizeof aaHigh);
        std::memcpy(bb.data(), &bbLow, sizeof bbLow);
        std::memcpy(bb.data() + 4, &bbHigh, sizeof bbHigh);
        std::memcpy(ab.data(), &abLow, sizeof abLow);
        std::memcpy(ab.data() + 4, &abHigh, sizeof abHigh);
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

// Sums for t in [t0, t1), every channel, every `stride`-th frame.
PairSums pairSums(const Track& audio, std::int64_t t0, std::int64_t t1, std::int64_t lag,
                  int stride) {
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
double seamScore(const Track& audio, std::int64_t start, std::int64_t stop, std::int64_t window) {
    const std::int64_t n = audio.frames();
    if (start < 0 || stop < 0 || start > n || stop > n || window <= 0 || audio.channels <= 0)
        return 1.0;
    double best = std::numeric_limits<double>::infinity();
    auto compare = [&](std::int64_t a0, std::int64_t b0, std::int64_t length) {
        if (length <= 0)
            return;
        const PairSums s = pairSums(audio, a0, a0 + length, b0 - a0);
        best = std::min(
            best, SeamSums{s.aa + s.bb, s.aa + s.bb - 2.0 * s.ab, length * audio.channels}.score());
    };
    // pairSums takes the later side as a positive lag from the earlier.
    const std::int64_t first = std::min(start, stop);
    const std::int64_t second = std::max(start, stop);
    compare(first, second, std::min(window, n - second));
    const std::int64_t before = std::min(window, first);
    compare(first - before, second - before, before);
    return std::isinf(best) ? 1.0 : best;
}

// The level of the later copy over the earlier one.
double gainOf(const PairSums& s) {
    return s.aa > 0 ? std::sqrt(s.bb / s.aa) : 1.0;
}

// The mean square per sample of what two copies do not share: the residual
// applied to their mean energy.
double unsharedLevel(const PairSums& s, std::int64_t samples) {
    return residualOf(s) * 0.5 * (s.aa + s.bb) / static_cast<double>(samples);
}

} // namespace kestrin::audio::exact
