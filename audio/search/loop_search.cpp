// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/search/loop_search.h"

#include "audio/exact/loop_finder.h"
#include "audio/judge/seam_judge.h"
#include "audio/musical/musical_loops.h"
#include "audio/read/audio_reader.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace kestrin::audio {

namespace {

// An exact loop matching at least this well (the share of what follows its
// start that repeats) is the track's loop, and no musical search is made.
constexpr double kStrongExactMatch = 0.9;

// Step 10 of the musical search and the exact one near given points.
// How far from given points Refine looks, as it tells the user.
constexpr std::int64_t kNearSeconds = 2;
// Exact loops searched for one near given points: the track's own loop may
// rank below repeats that lie elsewhere.
constexpr std::size_t kNearExactCandidates = 16;

// An exact loop holds the song when its repeat is seen over what follows its
// start (its match: see LoopCandidate::score) and that start lies in the
// first half of the track, so that most of the song is the loop played
// again. A few bars that recur near the end, a repeat seen only for a moment
// before the file ends, and the loop of the whole track (which repeats
// nothing: its end merely flows into its start) do not, and the musical
// search is made and its loops come first.
bool holdsTheTracksLoop(const LoopSearch& exact, std::int64_t frames) {
    return std::any_of(exact.candidates.begin(), exact.candidates.end(),
                       [&](const LoopCandidate& c) {
                           return c.score >= kStrongExactMatch && c.start <= frames / 2 &&
                                  (c.start > 0 || c.stop < frames);
                       });
}

// An exact loop whose repeat holds over at least this share of what follows
// its start plays the song on as it went: a passage its second pass plays
// otherwise (a module's instrument played differently) lowers its match.
constexpr double kHoldsTheSong = 0.5;

// An exact loop of the length a musical one has, started earlier and holding
// the song, goes in the musical one's place: the musical search found the
// same loop where its passes agree again, and a later start only plays more
// of the song before the loop.
void earliestOfEachLength(std::vector<LoopCandidate>& all) {
    for (auto next = all.begin(); next != all.end(); ++next) {
        const auto earlier = std::find_if(next + 1, all.end(), [&](const LoopCandidate& c) {
            return c.kind == LoopKind::Exact && c.stop - c.start == next->stop - next->start &&
                   c.start < next->start && c.score >= kHoldsTheSong && IsSeamless(c.judged);
        });
        if (earlier != all.end())
            std::rotate(next, earlier, earlier + 1);
    }
}

// The musical search after `exact` found nothing of the track's own: its
// candidates first, then the exact ones, at most options.maxCandidates.
// `audio` is decoded samples or an AudioReader.
LoopSearch withMusicalLoops(LoopSearch exact, auto& audio, const LoopSearchOptions& options,
                            const ProgressCallback& progress) {
    MusicalSearchOptions musical;
    musical.minLoopFrames = options.minLoopFrames;
    musical.maxCandidates = options.maxCandidates;
    const MusicalSearch found = FindMusicalLoops(audio, musical, progress);
    exact.cancelled = found.cancelled;
    std::vector<LoopCandidate> all = found.candidates;
    all.insert(all.end(), exact.candidates.begin(), exact.candidates.end());
    earliestOfEachLength(all);
    if (all.size() > options.maxCandidates)
        all.resize(options.maxCandidates);
    exact.candidates = std::move(all);
    return exact;
}

LoopSearch musicalNear(auto& audio, const LoopSearchOptions& options, const LoopPoints& near,
                       const ProgressCallback& progress) {
    MusicalSearchOptions musical;
    musical.minLoopFrames = options.minLoopFrames;
    musical.maxCandidates = options.maxCandidates;
    musical.near = near;
    const MusicalSearch found = FindMusicalLoops(audio, musical, progress);
    LoopSearch result;
    result.candidates = found.candidates;
    result.cancelled = found.cancelled;
    return result;
}

std::int64_t framesOf(const AudioSamples& audio) {
    return audio.frames();
}
std::int64_t framesOf(AudioReader& reader) {
    return reader.info().frames;
}
int rateOf(const AudioSamples& audio) {
    return audio.sampleRate;
}
int rateOf(AudioReader& reader) {
    return reader.info().sampleRate;
}
SeamFigures judgeAt(const AudioSamples& audio, const LoopPoints& loop, SeamMode mode) {
    return JudgeSeam(audio, loop.start, loop.stop, mode);
}
SeamFigures judgeAt(AudioReader& reader, const LoopPoints& loop, SeamMode mode) {
    ReaderSource source(reader);
    return JudgeSeam(source, loop.start, loop.stop, mode);
}

// The given loop as a candidate when the judge passes it as it is: as a
// copy where the track repeats there, else as music. Its match is that of
// the exact loop of the same length, where the search found one.
std::optional<LoopCandidate> givenLoop(auto& audio, const LoopPoints& near,
                                       const std::vector<LoopCandidate>& exact) {
    if (near.start < 0 || near.stop <= near.start || near.stop > framesOf(audio))
        return std::nullopt;
    LoopCandidate given;
    given.start = near.start;
    given.stop = near.stop;
    given.judged = judgeAt(audio, near, SeamMode::Exact);
    if (!IsSeamless(given.judged)) {
        given.kind = LoopKind::Musical;
        given.judged = judgeAt(audio, near, SeamMode::Musical);
        if (!IsSeamless(given.judged))
            return std::nullopt;
    }
    given.seam = given.judged.score;
    given.score = std::clamp(1.0 - given.judged.score, 0.0, 1.0);
    for (const LoopCandidate& c : exact) {
        if (c.stop - c.start == near.stop - near.start && c.start <= near.start) {
            given.score = c.score;
            given.repeatedSeconds = c.repeatedSeconds;
            break;
        }
    }
    return given;
}

// The seamless pair of the exact loop `c` nearest the given points, within
// `reach` of both: its repeat holds the lag from its start on, so the given
// start where the judge passes that pair, the loop's own start where the
// given one lies before it (or the pair there does not hold); nullopt when
// neither lies within reach.
std::optional<LoopCandidate> nearestPair(auto& audio, const LoopCandidate& c,
                                         const LoopPoints& near, std::int64_t reach) {
    const std::int64_t length = c.stop - c.start;
    const auto within = [&](std::int64_t t) {
        return std::abs(t - near.start) <= reach && std::abs(t + length - near.stop) <= reach;
    };
    if (near.start > c.start && near.start + length <= framesOf(audio) && within(near.start)) {
        LoopCandidate moved = c;
        moved.start = near.start;
        moved.stop = near.start + length;
        moved.judged = judgeAt(audio, {moved.start, moved.stop}, SeamMode::Exact);
        if (IsSeamless(moved.judged)) {
            moved.seam = moved.judged.score;
            return moved;
        }
    }
    if (within(c.start))
        return c;
    return std::nullopt;
}

// Refine: a seamless loop given comes back first, as it is (the user's
// choice stands where nothing is wrong with it, and Refine of its own answer
// returns that answer); then the exact loops of the track at their seamless
// pair nearest the points, nearest first; then the musical search near them.
// A musical pair that comes out exact at a length no exact loop found here
// has is a near-period (a tone's cycle off the true loop) and is left out
// where an exact loop was found.
LoopSearch loopsNear(auto& audio, const LoopSearchOptions& options, const LoopPoints& near,
                     const ProgressCallback& progress) {
    LoopSearchOptions wide = options;
    wide.maxCandidates = std::max(options.maxCandidates, kNearExactCandidates);
    LoopSearch result = FindLoops(audio, wide, ProgressPart(progress, 0.0, 0.35));
    if (result.cancelled)
        return result;
    const std::int64_t reach = kNearSeconds * rateOf(audio);
    std::vector<LoopCandidate> exact;
    for (const LoopCandidate& c : result.candidates) {
        if (c.start == 0 && c.stop == framesOf(audio))
            continue; // the whole track is no place near given points
        if (std::optional<LoopCandidate> pair = nearestPair(audio, c, near, reach))
            exact.push_back(*pair);
    }
    const auto distance = [&](const LoopCandidate& c) {
        return std::abs(c.start - near.start) + std::abs(c.stop - near.stop);
    };
    std::stable_sort(
        exact.begin(), exact.end(),
        [&](const LoopCandidate& a, const LoopCandidate& b) { return distance(a) < distance(b); });
    std::vector<LoopCandidate> all;
    if (std::optional<LoopCandidate> given = givenLoop(audio, near, result.candidates))
        all.push_back(*given);
    const auto listed = [&](const LoopCandidate& c) {
        return std::any_of(all.begin(), all.end(), [&](const LoopCandidate& a) {
            return a.start == c.start && a.stop == c.stop;
        });
    };
    for (const LoopCandidate& c : exact) {
        if (!listed(c))
            all.push_back(c);
    }
    const LoopSearch musical = musicalNear(audio, options, near, ProgressPart(progress, 0.35, 1.0));
    result.cancelled = musical.cancelled;
    for (const LoopCandidate& c : musical.candidates) {
        if (listed(c) || (c.kind == LoopKind::Exact && !exact.empty() &&
                          std::none_of(exact.begin(), exact.end(), [&](const LoopCandidate& e) {
                              return e.stop - e.start == c.stop - c.start;
                          })))
            continue;
        all.push_back(c);
    }
    if (all.size() > options.maxCandidates)
        all.resize(options.maxCandidates);
    result.candidates = std::move(all);
    return result;
}

// A loop that matches this well (see LoopCandidate::score) is one the file
// plays twice or more when it is shown for at least kShownShare of itself
// after its stop and seen repeating over kSeenToTheEndShare of what follows
// its stop (up to one loop length), or seen repeating over kSeenWholeShare
// of itself (the finder may start it late, in its first pass); and when it
// spans kSpansShare of the file or is followed by two more of itself (a
// track that is a short loop played over and over). A file cut a few
// seconds into a second pass shows less; a loop the finder starts on a
// lead-in that the passes share shows a little less than the whole loop; a
// second pass that plays a passage otherwise (a module's instrument varied)
// is seen over less of itself, but not under 0.7 of it, where a section
// repeated inside a song played once is followed by music it does not
// repeat and spans less of the song: two passes after an intro no longer
// than the loop span a third of the file. A loop that spans kHalfShare of
// the file and is shown for kShownShare of itself after its stop is played
// twice however little of it is seen repeating, where the file ends in
// digital silence: a song that ends in silence, played twice, repeats mostly
// silence, which tells nothing; a song played once that ends on its music
// shows a section that long after it, seen repeating only for a few bars. The
// passes of a short loop played over and over span kSpansShare of the file
// from its start: a bar repeated as a song ends is followed by two more of
// itself too.
constexpr double kPlayedTwiceMatch = 0.9;
constexpr double kShownShare = 0.8;
constexpr double kSeenToTheEndShare = 0.7;
constexpr double kSeenWholeShare = 0.9;
constexpr double kSpansShare = 1.0 / 3;
constexpr double kThreePasses = 2.0;
constexpr double kHalfShare = 0.4;

// Whether the repeat of `c` is seen over kSeenToTheEndShare of `span` frames.
bool seenOver(const LoopCandidate& c, int rate, double span) {
    return c.repeatedSeconds * rate >= kSeenToTheEndShare * span;
}

// Whether the file plays one of its loops twice or more.
bool playsALoopTwice(const std::vector<LoopCandidate>& found, std::int64_t frames, int rate,
                     bool endsInSilence) {
    return std::any_of(found.begin(), found.end(), [&](const LoopCandidate& c) {
        const auto length = static_cast<double>(c.stop - c.start);
        const auto after = static_cast<double>(frames - c.stop);
        const double seen = c.repeatedSeconds * rate;
        const bool shown = after >= kShownShare * length;
        const bool toTheEnd = shown && seenOver(c, rate, std::min(after, length));
        const bool whole = seen >= kSeenWholeShare * length;
        const auto passes = static_cast<double>(frames - c.start);
        const bool spans = length >= kSpansShare * static_cast<double>(frames) ||
                           (whole && after >= kThreePasses * length &&
                            passes >= kSpansShare * static_cast<double>(frames));
        const bool half =
            endsInSilence && shown && length >= kHalfShare * static_cast<double>(frames);
        return c.kind == LoopKind::Exact && c.score >= kPlayedTwiceMatch &&
               (((toTheEnd || whole) && spans) || half);
    });
}

// Music sequenced for a game repeats passages inside it exactly (an exact
// loop matching as a loop played twice does): audio in which nothing
// repeats, or only as musicians play a passage again, gets no loop of the
// whole track that the judge does not pass.
bool repeatsPassagesExactly(const std::vector<LoopCandidate>& found) {
    return std::any_of(found.begin(), found.end(), [](const LoopCandidate& c) {
        return c.kind == LoopKind::Exact && c.score >= kPlayedTwiceMatch;
    });
}

// An exact loop whose stop lies this close to the end of the file, at most,
// is also offered ending there.
constexpr double kToTheEndShare = 0.5;

// The exact loop that ends where the file ends, or is offered ending there:
// where the later of it and its copy found earlier stands in the list, its
// length, and whether its repeat is seen over kSeenToTheEndShare of what
// follows its stop, as in a file cut short in its second pass.
struct EndingLoop {
    std::ptrdiff_t later = 0;
    std::int64_t length = 0;
    bool seenToTheEnd = false;
};

// An exact loop whose copy holds from its stop to the end of the file plays
// the same music moved to end there, where a song as a game ships it ends:
// the file may also be one cut a few seconds into a second pass, so the
// loop stays where the finder put it and the one moved to the end follows
// it, where the judge passes that. Done for the first such loop only.
std::optional<EndingLoop> withOneEndingAtTheEnd(LoopSearch& search, auto& audio,
                                                const LoopSearchOptions& options) {
    const std::int64_t frames = framesOf(audio);
    std::vector<LoopCandidate>& all = search.candidates;
    for (auto c = all.begin(); c != all.end(); ++c) {
        const std::int64_t length = c->stop - c->start;
        const std::int64_t by = frames - c->stop;
        if (c->kind != LoopKind::Exact || by <= 0 ||
            static_cast<double>(by) > kToTheEndShare * static_cast<double>(length))
            continue;
        const bool seen = seenOver(*c, rateOf(audio), static_cast<double>(by));
        LoopCandidate moved = *c;
        moved.start += by;
        moved.stop = frames;
        const auto listed = std::find_if(all.begin(), all.end(), [&](const LoopCandidate& a) {
            return a.start == moved.start && a.stop == moved.stop;
        });
        if (listed != all.end())
            return EndingLoop{std::distance(all.begin(), std::max(listed, c)), length, seen};
        moved.judged = judgeAt(audio, {moved.start, moved.stop}, SeamMode::Exact);
        if (!IsSeamless(moved.judged) || moved.judged.musical)
            continue;
        moved.seam = moved.judged.score;
        const EndingLoop ending{std::distance(all.begin(), all.insert(c + 1, moved)), length, seen};
        if (all.size() > options.maxCandidates)
            all.resize(options.maxCandidates);
        return ending;
    }
    return std::nullopt;
}

// Where a loop that plays more of the song than any found goes: after the
// loop ending at the end of the file and its copy, where that loop spans
// enough of the file for it to be one cut short in its second pass and is
// seen repeating to the end, as the second pass is; else first. A section
// of a song played once that ends near its end is seen repeating for a few
// bars.
std::ptrdiff_t placeOfALongerLoop(const std::optional<EndingLoop>& ending, std::int64_t frames) {
    return ending && ending->seenToTheEnd &&
                   static_cast<double>(ending->length) >=
                       kCutShortShare * static_cast<double>(frames)
               ? ending->later + 1
               : 0;
}

bool holdsDigitalSilence(const AudioSamples& audio, std::int64_t from, std::int64_t to) {
    SamplesSource source(audio);
    return HoldsDigitalSilence(source, from, to);
}
bool holdsDigitalSilence(AudioReader& reader, std::int64_t from, std::int64_t to) {
    ReaderSource source(reader);
    return HoldsDigitalSilence(source, from, to);
}

// A song that ends in silence, played twice, holds that silence one pass
// before the end as well: where a long exact loop (see kHalfShare) shows the
// middle half of it there, the file is two passes of a song that ends in
// silence, however its loop was placed.
bool silentAPassBefore(auto& audio, const std::vector<LoopCandidate>& all, double silenceSeconds) {
    const std::int64_t frames = framesOf(audio);
    const auto tail = static_cast<std::int64_t>(silenceSeconds * rateOf(audio));
    return std::any_of(all.begin(), all.end(), [&](const LoopCandidate& c) {
        const std::int64_t length = c.stop - c.start;
        const std::int64_t end = frames - length;
        return c.kind == LoopKind::Exact && c.score >= kPlayedTwiceMatch &&
               static_cast<double>(length) >= kHalfShare * static_cast<double>(frames) &&
               tail > 0 && end - tail >= 0 &&
               holdsDigitalSilence(audio, end - tail * 3 / 4, end - tail / 4);
    });
}

// A file that does not play a loop twice may be a song as a game ships it,
// one pass ending where the music jumps back: the loop of the whole track is
// then offered beside the others, where the judge passes it or where the
// music plays on at the song's level to the last frame, or ends at that
// level and holds silence to it (judged as it sounds: what the game's own
// jump plays), where the song repeats passages exactly, as sequenced music
// does: a song played by hand is seldom made to loop whole. It plays the
// most of the song and goes at `place` (see placeOfALongerLoop).
void withTheWholeTrack(LoopSearch& search, auto& audio, std::size_t most, std::ptrdiff_t place) {
    std::vector<LoopCandidate>& all = search.candidates;
    const std::int64_t frames = framesOf(audio);
    const std::optional<LoopCandidate>& whole = search.wholeTrack || !repeatsPassagesExactly(all)
                                                    ? search.wholeTrack
                                                    : search.playedToTheEnd;
    if (search.cancelled || !whole || most == 0 ||
        playsALoopTwice(all, frames, rateOf(audio), whole->judged.silenceSeconds > 0) ||
        silentAPassBefore(audio, all, whole->judged.silenceSeconds))
        return;
    std::erase_if(all, [&](const LoopCandidate& c) { return c.start == 0 && c.stop == frames; });
    all.insert(all.begin() + std::min(place, std::ssize(all)), *whole);
    if (all.size() > most)
        all.resize(most);
}

} // namespace

