// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/dsp/copy_sums.h"

#include <algorithm>
#include <cstring>

namespace kestrin::audio {

namespace {

// Two lanes of doubles to a register (a GCC and Clang extension), each
// summed as a double alone would be. The sums are named, not an array, so
// that they stay in registers across the run.
using TwoDoubles = double __attribute__((vector_size(16)));

// Four float lanes in one register, for the runs of AddPairsInRuns.
using FourFloats = float __attribute__((vector_size(16)));

FourFloats fourAt(const float* p) {
    FourFloats v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

} // namespace

void AddPairs(const float* a, const float* b, std::size_t steps, std::size_t jump,
              std::size_t channels, PairSums& sums) {
    if (jump == channels) {
        // Every frame: one run over the samples, in the same order.
        for (std::size_t i = 0; i < steps * channels; ++i) {
            sums.aa += double{a[i]} * a[i];
            sums.bb += double{b[i]} * b[i];
            sums.ab += double{a[i]} * b[i];
        }
        return;
    }
    for (std::size_t k = 0; k < steps; ++k) {
        const std::size_t i = k * jump;
        for (std::size_t c = 0; c < channels; ++c) {
            sums.aa += double{a[i + c]} * a[i + c];
            sums.bb += double{b[i + c]} * b[i + c];
            sums.ab += double{a[i + c]} * b[i + c];
        }
    }
}

std::array<PairSums, kPairLanes> SumLanes(const std::array<const float*, kPairLanes>& a,
                                          const std::array<const float*, kPairLanes>& b,
                                          std::size_t steps, std::size_t jump,
                                          std::size_t channels) {
    static_assert(kPairLanes == 4, "the lanes are two registers of two");
    TwoDoubles aa01{}, aa23{}, bb01{}, bb23{}, ab01{}, ab23{};
    for (std::size_t k = 0; k < steps; ++k) {
        const std::size_t i = k * jump;
        for (std::size_t c = 0; c < channels; ++c) {
            const TwoDoubles x01{a[0][i + c], a[1][i + c]};
            const TwoDoubles x23{a[2][i + c], a[3][i + c]};
            const TwoDoubles y01{b[0][i + c], b[1][i + c]};
            const TwoDoubles y23{b[2][i + c], b[3][i + c]};
            aa01 += x01 * x01;
            aa23 += x23 * x23;
            bb01 += y01 * y01;
            bb23 += y23 * y23;
            ab01 += x01 * y01;
            ab23 += x23 * y23;
        }
    }
    return {PairSums{aa01[0], bb01[0], ab01[0]}, PairSums{aa01[1], bb01[1], ab01[1]},
            PairSums{aa23[0], bb23[0], ab23[0]}, PairSums{aa23[1], bb23[1], ab23[1]}};
}

std::array<PairSums, kPairLanes> SumLanesFromOne(const float* first,
                                                 const std::array<const float*, kPairLanes>& b,
                                                 std::size_t steps, std::size_t jump,
                                                 std::size_t channels) {
    static_assert(kPairLanes == 4, "the lanes are two registers of two");
    double aa = 0;
    TwoDoubles bb01{}, bb23{}, ab01{}, ab23{};
    if (jump == channels) {
        // Every frame: one run over the samples, in the same order.
        for (std::size_t i = 0; i < steps * channels; ++i) {
            const double x = first[i];
            const TwoDoubles xx{x, x};
            const TwoDoubles y01{b[0][i], b[1][i]};
            const TwoDoubles y23{b[2][i], b[3][i]};
            aa += x * x;
            bb01 += y01 * y01;
            bb23 += y23 * y23;
            ab01 += xx * y01;
            ab23 += xx * y23;
        }
        steps = 0;
    }
    for (std::size_t k = 0; k < steps; ++k) {
        const std::size_t i = k * jump;
        for (std::size_t c = 0; c < channels; ++c) {
            const double x = first[i + c];
            const TwoDoubles xx{x, x};
            const TwoDoubles y01{b[0][i + c], b[1][i + c]};
            const TwoDoubles y23{b[2][i + c], b[3][i + c]};
            aa += x * x;
            bb01 += y01 * y01;
            bb23 += y23 * y23;
            ab01 += xx * y01;
            ab23 += xx * y23;
        }
    }
    return {PairSums{aa, bb01[0], ab01[0]}, PairSums{aa, bb01[1], ab01[1]},
            PairSums{aa, bb23[0], ab23[0]}, PairSums{aa, bb23[1], ab23[1]}};
}

void AddPairsInRuns(const float* a, const float* b, std::size_t samples, PairSums& sums) {
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

} // namespace kestrin::audio
