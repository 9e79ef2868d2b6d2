// SPDX-License-Identifier: GPL-3.0-or-later
// Step 5 of the exact finder: takes a lag and the seed that found it; gives
// the extent of its repeat, the pair (t, t + lag) followed block by block
// backwards and forwards while the blocks keep matching, within thresholds
// calibrated on the track, and the candidate it makes, scored.
#include "audio/exact/exact_follower.h"

#include "core/positions.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace kestrin::audio::exact {

namespace {

// The block of step 5: 1,024 frames at the rate of POS files.
constexpr double kBlockSeconds = 1024.0 / SamplesPerSecond;
// Frames a block has at the least, at any sample rate.
constexpr std::int64_t kMinBlockFrames = 64;
// Blocks to each side of the template, and blocks spread over the track,
// whose residuals set the threshold: one place alone can mislead.
constexpr std::int64_t kCalibrationNeighbours = 8;
constexpr std::int64_t kCalibrationSpread = 16;
// The residual threshold through a lossy codec, at the least.
constexpr double kLossyThreshold = 0.02;
// Threshold over the typical residual: codec noise is tolerated, a different
// note is not.
constexpr double kThresholdFactor = 30.0;
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
// Blocks this close to the noise are neutral.
constexpr double kQuietFactor = 8.0;
// Level change from block to block in a fade, at most: a linear fade over
// 1.2 s or more changes it by less, copies whose level swings against each
// other (a tremolo out of step) far faster.
constexpr double kGainStep = 0.02;
// Of what follows the start: less is a passage played twice, not a loop.
constexpr double kMinCoverage = 0.5;

} // namespace

Follower::Follower(Track& audio, const Lag& lag, double silence)
    : m_audio(audio), m_lag(lag.frames), m_end(audio.frames() - lag.frames), m_silence(silence),
      m_block(
          std::max<std::int64_t>(kMinBlockFrames, std::llround(kBlockSeconds * audio.sampleRate))) {
    calibrate(lag);
}

std::optional<LoopCandidate> Follower::follow(const Seed& seed) {
    const std::int64_t seed0 = std::max<std::int64_t>(0, seed.laterBegin - m_lag);
    const std::int64_t seed1 = std::min(seed.laterEnd - m_lag, m_end);
    if (seed1 <= seed0)
        return std::nullopt;
    m_matchedFrames = static_cast<double>(seed1 - seed0);
    std::int64_t earliest = matchBackFrom(seed0, seed1);
    const std::int64_t lastEnd = matchForwardFrom(seed0, seed1);
    // Where the copies agree without a break over a whole loop after a
    // stretch that differs, the loop already plays every part of the
    // music from copies that agree: copies before that stretch only
    // repeat some of it again, and a start among them would put the
    // stretch into every pass (an intro's end played like the loop's end
    // but for a note, just before the restart).
    if (earliest < m_unbroken && m_unbrokenEnd - m_unbroken >= m_lag) {
        earliest = m_unbroken;
        m_matchedFrames -= m_bridgedFrames;
    }
    return candidateFrom(alikeFrom(startNear(earliest), lastEnd), lastEnd);
}

std::vector<MatchedBlock> Follower::matchedFrom(std::int64_t start) const {
    std::vector<MatchedBlock> from;
    std::copy_if(m_matched.begin(), m_matched.end(), std::back_inserter(from),
                 [start](const MatchedBlock& b) { return b.begin >= start; });
    return from;
}

