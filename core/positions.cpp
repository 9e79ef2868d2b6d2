// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/positions.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <system_error>

namespace kestrin {

namespace {

bool isSkipped(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}
bool isDigit(char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}

// Past these decimal exponents a value 0.DDD x 10^E certainly overflows a
// double or certainly rounds to zero; in between from_chars decides.
constexpr std::int64_t kOverflowExponent = 310;
constexpr std::int64_t kUnderflowExponent = -330;
constexpr std::int64_t kExponentCap = 1'000'000'000;

// The leading number of a text, taken apart as sign x 0.<significant digits>
// x 10^exponent. Leading zeros only move the exponent.
struct Scanned {
    bool found = false; // at least one mantissa digit
    bool negative = false;
    std::size_t count = 0;      // significant digits
    std::uint64_t mantissa = 0; // the first 19 of them
    std::int64_t exponent = 0;
};

// One pass over the text; `onDigit` sees every significant digit in order.
template <class OnDigit> Scanned scan(std::string_view text, OnDigit&& onDigit) {
    const char* p = text.data();
    const char* const end = p + text.size();
    auto peek = [&]() -> char {
        while (p != end && isSkipped(*p))
            ++p;
        return p != end ? *p : '\0';
    };

    Scanned out;
    char c = peek();
    if (c == '+' || c == '-') {
        out.negative = c == '-';
        ++p;
    }
    bool afterPoint = false;
    for (c = peek();; c = peek()) {
        if (isDigit(c)) {
            out.found = true;
            if (out.count == 0 && c == '0') {
                out.exponent -= afterPoint ? 1 : 0;
                ++p;
                continue;
            }
            // A run of significant digits, the common case, without re-peeking.
            const char* const run = p;
            while (p != end && isDigit(*p)) {
                if (out.count < 19)
                    out.mantissa = out.mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
                ++out.count;
                onDigit(*p);
                ++p;
            }
            if (!afterPoint)
                out.exponent += p - run;
            continue;
        } else if (c == '.' && !afterPoint) {
            afterPoint = true;
        } else {
            break;
        }
        ++p;
    }
    if (!out.found || (c != 'e' && c != 'E'))
        return out;

    ++p;
    bool expNegative = false;
    c = peek();
    if (c == '+' || c == '-') {
        expNegative = c == '-';
        ++p;
    }
    std::int64_t value = 0;
    for (c = peek(); isDigit(c); c = peek()) {
        if (value < kExponentCap)
            value = value * 10 + (c - '0');
        ++p;
    }
    // A marker without digits leaves value at 0, which changes nothing.
    out.exponent += expNegative ? -value : value;
    return out;
}

// The value when one correctly rounded double operation gives it exactly:
// mantissa and power of ten both exact (Clinger's fast path).
std::optional<double> exactValue(const Scanned& s) {
    static constexpr std::array<double, 23> powers{1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (s.count > 19 || s.mantissa > (std::uint64_t{1} << 53))
        return std::nullopt;
    const std::int64_t scale = s.exponent - static_cast<std::int64_t>(s.count);
    if (scale < -22 || scale > 22)
        return std::nullopt;
    const auto mantissa = static_cast<double>(s.mantissa);
    return scale < 0 ? mantissa / powers[static_cast<std::size_t>(-scale)]
                     : mantissa * powers[static_cast<std::size_t>(scale)];
}

} // namespace

double ParseNumber(std::string_view text) {
    const Scanned s = scan(text, [](char) {});
    if (!s.found)
        return 0.0;
    const double zero = s.negative ? -0.0 : 0.0;
    if (s.count == 0 || s.exponent < kUnderflowExponent)
        return zero;
    if (s.exponent > kOverflowExponent)
        throw OverflowError("number beyond the double range");
    if (const auto quick = exactValue(s))
        return s.negative ? -*quick : *quick;

    // Long or extreme numbers: hand all the digits to from_chars, which rounds
    // correctly however many there are.
    std::string normal = "0.";
    normal.reserve(s.count + 24);
    scan(text, [&](char digit) { normal += digit; });
    normal += 'e';
    normal += std::to_string(s.exponent);
    double result = 0.0;
    auto [ptr, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), result);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        if (s.exponent > 0)
            throw OverflowError("number beyond the double range");
        return zero;
    }
    return s.negative ? -result : result;
}

