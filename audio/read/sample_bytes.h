// SPDX-License-Identifier: GPL-3.0-or-later
// Where a WAVE or AIFF file keeps its sample bytes among its chunks, so that
// a change to some frames can rewrite just those bytes and keep every other
// chunk (cue points, labels, broadcast and iXML metadata) as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kestrin::audio {

// A run of bytes in a file.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// The bytes of the sample data of a RIFF, RIFX or RF64 WAVE file (its "data"
// chunk) or of an AIFF or AIFC file (its "SSND" chunk after the offset the
// chunk gives); nullopt for another container, a chunk list that runs past
// the end of the file, or a file that cannot be read.
std::optional<ByteRange> SampleBytesOf(const std::filesystem::path& file);

} // namespace kestrin::audio
