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
// In which steps
//   1. Coarse signal. The channels are averaged and filtered with a
//      triangular window of 2D-1 taps, then kept every D-th sample, so that
//      the coarse rate is about 2.7 kHz (D = 16 at 44.1 kHz). Shifting a
//      repeated stretch by a whole number of samples shifts its coarse copy
//      by the same amount divided by D, give or take one coarse sample.
//   2. Coarse lags. Short templates of 0.75 s (at most a quarter of the
//      coarse signal; none under 16 coarse samples) are cut from the coarse
//      signal where repeated material has to be in every layout above, in
//      this order: ending 50 ms before the end, the last window before the audio
//      falls under 0.05 of its mean energy per window, and at one half and
//      three quarters of the track; a place that is silent or overlaps a
//      template already cut is skipped. Each is cross-correlated with the
//      whole coarse signal through one FFT pair (FFTW, single precision; a
//      coarse signal whose transform exceeds 2^20 samples, some 6 minutes of
//      audio, block by block through transforms of 2^16, overlap-save) and
//      normalised by the energies under the template and the window
//      (normalised cross-correlation, so a fade does not lower it); windows
//      nearer the template than the shortest loop, or under 1e-9 of its
//      energy, are left out. Each local maximum of at least 0.4 is ranked by
//      the height of the parabola through it and its two neighbours: a true
//      lag that falls between two coarse samples peaks lower on the grid
//      than a near-period (a beat or a tone period off) that falls on it, and
//      the parabola restores most of that loss. The 5 highest peaks, 50 ms
//      apart, become candidate lags, each with the nearest peak to either
//      side within 50 ms when it reaches 0.95 of it: on a steady tone every
//      period peaks almost as high. The parabola's vertex gives the lag to a
//      fraction of a coarse sample.
//   3. Sample-exact lag. Around each candidate, every lag within D/2 + 3
//      samples is tried on every 4th raw frame of all channels under the
//      template (a coarse scan), by the gain-independent residual 1 - r^2 (r
//      the correlation of the two copies): 0 for copies that differ only in
//      level, about 1 for unrelated audio, and 1 where fewer than 64 frames
//      pair up. Where no lag scores 0.1 or less, nothing repeats there and the
//      candidate is dropped. Audio periodic within a few frames (a square
//      wave) can hide between every 4th frame where lags a sample apart
//      differ, so around every lag whose coarse residual is at most twice the
//      best (plus 1e-9), the lags within 2 to each side are tried again on all
//      frames, each lag once, shortest first; the lag with the smallest
//      residual is the loop length, the shortest of lags that tie exactly. It
//      is exact because the raw frames, not an estimate, decide: a repetition
//      off by one sample leaves a residual far above that of the right lag
//      wherever the audio has any high-frequency content. A lag shorter than
//      the shortest loop, as long as the audio or longer, or over 0.1 is
//      dropped.
//   4. The shortest period. A loop played many times peaks at every multiple
//      of its length, often higher than at the length itself. So each lag L
//      of step 3 is divided by every k that leaves at least the shortest loop,
//      and L/k is searched to the sample as in step 3 (2 samples to each side:
//      the division is exact up to the error of L); a period shorter than L
//      whose residual is at most twice that of L (plus 1e-9) repeats as
//      exactly and joins the lags. Exact lags of step 3 (residual at most
//      1e-9, bit-exact copies) are further all multiples of their greatest
//      common divisor g: for g and its divisors up to 8 (the coarse grid of
//      16 frames favours multiples of a short period that it does not
//      divide), the first multiple that is at least the shortest loop is
//      tried the same way against the longest exact lag, shortest first and
//      only while shorter than that lag; each that repeats joins the lags,
//      and the first found at exactly that multiple ends the search: every
//      other exact multiple of its period is left out where that loop holds
//      (see step 9). The lags are then taken
//      shortest first, and one within 2 samples of the lag kept before it is
//      one lag with it: the one with the smaller residual stays.
//   5. Extent. From the template the pair (t, t + L) is followed block by
//      block (about 23 ms, at least 64 frames) backwards and forwards while
//      the blocks keep matching: a block differs when its residual is over a
//      threshold and what the copies do not share is over twice its typical
//      level. The threshold is 30 times the median residual of the template
//      and of the blocks that match at all (residual at most 0.1) among 8 to
//      each side of it and 16 spread over the track (so codec noise is
//      tolerated, a different note is not), kept between 2e-4 and 0.1; its
//      floor is 0.02 for a lossy source, and for a file where any of those
//      blocks is not exact (residual over 1e-4): lossy audio decoded and
//      stored again as PCM. Blocks under 8 times that typical unshared level
//      or silent in both copies neither match nor break a match. Backwards,
//      up to 3 differing blocks are looked past, but none with a residual
//      over 0.1 unless the copies are inexact (or their median residual is
//      over 1e-6), then one; forwards, the 4th differing block since the last
//      match ends it, and silence right after a match counts to it. Where
//      the walk back stops, the copies may agree again earlier: a tracker's
//      second pass plays a note or a few bars otherwise. When a stretch of
//      at least 2 s of blocks that match begins within an eighth of the loop
//      before it (a short repeat inside a song is broken by whole passages
//      of other music, longer than that), the walk goes on from there. Only
//      in copies that are bit-exact where they match: inexact ones match
//      within a codec's noise, loose enough for other music to pass now and
//      then.
//      The residual ignores level, so a block matches only while the level
//      of the later copy over the earlier one stays within 0.02 of its value
//      in the block before (relative above 1; plus the square root of the
//      residual, what noise moves it by): a linear fade over 1.2 s or more
//      changes it by less, while copies whose level swings against each
//      other (a tremolo out of step) change it far faster.
//   6. Sample-exact start. Over the block where the match begins and the one
//      before it (with any quiet blocks right before that), each sample's
//      squared difference of the two copies (after a gain line fitted over
//      the 4 blocks after the span, where they agree, so a fade is followed)
//      is taken relative to the level within 16 samples of it (the noise of
//      the match where that is higher), on a log scale. The split into a
//      differing and a matching stretch with the least squared deviation
//      from their means gives the start, the earliest on ties; where the
//      copies are exact after it (median relative difference under 1e-6),
//      the start moves to just after the last sample up to 16 past the split
//      that differs at all (over 30 times that median, and over 1e-6). At the
//      very beginning of the audio the span may not differ at all: there a
//      split must lower the squared deviation by 30 times the scatter left,
//      or the start is 0. Otherwise the split may have stopped at a long
//      stretch that differs only a little, before a short one that clearly
//      does: summed evidence (CUSUM) of differences above the noise of the
//      match (each sample's log ratio to it, over the level within 64
//      samples, capped at 4, less 2), scanned back from 256 samples after the
//      split, moves it past such a stretch once the sum exceeds 12, unless
//      the stretch begins within 16 samples of where the scan began. Then,
//      since a codec smears its noise a few samples to both sides of the
//      change, the start moves to just after the last sample within four of the split
//      whose difference is over 100 times the median of the 512 samples after
//      it. Bit-exact repeats give the first sample that repeats; noisy ones
//      come within a sample or so, lossy ones mostly within one, a few
//      samples early where the two copies agree to within the codec's noise
//      before it: there no measurement can tell where the repeat begins.
//   7. A ring into the loop. The intro's last notes or reverb may still sound
//      over the first moments of the first pass, too faint for the blocks of
//      step 5 to tell from a match. So the body of the loop is measured on 64
//      short blocks (a quarter of step 5's, at least 16 frames) spread over
//      the pairs from 2 s after the start (from half-way where the repeat is
//      shorter), where a ring no longer reaches. Where some of them are
//      bit-exact and none is copied closely (residual over 1e-4 and at most
//      0.1; the others, if any, are not copies at all: a tracker's second
//      pass plays a note otherwise here and there), and the source is not
//      lossy, the start moves to just after the last sample from it on at
//      which the copies differ at all, the scan ending after 2 s without one
//      and going on as far as the repeat was seen: from there every pair is
//      exact, which is what a bit-exact repeat means. A first pass may play
//      otherwise for many seconds before the loop's start, faintly (a
//      module's volume or panning before its restart row). Where none of
//      them is exact (added noise, a lossy codec), a short block differs when it exceeds twice the
//      largest residual of the body (codec noise follows the level) or
//      twice its largest unshared level (added noise does not), or three
//      times the body's median residual and median unshared level at once
//      (a ring raises both, codec noise in a loud block only the level,
//      added noise in a quiet one only the residual): the start lies where
//      the copies agree as closely as the loop repeats itself elsewhere; the start
//      moves past the last such block, the scan ending after 0.1 s without
//      one (a ring is unbroken), and is placed to the sample: through a
//      lossy codec as in step 6; with noise added to lossless audio, which
//      does not follow the music, where the variance of the copies'
//      difference changes, by maximum likelihood over two fine blocks to
//      each side of the end of the last differing one (Gaussian noise of
//      one variance before the split and another after, each side at least
//      16 samples): there the difference is the noise alone after the split
//      and noise plus ring before it, so no other split explains it better.
//      A body exact in some places and copied closely in others is lossy
//      audio stored again as PCM, whose noise has no one level to measure against: the
//      start stays. A ring within the noise cannot be told from the loop by
//      any measure; one above it is always left out.
//   8. Admission. Every candidate must pass the seam verdict (JudgeSeam):
//      what is offered as a loop is one whose jump cannot be heard. Where the
//      intro still rings into the loop as loud as a codec's noise, no block
//      measure tells it from the loop, but the seam does: a candidate that
//      fails tries starts a block apart up to 3 s later, and the first that
//      passes is brought back to the sample by halving (the ring only fades);
//      with none, the candidate is dropped.
//   9. Ranking. A candidate must have at least 0.9 s of audible audio that
//      repeats and cover at least half of what follows its start (see
//      LoopCandidate::score); its match is scaled down by the share of the
//      loop its repeat is seen over, where that is less than a sixth of the
//      loop (and 0.9 s) and another loop of the track is seen repeating for
//      longer: a passage a song plays again just before the file ends is
//      seen for a second of a loop of a minute, and shows nothing of the
//      rest, while a track stored as its loop once and the first seconds of
//      it again shows no loop for longer. The lags are
//      followed shortest first, and one
//      that is a whole multiple (2 or more, within 2 samples per multiple) of
//      a found loop that scores at least 0.9 is left out when that loop
//      starts no later than where the lag was seen: a few notes played again
//      late in the track make a short loop of their own there, which says
//      nothing of the lag that is its double. So is an exact lag that is a
//      multiple of step 4's short period where that period's loop was found,
//      starting no later. A near-period (a lag a tone period or a beat off
//      the true one) repeats the audio closely where the true loop repeats
//      it exactly: only candidates whose copies differ by at most twice the
//      least energy-weighted residual among them (plus 1e-9) are kept,
//      sorted by score, then by the seconds that repeat, then shortest loop
//      first; then a loop seen to play over 1.25 times as much of the song
//      seamlessly (the seconds that repeat, at most one loop length, times
//      the match) goes before one that comes earlier by those figures: the
//      loop that holds the repeated part of the song before a short repeat
//      inside it, however clean that one's seam. The first
//      LoopSearchOptions::maxCandidates are returned.
//  10. The whole track. Where nothing repeats inside the track, music made
//      to loop whole may still flow from its end into its start: the loop
//      (0, frames) is offered when it is at least the shortest loop long,
//      audible, its first and last second lie within 10 dB of each other (a
//      song that fades or rings out, then starts again loud, restarts), and
//      the seam verdict passes it with the junction under the
//      verdict's click limit (kClickKink) also when measured from the audio
//      before the stop alone: the verdict excuses a junction followed by an
//      attack, and music that merely stops ends anywhere and starts with one.
// The work is one pass over the audio for the coarse signal, 1 + 2 x
// templates real FFTs of the coarse length (or 2 per block and template),
// and passes over the repeated stretch of each candidate: O(n log n)
// overall. A file is never held whole: one pass reads it for the coarse
// signal and the level, and steps 3 to 10 read back windows of 65,536
// frames around the pairs they compare. What stays is the coarse signal and
// one template's correlation with it (or one transform buffer the size of
// both): about 8 bytes per 16 frames, some 165 MB for two hours at
// 44.1 kHz. The search asks whether to go on at least every few tens of ms
// of work, also between blocks of the correlation. A lossy file, whose codec cannot seek to the
// sample, is decoded in that one pass into an unnamed scratch file (4 bytes per sample, in the
// temporary folder) that the windows are read from; in memory only where no scratch file can be
// had. A decoded track needs that beside its samples.
#pragma once

