// SPDX-License-Identifier: GPL-3.0-or-later
// Steps 9 and 10 of the exact finder: the candidates ranked, and the loop
// of the whole track when nothing repeats inside it.
#include "audio/exact_finder_steps.h"

#include "core/loop_problems.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrin::audio::exact {

namespace {

// Step 9.
// The share of a loop its repeat must be seen over for the match to count in
// full, where another loop of the track is seen repeating for that long. A
// passage that recurs once near the end of a song (a chorus tail, a few bars
// of a module's order list) is seen for a second or so of a loop of a
// minute, and says nothing of the rest of it: its match is scaled down by the
// share seen. A track stored as its loop once and the first seconds of it
// again shows no loop for longer, and its loop keeps its match.
constexpr double kEvidenceShare = 1.0 / 6.0;
// A repeat seen this long is a copy, not chance, when no loop of the track
// is seen for longer; less, at the end of a file, is no evidence of a loop
// much longer than it.
constexpr double kConvincingSeconds = 2.0;
// A loop seen to play this many times as much of the song as another goes
// before it: less is the same passage measured a little differently.
constexpr double kClearlyMore = 1.25;
// Step 10.
// Seconds at each end of the track whose levels are compared.
constexpr double kWholeEdgeSeconds = 1.0;
// The most the end may lie below the start, or above it, for the track to
// flow on into itself: a fade or a final chord ringing out falls further.
constexpr double kWholeLevelDb = 10.0;

} // namespace

// ---- step 9: ranking ----------------------------------------------------------------

// A near-period repeats the audio closely and the period exactly: the least
// inexact candidates are kept, as the others are not the repetition the track
// was made of, best first, at most `most` of them.
std::vector<LoopCandidate> rankedCandidates(const Found& found, double rate, std::size_t most) {
    double least = 1.0;
    for (double v : found.inexactness)
        least = std::min(least, v);
    // The evidence: a repeat seen over less than a sixth of its loop (and
    // 0.9 s) scales the match down, unless it is seen for 2 s and no loop of
    // the track is seen repeating for longer (a track stored as its loop and
    // a few seconds of it again shows no more than those seconds of any loop).
    double longestSeen = 0.0;
    for (std::size_t i = 0; i < found.candidates.size(); ++i) {
        const LoopCandidate& c = found.candidates[i];
        longestSeen =
            std::max(longestSeen, std::min(found.seen[i], static_cast<double>(c.stop - c.start)));
    }
    std::vector<LoopCandidate> ranked;
    for (std::size_t i = 0; i < found.candidates.size(); ++i) {
        if (found.inexactness[i] > kTieFactor * least + kExactResidual)
            continue;
        LoopCandidate c = found.candidates[i];
        const double needed =
            std::min(std::max(kMinRepeatedSeconds * rate,
                              kEvidenceShare * static_cast<double>(c.stop - c.start)),
                     std::max(longestSeen, kConvincingSeconds * rate));
        if (needed > 0)
            c.score *= std::min(1.0, found.seen[i] / needed);
        ranked.push_back(c);
    }
    std::sort(ranked.begin(), ranked.end(), [](const LoopCandidate& a, const LoopCandidate& b) {
        if (a.score != b.score)
            return a.score > b.score;
        if (a.repeatedSeconds != b.repeatedSeconds)
            return a.repeatedSeconds > b.repeatedSeconds;
        return a.stop - a.start < b.stop - b.start;
    });
    // Then by what each loop is seen to play seamlessly (its repeat, at
    // most one loop's length of it, times its match): a loop seen to play
    // clearly more of the song goes before one better by the figures above,
    // so the loop that holds the repeated part of the song comes before a
    // short repeat inside it, however clean that one is.
    const auto played = [rate](const LoopCandidate& c) {
        return std::min(c.repeatedSeconds, static_cast<double>(c.stop - c.start) / rate) * c.score;
    };
    for (auto next = ranked.begin(); next != ranked.end(); ++next) {
        const auto most = std::max_element(next, ranked.end(), [&](const auto& a, const auto& b) {
            return played(a) < played(b);
        });
        if (played(*most) > kClearlyMore * played(*next))
            std::rotate(next, most, most + 1);
    }
    if (ranked.size() > most)
        ranked.resize(most);
    return ranked;
}

// ---- step 10: the whole track ---------------------------------------------------------

namespace {

// The verdict on the loop of the whole track, which has no copy to compare:
// its junction must also be continuous measured from the audio before the
// stop alone, as an attack right after the start would excuse a step in
// music that merely stops.
bool wholeLoopHolds(const SeamFigures& figures) {
    return IsSeamless(figures) && figures.kinkFromBefore < kClickKink;
}

// Whether the track's level is about the same over the first and last
// second of the coarse signal: a song that fades or rings out to
// silence and then starts again at full level restarts, however smooth the
// junction of two quiet samples is.
bool levelsMeet(const Track& audio, const Coarse& coarse) {
    const auto edge = std::min<std::size_t>(
        coarse.signal.size() / 2,
        static_cast<std::size_t>(kWholeEdgeSeconds * audio.sampleRate / coarse.factor));
    if (edge == 0)
        return false;
    double head = 0.0;
    double tail = 0.0;
    for (std::size_t i = 0; i < edge; ++i) {
        head += double{coarse.signal[i]} * coarse.signal[i];
        tail += double{coarse.signal[coarse.signal.size() - 1 - i]} *
                coarse.signal[coarse.signal.size() - 1 - i];
    }
    const double louder = std::max(head, tail);
    return louder > 0 && std::min(head, tail) >= louder * std::pow(10.0, -kWholeLevelDb / 10);
}

} // namespace

// Music made to loop whole repeats nothing inside the track: then the loop
// is the whole track when it is long enough, audible, and its end flows into
// its start; nullopt otherwise.
std::optional<LoopCandidate> wholeTrackLoop(const Track& audio, const Coarse& coarse,
                                            std::int64_t minLoop, double silence,
                                            double meanSquare) {
    const std::int64_t n = audio.frames();
    if (!(n >= minLoop && meanSquare > silence) || !levelsMeet(audio, coarse))
        return std::nullopt;
    LoopCandidate whole;
    whole.kind = LoopKind::WholeTrack;
    whole.judged = JudgeSeam(audio.source(), 0, n);
    if (!wholeLoopHolds(whole.judged))
        return std::nullopt;
    whole.stop = n;
    whole.score = 1.0;
    whole.seam = 0.0;
    return whole;
}

} // namespace kestrin::audio::exact
