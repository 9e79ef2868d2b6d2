// SPDX-License-Identifier: GPL-3.0-or-later
// Loop points in the Vorbis comments of Ogg, FLAC and Opus files, as game
// engines and players read them, through TagLib.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrin::cli {

// The two namings of loop comments: LOOPSTART with LOOPLENGTH, or
// LOOP_START with LOOP_END (the frame after the last one looped).
enum class LoopTagNames { StartLength, StartEnd };

// A loop read from comments, in the file's own frames at `sampleRate`.
struct TagLoop {
    std::int64_t start = 0;
    std::int64_t stop = 0;
    int sampleRate = 0;
    LoopTagNames names = LoopTagNames::StartLength;
};

// True for the files whose loop lives in comments: .ogg, .oga, .flac, .opus.
bool HoldsLoopTags(const std::filesystem::path& audio);

// The loop in the comments of `audio` (either naming, LOOPSTART first), or
// nullopt when it has none. Throws std::runtime_error naming the file when
// TagLib cannot read it or a value is not a whole number of samples.
std::optional<TagLoop> ReadLoopTags(const std::filesystem::path& audio);

// Copies `source` to `target` with the loop's comments set in `names` (the
// other naming's comments removed), through a temporary file in the
// target's folder that is flushed and renamed; an existing target is
// replaced only when `replace`. The audio packets are not touched. Throws
// std::runtime_error naming the file.
void WriteLoopTags(const std::filesystem::path& source, const std::filesystem::path& target,
                   std::int64_t start, std::int64_t stop, LoopTagNames names, bool replace);

} // namespace kestrin::cli
