// SPDX-License-Identifier: GPL-3.0-or-later
// Step 6 of the exact finder: takes the earliest block of step 5 that
// matches; gives the sample where the match begins, the split of each
// sample's difference into a differing and a matching stretch.
#include "audio/exact/exact_follower.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrin::audio::exact {

namespace {

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

} // namespace

// The gain g0 + g1 (t - t0) that best turns frames t into frames t + lag
// over [t0, t1) (least squares); (1, 0) when there is too little to fit.
std::pair<double, double> Follower::gainLine(std::int64_t t0, std::int64_t t1) const {
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

// Step 6: the change point between the block before `earliest` (and any
// quiet blocks before that) and the block from it on.
std::int64_t Follower::startNear(std::int64_t earliest) {
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
std::int64_t Follower::afterQuietBlocks(std::int64_t earliest) {
    std::int64_t lo = earliest;
    while (lo > 0) {
        const std::int64_t b = std::max<std::int64_t>(0, lo - m_block);
        const bool quiet = recordBlock(b, lo) == BlockMatch::Silent;
        lo = b;
        if (!quiet)
            break;
    }
    return lo;
}

// The difference follows the gain of the later copy, a straight line
// fitted where both surely agree, so that a fade is followed into the
// span. It is taken relative to the local level, so that loud and quiet
// passages weigh alike, on a log scale, where a burst of codec noise
// stays far from a real difference. Below the noise the noise counts.
Follower::SpanDifference Follower::spanDifference(std::int64_t lo, std::int64_t hi,
                                                  std::int64_t earliest) const {
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
    // The mean energy of the frames within `reach` of frame i, in the span.
    const auto levelAround = [&](std::size_t i, std::size_t reach) {
        const std::size_t from = i > reach ? i - reach : 0;
        const std::size_t to = std::min(span, i + reach + 1);
        return (energyPrefix[to] - energyPrefix[from]) / static_cast<double>(to - from);
    };
    for (std::size_t i = 0; i < span; ++i) {
        out.relative[i] = difference[i] / (levelAround(i, kLevelReach) + floor);
        out.broad[i] = difference[i] / (levelAround(i, kBroadReach) + floor);
        const double v = std::log(out.relative[i] + kTinyRelative);
        out.logSums[i + 1] = out.logSums[i] + v;
        out.logSquares[i + 1] = out.logSquares[i] + v * v;
    }
    return out;
}

// The split into a differing stretch and a matching one with the least
// squared deviation from their means, earlier on ties; at 0 for none.
Follower::Split Follower::bestSplit(const std::vector<double>& logSums) {
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
std::size_t Follower::afterLastInexact(const std::vector<double>& relative, std::size_t split,
                                       double typical) {
    const double differs = std::max(kExactRelative, kExactDifferFactor * typical);
    std::size_t last = std::min(relative.size(), split + kExactLookPast);
    while (last > 0 && relative[last - 1] <= differs)
        --last;
    return last;
}

// At the very beginning of the audio the span may not differ at all: then
// a split must stand far out of the scatter of the values.
bool Follower::standsOut(const SpanDifference& d, const Split& split) {
    const double total = static_cast<double>(d.relative.size());
    const double sum = d.logSums.back();
    const double variance =
        (d.logSquares.back() - sum * sum / total - split.gain) / std::max(1.0, total - 2);
    return !(split.gain < kSplitEvidence * std::max(variance, kTinyVariance));
}

// The median of values[from, to), to clipped to the end.
double Follower::medianOf(const std::vector<double>& values, std::size_t from, std::size_t to) {
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
std::size_t Follower::lastDifferingStretch(const std::vector<double>& broad, std::size_t split) {
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
std::size_t Follower::lastDifferingBefore(const std::vector<double>& relative, std::size_t split) {
    const std::size_t span = relative.size();
    const double differs = kDifferFactor * medianOf(relative, split, split + kNoiseSpan);
    const std::size_t bottom = split > kSmear ? split - kSmear : 0;
    for (std::size_t i = std::min(span, split + kSmear); i > bottom; --i) {
        if (relative[i - 1] > differs)
            return i;
    }
    return split;
}

} // namespace kestrin::audio::exact
