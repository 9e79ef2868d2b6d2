// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/position_argument.h"

#include "core/positions.h"

#include <cmath>
#include <regex>
#include <string>

namespace kestrin::cli {

namespace {

const std::regex kSamples(R"([+-]?[0-9]+)");
const std::regex kSeconds(R"(([+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?)s)");
const std::regex kClock(R"(([+-]?)([0-9]+):([0-9]+(\.[0-9]*)?))");

std::int32_t positionOfSeconds(const std::string& secondsText) {
    // What the editor does with typed seconds and then Save.
    return PositionFromSampleText(SampleTextFromSecondsText(secondsText));
}

} // namespace

std::int32_t ParsePositionArgument(std::string_view text) {
    const std::string s(text);
    if (s.size() > 64)
        throw ArgumentError("position \"" + s.substr(0, 64) + "...\" is too long");
    std::smatch m;
    if (std::regex_match(s, kSamples)) {
        // Whole numbers of any length: ParseNumber reads them exactly up to
        // 2^53, far past the 32-bit range that RoundToInt32 enforces.
        return PositionFromSampleText(s);
    }
    if (std::regex_match(s, m, kSeconds))
        return positionOfSeconds(m[1].str());
    if (std::regex_match(s, m, kClock)) {
        const double minutes = ParseNumber(m[2].str());
        const double seconds = ParseNumber(m[3].str());
        if (seconds >= 60.0)
            throw ArgumentError("position \"" + s + "\": the seconds after ':' must be below 60");
        const double total = minutes * 60.0 + seconds;
        // Appending rather than prepending to a temporary keeps GCC 12's
        // -Wrestrict at -O3 from seeing an overlap in string concatenation.
        std::string secondsText(m[1].str() == "-" ? "-" : "");
        secondsText += FormatNumber(total);
        return positionOfSeconds(secondsText);
    }
    throw ArgumentError("position \"" + s +
                        "\" is not a sample count (66150), seconds (1.5s) or minutes:seconds "
                        "(01:30, 1:30.25)");
}

namespace {

// std::regex recurses once per character it matches: longer texts are
// refused before matching. Far more than any real duration needs.
constexpr std::size_t kLongestDuration = 32;

std::string boundedDuration(std::string_view text) {
    if (text.size() > kLongestDuration)
        throw ArgumentError("duration \"" + std::string(text.substr(0, kLongestDuration)) +
                            "...\" is too long");
    return std::string(text);
}

} // namespace

double ParseDurationArgument(std::string_view text) {
    static const std::regex kDuration(R"(([0-9]+\.?[0-9]*|\.[0-9]+)(s|ms)?)");
    const std::string s = boundedDuration(text);
    std::smatch m;
    if (!std::regex_match(s, m, kDuration))
        throw ArgumentError("duration \"" + s +
                            "\" is not a number of seconds (3, 0.5, 2s) or milliseconds (50ms)");
    const double number = ParseNumber(m[1].str());
    return m[2].str() == "ms" ? number / 1000 : number;
}

double ParseClockDurationArgument(std::string_view text) {
    static const std::regex kClock(R"((?:([0-9]+):)?([0-9]+):([0-9]+(?:\.[0-9]*)?))");
    const std::string s = boundedDuration(text);
    std::smatch m;
    if (!std::regex_match(s, m, kClock))
        return ParseDurationArgument(s);
    const double minutes = ParseNumber(m[2].str());
    const double seconds = ParseNumber(m[3].str());
    if (seconds >= 60 || (m[1].matched && minutes >= 60))
        throw ArgumentError("duration \"" + s + "\": minutes and seconds must be below 60");
    return (m[1].matched ? ParseNumber(m[1].str()) * 3600 : 0) + minutes * 60 + seconds;
}

} // namespace kestrin::cli
