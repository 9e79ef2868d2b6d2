// SPDX-License-Identifier: GPL-3.0-or-later
// The musical finder's steps (musical_loops.h says what each does), a file
// each in the order the search runs them:
//   musical_spectra.cpp    1: the track, read once, to each hop's band
//                             levels, chroma and onset strength
//   musical_tempo.cpp      2: the onset strength to the beat period
//   musical_beats.cpp      3, 4: onsets and period to the beats, and each
//                             beat's features
//   musical_likeness.cpp   5: the likeness of two beats, and the track's
//                             typical likeness that step 6 measures against
//   musical_pairs.cpp      6, 7, 10: the likeness to pairs of beats whose
//                             bars match, best first
//   musical_alignment.cpp  8: a pair's starts placed before their attacks,
//                             the stops aligned with them to the sample
//   musical_distance.cpp   8: the distance between the renditions that a
//                             loop must keep
//   musical_admission.cpp  8, 9: a pair to the seamless candidate the
//                             judge passes, if any
//   musical_loops.cpp      the search that runs them, and FindBeats
// Only what several steps share is declared here; every other tuning number
// lives in the file of its step. Internal to the musical room.
#pragma once

#include "audio/musical/musical_loops.h"
#include "audio/read/frames.h"
#include "core/loop_points.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrin::audio::musical {

// Step 1: 93 ms frames resolve a semitone from 120 Hz up; a 512-sample hop
// places beats to 11.6 ms.
constexpr int kFrame = 4096;
constexpr int kHop = 512;
// Timbre bands: 20, about half an octave each over the range step 1 takes
// them from.
constexpr int kBands = 20;
// Power below this (per frame, after the window) is silence.
constexpr double kPowerFloor = 1e-10;

// Where in its frame a beat falls. The spectral flux of a frame rises most
// as soon as an attack enters it, though the window still weighs it little
// there (a log power rises from the quiet before): so a beat lies near the
// frame's end, not its centre, 40 ms later.
constexpr std::int64_t kBeatInFrame = kFrame - kFrame / 16;

// The metre the finder assumes: four beats to the bar. A count of beats
// meant as a number of bars is written barsOf(that number).
constexpr std::size_t kBeatsPerBar = 4;
constexpr std::size_t barsOf(std::size_t bars) {
    return bars * kBeatsPerBar;
}

// Step 6: a match is the likeness of two beats and of the bars after them,
// four bars in all.
constexpr int kMatchBeats = static_cast<int>(barsOf(4));

// Step 8: the beats from a pair's first on at which a start is tried; step
// 7 spaces the other places of a repeat as far apart.
constexpr int kStartBeats = 4;

// Step 1's features of each hop.
struct Frames {
    std::size_t count = 0;
    std::vector<float> bands;  // kBands per frame, power
    std::vector<float> chroma; // 12 per frame, magnitude
    std::vector<float> onset;  // one per frame
};

// Step 1: appends the channels' mean of the interleaved `samples` to `mono`.
void mixInto(const std::vector<float>& samples, int channels, std::vector<float>& mono);

// Step 1, reading `source` once in order, a block at a time: only the
// frames' features are kept, never the track. nullopt when cancelled.
std::optional<Frames> analyse(FrameSource& source, int rate, const ProgressCallback& progress);

// Step 2's onset strength: less its mean over the surrounding
// kOnsetMeanSeconds, kept where positive, in units of its own standard
// deviation.
std::vector<double> risingOnsets(const Frames& f, double hopSeconds);

// Step 2: the beat period in frames, to a fraction of one, from the onsets'
// autocorrelation over lags [lagMin, lagMax] weighted by the tempo prior.
double beatPeriod(const std::vector<double>& o, double hopSeconds, std::size_t lagMin,
                  std::size_t lagMax);

// Step 2's refinement: the period near `guess` frames at which the onsets'
// autocorrelation, summed over a few bars of beats, is highest. nullopt
// where the onsets keep no beat or are too short for two beats.
std::optional<double> combPeriod(const std::vector<double>& o, double guess);

// Step 2 where the onsets keep no beat: the period in frames from the
// phrase over which the loudness swells, halved until it lies within a
// factor of the square root of two from `guess`. nullopt where the loudness
// swells with no regular phrase.
std::optional<double> swellPeriod(const Frames& f, double hopSeconds, double guess);

// Steps 2 and 3: beat frames and the period in frames.
std::vector<std::size_t> trackBeats(const Frames& f, double hopSeconds, double& period);

// Step 4: a beat and its frames' features averaged.
struct Beat {
    std::int64_t sample = 0; // where the beat falls in the audio
    std::array<float, 12> chroma{};
    std::array<float, kBands> bands{}; // dB
    float loudness = 0;                // dB
};

// Step 4: the features of each of `beatFrames`, its frames running to the
// next beat's (the last to a period after it).
std::vector<Beat> beatFeatures(const Frames& f, const std::vector<std::size_t>& beatFrames,
                               double period);

// Step 5: the likeness of pairs of beats and the diagonal means of step 6,
// worked out when asked: a matrix of every pair would take 800 MB for two
// hours. With `harmonyOnly`, the likeness is that of the chromas alone (the
// second search of step 7). Holds `beats` by reference; one thread's.
class Likeness {
public:
    explicit Likeness(const std::vector<Beat>& beats, bool harmonyOnly = false)
        : m_beats(beats), m_n(beats.size()), m_harmonyOnly(harmonyOnly) {}

    // The beats compared.
    std::size_t size() const { return m_n; }
    // The likeness of beats `i` and `j`, in either order.
    float at(std::size_t i, std::size_t j) const;