// Step 5 backwards from the template at [seed0, seed1): the first frame
// of the earliest block that matches. Past a stretch that differs, the
// copies may agree again for seconds: a tracker's second pass plays a
// note or a few bars otherwise, and its loop begins before them. The
// walk goes on from there.
std::int64_t Follower::matchBackFrom(std::int64_t seed0, std::int64_t seed1) {
    m_gain = pairSums(m_audio, seed0, std::min(seed1, seed0 + m_block), m_lag).levelRatio();
    auto [earliest, stopped] = walkBack(seed0);
    m_unbroken = earliest;
    const double unbridged = m_matchedFrames;
    const std::int64_t bridge = bridgeFrames();
    // Copies that are not exact match block by block within a codec's
    // noise, loose enough for other music to pass now and then.
    while (stopped > 0 && m_toleratedMisses == 0) {
        const std::int64_t top = agreeingBefore(
            stopped, bridge, std::llround(kBridgeShare * static_cast<double>(m_lag)));
        if (top < 0)
            break;
        m_gain = pairSums(m_audio, top - m_block, top, m_lag).levelRatio();
        const auto [from, next] = walkBack(top);
        if (from < top)
            earliest = from;
        stopped = next;
    }
    // A tracker's second pass may play whole passages otherwise, more
    // than a codec's noise apart and for longer than a bridge spans, and
    // copy the loop bit-exactly again before them: its loop begins at
    // the earliest of those copies.
    if (const std::int64_t from =
            m_exactCopies ? stretchesFrom(stopped, bridge, -1, true) : stopped;
        from < stopped)
        earliest = std::min(earliest, from);
    m_bridgedFrames = m_matchedFrames - unbridged;
    return earliest;
}

// The agreement that carries a walk past a stretch that differs.
std::int64_t Follower::bridgeFrames() const {
    return std::llround(kBridgeSeconds * m_audio.sampleRate);
}