std::string FormatNumber(double value) {
    if (!std::isfinite(value))
        throw OverflowError("number is not finite");
    if (value == 0.0)
        return "0";

    // Scientific form with 14 digits after the point is exactly the value
    // rounded to 15 significant digits: "-d.ddddddddddddddde+XX".
    std::array<char, 40> buf{};
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                             std::chars_format::scientific, 14);
    std::string_view sci(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));

    const bool negative = sci.front() == '-';
    if (negative)
        sci.remove_prefix(1);
    const std::size_t ePos = sci.find('e');
    int exponent = 0;
    std::from_chars(sci.data() + ePos + 1 + (sci[ePos + 1] == '+'), sci.data() + sci.size(),
                    exponent);

    std::array<char, 16> digits{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < ePos; ++i)
        if (sci[i] != '.')
            digits[count++] = sci[i];
    while (count > 1 && digits[count - 1] == '0')
        --count;

    std::string out;
    out.reserve(24);
    if (negative)
        out += '-';
    if (exponent >= -4 && exponent <= 14) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out.append(digits.data(), count);
        } else {
            const auto whole = static_cast<std::size_t>(exponent) + 1;
            if (count <= whole) {
                out.append(digits.data(), count);
                out.append(whole - count, '0');
            } else {
                out.append(digits.data(), whole);
                out += '.';
                out.append(digits.data() + whole, count - whole);
            }
        }
    } else {
        out += digits[0];
        if (count > 1) {
            out += '.';
            out.append(digits.data() + 1, count - 1);
        }
        out += 'E';
        out += exponent < 0 ? '-' : '+';
        const int magnitude = std::abs(exponent);
        if (magnitude < 10)
            out += '0';
        out += std::to_string(magnitude);
    }
    return out;
}

std::string IntegerText(std::int32_t value) {
    std::array<char, 16> buf{};
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value);
    return std::string(buf.data(), res.ptr);
}

std::int32_t RoundToInt32(double value) {
    if (!std::isfinite(value))
        throw OverflowError("number is not finite");
    // Explicit ties-to-even, independent of the floating-point rounding mode.
    const double below = std::floor(value);
    const double fraction = value - below;
    double rounded = below;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(below, 2.0) != 0.0))
        rounded = below + 1.0;
    if (rounded < -2147483648.0 || rounded > 2147483647.0)
        throw OverflowError("number outside the 32-bit integer range");
    return static_cast<std::int32_t>(rounded);
}

double Fix(double value) {
    return std::trunc(value);
}

std::string FormatTwoDigits(double value) {
    if (!std::isfinite(value))
        throw OverflowError("number is not finite");
    const double rounded = std::round(value);
    if (rounded == 0.0)
        return "00";
    std::array<char, 400> buf{};
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), std::fabs(rounded),
                             std::chars_format::fixed, 0);
    std::string digits(buf.data(), res.ptr);
    if (digits.size() < 2)
        digits.insert(0, 1, '0');
    return rounded < 0 ? "-" + digits : digits;
}

double SecondsOfPosition(std::int32_t position) {
    return position / double{SamplesPerSecond};
}

std::string SecondsText(std::int32_t position) {
    return FormatNumber(SecondsOfPosition(position));
}

std::int32_t SliderValueOfPosition(std::int32_t position) {
    return RoundToInt32(SecondsOfPosition(position));
}

std::string SampleTextFromSliderValue(std::int32_t sliderValue) {
    std::int32_t samples = 0;
    if (__builtin_mul_overflow(sliderValue, SamplesPerSecond, &samples))
        throw OverflowError("sample count outside the 32-bit integer range");
    return IntegerText(samples);
}

std::string SampleTextFromSecondsText(std::string_view secondsText) {
    return FormatNumber(ParseNumber(secondsText) * double{SamplesPerSecond});
}

std::int32_t PositionFromSampleText(std::string_view sampleText) {
    return RoundToInt32(ParseNumber(sampleText));
}

std::string ClockText(std::int32_t position) {
    const double minutes = SecondsOfPosition(position) / 60.0;
    const double whole = Fix(minutes);
    const double rest = std::fabs(minutes - whole) * 60.0;
    std::string text = FormatTwoDigits(whole);
    // Fix leaves a negative zero here, which the two-digit form would show
    // as a positive "00"; the position is negative and must read so.
    if (position < 0 && whole == 0.0)
        text.insert(0, 1, '-');
    text += ':';
    text += FormatTwoDigits(rest);
    return text;
}

} // namespace kestrin
