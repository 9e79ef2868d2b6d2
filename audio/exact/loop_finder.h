// SPDX-License-Identifier: GPL-3.0-or-later
// Finding where a track repeats itself, to the sample, so that a loop from
// stop back to start cannot be heard.
//
// What is computed
//   A loop (start, stop) is seamless when the audio from `start` on is the
//   audio from `stop` on: jumping back from stop to start then changes
//   nothing a listener hears. Tracks made for looping contain that repetition
//   on purpose (an intro, then the looped part played twice or more, perhaps
//   fading out; or the looped part once plus the first seconds of it again at
//   the end), so the finder looks for a lag L and a stretch where
//   x[t + L] = x[t], every channel, and answers start = the earliest t of
//   that stretch, stop = start + L.
//
// In which steps (the figures of each are constants beside their use, in the
// file named):
//   1. Coarse signal: the channels averaged, triangle-filtered and kept
//      every D-th sample, about 2.7 kHz (exact_coarse_lags.cpp).
//   2. Coarse lags: short templates cut where repeated material has to be,
//      correlated with the whole coarse signal through FFTs and normalised
//      so a fade does not lower the match; the highest peaks become lags
//      (exact_coarse_lags.cpp).
//   3. Sample-exact lag: around each, the lag whose raw frames repeat best
//      by the gain-independent residual 1 - r^2 (r the correlation of the two
//      copies: 0 for copies that differ only in level, about 1 for unrelated
//      audio); the raw frames, not an estimate, decide. Where every lag is a
//      multiple of a shorter repeat (a cycle of notes, a tone's pattern),
//      steps 2 and 3 again on the peaks off its multiples, or on what it
//      does not share, for the exact lags it hides (exact_lags.cpp).
//   4. The shortest period: each lag divided by whole numbers, and the exact
//      lags' common divisor, tried as loops that repeat as exactly; the
//      lags then shortest first, near-equal ones as one. Where the best
//      loop steps 5 to 9 find is not seen repeating over nearly all of
//      itself, the differences of exact lags are tried and followed too: a
//      loop whose passes play a cycle of notes may show only as its sums
//      with the cycle (exact_lags.cpp, loop_finder.cpp).
//   5. Extent: the pair (t, t + L) followed block by block backwards and
//      forwards while the blocks keep matching, within a threshold calibrated
//      on the track and a level that changes only as a fade does; in
//      lossless audio on past passages a second pass plays otherwise, to
//      the copies that are bit-exact again beyond them (exact_follower.cpp).
//   6. Sample-exact start: where the match begins, the split of each
//      sample's difference into a differing and a matching stretch
//      (exact_start.cpp).
//   7. A ring into the loop: the start moved past an intro's notes or reverb
//      still sounding faintly over the first pass, measured against the body
//      of the loop (exact_ring.cpp).
//   8. Admission: every candidate must pass the seam verdict (JudgeSeam), a
//      failing one trying later starts up to a ring's length
//      (exact_follow_lags.cpp).
//   9. Ranking: chance repeats, multiples of a found loop and near-periods
//      left out; best first by score, seconds that repeat and how much of
//      the song plays seamlessly (exact_ranking.cpp).
//  10. The whole track: where nothing repeats inside it, the loop (0,
//      frames) when its end flows into its start (exact_ranking.cpp).
// The work is one pass over the audio for the coarse signal, a few FFTs per
// template, and passes over the repeated stretch of each candidate:
// O(n log n) overall. A file is never held whole: steps 3 to 10 read back
// windows around the pairs they compare, and what stays is the coarse signal
// and one template's correlation with it, about 8 bytes per 16 frames (up to
// six minutes, where one transform takes the whole coarse signal, every
// template's, at most 4 MB each, kept for step 2's second look); a file
// short enough (LoopSearchOptions::mostHeldSamples) is held in memory once
// read through, as the steps read each repeat again for every lag. Audio
// held whole has its templates, lags and candidates worked on two threads,
// each result kept in its place, so that it gets the candidates one thread
// finds. The search asks whether to go on every few tens of ms of work, on
// the calling thread only. A lossy file,
// whose codec cannot seek to the sample, is decoded in the one pass into an
// unnamed scratch file (4 bytes per sample, in the temporary folder), in
// memory only where none can be had.
#pragma once

#include "audio/read/frames.h"
#include "core/loop_points.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace kestrin::audio {

class AudioReader;

// A file cut a few seconds into its second pass holds an intro, the loop
// and a little of it again: the loop spans at least this much of it. A
// shorter loop seen repeating to the end is a bar or a section that a song
// repeats as it ends. The finder weighs such a loop by its evidence, and
// the search puts the whole track before it.
inline constexpr double kCutShortShare = 0.5;

// What to look for.
struct LoopSearchOptions {
    // The shortest loop in frames; 0 means two seconds of the audio.
    std::int64_t minLoopFrames = 0;
    // At most this many candidates are returned.
    std::size_t maxCandidates = 5;
    // A file of at most this many samples is held in memory as floats once
    // read through (128 MB: six minutes of stereo at 44.1 kHz); a longer one
    // is read back in windows, so that memory stays bounded for any length.
    std::int64_t mostHeldSamples = std::int64_t{1} << 25;
};

// The outcome of a search: candidates best first, empty when nothing in the
// audio repeats seamlessly.
struct LoopSearch {
    std::vector<LoopCandidate> candidates;
    bool cancelled = false; // the progress callback stopped the search
    // The loop of the whole track where its end flows into its start (step
    // 10), whether or not the candidates hold it.
    std::optional<LoopCandidate> wholeTrack;
    // The loop of the whole track, judged, where the music plays on at the
    // song's level to the file's last frame: a song as a game ships it,
    // ending where its music jumps back, whatever the jump sounds like.
    std::optional<LoopCandidate> playedToTheEnd;
};

// Lets each search run its steps on at most `threads` threads (1: on the
// calling thread alone), for a program that runs several searches side by
// side and would otherwise start more threads than there are cores.
// Process-wide; two unless set.
void LimitSearchThreads(int threads);

// Finds seamless loops in `audio` (see the steps above). Safe to run on
// several threads at once.
LoopSearch FindLoops(const AudioSamples& audio, const LoopSearchOptions& options = {},
                     const ProgressCallback& progress = {});

// Finds the loops of the file `reader` has open. The file is read through
// once and then only in windows, so memory stays bounded for any length
// (about 8 bytes per 16 frames); a lossy one is decoded in that pass into a
// scratch file (AudioReader::keepDecodedInScratch), which stays with
// `reader`. Throws AudioError when the file cannot be read.
LoopSearch FindLoops(AudioReader& reader, const LoopSearchOptions& options = {},
                     const ProgressCallback& progress = {});

// Opens `file` and finds its loops as above. Throws AudioError when the file
// cannot be read.
LoopSearch FindLoops(const std::filesystem::path& file, const LoopSearchOptions& options = {},
                     const ProgressCallback& progress = {});

// Whether frames [from, to) of `source` hold digital silence: no sample
// above 16-bit audio's least step. Throws AudioError when a file cannot be
// read.
bool HoldsDigitalSilence(FrameSource& source, std::int64_t from, std::int64_t to);

} // namespace kestrin::audio
