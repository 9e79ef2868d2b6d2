// SPDX-License-Identifier: GPL-3.0-or-later
// The text forms of a loop that other tools read and write: vgmstream
// playlists (.txtp) and audio editors' label tracks.
#pragma once

#include "core/positions.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrin {

// Text that holds no loop this program can read; what() says why.
class LoopTextError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Samples at 44,100 per second as seconds with 6 decimals, "-1.500000":
// enough to give back every sample when multiplied and rounded.
std::string LabelSeconds(std::int32_t samples);

// A vgmstream playlist playing `audio` (a file name, no control characters
// or '#') with the loop from `loop.start` to `loop.stop` in samples:
// "AUDIO #I START STOP\n".
std::string TxtpText(const std::string& audio, const PosValues& loop);

// One label region "START\tSTOP\tloop\n", in seconds (see LabelSeconds).
std::string LabelText(const PosValues& loop);

// A loop as a playlist gives it: the file it plays and the loop there. A
// value given in seconds or minutes:seconds is already in samples at 44,100
// per second (`inSamples` false); one given as a sample count is in the
// played file's own samples. A missing end is nullopt: the file's end.
struct TxtpLoop {
    std::string audio;
    std::int64_t start = 0;
    std::optional<std::int64_t> stop;
    bool inSamples = true; // both values are sample counts of the played file
};

// Reads the first "#I START [END]" of a playlist's text. Values follow
// vgmstream's rules: N samples, 0xN samples in hex, S.n seconds, M:S(.n)
// minutes and seconds. Throws LoopTextError when there is none or a value
// is none of these.
TxtpLoop ParseTxtp(std::string_view text);

// Reads the first label of a label track, "START\tSTOP[\tNAME]" in seconds,
// as samples at 44,100 per second, rounded to the nearest. A label of one
// point (START == STOP) is refused: it is no loop. Throws LoopTextError.
PosValues ParseLabels(std::string_view text);

} // namespace kestrin
