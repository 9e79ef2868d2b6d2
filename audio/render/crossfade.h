// SPDX-License-Identifier: GPL-3.0-or-later
// Making a loop seamless when the track holds no seamless point: the frames
// just before the stop are blended, from the track's own, into the frames
// just before the start, so that what plays up to the jump is what leads
// into the start and the jump itself is a copy.
#pragma once

#include "audio/judge/seam_judge.h"
#include "core/seam_figures.h"

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrin::audio {

class AudioReader;

// How the two sides' gains move across a crossfade.
enum class CrossfadeCurve {
    EqualGain,  // gains add to 1: alike sides keep their level
    EqualPower, // squared gains add to 1: unrelated sides keep their loudness
};

// Sides correlating at least this much are alike enough that equal gains
// keep the level; below it, equal power avoids the dip of two unrelated
// sounds mixed at half gain each.
inline constexpr double kAlikeCorrelation = 0.5;

// One crossfade: the `frames` frames before `stop` are blended into the
// frames before `start`.
struct Crossfade {
    std::int64_t start = 0;
    std::int64_t stop = 0;
    std::int64_t frames = 0;
    CrossfadeCurve curve = CrossfadeCurve::EqualPower;
};

// Why no crossfade of `frames` can be made for the loop `start`..`stop` in
// a track of `total` frames at `sampleRate` (it would reach further than
// half the loop, or the start leaves fewer frames before it), in seconds and
// frames, or nullopt when it can.
std::optional<std::string> CrossfadeProblem(std::int64_t start, std::int64_t stop,
                                            std::int64_t frames, std::int64_t total,
                                            int sampleRate);

// The correlation, -1..1, of the `frames` frames before `stop` with those
// before `start` (every channel; 1 when both are silent).
double CrossfadeCorrelation(FrameSource& audio, std::int64_t start, std::int64_t stop,
                            std::int64_t frames);

// The curve for sides of `correlation`.
CrossfadeCurve CurveFor(double correlation);

// `correlation` rounded to the hundredths it is shown in, never rounded up
// onto kAlikeCorrelation: a figure shown as 0.50 is always one blended at
// equal gain.
inline double ShownCorrelation(double correlation) {
    const double shown = std::round(correlation * 100) / 100;
    return correlation < kAlikeCorrelation && shown >= kAlikeCorrelation
               ? std::floor(correlation * 100) / 100
               : shown;
}

// The gains of the track's own frame and of the frame before the start at
// frame `i` (0-based) of a crossfade `frames` long; the last frame is the
// frame before the start alone.
std::pair<double, double> CrossfadeGains(CrossfadeCurve curve, std::int64_t i, std::int64_t frames);

// A track as it plays once crossfaded, for judging before anything is
// written.
class CrossfadedSource final : public FrameSource {
public:
    CrossfadedSource(FrameSource& audio, const Crossfade& fade) : m_audio(audio), m_fade(fade) {}
    std::int64_t frames() const override { return m_audio.frames(); }
    int channels() const override { return m_audio.channels(); }
    std::int64_t append(std::int64_t from, std::int64_t to, std::vector<float>& out) override;
    int sampleRate() const override { return m_audio.sampleRate(); }

private:
    FrameSource& m_audio;
    Crossfade m_fade;
    std::vector<float> m_other;
};

// The judge's one verdict on the seam of the crossfaded track, as check will
// give it on the file once written (MeasureSeam): seamless as a copy, or as
// music where the copy is not close enough and no stop nearby is.
SeamFigures JudgeCrossfaded(FrameSource& audio, const Crossfade& fade);

// A crossfade chosen for a loop, with what made it.
struct CrossfadeChoice {
    Crossfade fade;
    double correlation = 0;
    SeamFigures figures;
};

// Crossfade lengths tried, shortest first, in milliseconds: from a few
// periods of a low note to a bar's fraction, long enough that even noise
// reaches the copy the judge asks for over its comparison window.
inline constexpr int kCrossfadeLengthsMs[] = {5, 10, 20, 50, 100, 200, 500, 1000, 2000};

// The crossfade of `frames` frames (its curve by the sides' correlation),
// judged.
CrossfadeChoice MeasureCrossfade(FrameSource& audio, std::int64_t start, std::int64_t stop,
                                 std::int64_t frames);

// The shortest of kCrossfadeLengthsMs (at `sampleRate`) that the loop has
// room for and after which the judge's one verdict (JudgeCrossfaded) calls
// the seam seamless, for the editor and render --crossfade alike; nullopt when
// none does. `tried` hears each length judged.
std::optional<CrossfadeChoice>
ChooseCrossfade(FrameSource& audio, std::int64_t start, std::int64_t stop, int sampleRate,
                const std::function<void(const CrossfadeChoice&)>& tried = {});

// What a crossfaded file is written as.
enum class CrossfadeOutput {
    // The container of the target's extension (RenderFormatFor), in the
    // source's own encoding where the container is the source's.
    ByExtension,
    // The source's own container and encoding, whatever the target is named:
    // the file replaces the source.
    AsTheSource,
};

// Writes `source` with `fade` applied into `target`, every frame outside the
// crossfade copied unchanged. Where the target is in the source's container
// and encoding, a WAVE or AIFF file is copied byte for byte and only the
// crossfaded frames' bytes are written anew, so that every chunk stays as it
// was; otherwise the file is written anew with a WAVE file's instrument
// (smpl) chunk and the text chunks libsndfile knows (title, artist, ...),
// Vorbis comments not carried. Through a temporary file as WriteAudioFile
// writes; an existing target is replaced only when `replace`. `progress`
// hears the share done, 0..1. Throws AudioError.
void WriteCrossfaded(const std::filesystem::path& source, const std::filesystem::path& target,
                     const Crossfade& fade, bool replace,
                     const std::function<void(double)>& progress = {},
                     CrossfadeOutput output = CrossfadeOutput::ByExtension);

} // namespace kestrin::audio
