// SPDX-License-Identifier: GPL-3.0-or-later
// Step 8 of the exact finder: takes the exact lags, shortest first; gives
// the candidates each makes once followed (steps 5 to 7) and admitted by
// the seam verdict, a failing one trying later starts up to a ring's
// length, leaving out lags that only repeat a loop found at a shorter one.
#include "audio/exact/exact_follower.h"

#include "core/seam_figures.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace kestrin::audio::exact {

namespace {

// The longest ring of an intro a start moves past.
constexpr double kRingSeconds = 3.0;
// A found loop that covers this much rules out its multiples.
constexpr double kHoldingScore = 0.9;
// Frames per multiple a lag may be off one: each exact lag's own error.
constexpr std::int64_t kMultipleSlack = 2;

// The verdict on a candidate's seam; every candidate must pass it.
bool seamHolds(Track& audio, std::int64_t start, std::int64_t stop) {
    return IsSeamless(JudgeSeam(audio.source(), start, stop));
}

// The earliest start from `start` on, within kRingSeconds, whose loop of
// `length` frames the judge passes; nullopt when there is none. Where the
// intro's last notes or reverb ring on into the loop as loud as a codec's
// noise, no block measure tells them apart, but the seam does: what plays
// after the jump carries the ring. Starts are tried a block apart, then the
// first that passes is brought back to the sample by halving, as the ring
// only fades.
std::optional<std::int64_t> seamlessStartFrom(Track& audio, std::int64_t start, std::int64_t length,
                                              std::int64_t block) {
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
std::optional<Followed> followLag(Track& audio, const Lag& lag, double silence) {
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
std::optional<Found> followLags(Track& audio, const std::vector<Lag>& lags,
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
    const bool finished = parallelFor(
        audio, lags.size(),
        [&](Track& track, std::size_t i) {
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
