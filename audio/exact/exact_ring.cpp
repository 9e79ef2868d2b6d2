// SPDX-License-Identifier: GPL-3.0-or-later
// Step 7 of the exact finder: takes step 6's start; gives the start moved
// past an intro's notes or reverb still sounding faintly over the first
// pass, measured against the body of the loop.
#include "audio/exact/exact_follower.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrin::audio::exact {

namespace {

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
// Samples of a lossy file this close are copies: a decoder synthesising in
// float rounds the same frames a unit in the last place apart (2^-24 seen
// through MP3), far below a ring, and a 16-bit step is 2^-15.
constexpr float kDecoderRounding = 0x1p-21f;

} // namespace

// Step 7: the intro may ring on into the first pass, its tail too faint
// for the blocks of step 5 to tell from a match. From `start` on the
// copies have to be as alike as in the body of the loop, measured where
// no ring reaches: bit-exact there means bit-exact from the start, and
// otherwise no stretch may differ beyond the body's own noise.
std::int64_t Follower::alikeFrom(std::int64_t start, std::int64_t lastEnd) {
    const std::int64_t settle = std::llround(kSettleSeconds * m_audio.sampleRate);
    // Where the repeat is short, its second half is the body.
    const std::int64_t from = std::min(start + settle, start + (m_end - start) / 2);
    const std::int64_t fine = std::max<std::int64_t>(kMinFineFrames, m_block / kFineDivisor);
    const Body body = bodyFrom(from, fine);
    const int exactBlocks = body.exactBlocks;
    const int inexactBlocks = body.inexactBlocks;
    const int closeBlocks = body.closeBlocks;
    const std::int64_t end = std::min(m_end, from + settle);
    // A body bit-exact in places and elsewhere not a copy at all repeats
    // bit-exactly: a tracker's second pass may play a note otherwise
    // here and there, and before its restart row the first pass may
    // play otherwise (a ring of the intro, a volume or panning of its
    // own), however faint, so the loop begins where the copies become
    // exact for a while. That state may last far past the body's first
    // blocks (a first pass 40 dB apart from the second for half a
    // minute), so close copies before the body turns exact are part of
    // it, not of the body. A body copied closely after exact places is
    // lossy audio, perhaps stored again as PCM, whose codec noise is no
    // ring. A lossy file whose body is bit-exact in most places is no
    // exception: a pass that repeats a whole number of the codec's
    // blocks after the same music decodes to the same samples, but in a
    // block here and there, and the copies agree from the first block
    // the first pass no longer rings into, as in PCM.
    if (exactBlocks > 0 && (closeBlocks == 0 || (m_audio.lossy && exactBlocks > inexactBlocks)))
        return exactFrom(start, std::min(m_end, lastEnd), settle);
    // A lossy file whose body the codec copies exactly in fewer places
    // than not (MP3, with the loop a whole number of its frames): its
    // noise has no level to measure a ring against, but a ring, however
    // faint, leaves no block exact, where the codec leaves many. The
    // loop begins with the first exact block. So too in PCM whose body
    // is exact in fewer places than not and close in most of the others
    // (such MP3 stored again as PCM, or a tracker's second pass playing
    // its notes a little otherwise all through): neither has a noise to
    // measure a ring against. A body that differs only below a codec's
    // noise where it is not exact (a fade, a dither) keeps its start.
    const bool mostlyClose = exactBlocks <= inexactBlocks && 2 * closeBlocks > inexactBlocks;
    if (exactBlocks > 0 && (m_audio.lossy || mostlyClose))
        return firstExactFrom(start, std::min(m_end, lastEnd), fine);
    // Exact in some places and close in others: its noise has no level
    // to measure a ring against.
    if (inexactBlocks == 0 || exactBlocks > 0)
        return start;
    return pastRing(start, end, fine, body);
}

