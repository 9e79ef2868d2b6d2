// SPDX-License-Identifier: GPL-3.0-or-later
// Positions as written on a command line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace kestrin::cli {

// A position argument that is not one of the accepted forms.
class ArgumentError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Reads a position given as
//   a whole sample count   "66150", "-5" (a bare number is always samples),
//   seconds with a unit    "1.5s", "2.5e1s", "-0.25s",
//   minutes:seconds        "01:30", "1:30.25", "-1:30" (seconds below 60).
// Seconds go through the same text rules as typing them into the editor and
// saving: the sample text of the seconds, rounded half to even. Throws
// ArgumentError for any other text and OverflowError for a position outside
// the signed 32-bit range.
std::int32_t ParsePositionArgument(std::string_view text);

// Reads a non-negative duration in seconds ("3", "0.5", "2s") or
// milliseconds ("50ms"), as seconds. Throws ArgumentError otherwise.
double ParseDurationArgument(std::string_view text);

// Reads a non-negative duration as seconds (see ParseDurationArgument) or as
// a clock, "M:SS" or "H:MM:SS" with a fraction allowed on the seconds and
// minutes and seconds below 60 ("3:30:00", "1:05.5"). The text is bounded
// before any pattern sees it. Throws ArgumentError naming the text.
double ParseClockDurationArgument(std::string_view text);

} // namespace kestrin::cli
