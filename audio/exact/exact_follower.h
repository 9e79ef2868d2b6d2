// SPDX-License-Identifier: GPL-3.0-or-later
// Steps 5 to 7 of the exact finder: the Follower, which follows one lag
// through the audio, its steps a file each in order:
//   exact_follower.cpp  5: takes a lag and its seed; gives the repeat's
//                       extent, followed block by block back and forth
//                       from the seed within thresholds calibrated on it,
//                       and the candidate it makes, scored
//   exact_start.cpp     6: takes the earliest block that matches; gives
//                       the sample where the copies begin to agree
//   exact_ring.cpp      7: takes that start; gives the start past an
//                       intro's ring into the loop, where the copies are
//                       as alike as in the loop's body
// exact_follow_lags.cpp (step 8) runs it for every lag. Private to those
// files.
#pragma once

#include "audio/exact/exact_finder_steps.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kestrin::audio::exact {

// Figures more than one of the Follower's steps uses.
// Residual threshold for bit-exact copies.
constexpr double kMinThreshold = 2e-4;
// Residual of a copy that is not exact.
constexpr double kInexact = 1e-4;
// Unshared level still taken for noise.
constexpr double kNoiseFactor = 2.0;

enum class BlockMatch { Silent, Same, Different };

// Follows one lag through the audio: steps 5 to 7.
// Threads: one thread's, as the Track it reads through is; the lags are
// followed side by side with a Follower per lag on each thread's own Track.
class Follower {
public:
    // Calibrates step 5's thresholds on the copies at `lag`; blocks under
    // `silence` (a mean square) tell nothing.
    Follower(Track& audio, const Lag& lag, double silence);

    // Steps 5 to 7 from the seed's template: the candidate of the repetition
    // found there, nullopt when too little of it repeats.
    std::optional<LoopCandidate> follow(const Seed& seed);

    // How far the copies of the candidate followed last are from exact: the
    // energy-weighted residual of its matching blocks.
    double inexactness() const { return m_inexactness; }
    // Frames from the start of the candidate followed last over which its
    // repeat was seen.
    double seen() const { return m_seen; }
    // The blocks its copies matched in, from `start` on.
    std::vector<MatchedBlock> matchedFrom(std::int64_t start) const;
    // Frames in a block of step 5.
    std::int64_t block() const { return m_block; }

private:
    // Step 5 (exact_follower.cpp): the repeat followed block by block.
    std::int64_t matchBackFrom(std::int64_t seed0, std::int64_t seed1);
    std::int64_t bridgeFrames() const;
    std::pair<std::int64_t, std::int64_t> walkBack(std::int64_t t);
    std::int64_t stretchesFrom(std::int64_t t, std::int64_t frames, int step, bool exact);
    std::int64_t agreeingBefore(std::int64_t t, std::int64_t frames, std::int64_t gap) const;
    std::int64_t matchForwardFrom(std::int64_t seed0, std::int64_t seed1);
    std::optional<LoopCandidate> candidateFrom(std::int64_t start, std::int64_t lastEnd);
    void calibrate(const Lag& lag);
    BlockMatch recordBlock(std::int64_t t0, std::int64_t t1);

    // Step 6 (exact_start.cpp): the start placed to the sample.
    // Each sample's difference of the two copies over [lo, hi), relative to
    // the level around it, as step 6 weighs it.
    struct SpanDifference {
        std::vector<double> relative;   // to the local level
        std::vector<double> broad;      // the same over a broader level
        std::vector<double> logSums;    // prefix sums of log(relative)
        std::vector<double> logSquares; // and of their squares
    };

    // A split of the span: the matching stretch begins `at` samples in, and
    // `gain` is how much the split lowers the squared deviation of the log
    // values from their means.
    struct Split {
        double gain = 0.0;
        std::size_t at = 0;
    };
    std::pair<double, double> gainLine(std::int64_t t0, std::int64_t t1) const;
    std::int64_t startNear(std::int64_t earliest);
    std::int64_t afterQuietBlocks(std::int64_t earliest);
    SpanDifference spanDifference(std::int64_t lo, std::int64_t hi, std::int64_t earliest) const;
    static Split bestSplit(const std::vector<double>& logSums);
    static std::size_t afterLastInexact(const std::vector<double>& relative, std::size_t split,
                                        double typical);
    static bool standsOut(const SpanDifference& d, const Split& split);
    static double medianOf(const std::vector<double>& values, std::size_t from, std::size_t to);
    static std::size_t lastDifferingStretch(const std::vector<double>& broad, std::size_t split);
    static std::size_t lastDifferingBefore(const std::vector<double>& relative, std::size_t split);

    // Step 7 (exact_ring.cpp): the start moved past an intro's ring.
    // What the body of the loop shows, in step 7's short blocks.
    struct Body {
        int exactBlocks = 0;
        int inexactBlocks = 0;
        int closeBlocks = 0;   // copied, not exactly, after an exact one: a codec's noise
        double residual = 0.0; // the most the body's copies differ by, relative
        double level = 0.0;    // and as a level
        std::vector<double> residuals;
        std::vector<double> levels;
    };
    std::int64_t alikeFrom(std::int64_t start, std::int64_t lastEnd);
    // The body measured from `from` on, in blocks of `fine` frames.
    Body bodyFrom(std::int64_t from, std::int64_t fine) const;
    // The start past a ring that differs from `body` between `start` and `end`.
    std::int64_t pastRing(std::int64_t start, std::int64_t end, std::int64_t fine,
                          const Body& body);
    std::int64_t exactFrom(std::int64_t start, std::int64_t end, std::int64_t settle) const;
    std::int64_t firstExactFrom(std::int64_t start, std::int64_t end, std::int64_t fine) const;
    std::int64_t noiseSplit(std::int64_t differs, std::int64_t fine) const;

    Track& m_audio;
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

} // namespace kestrin::audio::exact
