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

// Sums for t in [t0, t1), every channel, every `stride`-th frame.
PairSums pairSums(Track& audio, std::int64_t t0, std::int64_t t1, std::int64_t lag, int stride) {
    PairSums sums;
    if (t1 <= t0)
        return sums;
    const std::size_t ch = static_cast<std::size_t>(audio.channels);
    const float* a = audio.window(Track::Earlier, t0, t1);
    const float* b = audio.window(Track::Later, t0 + lag, t1 + lag);
    if (stride == 1) {
        AddPairsInRuns(a, b, static_cast<std::size_t>(t1 - t0) * ch, sums);
        return sums;
    }
    const auto steps = static_cast<std::size_t>((t1 - t0 + stride - 1) / stride);
    AddPairs(a, b, steps, static_cast<std::size_t>(stride) * ch, ch, sums);
    return sums;
}

double seamScore(Track& audio, std::int64_t start, std::int64_t stop, std::int64_t window) {
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

// The mean square per sample of what two copies do not share: the residual
// applied to their mean energy.
double unsharedLevel(const PairSums& s, std::int64_t samples) {
    return residualOf(s) * 0.5 * (s.aa + s.bb) / static_cast<double>(samples);
}

} // namespace kestrin::audio::exact
