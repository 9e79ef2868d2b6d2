// SPDX-License-Identifier: GPL-3.0-or-later
// Short synthetic tracks made for looping, with the loop they were built
// around, for testing and timing the loop finder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace kestrin::testing_support {

// How the looped part is laid out in the track.
enum class LoopLayout {
    Repeated, // intro, then the loop `repeats` times
    FadeOut,  // the same, the last pass fading to silence
    Overlap,  // intro, the loop once, then its first `overlapSeconds` again
    NoRepeat, // one stretch of music that never repeats
    Whole,    // the loop once, nothing else: made to loop whole
};

// What the intro and the looped part are made of.
enum class Sound {
    Music,         // notes, drums and a noise bed
    Square,        // a full-scale square wave of period 200 samples
    Tremolo,       // a 440 Hz tone whose level swings at 5.3 Hz
    PatternedTone, // a 330 Hz tone accented in a 0.5 s pattern, over noise
    Plucked,       // plucked notes, each decaying
    Chord,         // 294, 367.5 and 441 Hz: a whole number of periods in 600 samples
    Tone,          // a 440 Hz sine
};

struct TrackSpec {
    LoopLayout layout = LoopLayout::Repeated;
    int channels = 2;
    int sampleRate = 44100;
    std::int64_t introFrames = 119131;
    std::int64_t loopFrames = 233777;
    int repeats = 2;
    double overlapSeconds = 1.5;
    // Peak level of white noise added to the finished track, so that the
    // passes are no longer bit-identical; 0 for none.
    double noise = 0.0;
    unsigned seed = 1;
    Sound sound = Sound::Music;
    // Seconds of the intro's last note still ringing, decaying, over the
    // start of the first pass only, `ringDb` below it; 0 for none.
    double ringSeconds = 0.0;
    double ringDb = 28.0;
    // A ring that holds its level instead, from `ringFrom` seconds into the pass.
    bool ringSteady = false;
    double ringFrom = 0.0;
    // Peak level of white noise added to the passes after the first only: the
    // loop repeats closely, as a render with its own dither does, but not
    // exactly; 0 for none.
    double laterPassNoise = 0.0;
    // Seconds of the intro's start played again, exactly, after the last
    // pass: a passage repeated at a length unrelated to the loop.
    double introAgainSeconds = 0.0;
    // Seconds of the loop's end the intro ends with too, bit for bit, but for
    // a note of its own (a module's intro leading into its restart as the
    // loop's end does): the passes are alike only after that note; 0 for none.
    double endAgainSeconds = 0.0;
    // Seconds at the very end played as a loud low note of their own (a final
    // chord the loop never plays, a pass cut short): a copy of nothing; 0 for none.
    double endHitSeconds = 0.0;
};

// A rendered track: interleaved frames in -1..1 and where its loop lies.
struct Track {
    int channels = 2;
    int sampleRate = 44100;
    std::vector<float> samples;
    std::int64_t loopStart = 0; // the first frame from which the passes are alike
    std::int64_t loopFrames = 0;
};

// Renders `sound`: the intro and the loop from different seeds, each
// self-contained so nothing rings across their borders unless `ringSeconds`
// says so. A tone or chord is not normalised: it keeps its own level.
Track RenderTrack(const TrackSpec& shape);

// A track of `layout` with the other settings left as they are.
TrackSpec shape(LoopLayout layout, int channels, int repeats = 2);
// A track that plays its loop once and then its first `seconds` again.
TrackSpec withOverlap(double seconds, int channels);

// Writes `track` through libsndfile in `format` (SF_FORMAT_* bits).
void WriteTrack(const Track& track, const std::filesystem::path& path, int format);

} // namespace kestrin::testing_support