    // The likeness of (k, k + d) for every k with k + d in the track.
    void diagonal(std::size_t d, std::vector<float>& out) const;

    // The mean likeness of (i + k, j + k) for k in [from, to), as far as both
    // lie in the track; -1 where none do.
    double mean(std::size_t i, std::size_t j, std::ptrdiff_t from, std::ptrdiff_t to) const;

    // The median likeness of the pairs a few beats apart or more (1 when
    // there are none), worked out once.
    double typical();

    // Whether a match convinces: high, and standing out from typical().
    bool convincing(double match);

private:
    template <class Visit> void forApart(Visit visit) const;
    double median() const;
    float of(const Beat& a, const Beat& b) const;

    const std::vector<Beat>& m_beats;
    std::size_t m_n;
    bool m_harmonyOnly;
    std::optional<double> m_typical;
};

// A pair of beats whose music matches, before it is placed to the sample.
struct Pair {
    std::size_t i = 0;
    std::size_t j = 0;
    double match = 0;
    double repeatedSeconds = 0;
    // Further first beats at the same distance whose bars still repeat, best
    // match first: where the jump is tried when it is heard at `i`.
    std::vector<std::size_t> elsewhere;
};

// Step 7: the pairs of sections played again, whose repeat lasts eight bars
// or more, the one seen to play the most of the song first; at least
// `shortest` frames apart.
std::vector<Pair> sectionPairs(Likeness& like, const std::vector<Beat>& beats,
                               std::int64_t shortest, int rate);

// Step 7's second search: as sectionPairs on harmony alone, the repeat a
// few bars longer as more pairs of beats are compared and as the tempo
// `beatsPerMinute` plays bars faster.
std::vector<Pair> harmonyPairs(const std::vector<Beat>& beats, double beatsPerMinute,
                               std::int64_t shortest, int rate);

// Step 7's last search: the best few pairs of beats a whole number of bars
// apart, at least `shortest` apart, whose bars each side match best.
std::vector<Pair> seamPairs(const Likeness& like, const std::vector<Beat>& beats,
                            std::int64_t shortest, int rate);

// Step 10: the pairs near the given points, best match first.
std::vector<Pair> nearPairs(const Likeness& like, const std::vector<Beat>& beats,
                            const LoopPoints& near, std::int64_t reach, std::int64_t shortest);

// A start of step 8 and the stop aligned with it.
struct Alignment {
    std::int64_t start = 0;
    std::int64_t stop = 0;
    // The renditions' distance where the jump lies (step 8), when the
    // rhythm there shows it.
    std::optional<std::int64_t> local;
    // Which of the pair's first kStartBeats beats the start is at.
    int beat = 0;
};

// The rising onsets of step 2, kept to line up the renditions around each
// jump (step 8).
class Rhythm {
public:
    explicit Rhythm(std::vector<double> onsets) : m_onsets(std::move(onsets)) {}

    // The distance in frames, within `reach` of `guess`, at which the
    // onsets of the kLocalSeconds around `start` best line up with those
    // around `start` + that distance; nullopt where they show no rhythm.
    std::optional<std::int64_t> distanceAt(std::int64_t start, std::int64_t guess,
                                           std::int64_t reach, int rate) const;

private:
    std::vector<double> m_onsets;
};

// Step 8: the stop aligned with `start` near `guess`, within `reach`.
std::int64_t alignStop(FrameSource& source, std::int64_t start, std::int64_t guess,
                       std::int64_t reach);

// Step 8's last move: the stop within `reach` of `aligned` where the
// waveform just after `start` goes on from the one just before the stop, in
// every channel: the least squared difference, over the kSeamHalfWindow
// frames each side of the junction, between what plays and what would have
// played, the frames nearest the junction weighing most. Two renditions
// never share their phases, so the waveforms around the best alignment of
// whole passages differ; somewhere within a cycle of the bass they cross
// alike, and there the jump has neither step nor kink.
std::int64_t seamStop(FrameSource& source, std::int64_t start, std::int64_t aligned,
                      std::int64_t reach);

// Step 8's first move for each of the first kStartBeats beats of the pair:
// the start before the attack near the beat, the stop aligned with it.
std::vector<Alignment> alignStarts(FrameSource& audio, int rate, const std::vector<Beat>& beats,
                                   const Rhythm& rhythm, const Pair& pair, double periodSamples);

// The distance between the renditions by the beat grid: the median of the
// distances between the beats that follow each of the pair, over the beats
// matched. Each beat errs by a frame or so and by its humanised timing; the
// median of many does not.
std::int64_t beatGridLag(const std::vector<Beat>& beats, const Pair& pair);

// The distance between the renditions that every loop of a pair must keep
// to within `slack`, where the alignments' lengths `lags` agree on it
// otherwise than `gridLag` does; nullopt otherwise.
std::optional<std::int64_t> agreedDistance(std::vector<std::int64_t> lags, std::int64_t gridLag,
                                           std::int64_t slack);

// Whether the rhythm's distances at the pair's first beats tell one tempo
// that moves, each within `slack` a beat of the one before.
bool steadyRhythm(const std::vector<Alignment>& alignments, std::int64_t slack);

// Steps 8 and 9 for one pair: the best seamless candidate, if any.
std::optional<LoopCandidate> refine(FrameSource& audio, int rate, const std::vector<Beat>& beats,
                                    const Rhythm& rhythm, const Pair& pair, double periodSamples,
                                    std::int64_t minLoop, const std::optional<LoopPoints>& near,
                                    std::int64_t reach);

} // namespace kestrin::audio::musical
