// SPDX-License-Identifier: GPL-3.0-or-later
// What players make of a pair of positions: the loops they drop or cut,
// worded the same for check (a problem) and set (a warning).
#pragma once

#include "positions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrin::cli {

// The problems of the positions alone, in the order a reader fixes them: a
// negative start, a stop not after the start. `hasStart`/`hasStop` say
// whether the file holds the bytes of each (a short file may not).
std::vector<std::string> PositionProblems(const PosValues& values, bool hasStart = true,
                                          bool hasStop = true);

// The problem of a stop past the end of audio `frames` long (samples per
// channel); nullopt when the stop is within it.
std::optional<std::string> StopBeyondAudioProblem(std::int32_t stop, std::int64_t frames);

} // namespace kestrin::cli
