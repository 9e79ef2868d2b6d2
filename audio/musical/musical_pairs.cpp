// SPDX-License-Identifier: GPL-3.0-or-later
// Steps 6, 7 and 10 of the musical finder: take step 5's likeness of the
// beats; give the pairs of beats whose bars match, best first, each with
// how long its repeat plays. Step 7 searches three ways in turn (sections
// played again, their harmony alone, bars alike around a jump), the search
// going on to the next only where the last gave no loop; step 10 takes the
// pairs near given points instead.
#include "audio/musical/musical_steps.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>

namespace kestrin::audio::musical {

namespace {

// A loop is convincing only as long as it matches within this of the best
// match in the track: where the chorus comes back at 0.96, a verse sharing
// two of its chords at 0.89 is not a loop.
constexpr double kMatchSlack = 0.03;

// Step 7: the repeat extends while the likeness, averaged over this many
// beats, stays over typical + this share of the gap to 1.
constexpr int kExtentBeats = 4;
constexpr double kExtentLift = 0.5;
// A repeat shorter than eight bars is not a section played again: in 25
// minutes of chords chosen at random, some run of four bars recurs by
// chance (there are hundreds of thousands of pairs of beats), but the bars
// around it differ.
constexpr std::size_t kMinRepeatBeats = barsOf(8);
// Where the bars after a pair's first beat match best is not where the jump
// sounds cleanest: the chords must agree at the jump itself, and a passage
// played again with other instruments agrees at some bars and not at
// others. So when no jump near the best beat passes the judge, the jump is
// tried at this many other places of the same repeat (each kStartBeats
// beats), the bars after each still matching as the repeat's extent asks.
constexpr std::size_t kOtherPlaces = 4;

// The second search matches chords alone, and in a song of up to
// kHarmonyPairs pairs of beats (5 minutes at 120 beats per minute) four bars
// whose chords come back in order suffice: among chords chosen at random a
// run of four recurs hardly ever. The chance that some run recurs grows
// with the pairs compared, and each further bar that must agree divides it
// by about ten (two bars of a song share their chord about one time in
// ten): a bar more for every tenfold of pairs beyond.
constexpr std::size_t kMinHarmonyBeats = kMatchBeats;
constexpr double kHarmonyPairs = 180000;
// Chords change with time more than with the beat counted: a song tracked
// at 160 beats per minute plays four of its bars in 6 s, where the chance
// above holds for bars of 120 (kHarmonyBarSeconds each). So the repeat must
// also last as long as the bars the pairs compared ask for at that tempo,
// counted by the same rule, which goes on below four bars (a tenfold fewer
// pairs, a bar less) and is never under kMinHarmonyBeats.
constexpr double kHarmonyBarSeconds = 2.0;

// The last search, where the passages found played again give no jump the
// judge passes (a song varied at every return): a jump between two beats a
// whole number of bars apart whose surroundings sound alike, the judge
// deciding. Compared over four bars each side of the jump: over two, pairs
// alike by chance outnumber those the judge passes on real songs (none of
// 24 on a game song whose best four-bar pair passes). Pairs tried, the best
// first, each more than a bar from the others at both ends: the judge
// passed the first or the second on the real songs that have one, and each
// costs a tenth of a second of aligning and judging.
constexpr std::size_t kSeamBeats = barsOf(4);
constexpr std::size_t kSeamPairs = 8;

// Step 10: pairs refined near given points.
constexpr std::size_t kNearPairs = 3;

// The first beats at distance `d`, other than those from `best` on that its
// alignments try, whose next kMatchBeats beats match at least `floor`: the
// kOtherPlaces that match best, each at least kStartBeats beats from the
// others. `diagonal` is scratch.
std::vector<std::size_t> otherPlaces(const Likeness& like, const std::vector<Beat>& beats,
                                     std::size_t d, std::size_t best, std::int64_t shortest,
                                     double floor, std::vector<float>& diagonal) {
    const std::size_t m = like.size();
    like.diagonal(d, diagonal);
    std::vector<std::pair<double, std::size_t>> places;
    for (std::size_t i = 0; i + d + kMatchBeats <= m; ++i) {
        if (beats[i + d].sample - beats[i].sample < shortest)
            continue;
        double sum = 0;
        for (int k = 0; k < kMatchBeats; ++k)
            sum += diagonal[i + static_cast<std::size_t>(k)];
        if (const double match = sum / kMatchBeats; match >= floor)
            places.emplace_back(match, i);
    }
    std::sort(places.begin(), places.end(), std::greater<>());
    std::vector<std::size_t> chosen{best};
    for (const auto& place : places) {
        if (chosen.size() > kOtherPlaces)
            break;
        const std::size_t i = place.second;
        const bool covered = std::any_of(chosen.begin(), chosen.end(), [&](std::size_t c) {
            const auto span = static_cast<std::size_t>(kStartBeats);
            return i + span > c && c + span > i;
        });
        if (!covered)
            chosen.push_back(i);
    }
    chosen.erase(chosen.begin());
    return chosen;
}

// Step 7: the pairs of natural loops, the one seen to play the most of the
// song first.
std::vector<Pair> naturalPairs(Likeness& like, const std::vector<Beat>& beats,
                               std::int64_t shortest, int rate, std::size_t minRepeatBeats) {
    const std::size_t m = like.size();
    std::vector<Pair> bestOf(m); // by beat distance
    std::vector<double> matchOf(m, -1.0);
    std::vector<float> diagonal;
    for (std::size_t d = 1; d < m; ++d) {
        auto tooShort = [&](std::size_t i) {
            return beats[i + d].sample - beats[i].sample < shortest;
        };
        bool any = false;
        for (std::size_t i = 0; i + d + kMatchBeats <= m && !any; ++i)
            any = !tooShort(i);
        if (!any)
            continue;
        like.diagonal(d, diagonal);
        for (std::size_t i = 0; i + d + kMatchBeats <= m; ++i) {
            if (tooShort(i))
                continue;
            double sum = 0;
            for (int k = 0; k < kMatchBeats; ++k)
                sum += diagonal[i + static_cast<std::size_t>(k)];
            const double match = sum / kMatchBeats;
            if (match > matchOf[d]) {
                matchOf[d] = match;
                bestOf[d] = {i, i + d, match, 0, {}};
            }
        }
    }
    const double extentFloor = like.typical() + kExtentLift * (1 - like.typical());
    const double bestMatch = *std::max_element(matchOf.begin(), matchOf.end());
    std::vector<Pair> pairs;
    for (std::size_t d = 1; d < m; ++d) {
        if (matchOf[d] < 0 || !like.convincing(matchOf[d]) || matchOf[d] < bestMatch - kMatchSlack)
            continue;
        if ((d > 1 && matchOf[d - 1] > matchOf[d]) || (d + 1 < m && matchOf[d + 1] > matchOf[d]))
            continue;
        Pair p = bestOf[d];
        std::size_t first = p.i;
        while (first > 0 && like.mean(first - 1, first - 1 + d, 0, kExtentBeats) >= extentFloor)
            --first;
        std::size_t last = p.i + kMatchBeats;
        while (last + d < m && like.mean(last, last + d, 0, kExtentBeats) >= extentFloor)
            ++last;
        if (last - first < minRepeatBeats)
            continue;
        p.elsewhere = otherPlaces(like, beats, d, p.i, shortest, extentFloor, diagonal);
        double sum = 0;
        for (std::size_t k = first; k < last && k + d < m; ++k)
            sum += like.at(k, k + d);
        p.match = sum / static_cast<double>(last - first);
        const std::size_t end = std::min(last, m - 1 - d);
        p.repeatedSeconds = static_cast<double>(beats[end].sample - beats[first].sample) /
                            static_cast<double>(rate);
        pairs.push_back(p);
    }
    std::sort(pairs.begin(), pairs.end(),
              [&](const Pair& a, const Pair& b) { return a.match > b.match; });
    // The loop seen to play the most of the song first (its repeat, at most
    // one loop's length of it, times its match), the others by match: a
    // longer loop whose repeat is seen only briefly holds less of the song.
    const auto played = [&](const Pair& p) {
        const double loop = static_cast<double>(beats[p.j].sample - beats[p.i].sample) / rate;
        return std::min(p.repeatedSeconds, loop) * p.match;
    };
    auto most = std::max_element(pairs.begin(), pairs.end(), [&](const Pair& a, const Pair& b) {
        return played(a) < played(b);
    });
    if (most != pairs.end())
        std::rotate(pairs.begin(), most, most + 1);
    return pairs;
}

// The first kSeamPairs of `pairs` by match, each more than a bar from those
// kept at both ends.
std::vector<Pair> bestApart(std::vector<Pair>& pairs) {
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair& a, const Pair& b) { return a.match > b.match; });
    const auto close = [](std::size_t a, std::size_t b) {
        return a + kBeatsPerBar > b && b + kBeatsPerBar > a;
    };
    std::vector<Pair> kept;
    for (Pair& p : pairs) {
        if (kept.size() >= kSeamPairs)
            break;
        if (std::none_of(kept.begin(), kept.end(),
                         [&](const Pair& q) { return close(p.i, q.i) || close(p.j, q.j); }))
            kept.push_back(std::move(p));
    }
    return kept;
}

} // namespace

