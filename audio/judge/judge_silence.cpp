// SPDX-License-Identifier: GPL-3.0-or-later
// Step 1 of the seam judge. Takes the track and the loop; gives whether any
// audible frame follows the stop (music plays on, and the copies after the
// jump can be compared) and, where none does and the song had ended long
// before, the silence heard at the jump.
#include "audio/judge/judge_steps.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

namespace kestrin::audio::judge {

namespace {

// Samples no larger than one step of 24-bit audio are digital silence.
constexpr float kDigitalSilence = 1.0F / (1 << 23);
// Digital silence this long that runs to the end of the track is the music
// over, not a rest it holds before going on: 0.2 s, longer than the gap
// between the rows of any tempo a song keeps.
constexpr double kEndedSeconds = 0.2;
// Frames read at a time when walking through silence.
constexpr std::int64_t kSilenceChunk = 16384;

bool audible(const float* frame, int channels) {
    return std::any_of(frame, frame + channels,
                       [](float x) { return std::abs(x) > kDigitalSilence; });
}

} // namespace

std::int64_t firstAudible(FrameSource& audio, std::int64_t from, std::int64_t to) {
    const int ch = audio.channels();
    for (std::int64_t at = from; at < to; at += kSilenceChunk) {
        const Span span(audio, at, std::min(to, at + kSilenceChunk));
        for (std::int64_t t = span.from; t < span.to; ++t)
            if (audible(span.at(t), ch))
                return t;
        if (span.to < std::min(to, at + kSilenceChunk))
            break; // the file ends early: nothing more to hear
    }
    return to;
}

namespace {

// The frame after the last audible one in [from, to), or `from` when all is
// silent.
std::int64_t audibleEnd(FrameSource& audio, std::int64_t from, std::int64_t to) {
    const int ch = audio.channels();
    for (std::int64_t at = to; at > from; at -= kSilenceChunk) {
        const Span span(audio, std::max(from, at - kSilenceChunk), at);
        for (std::int64_t t = span.to; t > span.from; --t)
            if (audible(span.at(t - 1), ch))
                return t;
    }
    return from;
}

} // namespace

// Where digital silence runs from the stop to the end of the track and
// began at least kEndedSeconds before it, the music is over: wherever in
// that silence the stop lies, or at its edge when the start lies in silence
// before the music, the loop plays the song's end, silence and the music
// again. The frames of silence heard at the jump (those before the stop and
// those before the start's first sound); nullopt where the music goes on
// after the stop, where no silence is heard or the loop holds no sound.
// Requires that nothing audible follows the stop.
std::optional<std::int64_t> silenceOfTheEnd(FrameSource& audio, std::int64_t start,
                                            std::int64_t stop) {
    const std::int64_t n = audio.frames();
    const int rate = rateOf(audio);
    const auto ended = static_cast<std::int64_t>(kEndedSeconds * rate);
    const std::int64_t end = audibleEnd(audio, start, stop);
    if (end == start || n - end < ended)
        return std::nullopt;
    const std::int64_t silence = stop - end + firstAudible(audio, start, end) - start;
    return silence > 0 ? std::optional(silence) : std::nullopt;
}

} // namespace kestrin::audio::judge
