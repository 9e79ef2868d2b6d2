// SPDX-License-Identifier: GPL-3.0-or-later
// The text forms of a loop that other tools read and write: vgmstream
// playlists (.txtp) and audio editors' label tracks.
#pragma once

#include "core/positions.h"

#include <cstdint>
#include <functional>
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

// Samples at `rate` per second (44,100, a POS file's, unless the positions
// are frames of audio at another rate) as seconds with 6 decimals,
// "-1.500000": enough to give back every sample when multiplied and rounded.
std::string LabelSeconds(std::int32_t samples, int rate = SamplesPerSecond);

// A vgmstream playlist playing `audio` (a file name, no control characters
// or '#') with the loop from `loop.start` to `loop.stop` in samples:
// "AUDIO #I START STOP\n".
std::string TxtpText(const std::string& audio, const PosValues& loop);

// One label region "START\tSTOP\tloop\n", in seconds (see LabelSeconds).
std::string LabelText(const PosValues& loop, int rate = SamplesPerSecond);

// A loop as a playlist gives it: the file it plays and the loop there. A
// value given in seconds or minutes:seconds is already in samples at the rate
// ParseTxtp was given (`inSamples` false); one given as a sample count is in the
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
TxtpLoop ParseTxtp(std::string_view text, int rate = SamplesPerSecond);

// At most the first 80 characters of `text` for an error message, control
// bytes and NUL written as \xHH, "..." added when it was longer: a hostile
// line can neither flood a message nor cut it short.
std::string QuotedExcerpt(std::string_view text);

// Reads the first label of a label track, "START\tSTOP[\tNAME]" in seconds,
// as samples at `rate` per second, rounded to the nearest. A label of one
// point (START == STOP) is refused: it is no loop. Throws LoopTextError.
PosValues ParseLabels(std::string_view text, int rate = SamplesPerSecond);

// A loop read from comments (LOOPSTART with LOOPLENGTH, or LOOP_START with
// LOOP_END, the frame after the last one looped), in the file's frames.
struct CommentLoop {
    std::int64_t start = 0;
    std::int64_t stop = 0;
    bool lengthNaming = true; // LOOPSTART/LOOPLENGTH
};

// The loop in the comments `value(KEY)` gives (the first value of KEY, or
// nullopt), LOOPSTART first; nullopt when neither naming is there. Throws
// LoopTextError when a value is not a whole non-negative number of samples or
// the two make no loop, a sum past the 64-bit range included.
std::optional<CommentLoop>
ParseLoopComments(const std::function<std::optional<std::string>(const char* key)>& value);

// `start`..`stop` of another tool, counted at `rate` per second, as POS
// positions. Throws LoopTextError saying why, worded to follow the source's
// name ("counts its loop in samples at 48000 Hz; ...", "holds the loop ...") when it is no loop a
// player can take: another rate than 44,100, a stop not after the start, a value past the signed
// 32-bit range. A negative start is allowed; PositionProblems names it.
PosValues ImportedLoop(std::int64_t start, std::int64_t stop, int rate);

} // namespace kestrin