// The walk of step 5 back from `t`: the first frame of the earliest
// block that matches (`t` when none does) and where the walk stopped (0
// at the beginning of the audio).
std::pair<std::int64_t, std::int64_t> Follower::walkBack(std::int64_t t) {
    std::int64_t earliest = t;
    for (std::int64_t misses = 0, strongMisses = 0; t > 0;) {
        const std::int64_t t0 = std::max<std::int64_t>(0, t - m_block);
        const BlockMatch m = recordBlock(t0, t);
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

// From `t` backwards (`step` -1) or forwards (+1): the far edge of the
// farthest stretch where the copies are bit-exact block after block
// (quiet blocks neither break nor count) over `frames` at least, `t`
// when there is none. Two seconds copied bit-exactly at this lag are no
// chance, but a lag may also copy a pattern a song plays again here and
// there: each stretch must lie less than a loop from the one before it,
// and the copies in between, where longer than a bridge may span, must
// still be a repeat, if not an exact one (a second pass playing a note
// or an instrument otherwise), not other music. Their blocks count as
// matched. Unless `exact`, a stretch need only agree within the codec's
// noise, block after block, as step 5 holds its blocks to.
std::int64_t Follower::stretchesFrom(std::int64_t t, std::int64_t frames, int step, bool exact) {
    const std::int64_t samples = m_block * m_audio.channels;
    std::int64_t farthest = t;
    std::vector<MatchedBlock> run;
    std::vector<double> between; // the residuals since the stretch accepted last
    std::int64_t edge = t;
    bool related = true;
    const auto accept = [&] {
        if (static_cast<std::int64_t>(run.size()) * m_block >= frames) {
            if (static_cast<double>(between.size() * m_block) > kBridgeShare * m_lag &&
                medianOf(between, 0, between.size()) > kSeedLimit) {
                related = false;
                return;
            }
            farthest = edge;
            m_matched.insert(m_matched.end(), run.begin(), run.end());
            m_matchedFrames += static_cast<double>(run.size() * m_block);
            between.clear();
        } else {
            for (const MatchedBlock& b : run)
                between.push_back(b.residual);
        }
        run.clear();
    };
    for (; related && std::abs(t - farthest) < m_lag; t += step * m_block) {
        const std::int64_t t0 = step < 0 ? t - m_block : t;
        if (t0 < 0 || t0 + m_block > m_end)
            break;
        const PairSums s = pairSums(m_audio, t0, t0 + m_block, m_lag);
        if (s.aa + s.bb < 2.0 * m_quiet * static_cast<double>(samples))
            continue;
        const bool differs = exact ? residualOf(s) > kExactResidual
                                   : residualOf(s) > m_threshold &&
                                         unsharedLevel(s, samples) > kNoiseFactor * m_noise;
        if (differs) {
            accept();
            between.push_back(residualOf(s));
            continue;
        }
        edge = step < 0 ? t0 : t0 + m_block;
        run.push_back({t0, residualOf(s), s.aa + s.bb});
    }
    if (related)
        accept();
    return farthest;
}

// The end of the latest stretch before `t`, within `gap` of it, where
// the copies agree block after block (quiet blocks neither break nor
// count) over `frames` at least; -1 when there is none.
std::int64_t Follower::agreeingBefore(std::int64_t t, std::int64_t frames, std::int64_t gap) const {
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
std::int64_t Follower::matchForwardFrom(std::int64_t seed0, std::int64_t seed1) {
    m_gain = pairSums(m_audio, std::max(seed0, seed1 - m_block), seed1, m_lag).levelRatio();
    std::int64_t lastEnd = seed1;
    for (std::int64_t t = seed1, misses = 0; t < m_end;) {
        std::int64_t t1 = std::min(m_end, t + m_block);
        if (m_end - t1 < m_block / 2)
            t1 = m_end; // no sliver of a block at the end
        const BlockMatch m = recordBlock(t, t1);
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
    m_unbrokenEnd = lastEnd;
    // As backwards: a second pass may play otherwise for a while and
    // copy the loop bit-exactly again after it. Through a lossy codec
    // at a lag that is no whole number of its blocks, the copies agree
    // again within its noise: a second pass that plays a note otherwise
    // every bar or two breaks the walk above as often, and the loop's
    // repeat goes on past it all the same. The start stays where the
    // walks back put it.
    if (m_exactCopies || m_audio.lossy)
        lastEnd = std::max(lastEnd, stretchesFrom(lastEnd, bridgeFrames(), 1, m_exactCopies));
    return lastEnd;
}

// The candidate from `start` whose repetition holds up to `lastEnd`,
// scored (see LoopCandidate::score); nullopt when it repeats too little
// or covers too little of what follows its start.
std::optional<LoopCandidate> Follower::candidateFrom(std::int64_t start, std::int64_t lastEnd) {
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
void Follower::calibrate(const Lag& lag) {
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
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    const double residual = median(residuals);
    // A track decoded from a lossy codec and stored again as PCM copies
    // exactly in places and only closely in others, like the codec's own
    // file: one inexact block that still matches is taken for that.
    const bool inexact =
        m_audio.lossy || *std::max_element(residuals.begin(), residuals.end()) > kInexact;
    m_threshold = std::clamp(kThresholdFactor * residual, inexact ? kLossyThreshold : kMinThreshold,
                             kSeedLimit);
    m_noise = median(levels);
    m_quiet = std::max(m_silence, kQuietFactor * m_noise);
    m_toleratedMisses = inexact || residual > kCleanResidual ? 1 : 0;
    // Copies bit-exact somewhere carry the walks to bit-exact stretches
    // past a second pass that plays otherwise: in PCM, and in a lossy
    // file at a lag of a whole number of the codec's blocks, where a
    // passage decoded after the same music decodes to the same samples,
    // two seconds of which are as sure a repeat as in PCM.
    m_exactCopies = *std::min_element(residuals.begin(), residuals.end()) <= kExactResidual;
}

// How the block [t0, t1) compares, and records it: its residual as the
// last seen, and when it matches, its level as the one the next block is
// held to and the block among the matched ones.
BlockMatch Follower::recordBlock(std::int64_t t0, std::int64_t t1) {
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
    const double gain = s.levelRatio();
    if (std::abs(gain - m_gain) > kGainStep * std::max(1.0, m_gain) + std::sqrt(r))
        return BlockMatch::Different;
    m_gain = gain;
    m_matched.push_back({t0, r, energy});
    return BlockMatch::Same;
}

} // namespace kestrin::audio::exact
