// SPDX-License-Identifier: GPL-3.0-or-later
// Steps 9 and 10 of the exact finder: the candidates ranked, and the loop
// of the whole track when nothing repeats inside it.
#include "audio/exact/exact_finder_steps.h"

#include "core/seam_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
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
// A repeat seen to within this of the end of the file is seen over all the
// file holds of it: the match is followed in blocks of about this length.
constexpr double kToTheEndSeconds = 0.25;
// Matches this close are alike: copies of one render differ by less.
constexpr double kSameMatch = 0.01;
// A loop seen repeating over this much of itself up to the end of the file
// is played twice there, as a file that holds its loop twice does.
constexpr double kSeenTwiceShare = 0.9;
// A file that plays its loop twice may end on music of its own, a final
// chord or hit, shorter than this share of the loop; a song goes on for
// longer after a section it plays twice.
constexpr double kEndingShare = 0.25;
// Loop lengths this close are one length measured through a codec.
constexpr double kSameLengthSeconds = 0.01;
// Step 10.
// Seconds at each end of the track whose levels are compared.
constexpr double kWholeEdgeSeconds = 1.0;
// The most the end may lie below the start, or above it, for the track to
// flow on into itself: a fade or a final chord ringing out falls further.
constexpr double kWholeLevelDb = 10.0;
// A song that plays on to its last frame holds its level over its last
// second to within 15 dB of its mean, and over its last tenth of a second to
// within 30 dB (a bar ending on a rest dips that far): a fade, a final chord
// ringing out or silence at the end falls further.
constexpr double kPlayedOnSeconds = 1.0;
constexpr double kPlayedOnDb = 15.0;
constexpr double kLastMomentSeconds = 0.1;
constexpr double kLastMomentDb = 30.0;
// A song as a game ships it may also end, then hold silence until the jump
// back: digital silence (no sample above 16-bit audio's least step) over at
// least this long at the end, after a last second within kEndedDb of the
// track's mean. A song faded out by hand falls further before its silence.
constexpr double kEndedSilenceSeconds = 0.1;
constexpr double kEndedDb = 30.0;
constexpr float kLeastStep = 1.0F / 32768;
// How much of the end is read at a time while looking for the music's end.
constexpr double kEndReadSeconds = 1.0;

// Less of a passage repeated by two loops tells nothing of which repeats it
// more closely: a block or two may differ by chance...
constexpr double kSharedSeconds = kMinRepeatedSeconds;
// ...unless it is most of what one of them was seen to repeat (a repeat
// cut short by the end of the track).
constexpr double kSharedShare = 0.5;

// Frames [from, to) of the earlier copies of one loop, which lie `by`
// frames before the audio another loop repeats there.
struct Span {
    std::int64_t from = 0;
    std::int64_t to = 0;
    std::int64_t by = 0;
};

// The energy-weighted residual of the `blocks` that begin in any of
// `spans`, each shifted by its `by`, and their energy; of a `lossy` track,
// of those that are not bit-exact.
std::pair<double, double> residualOver(const std::vector<MatchedBlock>& blocks,
                                       const std::vector<Span>& spans, bool lossy) {
    double weighted = 0.0;
    double energy = 0.0;
    for (const MatchedBlock& b : blocks) {
        // Through a lossy codec a lag copies bit-exactly where it is a whole
        // number of the codec's blocks, whatever the music: such blocks tell
        // how the codec's blocks fell, not how closely the music repeats.
        if (lossy && b.residual <= kExactResidual)
            continue;
        if (std::any_of(spans.begin(), spans.end(), [&](const Span& s) {
                return b.begin >= s.from + s.by && b.begin < s.to + s.by;
            })) {
            weighted += b.residual * b.energy;
            energy += b.energy;
        }
    }
    return {energy > 0 ? weighted / energy : 0.0, energy};
}