Follower::Body Follower::bodyFrom(std::int64_t from, std::int64_t fine) const {
    const std::int64_t samples = fine * m_audio.channels;
    Body body;
    for (std::int64_t k = 0; k < kBodyBlocks && from + fine <= m_end; ++k) {
        const std::int64_t t0 = from + (m_end - fine - from) * k / (kBodyBlocks - 1);
        const PairSums s = pairSums(m_audio, t0, t0 + fine, m_lag);
        if (s.aa + s.bb < 2.0 * m_quiet * static_cast<double>(samples))
            continue;
        if (residualOf(s) > kInexact && residualOf(s) <= kSeedLimit && body.exactBlocks > 0)
            ++body.closeBlocks;
        ++(residualOf(s) <= kExactResidual ? body.exactBlocks : body.inexactBlocks);
        body.residual = std::max(body.residual, residualOf(s));
        body.level = std::max(body.level, unsharedLevel(s, samples));
        body.residuals.push_back(residualOf(s));
        body.levels.push_back(unsharedLevel(s, samples));
    }
    return body;
}

std::int64_t Follower::pastRing(std::int64_t start, std::int64_t end, std::int64_t fine,
                                const Body& body) {
    const std::int64_t samples = fine * m_audio.channels;
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
    const double typicalResidual = medianOf(body.residuals, 0, body.residuals.size());
    const double typicalLevel = medianOf(body.levels, 0, body.levels.size());
    const std::int64_t run = std::llround(kAlikeRunSeconds * m_audio.sampleRate);
    std::int64_t differs = -1; // the end of the last stretch that differs
    for (std::int64_t t = start; t + fine <= end && t - std::max(differs, start) < run; t += fine) {
        const PairSums s = pairSums(m_audio, t, t + fine, m_lag);
        if (s.aa + s.bb < 2.0 * m_quiet * static_cast<double>(samples))
            continue;
        const double r = residualOf(s);
        const double u = unsharedLevel(s, samples);
        if (r > kAlikeMargin * body.residual || u > kAlikeMargin * body.level ||
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
std::int64_t Follower::exactFrom(std::int64_t start, std::int64_t end, std::int64_t settle) const {
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

// The first sample of the first audible short block from `start` on whose
// copies are exact, brought back to where they turn exact within a
// decoder's rounding; `start` when no block before `end` is.
std::int64_t Follower::firstExactFrom(std::int64_t start, std::int64_t end,
                                      std::int64_t fine) const {
    std::int64_t t = start;
    for (; t + fine <= end; t += fine) {
        const PairSums s = pairSums(m_audio, t, t + fine, m_lag);
        if (s.aa + s.bb >= 2.0 * m_quiet * static_cast<double>(fine * m_audio.channels) &&
            residualOf(s) <= kExactResidual)
            break;
    }
    if (t + fine > end || t == start)
        return start;
    const std::size_t ch = static_cast<std::size_t>(m_audio.channels);
    const std::int64_t from = std::max(start, t - fine);
    const float* x = m_audio.window(Track::Earlier, from, t);
    const float* y = m_audio.window(Track::Later, from + m_lag, t + m_lag);
    std::int64_t first = t;
    for (std::int64_t u = t - 1; u >= from; --u) {
        const std::size_t i = static_cast<std::size_t>(u - from) * ch;
        bool same = true;
        for (std::size_t c = 0; c < ch; ++c)
            same = same && std::fabs(x[i + c] - y[i + c]) <= kDecoderRounding;
        if (!same)
            break;
        first = u;
    }
    return first;
}

// Noise added to lossless audio does not follow the music: where the
// copies agree their difference is that noise alone, and where a ring
// still sounds it is louder. The change of its variance is placed by
// maximum likelihood (Gaussian noise, a different variance on either
// side), exact in the sense that no other split explains the samples
// better, within a couple of fine blocks of the last one that differs.
std::int64_t Follower::noiseSplit(std::int64_t differs, std::int64_t fine) const {
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

} // namespace kestrin::audio::exact