#include "audio/frames.h"
#include "core/loop_points.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace kestrin::audio {

class AudioReader;

// What to look for.
struct LoopSearchOptions {
    // The shortest loop in frames; 0 means two seconds of the audio.
    std::int64_t minLoopFrames = 0;
    // At most this many candidates are returned.
    std::size_t maxCandidates = 5;
};

// The outcome of a search: candidates best first, empty when nothing in the
// audio repeats seamlessly.
struct LoopSearch {
    std::vector<LoopCandidate> candidates;
    bool cancelled = false; // the progress callback stopped the search
};

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

// How audible a jump from `stop` back to `start` is. Playback runs up to
// stop and goes on at start, so the jump is inaudible when the `window`
// frames after start are those after stop (what would have played), or the
// frames before stop are those before start (start is reached the way stop
// is). Each comparison is the energy of the difference over the energy of
// both sides, all channels; the smaller one is returned, from 0 (identical)
// through 1 (unrelated audio) to at most 2 (opposite signs). Comparisons are
// cut at the ends of the audio; one with no frames left does not count, and
// 1 is returned when neither has any. Windows where both sides are silent
// (below SeamSilence mean square per sample on each side) give 0.
double SeamScore(const AudioSamples& audio, std::int64_t start, std::int64_t stop,
                 std::int64_t window = 2048);

} // namespace kestrin::audio
