// SPDX-License-Identifier: GPL-3.0-or-later
// Steps 8 and 9 of the musical finder, from a pair to a loop: take a pair
// of beats; give the seamless candidate its alignments make, if any: the
// stop moved to keep the renditions' distance, the junction shifted until
// the seam judge's musical verdict passes, then measured again as check
// measures the file.
#include "audio/judge/seam_judge.h"
#include "audio/judge/seam_measure.h"
#include "audio/musical/musical_steps.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace kestrin::audio::musical {

namespace {

// How far a loop's length may lie from the beat grid's distance between the
// renditions: a beat of each errs by up to half a hop (6 ms) and by its
// humanised timing (10 ms), far less in the median of 16. A hi-hat grid that
// jumps by 45 ms is heard as a stumble.
constexpr double kGridSlackSeconds = 0.025;
// Shifts of both points tried in turn until the judge passes the seam: within
// 1.5 ms of the attack, where a codec's pre-echo lies.
constexpr std::array<std::int64_t, 6> kJunctionShifts = {0, 16, -16, 32, -32, 64};
// The stop's last move, where the waveforms cross alike: first at the
// aligned stop itself, then, only where no seam there passes, within 3 ms,
// half a cycle of a bass note at 170 Hz, and 10 ms, a cycle at 100 Hz (as
// far as humanising moves a note; the beat grid is checked again). Near
// given points only the aligned stop: it stays at the place the user chose.
constexpr std::array<std::int64_t, 3> kSeamReaches = {0, 128, 441};

// Step 8's last moves and step 9's verdict for one alignment: the first
// junction the judge passes, both points moved together by the shifts and
// the stop to where the waveforms cross alike, as long as the loop keeps
// `distance` within `slack`; nullopt where none passes.
std::optional<LoopCandidate> seamlessJunction(FrameSource& audio, const Alignment& aligned,
                                              std::int64_t distance, std::int64_t slack,
                                              std::int64_t minLoop,
                                              const std::optional<LoopPoints>& near,
                                              std::int64_t reach) {
    for (const std::int64_t seamReach : kSeamReaches) {
        if (near && seamReach != kSeamReaches[0])
            break;
        for (const std::int64_t shift : kJunctionShifts) {
            const std::int64_t from = aligned.start + shift;
            const std::int64_t to = seamStop(audio, from, aligned.stop + shift, seamReach);
            if (from < 0 || to - from < minLoop || to > audio.frames() ||
                std::abs(to - from - distance) > slack)
                continue;
            if (near && (std::abs(from - near->start) > reach || std::abs(to - near->stop) > reach))
                continue;
            const SeamFigures judged = JudgeSeam(audio, from, to, SeamMode::Musical);
            if (!IsSeamless(judged))
                continue;
            LoopCandidate c;
            c.kind = judged.musical ? LoopKind::Musical : LoopKind::Exact;
            c.start = from;
            c.stop = to;
            c.seam = judged.score;
            c.judged = judged;
            return c;
        }
    }
    return std::nullopt;
}

// Step 9's last check: the first of `passed` that check, measuring the file,
// also calls seamless; where a copy of the track's own samples lies a little
// off its stop, the loop becomes the exact one at that copy.
std::optional<LoopCandidate> measuredAsCheck(FrameSource& audio, std::vector<LoopCandidate>& passed,
                                             std::int64_t minLoop) {
    for (LoopCandidate& c : passed) {
        const std::optional<SeamFigures> measured = MeasureSeam(audio, c.start, c.stop);
        if (!measured)
            continue;
        if (IsSeamless(*measured)) {
            c.judged = *measured;
        } else if (measured->seamlessStop && *measured->seamlessStop - c.start >= minLoop) {
            c.stop = *measured->seamlessStop;
            c.judged = JudgeSeam(audio, c.start, c.stop);
            if (!IsSeamless(c.judged))
                continue;
        } else {
            continue;
        }
        c.kind = c.judged.musical ? LoopKind::Musical : LoopKind::Exact;
        c.seam = c.judged.score;
        return c;
    }
    return std::nullopt;
}

} // namespace

std::optional<LoopCandidate> refine(FrameSource& audio, int rate, const std::vector<Beat>& beats,
                                    const Rhythm& rhythm, const Pair& pair, double periodSamples,
                                    std::int64_t minLoop, const std::optional<LoopPoints>& near,
                                    std::int64_t reach) {
    std::vector<Alignment> alignments =
        alignStarts(audio, rate, beats, rhythm, pair, periodSamples);
    if (alignments.empty())
        return std::nullopt;
    std::vector<std::int64_t> lags;
    for (const Alignment& a : alignments)
        lags.push_back(a.stop - a.start);
    // The beat grid must go on across the jump: a loop whose length is off
    // the renditions' distance shifts every beat after it, however alike the
    // waveforms at the seam.
    const auto slack = std::llround(kGridSlackSeconds * rate);
    const std::int64_t gridLag = beatGridLag(beats, pair);
    const std::optional<std::int64_t> agreed = agreedDistance(lags, gridLag, slack);
    const std::int64_t distance = agreed.value_or(gridLag);
    // Alignments that disagree may follow a tempo that moves: where the
    // rhythm around its start shows the distance there off the beat grid's
    // by more than the slack, an alignment is taken again within the slack
    // of it (further off, the waveforms' best likeness is a tone's period,
    // not the beat) and keeps that distance. Where the rhythm agrees with
    // the grid, the grid's distance stands: the median of many beats is the
    // closer measure; and where the waveforms align off that grid, they
    // met on a tone's period (an orchestra's sustained chords, its soft
    // onsets): the alignment is taken again within the slack of the grid's.
    const bool steady = steadyRhythm(alignments, slack);
    for (Alignment& a : alignments) {
        const bool rhythmOnGrid = a.local && std::abs(*a.local - distance) <= slack;
        if (agreed || !steady || !a.local || rhythmOnGrid)
            a.local.reset();
        else
            a.stop = alignStop(audio, a.start, a.start + *a.local, slack);
        if (rhythmOnGrid && std::abs(a.stop - a.start - distance) > slack)
            a.stop = alignStop(audio, a.start, a.start + distance, slack);
    }
    // Each seam that passes, and how far its length lies off the distance
    // it keeps.
    std::vector<std::pair<std::int64_t, LoopCandidate>> found;
    for (const Alignment& a : alignments) {
        const std::int64_t here = a.local.value_or(distance);
        if (std::abs(a.stop - a.start - here) > slack)
            continue;
        if (auto c = seamlessJunction(audio, a, here, slack, minLoop, near, reach)) {
            c->score = std::clamp(pair.match, 0.0, 1.0);
            c->repeatedSeconds = pair.repeatedSeconds;
            found.emplace_back(std::abs(c->stop - c->start - here), *c);
        }
    }
    if (found.empty())
        return std::nullopt;
    // Every alignment is off the renditions' distance by its own humanised
    // notes: the seam whose length lies nearest that distance keeps the beat
    // best.
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<LoopCandidate> passed;
    for (auto& f : found)
        passed.push_back(f.second);
    return measuredAsCheck(audio, passed, minLoop);
}

} // namespace kestrin::audio::musical