// Whether candidate `j` repeats the audio candidate `i` repeats clearly more
// closely: then `i` is a near-period of it (a tone's pattern, a bar played
// again, where the noise or a voice repeats only at the loop). The audio of
// a block of `i` is repeated by `j` where it lies in either copy of `j`,
// whose block there compares it with the other copy; near the end of the
// track only the later copy of `j` reaches it. Loops that repeat different
// passages of the song are not compared, as one copied more cleanly tells
// nothing of the other: a module whose order list plays a section again
// repeats it exactly at a length unrelated to its loop, while its loop's
// passes differ a little.
bool nearPeriodOf(const Found& found, std::size_t i, std::size_t j, double rate) {
    const std::vector<MatchedBlock>& own = found.matched[i];
    const std::vector<MatchedBlock>& other = found.matched[j];
    if (own.empty() || other.empty())
        return false;
    const auto endOf = [](const std::vector<MatchedBlock>& blocks) {
        return std::max_element(blocks.begin(), blocks.end(),
                                [](const auto& x, const auto& y) { return x.begin < y.begin; })
                   ->begin +
               1;
    };
    const LoopCandidate& c = found.candidates[j];
    const std::int64_t loop = c.stop - c.start;
    const std::int64_t from = found.candidates[i].start;
    const std::int64_t to = endOf(own);
    const std::int64_t otherTo = endOf(other);
    std::vector<Span> shared;
    for (const std::int64_t by : {std::int64_t{0}, loop}) {
        const Span s{std::max(from, c.start + by) - by, std::min(to, otherTo + by) - by, by};
        if (s.to > s.from)
            shared.push_back(s);
    }
    std::int64_t frames = 0;
    for (const Span& s : shared)
        frames += s.to - s.from;
    if (static_cast<double>(frames) < std::min(kSharedSeconds * rate, kSharedShare * (to - from)))
        return false;
    // Each span as `j`'s blocks see it, at its earlier copies.
    std::vector<Span> unshifted = shared;
    for (Span& s : unshifted)
        s.by = 0;
    const auto [ownResidual, ownEnergy] = residualOver(own, shared, found.lossy);
    const auto [otherResidual, otherEnergy] = residualOver(other, unshifted, found.lossy);
    return ownEnergy > 0 && otherEnergy > 0 &&
           ownResidual > kTieFactor * otherResidual + kExactResidual;
}

// The longest any loop of the track is seen repeating, at most its length.
double longestSeen(const Found& found) {
    double longest = 0.0;
    for (std::size_t i = 0; i < found.candidates.size(); ++i) {
        const LoopCandidate& c = found.candidates[i];
        longest = std::max(longest, std::min(found.seen[i], static_cast<double>(c.stop - c.start)));
    }
    return longest;
}

// A repeat that holds until the file ends was cut short by the end, not
// by the music: a file that stops a few seconds into its second pass
// shows no more of its loop, and all it shows is evidence in full.
bool seenToTheEnd(const Found& found, std::size_t i, double rate, std::int64_t frames) {
    return static_cast<double>(found.candidates[i].stop) + found.seen[i] >=
               static_cast<double>(frames) - kToTheEndSeconds * rate &&
           found.seen[i] >= kMinRepeatedSeconds * rate;
}

// Where the file plays a loop twice, it is not cut short: a loop seen
// repeating whole up to the end of the file, or up to an ending after its
// passes (see kEndingShare). A section that a song plays twice and then goes
// on from says nothing of the song's end.
bool playedTwice(const Found& found, std::int64_t frames) {
    bool twice = false;
    for (std::size_t i = 0; i < found.candidates.size(); ++i) {
        const LoopCandidate& c = found.candidates[i];
        const auto length = static_cast<double>(c.stop - c.start);
        const double after = static_cast<double>(frames - c.stop) - found.seen[i];
        twice =
            twice || (found.seen[i] >= kSeenTwiceShare * length && after <= kEndingShare * length);
    }
    return twice;
}

// Two passes of a loop repeat as far as one does, and are no loop of
// their own; nor is the loop seen again later, past where it started.
bool multipleOfAnother(const Found& found, std::size_t i, double rate) {
    const LoopCandidate& c = found.candidates[i];
    const auto length = static_cast<double>(c.stop - c.start);
    return std::any_of(found.candidates.begin(), found.candidates.end(),
                       [&](const LoopCandidate& o) {
                           const auto shorter = static_cast<double>(o.stop - o.start);
                           const double times = std::round(length / shorter);
                           return (times >= 2 || (times == 1 && o.start < c.start)) &&
                                  std::abs(length - times * shorter) <= kSameLengthSeconds * rate;
                       });
}

// A candidate's loop: its start and stop.
using LoopSpan = std::pair<std::int64_t, std::int64_t>;

