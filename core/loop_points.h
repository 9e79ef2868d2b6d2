// SPDX-License-Identifier: GPL-3.0-or-later
// Loops in frames of the audio. Here, below both, so that the player and the
// loop finder (libsndfile) and the editor's sound interface (Qt) share them,
// and none keeps a copy of its own to convert field by field.
#pragma once

#include "core/seam_figures.h"

#include <cmath>
#include <cstdint>

namespace kestrin {

// A loop in frames of the audio: play [start, stop), then jump to start.
struct LoopPoints {
    std::int64_t start = 0;
    std::int64_t stop = 0;
};

// What kind of repeat a loop was found in.
enum class LoopKind {
    Exact,   // the audio after stop is the audio after start, to the sample
    Musical, // the music comes back played again: alike, never the same samples
    // The whole track, 0 to its end: nothing inside it repeats, so no copy
    // vouches for the jump; only its junction and levels were judged.
    WholeTrack,
};

// The kind's word, as find and the Find dialog show it: "exact", "musical"
// or "whole track".
inline const char* LoopKindWord(LoopKind kind) {
    switch (kind) {
    case LoopKind::Musical:
        return "musical";
    case LoopKind::WholeTrack:
        return "whole track";
    case LoopKind::Exact:
        break;
    }
    return "exact";
}

// One seamless loop found in the audio, positions in its frames.
struct LoopCandidate {
    LoopKind kind = LoopKind::Exact;
    std::int64_t start = 0;
    std::int64_t stop = 0; // stop - start is the loop length
    // 0 to 1, higher is better: the share of the audio between the start and
    // one loop length before the end of the file that plays again unchanged
    // one loop later (silence and a fade-out do not count against it), times
    // how exact the repetition is (1 for bit-exact copies, a little lower
    // through a lossy codec or noise). 1 for the loop of the whole track.
    double score = 0.0;
    // Seconds of audible audio that were found to repeat.
    double repeatedSeconds = 0.0;
    // The seam score (the exact finder's seamScore) at (start, stop); 0 for the loop of
    // the whole track, where it has nothing to compare and the seam verdict
    // found the junction continuous.
    double seam = 0.0;
    // The seam judge's verdict and its figures, as check reports them:
    // seamless, but for the whole track of a song as a game ships it,
    // offered as it sounds.
    SeamFigures judged;
};

// How much of a track `frames` long the loop plays each time round: its
// length over the track's.
inline double ShareOfTrack(const LoopCandidate& c, std::int64_t frames) {
    return frames > 0 ? static_cast<double>(c.stop - c.start) / static_cast<double>(frames) : 0.0;
}

// The same in whole percent, as find and the Find dialog show it.
inline long PercentOfTrack(const LoopCandidate& c, std::int64_t frames) {
    return std::lround(100 * ShareOfTrack(c, frames));
}

} // namespace kestrin
