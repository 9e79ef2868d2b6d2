// SPDX-License-Identifier: GPL-3.0-or-later
// Steps 3 and 4 of the exact finder: each coarse lag to the sample, and
// the shortest period the lags share.
#include "audio/exact/exact_finder_steps.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

namespace kestrin::audio::exact {

namespace {

// Step 3.
// Frames past D/2 a coarse lag may be off: the parabola's vertex and the
// triangle filter each move it a little on uneven audio.
constexpr std::int64_t kLagReachPastGrid = 3;
// Every this many frames for the first pass: a quarter of the work.
constexpr int kSparseStride = 4;
// Frames to each side of a lag of the first pass tried on every frame: as
// far as the sparse pass can be off on audio periodic within a few frames.
constexpr std::int64_t kFineReach = 2;
// Frame pairs under a template, at the least, for a residual to mean anything.
constexpr std::int64_t kMinPairs = 64;
// Distinct exact lags, all multiples of one period, that make the music
// periodic within its passes: one or two are a loop and its double.
constexpr std::int64_t kPeriodMultiples = 3;
// Step 4.
// Frames to each side of a divided lag: the division is exact up to the error of the lag.
constexpr std::int64_t kPeriodReach = 2;
// Of the lags' common divisor, tried as periods: the coarse grid of 16
// frames favours multiples of a short period that it does not divide.
constexpr std::int64_t kCommonDivisors = 8;
// Whole numbers a lag is divided by, at most: with the shortest loop at two
// seconds every lag under eight minutes is divided by all that leave it,
// and a shortest loop of a few samples on a tone cannot make the search try
// every one of a hundred thousand. A period shorter still is found through
// the exact lags' common divisor.
constexpr std::int64_t kMaxDivisions = 256;
// Frames: lags closer than the fine reach of step 3 are one.
constexpr std::int64_t kSameLag = 2;
// Distinct exact lags whose differences are tried, at most: the longest
// ones. Music repeating a cycle of notes in each pass gives the cycle's
// multiples and their sums with the loop, a handful; this keeps a track
// with dozens of exact lags from trying hundreds of pairs.
constexpr std::size_t kMostDifferenced = 12;

} // namespace

// ---- step 3: sample-exact lags -------------------------------------------------

namespace {

// The residual of each lag from `first` to `last` over the frames
// `rangeAt(lag)` gives, every kSparseStride-th frame; 1 where fewer than
// kMinPairs pairs. Each is residualOf(pairSums(..., kSparseStride)) to the
// bit: a lag's sums add up in the same order, but kPairLanes lags run at
// once, where one lag's additions would each wait for the one before. The
// windows of all lags are read once.
template <class RangeAt>
std::vector<double> sparseResiduals(Track& audio, std::int64_t first, std::int64_t last,
                                    const RangeAt& rangeAt) {
    struct Run {
        std::size_t slot;
        std::int64_t lag, t0, t1;
    };
    std::vector<double> residuals(
        static_cast<std::size_t>(std::max<std::int64_t>(0, last - first + 1)), 1.0);
    std::vector<Run> runs;
    for (std::int64_t lag = first; lag <= last; ++lag) {
        const auto [t0, t1] = rangeAt(lag);
        if (t1 - t0 >= kMinPairs)
            runs.push_back({static_cast<std::size_t>(lag - first), lag, t0, t1});
    }
    if (runs.empty())
        return residuals;
    std::int64_t early0 = runs[0].t0, early1 = runs[0].t1;
    std::int64_t late0 = runs[0].t0 + runs[0].lag, late1 = runs[0].t1 + runs[0].lag;
    for (const Run& r : runs) {
        early0 = std::min(early0, r.t0);
        early1 = std::max(early1, r.t1);
        late0 = std::min(late0, r.t0 + r.lag);
        late1 = std::max(late1, r.t1 + r.lag);
    }
    const float* early = audio.window(Track::Earlier, early0, early1);
    const float* late = audio.window(Track::Later, late0, late1);
    const auto ch = static_cast<std::size_t>(audio.channels);
    const std::size_t jump = static_cast<std::size_t>(kSparseStride) * ch;
    for (std::size_t g = 0; g < runs.size(); g += kPairLanes) {
        const std::size_t used = std::min(kPairLanes, runs.size() - g);
        std::array<const float*, kPairLanes> a{};
        std::array<const float*, kPairLanes> b{};
        std::array<std::size_t, kPairLanes> steps{};
        // Lanes past the last lag repeat the group's first, and are not kept.
        for (std::size_t j = 0; j < kPairLanes; ++j) {
            const Run& r = runs[g + (j < used ? j : 0)];
            a[j] = early + static_cast<std::size_t>(r.t0 - early0) * ch;
            b[j] = late + static_cast<std::size_t>(r.t0 + r.lag - late0) * ch;
            steps[j] = static_cast<std::size_t>((r.t1 - r.t0 + kSparseStride - 1) / kSparseStride);
        }
        const std::size_t common = *std::min_element(steps.begin(), steps.end());
        std::array<PairSums, kPairLanes> sums{};
        if (std::all_of(b.begin(), b.end(), [&](const float* p) { return p == b[0]; })) {
            // Every lag's later copy is the template's: its squares are
            // summed once, as the lanes' first copy.
            sums = SumLanesFromOne(b[0], a, common, jump, ch);
            for (PairSums& s : sums)
                std::swap(s.aa, s.bb);
        } else {
            sums = SumLanes(a, b, common, jump, ch);
        }
        for (std::size_t j = 0; j < used; ++j) {
            const std::size_t done = common * jump;
            AddPairs(a[j] + done, b[j] + done, steps[j] - common, jump, ch, sums[j]);
            residuals[runs[g + j].slot] = residualOf(sums[j]);
        }
    }
    return residuals;
}

// The lag within `reach` of the seed's with the smallest residual under the
// seed's template; 0 frames when none comes near a repetition.
Lag exactLag(Track& audio, const Seed& seed, std::int64_t reach) {
    const std::int64_t n = audio.frames();
    const std::int64_t centre = std::llround(seed.lag);
    auto rangeAt = [&](std::int64_t lag) {
        return std::pair{std::max<std::int64_t>(0, seed.laterBegin - lag),
                         std::min(seed.laterEnd, n) - lag};
    };
    auto residualAt = [&](std::int64_t lag, int stride) {
        const auto [t0, t1] = rangeAt(lag);
        if (t1 - t0 < kMinPairs)
            return 1.0;
        return residualOf(pairSums(audio, t0, t1, lag, stride));
    };
    Lag best;
    best.seed = seed;
    // Every 4th frame first. On audio that is periodic within a few frames
    // (a square wave, say) that can miss every frame where lags a sample
    // apart disagree, so all lags that tie with the best there are tried on
    // every frame.
    std::vector<std::pair<std::int64_t, double>> sparse;
    double coarseResidual = 2.0;
    const std::int64_t firstLag = std::max<std::int64_t>(1, centre - reach);
    const std::vector<double> residuals = sparseResiduals(audio, firstLag, centre + reach, rangeAt);
    for (std::int64_t lag = firstLag; lag <= centre + reach; ++lag) {
        const double r = residuals[static_cast<std::size_t>(lag - firstLag)];
        sparse.emplace_back(lag, r);
        coarseResidual = std::min(coarseResidual, r);
    }
    if (coarseResidual > kSeedLimit)
        return best;
    std::int64_t tried = 0; // lags below this were tried on every frame
    for (const auto& [centreLag, r] : sparse) {
        if (r > kTieFactor * coarseResidual + kExactResidual)
            continue;
        for (std::int64_t lag = std::max({std::int64_t{1}, centreLag - kFineReach, tried});
             lag <= centreLag + kFineReach; ++lag) {
            const double fine = residualAt(lag, 1);
            if (fine < best.residual) {
                best.residual = fine;
                best.frames = lag;
            }
        }
        tried = centreLag + kFineReach + 1;
    }
    if (best.frames > 0) {
        const auto [t0, t1] = rangeAt(best.frames);
        best.noise =
            unsharedLevel(pairSums(audio, t0, t1, best.frames), (t1 - t0) * audio.channels);
    }
    return best;
}

} // namespace

// The seeds' lags to the sample, those within the audio, at least the
// shortest loop long and repeating at all.
std::vector<Lag> exactLags(Track& audio, const std::vector<Seed>& seeds, const Coarse& coarse,
                           std::int64_t minLoop) {
    std::vector<Lag> each(seeds.size());
    parallelFor(audio, seeds.size(), [&](Track& track, std::size_t i) {
        each[i] = exactLag(track, seeds[i], coarse.factor / 2 + kLagReachPastGrid);
    });
    std::vector<Lag> lags;
    for (const Lag& lag : each) {
        if (lag.frames >= minLoop && lag.frames < audio.frames() && lag.residual <= kSeedLimit)
            lags.push_back(lag);
    }
    return lags;
}

// Music whose every part repeats at a short period (a tone, a tracker's
// pattern played on, each note alike) matches at every multiple of it as
// closely as at its loop: the coarse lags are multiples of the period, and
// only what the period does not repeat (noise, a drum's variation) tells the
// loop apart, too faint in the coarse signal to decide. Taking away the
// frames a near-period back leaves just that, which repeats at the loop and
// nowhere else. Only exact lags are taken from there: the steps after judge
// the rest as before.
bool addLagsBeneathNearPeriod(Track& audio, std::int64_t minLoop, std::vector<Lag>& lags,
                              const ProgressCallback& progress) {
    if (audio.lossy || lags.empty())
        return true;
    double best = 1.0;
    for (const Lag& lag : lags)
        best = std::min(best, lag.residual);
    if (best <= kExactResidual)
        return true;
    // The shortest of the closest repeats: the most of the track is left
    // after it.
    std::int64_t nearPeriod = 0;
    for (const Lag& lag : lags) {
        if (lag.residual <= kTieFactor * best && (nearPeriod == 0 || lag.frames < nearPeriod))
            nearPeriod = lag.frames;
    }
    Pass pass = passOver(audio, progress, nearPeriod);
    if (pass.cancelled)
        return false;
    bool cancelled = false;
    const std::vector<Seed> seeds = coarseSeeds(audio, pass.coarse, minLoop, progress, cancelled);
    if (cancelled)
        return false;
    for (const Lag& lag : exactLags(audio, seeds, pass.coarse, minLoop)) {
        if (lag.residual <= kExactResidual)
            lags.push_back(lag);
    }
    return true;
}

// Music whose every pass repeats a few bars exactly (a tracker's pattern
// played again, notes in a cycle) matches at every multiple of those bars as
// exactly as at its loop, and on the coarse grid more clearly: the five
// highest peaks of a template may all be such multiples, and the loop, which
// is none, goes unseen. Where the exact lags found are several multiples of
// one period, the peaks off its multiples are looked at too.
bool addLagsBesidePeriod(Track& audio, Coarse& coarse, std::int64_t minLoop, std::vector<Lag>& lags,
                         const ProgressCallback& progress) {
    std::int64_t period = 0;
    std::vector<std::int64_t> exact;
    for (const Lag& lag : lags) {
        if (lag.residual <= kExactResidual) {
            period = std::gcd(period, lag.frames);
            exact.push_back(lag.frames);
        }
    }
    std::sort(exact.begin(), exact.end());
    exact.erase(std::unique(exact.begin(), exact.end()), exact.end());
    if (period < minLoop || static_cast<std::int64_t>(exact.size()) < kPeriodMultiples)
        return true;
    bool cancelled = false;
    const std::vector<Seed> seeds =
        coarseSeeds(audio, coarse, minLoop, progress, cancelled, period);
    if (cancelled)
        return false;
    for (const Lag& lag : exactLags(audio, seeds, coarse, minLoop)) {
        if (lag.residual <= kExactResidual && lag.frames % period != 0)
            lags.push_back(lag);
    }
    return true;
}

// ---- step 4: the shortest period -------------------------------------------------

namespace {

// The lag nearest `period` when it repeats the template of `of` as exactly
// as `of` does.
std::optional<Lag> periodOf(Track& audio, const Lag& of, double period) {
    Seed seed = of.seed;
    seed.lag = period;
    const Lag lag = exactLag(audio, seed, kPeriodReach);
    if (lag.frames > 0 && lag.frames < of.frames &&
        lag.residual <= kTieFactor * of.residual + kExactResidual)
        return lag;
    return std::nullopt;
}

} // namespace

// The first `seedLags` of `lags` divided by every whole number that leaves at
// least the shortest loop: a loop repeated many times shows its fundamental
// no more clearly than its multiples. Periods that repeat are added.
void addDividedLags(Track& audio, std::int64_t minLoop, std::size_t seedLags,
                    std::vector<Lag>& lags) {
    std::vector<std::pair<std::size_t, std::int64_t>> divisions; // (lag, k)
    for (std::size_t i = 0; i < seedLags; ++i) {
        for (std::int64_t k = 2; k <= kMaxDivisions + 1 && lags[i].frames / k >= minLoop; ++k)
            divisions.emplace_back(i, k);
    }
    std::vector<std::optional<Lag>> periods(divisions.size());
    parallelFor(audio, divisions.size(), [&](Track& track, std::size_t j) {
        const Lag& of = lags[divisions[j].first];
        periods[j] = periodOf(
            track, of, static_cast<double>(of.frames) / static_cast<double>(divisions[j].second));
    });
    for (const std::optional<Lag>& period : periods) {
        if (period)
            lags.push_back(*period);
    }
}

// Exact lags are all multiples of their greatest common divisor, which may be
// shorter than the shortest loop: then its first multiple that is long enough
// is the loop. A divisor of it may be the true period (lags found on the
// coarse grid share its multiples): the shortest loop the divisors give that
// repeats exactly is added to `lags` and returned with its period, so that
// every exact lag that is a multiple of that period is taken for one of its
// multiples.
ShortPeriod addCommonPeriodLag(Track& audio, std::int64_t minLoop, std::size_t seedLags,
                               std::vector<Lag>& lags) {
    ShortPeriod found;
    std::int64_t common = 0;
    for (std::size_t i = 0; i < seedLags; ++i) {
        if (lags[i].residual <= kExactResidual)
            common = std::gcd(common, lags[i].frames);
    }
    const auto longest =
        std::max_element(lags.begin(), lags.begin() + static_cast<std::ptrdiff_t>(seedLags),
                         [](const Lag& a, const Lag& b) {
                             return (a.residual <= kExactResidual ? a.frames : 0) <
                                    (b.residual <= kExactResidual ? b.frames : 0);
                         });
    if (!(common > 0 && longest->residual <= kExactResidual))
        return found;
    std::vector<std::pair<std::int64_t, std::int64_t>> loops; // (loop, period)
    for (std::int64_t d = 1; d <= kCommonDivisors; ++d) {
        if (common % d == 0) {
            const std::int64_t q = common / d;
            loops.emplace_back((minLoop + q - 1) / q * q, q);
        }
    }
    std::sort(loops.begin(), loops.end());
    const Lag of = *longest; // `lags` may grow under it
    for (const auto& [loop, q] : loops) {
        if (loop >= of.frames)
            break;
        const std::optional<Lag> period = periodOf(audio, of, static_cast<double>(loop));
        if (period)
            lags.push_back(*period);
        if (period && period->frames == loop) {
            found.period = q;
            found.loop = loop;
            break;
        }
    }
    return found;
}

// Music whose every pass plays a cycle of notes repeats exactly at the
// cycle, at its multiples within a pass, and across passes at the loop
// plus or minus those: the coarse lags may be all of these but the loop
// itself, which is then the difference of two of them. Where x[t + A] =
// x[t] and x[t + B] = x[t] over A's template, x[t + A] = x[t + B] there:
// each difference A - B is tried under A's template, and kept as the other
// lags are, when it repeats exactly.
bool addDifferenceLags(Track& audio, std::int64_t minLoop, const std::vector<Lag>& seeds,
                       std::vector<Lag>& lags) {
    std::vector<Lag> exact;
    std::copy_if(seeds.begin(), seeds.end(), std::back_inserter(exact),
                 [](const Lag& lag) { return lag.residual <= kExactResidual; });
    exact = distinctLags(std::move(exact));
    if (exact.size() > kMostDifferenced)
        exact.erase(exact.begin(), exact.end() - static_cast<std::ptrdiff_t>(kMostDifferenced));
    const auto known = [&](std::int64_t frames) {
        return std::any_of(lags.begin(), lags.end(), [&](const Lag& lag) {
            return std::abs(lag.frames - frames) <= kSameLag;
        });
    };
    std::vector<std::pair<std::size_t, std::int64_t>> differences; // (A, A - B)
    for (std::size_t a = 1; a < exact.size(); ++a) {
        for (std::size_t b = 0; b < a; ++b) {
            const std::int64_t difference = exact[a].frames - exact[b].frames;
            if (difference >= minLoop && !known(difference))
                differences.emplace_back(a, difference);
        }
    }
    std::vector<Lag> found(differences.size());
    parallelFor(audio, differences.size(), [&](Track& track, std::size_t i) {
        Seed seed = exact[differences[i].first].seed;
        seed.lag = static_cast<double>(differences[i].second);
        found[i] = exactLag(track, seed, kPeriodReach);
    });
    bool added = false;
    for (std::size_t i = 0; i < found.size(); ++i) {
        // A difference met before is kept once.
        if (known(differences[i].second))
            continue;
        if (found[i].frames >= minLoop && found[i].residual <= kExactResidual) {
            lags.push_back(found[i]);
            added = true;
        }
    }
    return added;
}

// The lags shortest first, so that multiples meet their loop; lags within
// kSameLag frames of each other are one, the one with the smaller residual.
std::vector<Lag> distinctLags(std::vector<Lag> lags) {
    std::sort(lags.begin(), lags.end(), [](const Lag& a, const Lag& b) {
        return a.frames != b.frames ? a.frames < b.frames : a.residual < b.residual;
    });
    std::vector<Lag> distinct;
    for (const Lag& lag : lags) {
        if (!distinct.empty() && lag.frames - distinct.back().frames <= kSameLag) {
            if (lag.residual < distinct.back().residual)
                distinct.back() = lag;
            continue;
        }
        distinct.push_back(lag);
    }
    return distinct;
}

} // namespace kestrin::audio::exact
