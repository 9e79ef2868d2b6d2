// SPDX-License-Identifier: GPL-3.0-or-later
// Loops where samplers and players look for them (a WAVE file's smpl chunk,
// an AIFF file's instrument), and tracks cut or extended along a loop.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace kestrin::audio {

// A loop as a sound file holds it: start and stop (the frame after the last
// one looped) in the file's own frames, and the file's rate.
struct FileLoop {
    std::int64_t start = 0;
    std::int64_t stop = 0;
    int sampleRate = 0;
};

// The first forward loop of the file's instrument (a WAVE file's smpl
// chunk, whose inclusive end libsndfile gives as the frame after it; an
// AIFF file's sustain loop), or nullopt when it has none. Throws AudioError
// when the file cannot be opened.
std::optional<FileLoop> ReadInstrumentLoop(const std::filesystem::path& path);

// Copies `source` (WAVE; other formats are refused, as libsndfile writes no
// instrument loop into them) frame for frame into `target` with one
// forward loop from `start` to `stop` in its instrument, keeping the
// instrument's other fields and the text chunks (title, artist, ...) that
// libsndfile knows. Written as WriteSpliced writes: sample-exact, through a
// temporary file, replacing `target` only when `replace`. Throws AudioError.
void WriteWithInstrumentLoop(const std::filesystem::path& source,
                             const std::filesystem::path& target, std::int64_t start,
                             std::int64_t stop, bool replace);

// Why the decoded audio of `a` and `b` differs (rate, channels, length or
// the first differing frame), or nullopt when every sample is the same;
// frames [skipFrom, skipTo) are not compared. Throws AudioError when either
// cannot be read.
std::optional<std::string> AudioDifference(const std::filesystem::path& a,
                                           const std::filesystem::path& b,
                                           std::int64_t skipFrom = 0, std::int64_t skipTo = 0);

// How an extended render ends.
enum class RenderEnding {
    Fade,  // the loop goes on to the end, fading out linearly over the last `fadeFrames`
    Outro, // whole loop passes, then the outro; silence fills what is left
};

// An extended render of a track: the intro (0..start), the loop
// (start..stop) repeated, then the ending, `frames` long in all.
struct ExtendPlan {
    std::int64_t start = 0;
    std::int64_t stop = 0;
    std::int64_t frames = 0;
    RenderEnding ending = RenderEnding::Fade;
    std::int64_t fadeFrames = 0;
};

// Whether `frames` of `channels` samples of `bytesPerSample` fit a
// container whose sizes are 32-bit (WAVE, AIFF), with room for its header.
bool FitsIn32BitContainer(std::int64_t frames, int channels, int bytesPerSample);

// The libsndfile format bits for a new file named `target`, by its
// extension (.wav, .aif/.aiff, .flac, .ogg/.oga), holding `frames` of
// samples as `source` delivers them; nullopt for an extension none of
// these. A .wav too large for 32-bit sizes becomes RF64 (a WAVE with 64-bit
// sizes); an AIFF that large is refused with AudioError.
std::optional<int> RenderFormatFor(const std::filesystem::path& target,
                                   const std::filesystem::path& source, std::int64_t frames);

// Writes `plan` rendered from `source` into `target` (format by extension,
// see RenderFormatFor), exactly `plan.frames` frames long; the loop's frames
// are copied without change outside the fade. `progress` hears the share
// done, 0..1, now and then. Written through a temporary file as
// WriteAudioFile writes. Throws AudioError, also for a plan that does not
// fit the source or a fade longer than the render.
void RenderExtended(const std::filesystem::path& source, const std::filesystem::path& target,
                    const ExtendPlan& plan, bool replace,
                    const std::function<void(double)>& progress = {});

} // namespace kestrin::audio
