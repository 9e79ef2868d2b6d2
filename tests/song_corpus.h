// SPDX-License-Identifier: GPL-3.0-or-later
// Generated songs whose repeats are played again, not copied: chords, bass
// and drums in bars, each section rendered anew (new drum noise, its own
// tuning drift, humanised onsets, its own phase per note), so that the
// musical loop finder meets what a recorded song holds.
#pragma once

#include "audio/exact/loop_finder.h"

#include <cstdint>

namespace kestrin::testing_support {

// The shape of a song.
struct SongShape {
    double beatsPerMinute = 112;
    int introBars = 2;  // drums and the first chord only
    int verseBars = 8;  // A
    int chorusBars = 8; // B
    int passes = 2;     // A B played this many times (A B A' B')
    int outroBars = 2;  // the first chord fading
    // Every bar a new random chord, nothing repeated: through-composed.
    bool throughComposed = false;
    // From the second pass on the chords sound an octave higher as well, as
    // an orchestra plays a theme again with more instruments.
    bool fullerAgain = false;
    // From the second pass on the chorus is a break (no drums, the chords an
    // octave higher as well), the verse's chords gain a seventh.
    bool breakAgain = false;
    // Kick, snare and hi-hats under the chords and bass; without them the
    // only onsets are the notes', soft as strings and pads.
    bool drums = true;
    // Onsets move up to this many seconds either way.
    double humanise = 0.010;
    // The second pass is tuned this many cents sharp.
    double driftCents = 4.0;
    // Played live-like: the tempo rises by this share over the song.
    double tempoRise = 0;
    unsigned seed = 1;
};

// A rendered song and where its passes lie.
struct Song {
    kestrin::audio::AudioSamples audio; // stereo, 44,100 per second
    double samplesPerBeat = 0;
    // The first frame of the first pass (A) and the length of one pass (A B)
    // in frames on the nominal grid; no loop for a through-composed song.
    std::int64_t passStart = 0;
    std::int64_t passFrames = 0;
};

// Renders `shape`.
Song RenderSong(const SongShape& shape);

// The frame that plays what `frame` plays `passes` passes later.
std::int64_t PassesLater(const SongShape& shape, std::int64_t frame, int passes);

} // namespace kestrin::testing_support
