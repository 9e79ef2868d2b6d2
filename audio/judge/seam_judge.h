// SPDX-License-Identifier: GPL-3.0-or-later
// The one verdict on a loop's seam: whether the jump from stop back to start
// is heard, and how. find admits its candidates by it; check, set, the
// waveform panel and the Find dialog report it.
//
// What is judged
//   Playback runs up to stop (exclusive) and goes on at start. Two questions
//   decide how that sounds:
//   - Copy: is what plays after the jump what the track itself plays? It is
//     when the frames after start are those after stop (what would have
//     played), or the frames before stop are those before start (start is
//     reached the way stop is). SeamSums scores both sides; the smaller
//     counts. A side needs a few milliseconds of audio to be compared, so the
//     loop of the whole track has none.
//   - Continuity: does the junction stand out of the audio around it? A
//     linear predictor fitted to the frames before stop predicts the first
//     frames after the jump; a step or a kink (a jump in slope) leaves an
//     error no predictor of the audio's partials follows. The kink is that
//     error over the audio's own on either side (an attack right after the
//     start is unpredictable by nature); natural audio keeps it near 1, and
//     kClickKink is a click. What is too faint for a listener to hear is
//     never a click.
//
// The verdict (SeamMode::Exact)
//   1. A copy that is exact: seamless.
//   2. A copy within the noise the loop's own repeat carries (measured inside
//      the loop, up to kCodecCeiling), at the level of what plays, with the
//      band levels of what it copies and no stop a few samples away scoring
//      lower: seamless. A codec's noise follows the music; a missing note
//      or a swell does not.
//   0. A stop in digital silence that runs to the end of the track, after
//      the music has ended: soft, the music ends and restarts, wherever in
//      that silence the stop lies (a copy of silence vouches for nothing).
//   3. Nothing after the stop to compare (the stop at the end of the audio
//      or where only silence follows it to the end, the whole track), in
//      either mode: soft when the music restarts (a fade to silence,
//      then the loud beginning: the band levels change across the jump
//      more than the music's own do from window to window on either side),
//      click when the kink is one, soft when the sound before the jump is
//      cut off or the beat leading into the stop does not go on after the
//      start, seamless otherwise.
//   4. Otherwise click when the kink is one, soft when it is not.
//   5. In any mode, a loop so short that its jump comes back fast enough to
//      be heard as a tone, and is not seamless, is a click: it buzzes.
//
// The musical verdict (SeamMode::Musical)
//   A loop between two renditions of one passage never meets a copy of its
//   samples, so after the copy verdict it asks what a listener hears. A loop
//   too short to hold the spectra it compares is judged as a copy.
//   - Continuity: click when the step across the jump is audible and larger
//     than the music's own changes from sample to sample around it, or when
//     the kink is one and the junction is not a change the music makes there
//     itself with the spectrum going on.
//   - Soft when the sound is cut off at the jump.
//   - Spectra: on one side of the jump (what plays after start against what
//     would have played after stop, or the frames before each), the band
//     levels lie as close as two renditions of a passage do and the tonal
//     peaks (the chords) correlate; seamless when one side passes both,
//     soft otherwise (no step, but the music goes on elsewhere).
//   - Across: soft still when the band levels change across the jump (before
//     the stop against after the start) by a few dB more than the music's
//     own do where it goes on: the music restarts at another level.
//   - Beat: a seam that passes is soft still when the onsets after the jump
//     line up with those that would have played only at an offset a
//     listener hears as a stumble; where nothing follows the stop, with the
//     grid leading into the stop carried on by its own period. Music with no
//     clear rhythm, or a held tone with no onset at all, is not held to it.
#pragma once

#include "audio/read/frames.h"
#include "core/seam_figures.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kestrin::audio {

// Mean square per sample of each side under which the seam score takes both
// sides for silence and scores them 0: -100 dBFS, about the rounding noise of
// 16-bit audio, where no difference can be heard.
inline constexpr double SeamSilence = 1e-10;

// Frames on each side of the seam that the seam score compares.
inline constexpr std::int64_t SeamWindowFrames = 2048;

// The seam score of two stretches of audio from their sums, the one
// comparison behind the exact finder's seam score, the judge's copies and the search for a
// seamless stop: the energy of their difference over the energy of both, 0
// where both lie below SeamSilence.
struct SeamSums {
    double energy = 0;        // the squares of both stretches, summed
    double difference = 0;    // the squares of their difference, summed
    std::int64_t samples = 0; // on each side, every channel counted

    bool silent() const { return energy < 2 * SeamSilence * static_cast<double>(samples); }
    double score() const { return silent() ? 0.0 : std::max(0.0, difference) / energy; }
    // The difference at which the score reaches `score`: a sum of squares
    // that only grows may stop being summed there.
    double differenceAt(double score) const { return score * energy; }
};

// A junction predicted this much worse than the audio around it is a
// click: 10 dB.
inline constexpr double kClickKink = 10.0;

// Codec noise at 10 dB below the audio is more than any ordinary quality
// leaves: a closer copy is a different passage.
inline constexpr double kCodecCeiling = 0.1;

// How a seam is judged.
enum class SeamMode {
    Exact,   // the loop repeats the track's own samples (the verdict above)
    Musical, // two renditions of a passage meet: continuity and spectra
};

// Judges the jump from `stop` back to `start` (see the header). Reads only a
// few windows around start and stop and inside the loop. Requires
// 0 <= start < stop <= frames. Leaves SeamFigures::seamlessStop empty.
SeamFigures JudgeSeam(FrameSource& audio, std::int64_t start, std::int64_t stop,
                      SeamMode mode = SeamMode::Exact);

// The same for a track decoded whole.
SeamFigures JudgeSeam(const AudioSamples& audio, std::int64_t start, std::int64_t stop,
                      SeamMode mode = SeamMode::Exact);

// The verdict on the loop of the whole track (0, frames), which has no copy
// to compare: seamless, and its junction continuous measured from the audio
// before the stop alone too, as an attack right after the start would
// excuse a step in music that merely stops.
bool WholeTrackLoopHolds(const SeamFigures& figures);

} // namespace kestrin::audio
