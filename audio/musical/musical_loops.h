// SPDX-License-Identifier: GPL-3.0-or-later
// Finding loops in music that was played or rendered once: the chorus comes
// back played again, never as the same samples, so no exact repeat exists.
// The loop goes from a place in one rendition to the same musical place in
// another, where the music around both sounds alike.
//
// In which steps (each a file of audio/musical/ listed in musical_steps.h,
// each tuning number a named constant in it with its reason beside it):
//   1. Spectra: the channels averaged, read once in order a block at a time;
//      each hop keeps only its band levels (timbre), chroma (harmony) and
//      onset strength (spectral flux).
//   2. Tempo: the autocorrelation of the onset strength over the beat
//      periods a song can have, weighted by a prior around the usual tempo;
//      then settled to a hundredth of a frame by the autocorrelation summed
//      over 1 to 16 beats near it. Where the onsets keep no beat (sustained
//      strings), the phrase over which the loudness swells gives it.
//   3. Beats: the chain of onsets that best keeps the tempo (dynamic
//      programming), so humanised timing moves single beats, not the chain;
//      where the tempo came from the swell, a strict grid at that period.
//   4. Beat features: each beat's frames averaged.
//   5. Likeness of two beats: harmony, timbre and loudness weighed together.
//   6. Matches: the likeness of two beats and the bars after them; a match
//      convinces when it is high, stands out from the track's typical
//      likeness and lies near the best in the track.
//   7. Loops: for each beat distance its best pair, kept when it convinces,
//      spans a musically whole part of the track and repeats over eight
//      bars; the loop seen to play the most of the song first. Where none
//      gives a loop, the search runs again on harmony alone, with a few bars
//      more as the song grows longer. Where either found passages that come
//      back but none gives a loop, the pairs of beats a whole number of bars
//      apart whose four bars each side sound most alike, the judge deciding.
//   8. To the sample: the start just before an attack near one of the
//      pair's first beats, the stop aligned with it by cross-correlation and
//      then moved to where the waveforms meet; a loop off the distance
//      between the renditions by more than the beat grid's slack is dropped.
//      Where the tempo moves (a song played live), that distance is taken
//      where the jump lies, from the onsets around it, not over the repeat.
//      Where no pair gives a loop so, the jump is tried at a few other
//      places of each pair's repeat, where its bars still match.
//   9. Admission: the seam judge's musical verdict must call the seam
//      seamless, and the seam is measured again as check measures the file;
//      a copy that is exact makes an exact candidate.
//  10. Near given points (MusicalSearchOptions::near): the pairs of beats
//      near the given start and stop through steps 8 and 9, without the
//      thresholds of steps 6 and 7: the user chose the place.
// The work is one FFT per hop and the beats squared; the likeness of two
// beats is worked out when needed, so memory grows with the beats, not
// their square, and steps 8 and 9 read back only windows of a few thousand
// frames.
#pragma once

#include "audio/read/frames.h"
#include "core/loop_points.h"

#include <cstdint>
#include <optional>

namespace kestrin::audio {

// What to look for.
struct MusicalSearchOptions {
    // The shortest loop in frames; 0 means two seconds.
    std::int64_t minLoopFrames = 0;
    // The shortest loop as a share of the track, 0 to 1.
    double minShare = 0.3;
    // At most this many candidates are returned.
    std::size_t maxCandidates = 5;
    // Search only near these points (step 10).
    std::optional<LoopPoints> near;
    // How far from the near points a start and a stop may lie, in frames; 0
    // means two seconds.
    std::int64_t nearFrames = 0;
};

// Seconds each stage took, for the benchmark.
struct MusicalStageSeconds {
    double spectra = 0;  // steps 1
    double beats = 0;    // steps 2 to 4
    double matching = 0; // steps 5 to 7 (or 10)
    double refining = 0; // steps 8 and 9
};

// The outcome: candidates best first; empty when the music holds no natural
// loop (or none near the points given).
struct MusicalSearch {
    std::vector<LoopCandidate> candidates;
    bool cancelled = false;
    double beatsPerMinute = 0; // the tempo found, 0 for audio too short
    std::size_t beats = 0;     // beats found
    MusicalStageSeconds seconds;
};

// Finds musical loops in `audio` (see the steps above). Every candidate the
// seam judge calls seamless; kind Musical, or Exact where the copy is exact.
// Safe to run on several threads at once.
MusicalSearch FindMusicalLoops(const AudioSamples& audio, const MusicalSearchOptions& options = {},
                               const ProgressCallback& progress = {});

// The beats of `audio` found by steps 1 to 3: the frame each falls on, in
// order; empty for audio shorter than a second or so.
std::vector<std::int64_t> FindBeats(const AudioSamples& audio);

// FindMusicalLoops for the file `reader` has open, with the same results:
// step 1 reads it through once in order, a block at a time, and keeps only
// the frames' features; steps 8 and 9 read windows back. Throws AudioError
// when the file cannot be read.
MusicalSearch FindMusicalLoops(AudioReader& reader, const MusicalSearchOptions& options = {},
                               const ProgressCallback& progress = {});

} // namespace kestrin::audio
