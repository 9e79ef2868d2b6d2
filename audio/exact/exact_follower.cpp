// SPDX-License-Identifier: GPL-3.0-or-later
// Steps 5 to 8 of the exact finder: one lag followed through the audio,
// its start placed and its seam admitted.
#include "audio/exact/exact_finder_steps.h"

#include "core/loop_problems.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace kestrin::audio::exact {

namespace {

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
// Threshold over the typical residual: codec noise is tolerated, a different
// note is not.
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
// Level change from block to block in a fade, at most: a linear fade over
// 1.2 s or more changes it by less, copies whose level swings against each
// other (a tremolo out of step) far faster.
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
// Samples of a lossy file this close are copies: a decoder synthesising in
// float rounds the same frames a unit in the last place apart (2^-24 seen
// through MP3), far below a ring, and a 16-bit step is 2^-15.
constexpr float kDecoderRounding = 0x1p-21f;
// Step 9.
// Of what follows the start: less is a passage played twice, not a loop.
constexpr double kMinCoverage = 0.5;
// A found loop that covers this much rules out its multiples.
constexpr double kHoldingScore = 0.9;
// Frames per multiple a lag may be off one: each exact lag's own error.
constexpr std::int64_t kMultipleSlack = 2;

} // namespace

// ---- steps 5 to 8, per lag ---------------------------------------------------------

namespace {

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

    // How far the copies of the candidate followed last are from exact: the
    // energy-weighted residual of its matching blocks.
    double inexactness() const { return m_inexactness; }
    // Frames from the start of the candidate followed last over which its
    // repeat was seen.
    double seen() const { return m_seen; }
    // The blocks its copies matched in, from `start` on.
    std::vector<MatchedBlock> matchedFrom(std::int64_t start) const {
        std::vector<MatchedBlock> from;
        std::copy_if(m_matched.begin(), m_matched.end(), std::back_inserter(from),
                     [start](const MatchedBlock& b) { return b.begin >= start; });
        return from;
    }
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
            m_gain = gainOf(pairSums(m_audio, top - m_block, top, m_lag));
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
    std::int64_t bridgeFrames() const { return std::llround(kBridgeSeconds * m_audio.sampleRate); }

