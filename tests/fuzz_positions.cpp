// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: any byte string through the number parse and every
// conversion built on it. Nothing may crash, read out of bounds or produce a
// text that reads "inf" or "nan".
#include "core/positions.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto check = [](const std::string& out) {
        if (out.find_first_of("infa") != std::string::npos)
            std::abort();
    };
    try {
        const double v = kestrin::ParseNumber(text);
        if (!std::isfinite(v))
            std::abort();
        check(kestrin::FormatNumber(v));
        check(kestrin::FormatTwoDigits(v));
        check(kestrin::SampleTextFromSecondsText(text));
    } catch (const kestrin::OverflowError&) {
    }
    try {
        const std::int32_t p = kestrin::PositionFromSampleText(text);
        check(kestrin::ClockText(p));
        check(kestrin::SecondsText(p));
        check(kestrin::SampleTextFromSliderValue(kestrin::SliderValueOfPosition(p)));
    } catch (const kestrin::OverflowError&) {
    }
    return 0;
}
