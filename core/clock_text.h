// SPDX-License-Identifier: GPL-3.0-or-later
// Numbers and times as messages show them, whatever the user's locale.
#pragma once

#include <cstdint>
#include <string>

namespace kestrin {

// `value` with a comma between each group of three digits ("3,527,999").
std::string GroupedText(std::int64_t value);

// `frames` at `sampleRate` per second as minutes:seconds with milliseconds
// ("01:20.000"); a rate of 0 or below reads as 44,100.
std::string ClockText(std::int64_t frames, int sampleRate);

} // namespace kestrin
