// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/dsp/copy_sums.h"

#include <algorithm>
#include <cstring>

namespace kestrin::audio {

namespace {

// Two lanes of doubles to a register (a GCC and Clang extension), each
// summed as a double alone would be.
using TwoDoubles = double __attribute__((vector_size(16)));

// Four float lanes in one register, for the runs of AddPairsInRuns.
using FourFloats = float __attribute__((vector_size(16)));

FourFloats fourAt(const float* p) {
    FourFloats v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The sums of two registers of lanes of first copies and two of second
// copies, lane by lane: the step of both the copies summed side by side and
// the runs of AddPairsInRuns. The sums are named, not an array, so that
// they stay in registers across the run.
template <typename Lanes> struct LaneSums {
    Lanes aa0{}, aa1{}, bb0{}, bb1{}, ab0{}, ab1{};

    void add(Lanes x0, Lanes x1, Lanes y0, Lanes y1) {
        aa0 += x0 * x0;
        aa1 += x1 * x1;
        bb0 += y0 * y0;
        bb1 += y1 * y1;
        ab0 += x0 * y0;
        ab1 += x1 * y1;
    }
};

// Calls add(i) for the samples i of `steps` frames of `channels` samples,
// `jump` samples apart, in order. Frames that follow on (every frame) are
// one run over the samples, which the compiler keeps tighter than a loop
// per frame.
template <typename Add>
void eachSample(std::size_t steps, std::size_t jump, std::size_t channels, const Add& add) {
    if (jump == channels) {
        for (std::size_t i = 0; i < steps * channels; ++i)
            add(i);
        return;
    }
    for (std::size_t k = 0; k < steps; ++k) {
        const std::size_t i = k * jump;
        for (std::size_t c = 0; c < channels; ++c)
            add(i + c);
    }
}

} // namespace

void AddPairs(const float* a, const float* b, std::size_t steps, std::size_t jump,
              std::size_t channels, PairSums& sums) {
    eachSample(steps, jump, channels, [&](std::size_t i) {
        sums.aa += double{a[i]} * a[i];
        sums.bb += double{b[i]} * b[i];
        sums.ab += double{a[i]} * b[i];
    });
}

std::array<PairSums, kPairLanes> SumLanes(const std::array<const float*, kPairLanes>& a,
                                          const std::array<const float*, kPairLanes>& b,
                                          std::size_t steps, std::size_t jump,
                                          std::size_t channels) {
    static_assert(kPairLanes == 4, "the lanes are two registers of two");
    LaneSums<TwoDoubles> s;
    eachSample(steps, jump, channels, [&](std::size_t i) {
        s.add(TwoDoubles{a[0][i], a[1][i]}, TwoDoubles{a[2][i], a[3][i]},
              TwoDoubles{b[0][i], b[1][i]}, TwoDoubles{b[2][i], b[3][i]});
    });
    return {PairSums{s.aa0[0], s.bb0[0], s.ab0[0]}, PairSums{s.aa0[1], s.bb0[1], s.ab0[1]},
            PairSums{s.aa1[0], s.bb1[0], s.ab1[0]}, PairSums{s.aa1[1], s.bb1[1], s.ab1[1]}};
}

std::array<PairSums, kPairLanes> SumLanesFromOne(const float* first,
                                                 const std::array<const float*, kPairLanes>& b,
                                                 std::size_t steps, std::size_t jump,
                                                 std::size_t channels) {
    static_assert(kPairLanes == 4, "the lanes are two registers of two");
    double aa = 0;
    TwoDoubles bb01{}, bb23{}, ab01{}, ab23{};
    eachSample(steps, jump, channels, [&](std::size_t i) {
        const double x = first[i];
        const TwoDoubles xx{x, x};
        const TwoDoubles y01{b[0][i], b[1][i]};
        const TwoDoubles y23{b[2][i], b[3][i]};
        aa += x * x;
        bb01 += y01 * y01;
        bb23 += y23 * y23;
        ab01 += xx * y01;
        ab23 += xx * y23;
    });
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
        LaneSums<FourFloats> s;
        for (; i + kLanes <= runEnd; i += kLanes)
            s.add(fourAt(a + i), fourAt(a + i + 4), fourAt(b + i), fourAt(b + i + 4));
        std::array<float, kLanes> aa{};
        std::array<float, kLanes> bb{};
        std::array<float, kLanes> ab{};
        std::memcpy(aa.data(), &s.aa0, sizeof s.aa0);
        std::memcpy(aa.data() + 4, &s.aa1, sizeof s.aa1);
        std::memcpy(bb.data(), &s.bb0, sizeof s.bb0);
        std::memcpy(bb.data() + 4, &s.bb1, sizeof s.bb1);
        std::memcpy(ab.data(), &s.ab0, sizeof s.ab0);
        std::memcpy(ab.data() + 4, &s.ab1, sizeof s.ab1);
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