// The candidates that are no near-period of another, in the order found,
// each match scaled by the evidence seen for it unless the end of the file
// cut its repeat short; the loops of those cut short go to `toTheEnd`.
std::vector<LoopCandidate> weighedByEvidence(const Found& found, double rate, std::int64_t frames,
                                             std::vector<LoopSpan>& toTheEnd) {
    const double longest = longestSeen(found);
    const bool twice = playedTwice(found, frames);
    std::vector<LoopCandidate> ranked;
    for (std::size_t i = 0; i < found.candidates.size(); ++i) {
        bool nearPeriod = false;
        for (std::size_t j = 0; j < found.candidates.size() && !nearPeriod; ++j)
            nearPeriod = j != i && nearPeriodOf(found, i, j, rate);
        if (nearPeriod)
            continue;
        LoopCandidate c = found.candidates[i];
        const bool cutShort =
            !twice && seenToTheEnd(found, i, rate, frames) && !multipleOfAnother(found, i, rate) &&
            static_cast<double>(c.stop - c.start) >= kCutShortShare * static_cast<double>(frames);
        // The evidence: a repeat seen over less than a sixth of its loop
        // (and 0.9 s) scales the match down, unless it is seen for 2 s and
        // no loop of the track is seen repeating for longer (a track stored
        // as its loop and a few seconds of it again shows no more than
        // those seconds of any loop).
        const double needed =
            std::min(std::max(kMinRepeatedSeconds * rate,
                              kEvidenceShare * static_cast<double>(c.stop - c.start)),
                     std::max(longest, kConvincingSeconds * rate));
        if (needed > 0 && !cutShort)
            c.score *= std::min(1.0, found.seen[i] / needed);
        if (cutShort)
            toTheEnd.emplace_back(c.start, c.stop);
        ranked.push_back(c);
    }
    return ranked;
}

// Reorders `ranked`, sorted by its figures, by what each loop is seen to
// play seamlessly (its repeat, at most one loop's length of it, times its
// match): a loop seen to play clearly more of the song goes before one
// better by the figures, so the loop that holds the repeated part of the
// song comes before a short repeat inside it, however clean that one is.
// A loop cut short by the end is taken to play whole; of two such loops
// that match alike, the longer, which starts earlier, goes first: the
// few seconds the file shows of the second pass fit a lag a bar or two
// shorter as well, and the song is made to loop from its earliest start.
void putPlayedSeamlesslyFirst(std::vector<LoopCandidate>& ranked,
                              const std::vector<LoopSpan>& toTheEnd, double rate) {
    const auto cutShort = [&](const LoopCandidate& c) {
        return std::find(toTheEnd.begin(), toTheEnd.end(), std::pair{c.start, c.stop}) !=
               toTheEnd.end();
    };
    const auto played = [&](const LoopCandidate& c) {
        const double loop = static_cast<double>(c.stop - c.start) / rate;
        return (cutShort(c) ? loop : std::min(c.repeatedSeconds, loop)) * c.score;
    };
    const auto goesBefore = [&](const LoopCandidate& a, const LoopCandidate& b) {
        if (played(a) > kClearlyMore * played(b))
            return true;
        return cutShort(a) && cutShort(b) && a.stop - a.start > b.stop - b.start &&
               a.score >= b.score - kSameMatch;
    };
    for (auto next = ranked.begin(); next != ranked.end(); ++next) {
        auto first = next;
        for (auto c = std::next(next); c != ranked.end(); ++c)
            if (goesBefore(*c, *first))
                first = c;
        std::rotate(next, first, first + 1);
    }
}

} // namespace

// ---- step 9: ranking ----------------------------------------------------------------

// A near-period repeats the audio closely and the period exactly: where two
// candidates repeat the same passage, the one that repeats it clearly less
// closely is left out, as it is not the repetition the track was made of;
// the others best first, at most `most` of them.
std::vector<LoopCandidate> rankedCandidates(const Found& found, double rate, std::int64_t frames,
                                            std::size_t most) {
    std::vector<LoopSpan> toTheEnd;
    std::vector<LoopCandidate> ranked = weighedByEvidence(found, rate, frames, toTheEnd);
    std::sort(ranked.begin(), ranked.end(), [](const LoopCandidate& a, const LoopCandidate& b) {
        if (a.score != b.score)
            return a.score > b.score;
        if (a.repeatedSeconds != b.repeatedSeconds)
            return a.repeatedSeconds > b.repeatedSeconds;
        return a.stop - a.start < b.stop - b.start;
    });
    putPlayedSeamlesslyFirst(ranked, toTheEnd, rate);
    if (ranked.size() > most)
        ranked.resize(most);
    return ranked;
}

