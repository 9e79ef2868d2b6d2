// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/clock_text.h"

#include "core/positions.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kestrin {

std::string GroupedText(std::int64_t value) {
    const std::string digits = std::to_string(value < 0 ? -(value + 1) + 1ull : value + 0ull);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    if (value < 0)
        text.insert(text.begin(), '-');
    return text;
}

std::string ClockText(std::int64_t frames, int sampleRate) {
    const double rate = sampleRate > 0 ? sampleRate : SamplesPerSecond;
    const std::int64_t ms = std::llround(static_cast<double>(frames) * 1000.0 / rate);
    const std::int64_t whole = std::llabs(ms);
    const std::int64_t seconds = whole / 1000 % 60;
    const std::int64_t millis = whole % 1000;
    char text[48];
    std::snprintf(text, sizeof text, "%s%02lld:%02lld.%03lld", ms < 0 ? "-" : "",
                  static_cast<long long>(whole / 60000), static_cast<long long>(seconds),
                  static_cast<long long>(millis));
    return text;
}

} // namespace kestrin
