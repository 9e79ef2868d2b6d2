// SPDX-License-Identifier: GPL-3.0-or-later
// The one verdict on a loop's seam: whether the jump from stop back to start
// is heard, and how. find admits its candidates by it; check, set, the
// waveform panel and the Find dialog report it.
//
// What is judged
//   Playback runs up to stop (exclusive) and goes on at start. Two questions
//   decide how that sounds:
//   - Copy: is what plays after the jump what the track itself plays
//     somewhere? It is when the frames after start are those after stop (what
//     would have played), or the frames before stop are those before start
//     (start is reached the way stop is). SeamScore measures both; the
//     smaller counts. A comparison needs kMinCopyFrames on its side, so a
//     stop at the very end of the audio or a start at its very beginning
//     leaves only the other one, and the loop of the whole track none.
//   - Continuity: does the junction itself stand out of the audio around it?
//     A linear predictor (16 coefficients) is fitted to the 23 ms before
//     stop and predicts the first 8 frames after the jump, from the frames
//     a listener hears before each. A step, or a kink (a jump in slope),
//     leaves an error a predictor of the audio's partials cannot follow; the
//     tonal part of music is predicted closely, so even a step in the bass
//     under hiss shows. The kink is that error over the audio's own: the
//     larger of the predictor's error on the frames just before stop and a
//     predictor's error on those just after start (an attack right after the
//     start is unpredictable by nature). Natural audio keeps it near 1.
//     Errors are counted from kInaudibleError up: what a listener cannot hear
//     is never a click.
//
// The verdict
//   1. A copy that is exact (scoring under kExactScore): seamless.
//   2. A copy scoring under the noise limit, at the level of what plays
//      (within kLevelTolerance: codec noise does not change the level, a
//      tremolo caught at another phase does), with no stop within 8 samples
//      scoring lower (the lag is right to the sample): seamless. The noise
//      limit is three times the copy difference measured inside the loop, at
//      the same lag, once the levels of the copies are matched (codec noise
//      stays, a swell does not), in up to four windows away from the seam,
//      kept between SeamlessScore and kCodecCeiling: the codec's noise where
//      the loop repeats anyway. Where the loop holds no second copy to
//      measure, NoisySeamlessScore is the limit.
//   3. With no comparison from the frames after stop (the stop is at the end
//      of the audio, or the loop is the whole track): soft when the music
//      restarts (the band levels of the 186 ms before stop and after start
//      lie kRestartDb apart: a fade to silence, then the loud beginning);
//      click when the kink reaches kClickKink; soft when the sound before
//      the jump is cut off (the 12 ms after it hold less than a quarter of
//      the energy of the 12 ms before, a fall only a gate makes); seamless
//      otherwise. A comparison before start that fails says only that the
//      audio reaches start another way.
//   4. Otherwise: click when the kink reaches kClickKink, soft when it does
//      not: no step at the jump, but what plays is not what would have.
//   5. Whatever the mode, a loop whose jump comes back kBuzzRate times a
//      second or more and is not seamless is a click: it buzzes.
//
// The musical verdict (SeamMode::Musical)
//   A loop between two renditions of one passage (a chorus played again)
//   never meets a copy of its samples, so after the copy verdict above
//   (which still calls an exact repeat seamless) it asks what a listener
//   hears instead. It is for loops of musical length: one shorter than
//   kMusicalSpectrumFrames, whose spectra across the jump would overlap, is
//   judged as a copy.
//   - Continuity: click when the step from the last frame before the jump
//     to the first after it is audible (kInaudibleError) and exceeds
//     kMusicalStepFactor times the largest sample-to-sample change within
//     kMusicalStepFrames on either side (a step larger than the audio ever
//     takes there; phase jumps of the bass show the same way). Click when
//     the kink reaches kClickKink, unless the spectrum goes on (the
//     likeness below passes) and the junction is a change the music makes
//     itself there: its error (the RMS step from where the music was
//     heading) no larger than the RMS of those changes, or the step no
//     larger than the largest of them (loud, bright music hides it, while a
//     predictor fitted to the tones before the jump still stumbles on the
//     phases of another rendition).
//   - Soft when the sound is cut off at the jump (as in 3).
//   - Spectral likeness: the band levels (kMusicalBands bands spaced evenly
//     in log frequency from 50 Hz to 16 kHz, Hann window of
//     kMusicalSpectrumFrames) of what plays after start and of what would
//     have played after stop, and likewise of the frames before start and
//     before stop. Bands 60 dB below the loudest of the pair are left out
//     (the ear does not hear them under it); the RMS difference of the rest
//     must be at most kMusicalSpectralDb.
//   - Tonal likeness: on the same side, the fine spectra from 100 Hz to 5
//     kHz (5.4 Hz bins), each bin's level smoothed over 3 bins less its mean
//     over a third of an octave, where above it (the peaks, whatever the
//     tilt), correlate by at least kMusicalTonalLikeness: the same chords
//     sound on both sides. Noise, alike in its levels everywhere, has peaks
//     nowhere in common, so a jump within noise or drums alone proves
//     nothing and stays soft.
//   Seamless when one side passes both (its figures are reported, the more
//   alike tones where both pass), soft otherwise (the figures of the side
//   whose levels are closer): no step, but the music goes on elsewhere.
//   - Beat grid: a seam that passes the above is soft still when the beat
//     jumps: the onsets (spectral flux) of the 3 s after start, against
//     those after stop (or before stop against before start where nothing
//     follows the stop), line up best at an offset beyond
//     kMusicalGridJump. Music with no clear rhythm there is not held to it.
#pragma once

#include "audio/frames.h"
#include "core/loop_problems.h"

#include <cstdint>
#include <vector>

namespace kestrin::audio {

// Mean square per sample of each side under which SeamScore takes both
// sides for silence and scores them 0: -100 dBFS, about the rounding noise of
// 16-bit audio, where no difference can be heard.
inline constexpr double SeamSilence = 1e-10;

// Frames on each side of the seam that SeamScore compares.
inline constexpr std::int64_t SeamWindowFrames = 2048;

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

} // namespace kestrin::audio
