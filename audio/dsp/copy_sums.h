// SPDX-License-Identifier: GPL-3.0-or-later
// The sums that say how alike two copies of some audio are: the squares of
// each and their products, pair by pair of samples. The exact finder sums
// them over a track's lags, the seam judge over the frames either side of a
// jump; both take the same figures from them. Every sum adds its pairs in
// order of time, so that a copy's sums are the same to the bit whichever
// function makes them, alone or in a lane beside others.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace kestrin::audio {

// Sums over the sample pairs (a, b) of two copies: a from the first copy, b
// from the second.
struct PairSums {
    double aa = 0;
    double bb = 0;
    double ab = 0;

    // The level of the second copy relative to the first that fits it best
    // (least squares): the one scale that turns a into b where they move
    // together, what a swell or a tremolo changes and codec noise does not.
    double fittedGain() const { return aa > 0 ? ab / aa : 1.0; }
    // The level of the second copy over the first as the ratio of their RMS,
    // whatever their correlation: what a fade changes from block to block.
    double levelRatio() const { return aa > 0 ? std::sqrt(bb / aa) : 1.0; }
};

// Copies summed at once, a lane each: one sum waits on the one before it,
// so the lanes keep the adder busy where one copy's sums alone would not.
inline constexpr std::size_t kPairLanes = 4;

// Adds to `sums` the pairs of `steps` frames of `channels` samples, `jump`
// samples apart (channels for every frame), from `a` and `b`, in order.
void AddPairs(const float* a, const float* b, std::size_t steps, std::size_t jump,
              std::size_t channels, PairSums& sums);

// The same for kPairLanes pairs of copies at once, the first copies from
// a[j], the second from b[j]; each lane to the bit as AddPairs from empty sums.
std::array<PairSums, kPairLanes> SumLanes(const std::array<const float*, kPairLanes>& a,
                                          const std::array<const float*, kPairLanes>& b,
                                          std::size_t steps, std::size_t jump,
                                          std::size_t channels);

// The same where every lane's first copy is `first`: its squares are summed
// once.
std::array<PairSums, kPairLanes> SumLanesFromOne(const float* first,
                                                 const std::array<const float*, kPairLanes>& b,
                                                 std::size_t steps, std::size_t jump,
                                                 std::size_t channels);

// Adds the sums over `samples` interleaved samples of `a` and `b` to `sums`,
// faster than AddPairs and not to its bit: eight float lanes over runs of
// 4096 samples from `a`, the runs added up in double, so that a track summed
// chunk by chunk (chunks a multiple of 4096 samples long) sums as one.
void AddPairsInRuns(const float* a, const float* b, std::size_t samples, PairSums& sums);

} // namespace kestrin::audio
