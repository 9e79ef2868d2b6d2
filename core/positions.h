// SPDX-License-Identifier: GPL-3.0-or-later
// Positions of a POS file and the exact text forms the editor shows for them.
//
// Every text here is locale-free: the decimal point is always ".", whatever
// LC_NUMERIC the process runs with.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrin {

// Audio samples per second of every position. Every conversion between
// samples and seconds uses it: as an integer when a slider value becomes a
// sample count, as a double (44100.0) in every division and product.
inline constexpr std::int32_t SamplesPerSecond = 44100;

// The sliders' range in whole seconds is 0..SliderMaximum.
inline constexpr std::int32_t SliderMaximum = 600;

// The start and stop positions in samples, in file order. Nothing relates the
// two: stop may lie below start and either may be negative.
struct PosValues {
    std::int32_t start = 0;
    std::int32_t stop = 0;

    friend bool operator==(const PosValues&, const PosValues&) = default;
};

// Raised when a value does not fit where it has to go: a rounding outside the
// signed 32-bit range, a number text beyond the double range, or a result that
// is not a finite double. Callers that resume with their next step catch
// exactly this type.
class OverflowError : public std::overflow_error {
public:
    using std::overflow_error::overflow_error;
};

// The leading number of `text` (UTF-8). Blanks, tabs and line feeds are
// skipped wherever they stand (" 1 2" is 12); any other character ends the
// number, and the rest of the text is ignored. Accepts an optional sign,
// digits with at most one "." ("1.", ".5"), and an optional exponent "E"/"e"
// with optional sign; an exponent marker without digits is ignored ("1e" is
// 1). A text without a leading number is 0, and so are a lone sign, "--5",
// "&H10" and "&O7" (radix prefixes are not numbers). "-0" gives negative zero.
// A value too small for a double reads as 0 ("1e-400"); one beyond the double
// range ("1e400") throws OverflowError. Linear in the length of the text.
double ParseNumber(std::string_view text);

// The general number form: at most 15 significant digits, no trailing zeros,
// no decimal point for whole values, "-" for negatives, positional while the
// decimal exponent of the rounded value is within -4..14 ("0.000441",
// "123456789012345"), otherwise exponent form with a signed exponent of at
// least two digits ("1.5E-05", "1E+15", "4.41E+24"). Negative zero is "0".
// Throws OverflowError for infinities and NaN, so no text ever reads "inf".
std::string FormatNumber(double value);

// Decimal digits with a leading "-" for negatives; no blanks, no "+".
std::string IntegerText(std::int32_t value);

// Rounds to the nearest integer, ties to the even neighbour (2.5 -> 2,
// -2.5 -> -2). Throws OverflowError when the rounded value lies outside
// -2147483648..2147483647, and for infinities and NaN.
std::int32_t RoundToInt32(double value);

// The integer part, truncated toward zero (-1.5 -> -1).
double Fix(double value);

// The exact double rounded to a whole number, ties away from zero, written
// with at least two digits ("05", "60", "100"); a negative whole value keeps
// its sign ("-01"), a value that rounds to zero is "00". Throws OverflowError
// for infinities and NaN.
std::string FormatTwoDigits(double value);

// The position in seconds (position / 44100.0).
double SecondsOfPosition(std::int32_t position);

// The seconds text of a position, FormatNumber of its seconds.
std::string SecondsText(std::int32_t position);

// The whole-second slider value of a position, rounded half to
// even (66150 samples, 1.5 s, give 2; 110250 samples, 2.5 s, give 2).
std::int32_t SliderValueOfPosition(std::int32_t position);

// The sample text of a slider value, value * 44100 in 32-bit
// arithmetic. Throws OverflowError when the product leaves the 32-bit range
// (never for the sliders' 0..600).
std::string SampleTextFromSliderValue(std::int32_t sliderValue);

// The sample text for a seconds text, FormatNumber of
// ParseNumber(text) * 44100.0, unrounded ("0.441", "4.41E+24"). Throws
// OverflowError when the text or the product lies beyond the double range.
std::string SampleTextFromSecondsText(std::string_view secondsText);

// The position a sample text stands for, RoundToInt32 of
// ParseNumber(text). Throws OverflowError outside the 32-bit range.
std::int32_t PositionFromSampleText(std::string_view sampleText);

// The minutes:seconds clock text. The minutes are truncated and
// the seconds rounded half away from zero without carrying ("00:60" for
// 59.7 s, "100:00" for 6000 s). A negative position shows a negative minutes
// part and positive seconds ("-01:30" for -90 s); between -60 and 0 seconds
// the sign stays in front of the zero minutes ("-00:30" for -30 s).
std::string ClockText(std::int32_t position);

} // namespace kestrin