LoopSearch FindAnyLoops(const AudioSamples& audio, const LoopSearchOptions& options,
                        const std::optional<LoopPoints>& near, const ProgressCallback& progress) {
    if (near)
        return loopsNear(audio, options, *near, progress);
    // The exact search takes about a third of the time of both.
    LoopSearch exact = FindLoops(audio, options, ProgressPart(progress, 0.0, 0.35));
    if (!exact.cancelled && !holdsTheTracksLoop(exact, audio.frames()))
        exact =
            withMusicalLoops(std::move(exact), audio, options, ProgressPart(progress, 0.35, 1.0));
    const std::ptrdiff_t place =
        placeOfALongerLoop(withOneEndingAtTheEnd(exact, audio, options), audio.frames());
    withTheWholeTrack(exact, audio, options.maxCandidates, place);
    return exact;
}

LoopSearch FindAnyLoops(AudioReader& reader, const LoopSearchOptions& options,
                        const std::optional<LoopPoints>& near, const ProgressCallback& progress) {
    if (near)
        return loopsNear(reader, options, *near, progress);
    // Windowed: a track with a loop of its own never holds all its frames in
    // memory.
    LoopSearch exact = FindLoops(reader, options, ProgressPart(progress, 0.0, 0.35));
    // Read through once more in order for the beats, then in windows.
    if (!exact.cancelled && !holdsTheTracksLoop(exact, reader.info().frames))
        exact =
            withMusicalLoops(std::move(exact), reader, options, ProgressPart(progress, 0.35, 1.0));
    const std::ptrdiff_t place =
        placeOfALongerLoop(withOneEndingAtTheEnd(exact, reader, options), reader.info().frames);
    withTheWholeTrack(exact, reader, options.maxCandidates, place);
    return exact;
}

} // namespace kestrin::audio
