// SPDX-License-Identifier: GPL-3.0-or-later
// Finding loops in music that was played or rendered once: the chorus comes
// back played again, never as the same samples, so no exact repeat exists.
// The loop goes from a place in one rendition to the same musical place in
// another, where the music around both sounds alike.
//
// In which steps (every tuning number is a named constant in
// musical_loops.cpp, with its reason beside it)
//   1. Spectra. The channels are averaged and cut into frames of 4096
//      samples (93 ms at 44.1 kHz: a semitone apart from 120 Hz up) every
//      512 (11.6 ms, the resolution of the beat grid), Hann windowed,
//      transformed by FFTW. Each frame gives the power of 20 bands spaced
//      evenly in log frequency from 40 Hz to 16 kHz (timbre), a 12-bin
//      chroma from 100 Hz to 2.5 kHz (harmony: every bin adds its magnitude
//      to its nearest pitch class), and the onset strength: the sum over the
//      bands of the rise of their log power since the frame before
//      (spectral flux, which a drum hit and a new chord both raise). The
//      track is read once in order, 65,536 frames at a time; only these 33
//      floats per frame are kept.
//   2. Tempo. The onset strength less its mean over the surrounding second,
//      kept where positive, is autocorrelated over the beat periods of 60 to
//      200 beats per minute; each lag is weighted by a Gaussian in octaves
//      around 120 (one octave wide: tempo estimates err by octaves, and most
//      music sits near 120), and the parabola through the best lag and its
//      neighbours gives the period to a fraction of a frame.
//   3. Beats. Dynamic programming over the frames: a beat at frame t scores
//      its onset strength plus the best earlier beat 0.5 to 2 periods back,
//      less a penalty of 100 (log(interval / period))^2 for deviating from
//      the tempo; the best chain ending in the last period is followed back.
//      Humanised timing moves single beats, never the chain. A beat lies
//      near the end of its frame (3840 of 4096), where an attack that
//      raises the flux of the frame lands.
//   4. Beat features. Each beat (from one beat to the next) averages its
//      frames: chroma normalised to unit length, band levels in dB, and its
//      loudness in dB.
//   5. Likeness of two beats: 0.6 x the cosine of their chromas + 0.25 x
//      exp(-RMS band difference / 6 dB) + 0.15 x exp(-|loudness
//      difference| / 6 dB). Harmony decides most, as the same drums and
//      instruments sound in every bar; timbre and loudness tell a verse from
//      a chorus over the same chords. Through new drum noise, a few cents of
//      tuning and humanised onsets two renditions of a beat stay above 0.9.
//   6. Matches. The likeness of beat pairs (i + k, j + k) averaged over the
//      16 beats after i and j (four bars of 4/4: "the following several
//      bars") is the match of the pair (i, j). It is convincing when it is
//      at least 0.9, closes at least 0.6 of the gap between the track's
//      typical likeness (the median over all pairs of beats 4 or more apart)
//      and 1 (in a song built from one sound throughout, or noise, every
//      beat is like every other, and no pair stands out), and lies within
//      0.03 of the best match in the track (a verse sharing chords with the
//      chorus matches a little less than the chorus played again).
//   7. Loops. For every beat distance, the pair of greatest match; a
//      distance is kept when that pair is convincing and matches at least as
//      well as the distances one beat shorter and longer (one beat off, the
//      chords of the bar still agree). The loop must last at least the
//      shortest loop and 30 % of the track (a musically whole span, not a
//      bar that happens to recur). The repeat extends from the pair both
//      ways while the likeness, averaged over 4 beats, stays over the
//      midpoint between typical and 1, and must span 32 beats or more
//      (in a long through-composed song some four bars recur by chance,
//      never eight); its seconds are the candidate's repeated seconds, its
//      mean likeness the match. The loop seen to play the most of the song
//      (its repeat, at most one loop's length, times its match) is offered
//      first, then the others by match. Where none of them gives a loop
//      (steps 8 and 9), the search is made again on harmony alone (the
//      cosine of the chromas): an orchestra that plays the theme again with
//      other instruments, or a recording whose levels move, changes the
//      timbre of a repeat but not its chords. There four bars suffice in a
//      song of up to five minutes, a bar more for every tenfold of pairs of
//      beats beyond (chance recurrences of a few bars grow with the pairs),
//      and the judge tells whether the sound across the jump goes on.
//   8. To the sample. Two renditions never share the phases of their
//      tones, so no jump between them is free of a phase jump in the
//      sustained parts; a jump just before an attack hides it, as the hit
//      masks what went before (the judge's kink excuses an attack right after
//      the start for the same reason). So for each of the first 4 beats of
//      the pair the start is the attack near the beat (within half a frame:
//      the block of 128 samples whose energy rises most over the 512 before,
//      tried every 16) less 32 samples (0.7 ms, so the attack lies wholly
//      after the jump); the stop is aligned with it by the normalised
//      cross-correlation of 4096 frames each side of the start with those
//      around every stop within a quarter beat of the same place in the other
//      rendition (beats err by a frame or two, humanising by 10 ms), first on
//      every 4th sample, then to the sample within 8 of the best; then,
//      among stops within 32 samples of that, the one where the waveforms
//      around the jump (64 samples each side, every channel) differ least:
//      the smallest step and phase jump. Where the judge passes no seam
//      there (step 9), the stop is sought again within 3 ms and then 10 ms
//      of that alignment, where the waveforms just around the junction (8
//      samples each side, nearest weighing most) cross alike in every
//      channel: two renditions never share their phases, but within a cycle
//      of the bass they meet. A stop whose loop length lies more
//      than 25 ms from the distance between the renditions is dropped: every
//      beat after the jump would come early or late. That distance is the
//      beat grid's (the median over the 16 beat pairs after them), or, where
//      three or more of the starts' alignments agree within those 25 ms, the
//      median of the alignments: tracked beats lie on a hop and slip by a
//      subdivision where the onsets are soft. Where the judge (step 9) does not
//      pass that seam, both points move together by 16, -16, 32, -32 and 64
//      samples in turn (a codec's pre-echo smears an attack by a millisecond
//      or so) and the first seam it passes is kept.
//   9. Admission. The seam judge's musical verdict (JudgeSeam with
//      SeamMode::Musical) must call the seam seamless. Each start of step 8
//      is off the distance between the renditions by its own humanised
//      notes; of the starts that pass, the one whose loop length lies
//      nearest that distance is kept. A pair none of whose starts passes is
//      dropped. A copy that is exact makes an exact candidate. The seam kept
//      is measured again as check measures a file (MeasureSeam; where it
//      fails there, the next nearest the distance):
//      where a copy of the track's own samples lies a little off the stop,
//      the loop is the exact one at that copy, so that check agrees with
//      every loop offered.
//  10. Near given points. With MusicalSearchOptions::near, the pairs of
//      beats within nearFrames of the given start and of the given stop are
//      matched over the 16 beats around them (8 before, 8 after, as far as
//      the track goes), the 3 best are taken through steps 8 and 9, and the
//      seamless ones returned, closest spectra first. The 30 % and the
//      convincing thresholds do not apply: the user chose the place.
// The work is one FFT per 512 samples and the beats squared (a 3-minute song
// at 120 beats per minute has 360): far above 100 times real time. The
// likeness of two beats is worked out when needed, one diagonal of beat
// pairs at a time, and the typical likeness of step 6 is counted in two
// passes over the pairs, so memory grows with the beats, not their square:
// steps 8 and 9 read back only windows of a few thousand frames.
#pragma once

#include "audio/frames.h"
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
