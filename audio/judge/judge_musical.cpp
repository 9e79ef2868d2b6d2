// SPDX-License-Identifier: GPL-3.0-or-later
// Step 5 of the seam judge, for a loop between two renditions of a passage.
// Takes the continuity of step 3 and the spectra of step 4; gives the
// verdict on how a listener hears the jump.
#include "audio/judge/judge_steps.h"

#include "audio/dsp/autocorrelation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrin::audio::judge {

namespace {

// Steps of the musical verdict over the largest sample-to-sample change
// nearby that still pass: twice it, as a waveform crossing its own extreme
// slope meets another at a different phase.
constexpr double kMusicalStepFactor = 2.0;

// Frames on each side of the jump whose sample-to-sample changes set the
// step limit: 3 ms, a period of most of the bass.
constexpr std::int64_t kMusicalStepFrames = 128;

// Peaks of two renditions of one chord correlate at least this much on the
// closer side of the jump: on the test songs 0.7 to 1, in those real songs
// from 0.39 (the melody or the voicing moved over the same chord) to 0.97,
// while random places of the same songs correlate 0.16 at the median and
// under 0.44 nine times in ten, and noise about 0. With the band levels
// above, a random pair hardly passes both.
constexpr double kMusicalTonalLikeness = 0.35;

// The largest sample-to-sample change among the kMusicalStepFrames frames
// before `stop` and after `start`, their RMS (the music's own change), and
// the step across the jump.
struct Steps {
    double nearby = 0;
    double typical = 0;
    double jump = 0;
};

Steps musicalSteps(FrameSource& audio, std::int64_t start, std::int64_t stop) {
    Steps steps;
    const Span before(audio, stop - kMusicalStepFrames, stop);
    const Span after(audio, start, start + kMusicalStepFrames);
    const int ch = audio.channels();
    double squares = 0;
    std::int64_t changes = 0;
    auto largestChange = [&](const Span& s) {
        double largest = 0;
        for (std::int64_t t = s.from + 1; t < s.to; ++t)
            for (int c = 0; c < ch; ++c) {
                const double d = std::abs(s.at(t)[c] - s.at(t - 1)[c]);
                largest = std::max(largest, d);
                squares += d * d;
                ++changes;
            }
        return largest;
    };
    steps.nearby = std::max(largestChange(before), largestChange(after));
    steps.typical = changes > 0 ? std::sqrt(squares / static_cast<double>(changes)) : 0.0;
    if (before.to > before.from && after.to > after.from)
        for (int c = 0; c < ch; ++c)
            steps.jump =
                std::max<double>(steps.jump, std::abs(after.at(start)[c] - before.at(stop - 1)[c]));
    return steps;
}

} // namespace

// The musical verdict of the header, for a seam whose copy is not exact.
void judgeMusically(FrameSource& audio, std::int64_t start, std::int64_t stop,
                    const Seam::Continuity& continuity, SeamFigures& figures) {
    figures.musical = true;
    const Steps steps = musicalSteps(audio, start, stop);
    figures.jump = steps.jump;
    if (steps.jump >= kInaudibleError && steps.jump > kMusicalStepFactor * steps.nearby) {
        figures.sound = SeamSound::Click;
        return;
    }
    // A junction the predictor cannot follow is no click when the spectrum
    // goes on (below) and its step is one the music takes itself there: its
    // step from where the music was heading no larger than the music's RMS
    // change from sample to sample, or the step across the jump no larger
    // than the largest change the music makes on either side. Two renditions
    // never meet in phase, and a predictor fitted to the tones before the
    // jump amplifies that into a kink; loud, bright music hides a step no
    // larger than its own.
    const bool buried = continuity.junction <= steps.typical || steps.jump <= steps.nearby;
    if (figures.kink >= kClickKink && !buried) {
        figures.sound = SeamSound::Click;
        return;
    }
    // After the jump and before it: a side that passes both measures makes
    // the seam seamless (the one whose tones are most alike is reported);
    // with none, the side whose levels are closer is.
    figures.spectralDb = -1.0;
    figures.tonalLikeness = -1.0;
    bool passes = false;
    for (const std::int64_t back : {std::int64_t{0}, kMusicalSpectrumFrames}) {
        const auto a = spectrumAt(audio, start - back);
        const auto b = spectrumAt(audio, stop - back);
        if (!a || !b)
            continue;
        const double db = spectralDistance(a->bands, b->bands);
        if (db < 0)
            continue;
        const double tonal = Correlation(a->peaks, b->peaks);
        const bool pass = db <= kMusicalSpectralDb && tonal >= kMusicalTonalLikeness;
        const bool better = pass ? !passes || tonal > figures.tonalLikeness
                                 : !passes && (figures.spectralDb < 0 || db < figures.spectralDb);
        if (better) {
            figures.spectralDb = db;
            figures.tonalLikeness = tonal;
            passes = passes || pass;
        }
    }
    if (figures.kink >= kClickKink && !passes) {
        figures.sound = SeamSound::Click;
        return;
    }
    figures.sound = !continuity.cut && passes ? SeamSound::Seamless : SeamSound::Soft;
    if (figures.sound == SeamSound::Seamless && changesAcross(audio, start, stop, figures))
        figures.sound = SeamSound::Soft;
    // Alike spectra weigh a note as one band among many: a bright one the
    // track holds on past the stop, gone after the start, is heard to stop.
    if (figures.sound == SeamSound::Seamless) {
        if (const std::optional<double> hz = cutHeldNote(audio, start, stop)) {
            figures.sound = SeamSound::Soft;
            figures.cutNoteHz = *hz;
        }
    }
    // The beat must go on across the jump: music that sounds alike but
    // comes in early or late stumbles.
    if (figures.sound == SeamSound::Seamless)
        checkBeat(audio, start, stop, figures);
}

} // namespace kestrin::audio::judge