    // The walk of step 5 back from `t`: the first frame of the earliest
    // block that matches (`t` when none does) and where the walk stopped (0
    // at the beginning of the audio).
    std::pair<std::int64_t, std::int64_t> walkBack(std::int64_t t) {
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
    std::int64_t stretchesFrom(std::int64_t t, std::int64_t frames, int step, bool exact) {
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
    BlockMatch recordBlock(std::int64_t t0, std::int64_t t1) {
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
        int closeBlocks = 0;   // copied, not exactly, after an exact one: a codec's noise
        double residual = 0.0; // the most the body's copies differ by, relative
        double level = 0.0;    // and as a level
        std::vector<double> residuals;
        std::vector<double> levels;
        for (std::int64_t k = 0; k < kBodyBlocks && from + fine <= m_end; ++k) {
            const std::int64_t t0 = from + (m_end - fine - from) * k / (kBodyBlocks - 1);
            const PairSums s = pairSums(m_audio, t0, t0 + fine, m_lag);
            if (s.aa + s.bb < 2.0 * m_quiet * static_cast<double>(samples))
                continue;
            if (residualOf(s) > kInexact && residualOf(s) <= kSeedLimit && exactBlocks > 0)
                ++closeBlocks;
            ++(residualOf(s) <= kExactResidual ? exactBlocks : inexactBlocks);
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

    // The first sample of the first audible short block from `start` on whose
    // copies are exact, brought back to where they turn exact within a
    // decoder's rounding; `start` when no block before `end` is.
    std::int64_t firstExactFrom(std::int64_t start, std::int64_t end, std::int64_t fine) const {
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
            const bool quiet = recordBlock(b, lo) == BlockMatch::Silent;
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
    bool m_exactCopies = false;  // audio whose copies are bit-exact in places
    double m_lastResidual = 1.0; // of the block recordBlock saw last
    double m_matchedFrames = 0;
    // The walks of step 5 from the template before any stretch that
    // differs: where they began and ended, and the frames matched past such
    // stretches backwards.
    std::int64_t m_unbroken = 0;
    std::int64_t m_unbrokenEnd = 0;
    double m_bridgedFrames = 0;
    std::vector<MatchedBlock> m_matched;
    double m_inexactness = 1.0;
    double m_seen = 0.0;
    double m_gain = 1.0; // of the later copy over the earlier, in the block matched last
};

// Whether `lag` only repeats a loop already found: a multiple of a found loop
// adds nothing where that loop already holds; a shorter loop that repeats
// only by chance somewhere later (a few notes played again) says nothing of
// this lag.
bool multipleOfFound(const Lag& lag, const Found& found, const ShortPeriod& shortPeriod) {
    const std::int64_t seenFrom = std::max<std::int64_t>(0, lag.seed.laterBegin - lag.frames);
    // An exact lag is no multiple of a loop whose copies are not: it may be
    // the loop of music that nearly repeats at a shorter period.
    const bool exact = lag.residual <= kExactResidual;
    bool multiple = false;
    for (std::size_t i = 0; i < found.candidates.size() && !multiple; ++i) {
        const LoopCandidate& c = found.candidates[i];
        const std::int64_t loop = c.stop - c.start;
        const std::int64_t k = (lag.frames + loop / 2) / loop;
        multiple = k >= 2 && c.score >= kHoldingScore && c.start <= seenFrom &&
                   std::abs(lag.frames - k * loop) <= kMultipleSlack * k &&
                   !(exact && found.inexactness[i] > kInexact);
    }
    const bool ofShortPeriod =
        shortPeriod.period > 0 && lag.frames != shortPeriod.loop &&
        lag.residual <= kExactResidual && lag.frames % shortPeriod.period == 0 &&
        std::any_of(found.candidates.begin(), found.candidates.end(), [&](const LoopCandidate& c) {
            return c.stop - c.start == shortPeriod.loop && c.start <= seenFrom;
        });
    return multiple || ofShortPeriod;
}

// A lag's candidate and what steps 5 to 7 saw of its copies.
struct Followed {
    LoopCandidate candidate;
    double inexactness = 1.0;
    double seen = 0.0;
    std::vector<MatchedBlock> matched;
};

// Steps 5 to 8 for one lag: followed through the audio, its start placed,
// moved past a ring the seam judge hears, and admitted by the seam verdict.
// Nullopt when there is no candidate.
std::optional<Followed> followLag(const Track& audio, const Lag& lag, double silence) {
    Follower follower(audio, lag, silence);
    std::optional<LoopCandidate> candidate = follower.follow(lag.seed);
    if (!candidate)
        return std::nullopt;
    const std::int64_t length = candidate->stop - candidate->start;
    candidate->judged = JudgeSeam(audio.source(), candidate->start, candidate->stop);
    if (!IsSeamless(candidate->judged)) {
        const std::optional<std::int64_t> start =
            seamlessStartFrom(audio, candidate->start, length, follower.block());
        if (!start)
            return std::nullopt;
        candidate->start = *start;
        candidate->stop = *start + length;
        candidate->judged = JudgeSeam(audio.source(), candidate->start, candidate->stop);
    }
    candidate->seam = seamScore(audio, candidate->start, candidate->stop);
    return Followed{*candidate, follower.inexactness(), follower.seen(),
                    follower.matchedFrom(candidate->start)};
}

} // namespace

// Steps 5 to 8 for every lag, shortest first; nullopt when `checking` was
// cancelled. A lag is followed unless it is a multiple of a loop found at a
// shorter one, so each lag waits for those before it: on two threads a lag
// is followed ahead of them unless it is a multiple of those found so far,
// and its candidate is taken in order, once those before it are in, unless
// it has become one. Candidates only add multiples, so the candidates are
// those of one thread.
std::optional<Found> followLags(const Track& audio, const std::vector<Lag>& lags,
                                const ShortPeriod& shortPeriod, double silence,
                                const ProgressCallback& checking) {
    Found found;
    found.lossy = audio.lossy;
    std::mutex mutex; // guards the rest
    std::vector<std::optional<Followed>> followed(lags.size());
    std::vector<bool> done(lags.size(), false);
    std::size_t taken = 0; // lags before this are in `found`, or not wanted
    const auto takeInOrder = [&] {
        for (; taken < lags.size() && done[taken]; ++taken) {
            if (!followed[taken] || multipleOfFound(lags[taken], found, shortPeriod))
                continue;
            Followed& f = *followed[taken];
            found.candidates.push_back(f.candidate);
            found.inexactness.push_back(f.inexactness);
            found.seen.push_back(f.seen);
            found.matched.push_back(std::move(f.matched));
        }
    };
    const bool finished = sideBySide(
        audio, lags.size(),
        [&](const Track& track, std::size_t i) {
            {
                const std::lock_guard lock(mutex);
                if (multipleOfFound(lags[i], found, shortPeriod)) {
                    done[i] = true;
                    takeInOrder();
                    return;
                }
            }
            std::optional<Followed> f = followLag(track, lags[i], silence);
            const std::lock_guard lock(mutex);
            followed[i] = std::move(f);
            done[i] = true;
            takeInOrder();
        },
        checking);
    if (!finished)
        return std::nullopt;
    return found;
}

} // namespace kestrin::audio::exact
