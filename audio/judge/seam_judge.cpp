// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict of seam_judge.h: asks the steps of judge_steps.h in turn,
// each in its file, and stops at the first that decides.
#include "audio/judge/seam_judge.h"

#include "audio/judge/judge_steps.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace kestrin::audio {

namespace judge {

namespace {

// A copy this close is the same audio: rounding, not a difference.
constexpr double kExactScore = 1e-9;
// The seam may differ this much more than the loop's own repeat does.
constexpr double kNoiseFactor = 3.0;
// Copies this much apart in level are not one repeat through a codec: the
// gain codec noise lends a window of music stays well below 0.4 dB.
constexpr double kLevelTolerance = 0.05;

// Verdict 2 of the header: a copy within the noise of the loop's own repeat
// is seamless. Codec noise is not correlated with the music; copies at
// another level (a tremolo caught at another phase) are.
bool withinCodecNoise(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamMode mode,
                      const Seam& seam, const Seam::Copies& copies, SeamFigures& figures) {
    const double best = *copies.best();
    if (!(best < kCodecCeiling && std::abs(copies.gain() - 1) <= kLevelTolerance))
        return false;
    figures.noise = repeatNoise(audio, start, stop);
    const double limit =
        figures.noise < 0 ? NoisySeamlessScore
                          : std::clamp(kNoiseFactor * figures.noise, SeamlessScore, kCodecCeiling);
    // Two renditions can meet as closely as codec noise where a drum
    // hit repeats, yet jump between their tones: as music, a kink
    // decides. Nor does codec noise stop a bright note the track holds.
    if (best < limit && (mode == SeamMode::Exact || figures.kink < kClickKink) &&
        copyBandsAlike(audio, start, stop, copies) && !cutHeldNote(audio, start, stop)) {
        figures.lowestNearby = seam.lowestNearby(stop, best);
        return figures.lowestNearby;
    }
    return false;
}

// Verdict 3 of the header: nothing after the stop to say what would have
// played, so the junction alone tells. Asked as music, it is music's
// verdict: no copy vouched.
void withNothingAfter(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamMode mode,
                      const Seam::Continuity& continuity, SeamFigures& figures) {
    figures.musical = mode == SeamMode::Musical;
    figures.compared = false;
    figures.score = 1.0;
    figures.jump = continuity.step;
    // After a fade to silence the predictor knows nothing of the music
    // that comes back: the jump is heard as the music restarting.
    if (restarts(audio, start, stop, figures))
        figures.sound = SeamSound::Soft;
    else if (continuity.kink >= kClickKink)
        figures.sound = SeamSound::Click;
    else if (continuity.cut)
        figures.sound = SeamSound::Soft;
    else
        figures.sound = SeamSound::Seamless;
    // Nor does the predictor know the beat: a track that ends off its
    // own bar comes back early or late.
    if (figures.sound == SeamSound::Seamless)
        checkBeat(audio, start, stop, figures);
}

SeamFigures verdict(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamMode mode) {
    SeamFigures figures;
    // Only silence after the stop: the music is over there, and the silence
    // says nothing of how the jump sounds. It is judged as the stop at the
    // end of the track is.
    const bool playsOn = firstAudible(audio, stop, audio.frames()) < audio.frames();
    // Silence after the song's end copies the silence before its start,
    // and no junction stands out of it: the song still ends and begins again.
    if (const std::optional<std::int64_t> silence =
            playsOn ? std::nullopt : silenceOfTheEnd(audio, start, stop)) {
        figures.compared = false;
        figures.restarts = true;
        figures.sound = SeamSound::Soft;
        figures.silenceSeconds = static_cast<double>(*silence) / rateOf(audio);
        return figures;
    }
    const Seam seam(audio, start, stop, playsOn);
    const Seam::Copies copies = seam.copies(stop);
    const Seam::Continuity continuity = seam.continuity(stop);
    figures.kink = continuity.kink;
    figures.kinkFromBefore = continuity.kinkFromBefore;
    const std::optional<double> best = copies.best();
    figures.compared = best.has_value();
    figures.score = best.value_or(1.0);
    figures.jump = best ? copies.jump : continuity.step;
    if (best && (*best < kExactScore ||
                 withinCodecNoise(audio, start, stop, mode, seam, copies, figures))) {
        figures.sound = SeamSound::Seamless;
        return figures;
    }
    if (mode == SeamMode::Musical && playsOn)
        judgeMusically(audio, start, stop, continuity, figures);
    else if (!copies.after)
        withNothingAfter(audio, start, stop, mode, continuity, figures);
    else
        figures.sound = continuity.kink < kClickKink ? SeamSound::Soft : SeamSound::Click;
    return figures;
}

} // namespace

} // namespace judge

// A loop whose jump comes back this often per second or more is heard as a
// tone of its own, a buzz, unless the jump cannot be heard at all: 20 times
// a second is where the ear fuses repeats into pitch (loops under 50 ms).
constexpr double kBuzzRate = 20.0;

SeamFigures JudgeSeam(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamMode mode) {
    SeamFigures figures;
    if (start < 0 || stop <= start || stop > audio.frames() || audio.channels() <= 0)
        return figures;
    // Spectra of windows that overlap across the jump are alike whatever
    // the seam: a loop shorter than them is judged as a copy.
    if (stop - start < judge::kMusicalSpectrumFrames)
        mode = SeamMode::Exact;
    figures = judge::verdict(audio, start, stop, mode);
    const double repeats = audio.sampleRate() / static_cast<double>(stop - start);
    if (!IsSeamless(figures) && repeats >= kBuzzRate) {
        figures.sound = SeamSound::Click;
        figures.buzzHz = repeats;
    }
    return figures;
}

SeamFigures JudgeSeam(const AudioSamples& audio, std::int64_t start, std::int64_t stop,
                      SeamMode mode) {
    SamplesSource source(audio);
    return JudgeSeam(source, start, stop, mode);
}

bool WholeTrackLoopHolds(const SeamFigures& figures) {
    return IsSeamless(figures) && figures.kinkFromBefore < kClickKink;
}

} // namespace kestrin::audio