// ---- step 10: the whole track ---------------------------------------------------------

namespace {

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
std::optional<LoopCandidate> wholeTrackLoop(Track& audio, const Coarse& coarse,
                                            std::int64_t minLoop, double silence,
                                            double meanSquare) {
    const std::int64_t n = audio.frames();
    if (!(n >= minLoop && meanSquare > silence) || !levelsMeet(audio, coarse))
        return std::nullopt;
    LoopCandidate whole;
    whole.kind = LoopKind::WholeTrack;
    whole.judged = JudgeSeam(audio.source(), 0, n);
    if (!WholeTrackLoopHolds(whole.judged))
        return std::nullopt;
    whole.stop = n;
    whole.score = 1.0;
    whole.seam = 0.0;
    return whole;
}

namespace {

// Where the music ends: the frame after the last sample above kLeastStep,
// read back from the end a second at a time.
std::int64_t musicEnd(Track& audio) {
    const std::int64_t step = std::llround(kEndReadSeconds * audio.sampleRate);
    std::vector<float> frames;
    for (std::int64_t to = audio.frames(); to > 0; to -= step) {
        const std::int64_t from = std::max<std::int64_t>(0, to - step);
        frames.clear();
        audio.source().append(from, to, frames);
        const auto heard = std::find_if(frames.rbegin(), frames.rend(),
                                        [](float x) { return std::abs(x) > kLeastStep; });
        if (heard != frames.rend()) {
            const auto index = static_cast<std::int64_t>(frames.rend() - heard - 1);
            return from + index / std::max(audio.channels, 1) + 1;
        }
    }
    return 0;
}

// The mean square per sample of the `seconds` before frame `end`.
double levelBefore(Track& audio, std::int64_t end, double seconds) {
    const std::int64_t from =
        std::max<std::int64_t>(0, end - std::llround(seconds * audio.sampleRate));
    std::vector<float> frames;
    audio.source().append(from, end, frames);
    double sum = 0.0;
    for (float x : frames)
        sum += double{x} * x;
    return frames.empty() ? 0.0 : sum / static_cast<double>(frames.size());
}

// Whether the song ends at its level and silence holds from there to the
// last frame (see kEndedSilenceSeconds).
bool endsThenHoldsSilence(Track& audio, double meanSquare) {
    const std::int64_t end = musicEnd(audio);
    return end > 0 &&
           audio.frames() - end >= std::llround(kEndedSilenceSeconds * audio.sampleRate) &&
           levelBefore(audio, end, kPlayedOnSeconds) >= meanSquare * std::pow(10.0, -kEndedDb / 10);
}

} // namespace

std::optional<LoopCandidate> playedToTheEnd(Track& audio, std::int64_t minLoop, double silence,
                                            double meanSquare,
                                            const std::optional<LoopCandidate>& whole) {
    const std::int64_t n = audio.frames();
    if (!(n >= minLoop && meanSquare > silence))
        return std::nullopt;
    const auto within = [&](double level, double db) {
        return level >= meanSquare * std::pow(10.0, -db / 10);
    };
    const bool playsOn = within(levelBefore(audio, n, kPlayedOnSeconds), kPlayedOnDb) &&
                         within(levelBefore(audio, n, kLastMomentSeconds), kLastMomentDb);
    if (!playsOn && !endsThenHoldsSilence(audio, meanSquare))
        return std::nullopt;
    if (whole)
        return whole;
    LoopCandidate played;
    played.kind = LoopKind::WholeTrack;
    played.stop = n;
    played.judged = JudgeSeam(audio.source(), 0, n);
    played.seam = played.judged.score;
    played.score = 1.0;
    return played;
}

} // namespace kestrin::audio::exact

namespace kestrin::audio {

bool HoldsDigitalSilence(FrameSource& source, std::int64_t from, std::int64_t to) {
    std::vector<float> frames;
    source.append(from, to, frames);
    return std::all_of(frames.begin(), frames.end(),
                       [](float x) { return std::abs(x) <= exact::kLeastStep; });
}

} // namespace kestrin::audio
