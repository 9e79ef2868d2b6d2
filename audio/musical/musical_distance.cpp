// SPDX-License-Identifier: GPL-3.0-or-later
// Step 8 of the musical finder, the distance a loop keeps: takes a pair's
// beats, the alignments of its starts and the onsets around each; gives the
// distance between the two renditions that the loop's length must keep, by
// the beat grid, by alignments that agree, or, where the tempo moves, by
// the rhythm around the jump.
#include "audio/musical/musical_steps.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace kestrin::audio::musical {

namespace {

// Alignments of a pair's starts that agree within the grid's slack give the
// distance instead where there are at least this many: two may agree by
// chance on a tone's period, three a beat apart hardly.
constexpr std::size_t kAgreeingAlignments = 3;
// Where the tempo moves (a song played live), the distance between the
// renditions drifts from beat to beat, by up to 20 ms a beat in a recorded
// orchestra, so no one distance holds for the whole repeat: a jump keeps
// the beat when its loop's length is the distance where the jump lies. It
// is measured by the onsets of the 3 s around the start (a bar or two,
// enough beats that single humanised notes average out) lined up with
// those around the stop; centred on the jump, a tempo that rises or falls
// steadily moves the onsets before it as far one way as those after it the
// other. Onsets that correlate under 0.3 at their best show no rhythm to
// line up, and the distance of the whole repeat stands.
constexpr double kLocalSeconds = 3.0;
constexpr double kLocalClarity = 0.3;

} // namespace

std::int64_t beatGridLag(const std::vector<Beat>& beats, const Pair& pair) {
    std::vector<std::int64_t> distances;
    for (std::size_t k = 0; k < static_cast<std::size_t>(kMatchBeats) && pair.j + k < beats.size();
         ++k)
        distances.push_back(beats[pair.j + k].sample - beats[pair.i + k].sample);
    std::nth_element(distances.begin(),
                     distances.begin() + static_cast<std::ptrdiff_t>(distances.size() / 2),
                     distances.end());
    return distances[distances.size() / 2];
}

// The distance between the renditions that every loop of a pair must keep
// to within kGridSlackSeconds, where the alignments of the pair's starts
// show it: the median of all of them where they agree with one another
// within that slack, and where they do not, the median of the largest group
// of at least kAgreeingAlignments that do (of two as large, the tighter),
// as long as `gridLag` lies further off it than the slack; nullopt
// otherwise. Alignments a beat apart that agree so closely measure one
// distance over as many places of the music, each to the sample, while the
// tracked beats and onsets lie on a hop and, where the onsets are soft
// (strings, pads), slip by a subdivision from one rendition to the other: a
// tempo tracked a few percent off puts the grid's distance a beat or so
// away, and one alignment caught by a tone's period elsewhere does not
// outvote the others then. Where the grid confirms the group, the grid's
// distance, the median of many beats, stands.
std::optional<std::int64_t> agreedDistance(std::vector<std::int64_t> lags, std::int64_t gridLag,
                                           std::int64_t slack) {
    std::sort(lags.begin(), lags.end());
    std::size_t from = 0;
    std::size_t count = 0;
    for (std::size_t last = 0, first = 0; last < lags.size(); ++last) {
        while (lags[last] - lags[first] > slack)
            ++first;
        const std::size_t n = last - first + 1;
        if (n > count ||
            (n == count && lags[last] - lags[first] < lags[from + count - 1] - lags[from])) {
            from = first;
            count = n;
        }
    }
    if (count < kAgreeingAlignments)
        return std::nullopt;
    const std::int64_t median = lags[from + count / 2];
    if (count < lags.size() && std::abs(gridLag - median) <= slack)
        return std::nullopt;
    return median;
}

// Whether the rhythm's distances at the pair's first beats tell one tempo
// that moves: measured at kAgreeingAlignments beats or more, each within
// `slack` a beat of the one before (a played tempo drifts by less). Where
// they scatter further, the passages only share a pulse, and their onsets
// line up by chance at each beat: no distance of theirs keeps the beat.
bool steadyRhythm(const std::vector<Alignment>& alignments, std::int64_t slack) {
    const Alignment* last = nullptr;
    std::size_t measured = 0;
    for (const Alignment& a : alignments) {
        if (!a.local)
            continue;
        if (last && std::abs(*a.local - *last->local) > slack * (a.beat - last->beat))
            return false;
        last = &a;
        ++measured;
    }
    return measured >= kAgreeingAlignments;
}

std::optional<std::int64_t> Rhythm::distanceAt(std::int64_t start, std::int64_t guess,
                                               std::int64_t reach, int rate) const {
    const auto n = static_cast<std::ptrdiff_t>(m_onsets.size());
    const auto frames = static_cast<std::ptrdiff_t>(std::ceil(kLocalSeconds * rate / kHop));
    const auto steps = static_cast<std::ptrdiff_t>(std::ceil(static_cast<double>(reach) / kHop));
    const auto frameOf = [](std::int64_t sample) {
        return static_cast<std::ptrdiff_t>(
            std::llround(static_cast<double>(sample - kBeatInFrame) / kHop));
    };
    const std::ptrdiff_t a = frameOf(start) - frames / 2;
    const std::ptrdiff_t b = frameOf(start + guess) - frames / 2;
    if (a < 0 || b - steps < 0 || a + frames > n || b + steps + frames > n)
        return std::nullopt;
    const auto centred = [&](std::ptrdiff_t from) {
        std::vector<double> v(m_onsets.begin() + from, m_onsets.begin() + from + frames);
        const double mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(frames);
        for (double& x : v)
            x -= mean;
        return v;
    };
    const std::vector<double> x = centred(a);
    std::vector<double> r;
    for (std::ptrdiff_t lag = -steps; lag <= steps; ++lag) {
        const std::vector<double> y = centred(b + lag);
        double xy = 0;
        double xx = 0;
        double yy = 0;
        for (std::size_t k = 0; k < x.size(); ++k) {
            xy += x[k] * y[k];
            xx += x[k] * x[k];
            yy += y[k] * y[k];
        }
        r.push_back(xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0);
    }
    const auto best = static_cast<std::size_t>(std::max_element(r.begin(), r.end()) - r.begin());
    if (r[best] < kLocalClarity)
        return std::nullopt;
    double lag = static_cast<double>(best) - static_cast<double>(steps);
    if (best > 0 && best + 1 < r.size()) {
        const double p = r[best - 1];
        const double q = r[best];
        const double u = r[best + 1];
        if (p - 2 * q + u < 0)
            lag += std::clamp(0.5 * (p - u) / (p - 2 * q + u), -0.5, 0.5);
    }
    return std::llround((static_cast<double>(b - a) + lag) * kHop);
}

} // namespace kestrin::audio::musical