std::vector<Pair> sectionPairs(Likeness& like, const std::vector<Beat>& beats,
                               std::int64_t shortest, int rate) {
    return naturalPairs(like, beats, shortest, rate, kMinRepeatBeats);
}

std::vector<Pair> harmonyPairs(const std::vector<Beat>& beats, double beatsPerMinute,
                               std::int64_t shortest, int rate) {
    Likeness harmony(beats, true);
    const double pairsCompared =
        0.5 * static_cast<double>(beats.size()) * static_cast<double>(beats.size());
    const double tenfolds = std::ceil(std::log10(std::max(1.0, pairsCompared / kHarmonyPairs)));
    const double bars = static_cast<double>(kMinHarmonyBeats / kBeatsPerBar) +
                        std::log10(pairsCompared / kHarmonyPairs);
    const auto timed = static_cast<std::size_t>(
        std::ceil(std::max(0.0, bars) * kHarmonyBarSeconds * beatsPerMinute / 60.0));
    const std::size_t minBeats =
        std::max(kMinHarmonyBeats + kBeatsPerBar * static_cast<std::size_t>(tenfolds), timed);
    return naturalPairs(harmony, beats, shortest, rate, minBeats);
}

// Step 7's last search: the kSeamPairs pairs of beats a whole number of
// bars apart, at least `shortest` apart, whose kSeamBeats beats each side
// match best. Their match is that likeness; their repeat, the beats
// compared. Only the best of each distance are kept while searching, so
// that a long song's millions of pairs are never held at once.
std::vector<Pair> seamPairs(const Likeness& like, const std::vector<Beat>& beats,
                            std::int64_t shortest, int rate) {
    const std::size_t m = like.size();
    std::vector<Pair> best;
    std::vector<Pair> atDistance;
    std::vector<float> diagonal;
    for (std::size_t d = kBeatsPerBar; d < m; d += kBeatsPerBar) {
        like.diagonal(d, diagonal);
        atDistance.clear();
        for (std::size_t i = kSeamBeats; i + d + kSeamBeats <= m; ++i) {
            if (beats[i + d].sample - beats[i].sample < shortest)
                continue;
            const auto from = diagonal.begin() + static_cast<std::ptrdiff_t>(i - kSeamBeats);
            const double sum = std::accumulate(from, from + 2 * kSeamBeats, 0.0);
            const double seconds =
                static_cast<double>(beats[i + kSeamBeats].sample - beats[i - kSeamBeats].sample) /
                rate;
            atDistance.push_back({i, i + d, sum / (2 * kSeamBeats), seconds, {}});
        }
        for (Pair& p : bestApart(atDistance))
            best.push_back(std::move(p));
    }
    return bestApart(best);
}

// Step 10: the pairs near the given points, best match first.
std::vector<Pair> nearPairs(const Likeness& like, const std::vector<Beat>& beats,
                            const LoopPoints& near, std::int64_t reach, std::int64_t shortest) {
    std::vector<Pair> pairs;
    for (std::size_t i = 0; i < beats.size(); ++i) {
        if (std::abs(beats[i].sample - near.start) > reach)
            continue;
        for (std::size_t j = i + 1; j < beats.size(); ++j) {
            if (std::abs(beats[j].sample - near.stop) > reach ||
                beats[j].sample - beats[i].sample < shortest)
                continue;
            const double match = like.mean(i, j, -kMatchBeats / 2, kMatchBeats / 2);
            pairs.push_back({i, j, match, 0, {}});
        }
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair& a, const Pair& b) { return a.match > b.match; });
    if (pairs.size() > kNearPairs)
        pairs.resize(kNearPairs);
    return pairs;
}

} // namespace kestrin::audio::musical
