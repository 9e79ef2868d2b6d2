// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/positions.h"

#include <gtest/gtest.h>

#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>

using namespace kestrin;

namespace {

// The shortest text that reads back as exactly `value`.
std::string ShortestText(double value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// A test name from a row's input number: gtest names hold letters, digits
// and "_" only, so -2.5e-05 becomes "minus_2_5e_minus_05".
std::string InputName(double value) {
    std::string name;
    for (const char c : ShortestText(value)) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
        else if (c == '-')
            name += name.empty() ? "minus_" : "_minus_";
        else if (c == '.')
            name += '_';
    }
    return name;
}

struct ParseRow {
    const char* name;
    std::string text;
    double expected;
};

void PrintTo(const ParseRow& row, std::ostream* os) {
    *os << testing::PrintToString(row.text) << " reads " << row.expected;
}

class ParseNumberRows : public testing::TestWithParam<ParseRow> {};

TEST_P(ParseNumberRows, ReadsLeadingNumber) {
    const auto& row = GetParam();
    const double got = ParseNumber(row.text);
    EXPECT_EQ(got, row.expected) << "text: \"" << row.text << "\"";
    EXPECT_EQ(std::signbit(got), std::signbit(row.expected)) << "text: \"" << row.text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    ParseNumber, ParseNumberRows,
    testing::Values(
        ParseRow{"empty", "", 0.0}, ParseRow{"letters", "abc", 0.0},
        ParseRow{"unit_suffix", "1.5s", 1.5}, ParseRow{"leading_blank", " 12", 12.0},
        ParseRow{"blank_inside", " 1 2", 12.0},
        ParseRow{"tab_and_line_feed_inside", "\t1\n2.\t5", 12.5},
        ParseRow{"carriage_return_ends", "1\r2", 1.0}, ParseRow{"trailing_point", "1.", 1.0},
        ParseRow{"leading_point", ".5", 0.5}, ParseRow{"negative_leading_point", "-.5", -0.5},
        ParseRow{"plus_sign", "+7", 7.0}, ParseRow{"lone_minus", "-", 0.0},
        ParseRow{"lone_point", ".", 0.0}, ParseRow{"minus_point", "-.", 0.0},
        ParseRow{"double_sign", "--5", 0.0}, ParseRow{"sign_then_letter", "-x", 0.0},
        ParseRow{"blank_after_sign", "- 5", -5.0}, ParseRow{"second_point_ends", "1.2.3", 1.2},
        ParseRow{"exponent_marker_alone", "1e", 1.0}, ParseRow{"exponent_sign_alone", "1e+", 1.0},
        ParseRow{"exponent_minus_alone", "2E-x", 2.0}, ParseRow{"exponent", "1.5E3", 1500.0},
        ParseRow{"exponent_lower_negative", "15e-1", 1.5},
        ParseRow{"exponent_with_blanks", "1 e 2", 100.0},
        ParseRow{"point_then_exponent_without_digits", ".e5", 0.0},
        ParseRow{"hex_prefix_is_not_a_number", "&H10", 0.0},
        ParseRow{"octal_prefix_is_not_a_number", "&O7", 0.0},
        ParseRow{"comma_is_not_a_decimal_point", "1,5", 1.0}, ParseRow{"negative_zero", "-0", -0.0},
        ParseRow{"leading_zeros", "000123.4500", 123.45},
        ParseRow{"zeros_after_point", "0.00001", 0.00001},
        ParseRow{"underflow_reads_zero", "1e-400", 0.0},
        ParseRow{"negative_underflow_reads_negative_zero", "-1e-400", -0.0},
        ParseRow{"smallest_subnormal", "5e-324", 5e-324},
        ParseRow{"largest_double", "1.7976931348623157e308", std::numeric_limits<double>::max()},
        ParseRow{"zero_with_huge_exponent", "0e99999", 0.0},
        ParseRow{"huge_negative_exponent", "1e-99999999999999999999", 0.0},
        ParseRow{"non_ascii_ends",
                 "3\xC2\xA0"
                 "4",
                 3.0}),
    [](const testing::TestParamInfo<ParseRow>& info) { return std::string(info.param.name); });

TEST(ParseNumber, BeyondDoubleRangeOverflows) {
    for (const char* text : {"1e400", "-1e400", "1.8e308", "1e99999999999999999999"}) {
        EXPECT_THROW(ParseNumber(text), OverflowError) << text;
    }
}

TEST(ParseNumber, LongDigitRunsStayExact) {
    // 400 integer digits put the value beyond the double range.
    EXPECT_THROW(ParseNumber(std::string(400, '9')), OverflowError);
    // Many digits after a tiny exponent still round correctly.
    EXPECT_EQ(ParseNumber("0." + std::string(5000, '0') + "1e5010"), 1e9);
    EXPECT_EQ(ParseNumber("1" + std::string(300, '0') + "e-300"), 1.0);
}

TEST(ParseNumber, MegabyteOfPastedTextIsHandled) {
    std::string blanks(1 << 20, ' ');
    blanks += "42";
    EXPECT_EQ(ParseNumber(blanks), 42.0);
    std::string digits(1 << 20, '7');
    EXPECT_THROW(ParseNumber(digits), OverflowError);
    std::string fraction = "0." + std::string(1 << 20, '3');
    EXPECT_DOUBLE_EQ(ParseNumber(fraction), 1.0 / 3.0);
}

struct FormatRow {
    double value;
    const char* expected;
};

void PrintTo(const FormatRow& row, std::ostream* os) {
    *os << ShortestText(row.value) << " writes \"" << row.expected << '"';
}

class FormatNumberRows : public testing::TestWithParam<FormatRow> {};

TEST_P(FormatNumberRows, WritesGeneralForm) {
    EXPECT_EQ(FormatNumber(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    FormatNumber, FormatNumberRows,
    testing::Values(FormatRow{66150 / 44100.0, "1.5"}, FormatRow{600.0, "600"},
                    FormatRow{1 / 44100.0, "2.26757369614512E-05"}, FormatRow{0.0, "0"},
                    FormatRow{-0.0, "0"}, FormatRow{-1.5, "-1.5"}, FormatRow{0.441, "0.441"},
                    FormatRow{0.0001, "0.0001"}, FormatRow{0.00001, "1E-05"},
                    FormatRow{0.000441, "0.000441"}, FormatRow{0.00001 * 44100.0, "0.441"},
                    FormatRow{1.5e-5, "1.5E-05"}, FormatRow{999999999999999.0, "999999999999999"},
                    FormatRow{123456789012345.0, "123456789012345"}, FormatRow{1e15, "1E+15"},
                    FormatRow{1e20 * 44100.0, "4.41E+24"},
                    FormatRow{1234567 / 44100.0, "27.994716553288"}, FormatRow{1e100, "1E+100"},
                    FormatRow{-2.5e-300, "-2.5E-300"},
                    // 15 significant digits: the 16th rounds, carrying through nines.
                    FormatRow{9999999999999999.0, "1E+16"}, FormatRow{0.99999999999999999, "1"},
                    FormatRow{99999999999999.95, "100000000000000"},
                    FormatRow{999999999999999.4, "999999999999999"},
                    FormatRow{999999999999999.6, "1E+15"}, FormatRow{0.1 + 0.2, "0.3"},
                    FormatRow{std::numeric_limits<double>::max(), "1.79769313486232E+308"},
                    FormatRow{std::numeric_limits<double>::denorm_min(), "4.94065645841247E-324"},
                    FormatRow{-2147483648.0, "-2147483648"}),
    [](const auto& info) { return InputName(info.param.value); });

TEST(FormatNumber, NonFiniteOverflows) {
    EXPECT_THROW(FormatNumber(std::numeric_limits<double>::infinity()), OverflowError);
    EXPECT_THROW(FormatNumber(-std::numeric_limits<double>::infinity()), OverflowError);
    EXPECT_THROW(FormatNumber(std::numeric_limits<double>::quiet_NaN()), OverflowError);
}

TEST(IntegerText, WritesDigitsAndSign) {
    EXPECT_EQ(IntegerText(0), "0");
    EXPECT_EQ(IntegerText(26460000), "26460000");
    EXPECT_EQ(IntegerText(-1), "-1");
    EXPECT_EQ(IntegerText(std::numeric_limits<std::int32_t>::min()), "-2147483648");
    EXPECT_EQ(IntegerText(std::numeric_limits<std::int32_t>::max()), "2147483647");
}

struct RoundRow {
    double value;
    std::int32_t expected;
};

void PrintTo(const RoundRow& row, std::ostream* os) {
    *os << ShortestText(row.value) << " rounds to " << row.expected;
}

class RoundToInt32Rows : public testing::TestWithParam<RoundRow> {};

TEST_P(RoundToInt32Rows, RoundsHalfToEven) {
    EXPECT_EQ(RoundToInt32(GetParam().value), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    RoundToInt32, RoundToInt32Rows,
    testing::Values(RoundRow{0.5, 0}, RoundRow{1.5, 2}, RoundRow{2.5, 2}, RoundRow{-0.5, 0},
                    RoundRow{-1.5, -2}, RoundRow{-2.5, -2}, RoundRow{0.49999999999999994, 0},
                    RoundRow{0.5000000000000001, 1}, RoundRow{2.6, 3}, RoundRow{-2.6, -3},
                    RoundRow{66150.5, 66150}, RoundRow{66151.5, 66152},
                    RoundRow{2147483647.4, 2147483647}, RoundRow{-2147483648.5, -2147483647 - 1},
                    RoundRow{-2147483647.5, -2147483647 - 1}, RoundRow{2147483646.5, 2147483646},
                    RoundRow{-0.0, 0}),
    [](const auto& info) { return InputName(info.param.value); });

TEST(RoundToInt32, OutsideRangeOverflows) {
    for (double v :
         {2147483648.0, 2147483647.5, -2147483649.0, -2147483648.6, 1e20, -1e300,
          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_THROW(RoundToInt32(v), OverflowError) << v;
    }
}

TEST(Fix, TruncatesTowardZero) {
    EXPECT_EQ(Fix(-1.5), -1.0);
    EXPECT_EQ(Fix(1.9999), 1.0);
    EXPECT_EQ(Fix(-0.2), 0.0);
    EXPECT_EQ(Fix(1e300), 1e300);
}

struct TwoDigitRow {
    double value;
    const char* expected;
};

void PrintTo(const TwoDigitRow& row, std::ostream* os) {
    *os << ShortestText(row.value) << " writes \"" << row.expected << '"';
}

class FormatTwoDigitsRows : public testing::TestWithParam<TwoDigitRow> {};

TEST_P(FormatTwoDigitsRows, PadsAndRoundsHalfAway) {
    EXPECT_EQ(FormatTwoDigits(GetParam().value), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    FormatTwoDigits, FormatTwoDigitsRows,
    testing::Values(TwoDigitRow{0.0, "00"}, TwoDigitRow{-0.0, "00"}, TwoDigitRow{-0.4, "00"},
                    TwoDigitRow{0.5, "01"}, TwoDigitRow{1.5, "02"}, TwoDigitRow{2.5, "03"},
                    TwoDigitRow{-0.5, "-01"}, TwoDigitRow{-2.5, "-03"}, TwoDigitRow{-1.0, "-01"},
                    TwoDigitRow{9.49, "09"}, TwoDigitRow{59.7, "60"}, TwoDigitRow{99.5, "100"},
                    TwoDigitRow{100.0, "100"}, TwoDigitRow{-123.0, "-123"},
                    // The exact double, not its 15-digit form: a hair below a half.
                    TwoDigitRow{4.499999999999997, "04"}, TwoDigitRow{4.5, "05"}),
    [](const auto& info) { return InputName(info.param.value); });

TEST(FormatTwoDigits, NonFiniteOverflows) {
    EXPECT_THROW(FormatTwoDigits(std::numeric_limits<double>::infinity()), OverflowError);
    EXPECT_THROW(FormatTwoDigits(std::numeric_limits<double>::quiet_NaN()), OverflowError);
}

struct ClockRow {
    std::int32_t position;
    const char* expected;
};

void PrintTo(const ClockRow& row, std::ostream* os) {
    *os << row.position << " shows \"" << row.expected << '"';
}

class ClockTextRows : public testing::TestWithParam<ClockRow> {};

TEST_P(ClockTextRows, TruncatesMinutesRoundsSeconds) {
    EXPECT_EQ(ClockText(GetParam().position), GetParam().expected) << GetParam().position;
}

INSTANTIATE_TEST_SUITE_P(
    ClockText, ClockTextRows,
    testing::Values(ClockRow{0, "00:00"}, ClockRow{3969000, "01:30"}, ClockRow{2632770, "00:60"},
                    ClockRow{2646000, "01:00"}, ClockRow{44100, "00:01"},
                    ClockRow{30870000, "11:40"}, ClockRow{264600000, "100:00"},
                    ClockRow{-3969000, "-01:30"}, ClockRow{-1323000, "-00:30"},
                    ClockRow{-1, "-00:00"}, ClockRow{22050, "00:01"}, ClockRow{22049, "00:00"},
                    // 64.5 s: the seconds part is 4.499999999999997 after the two divisions.
                    ClockRow{2844450, "01:04"}, ClockRow{26460000, "10:00"},
                    ClockRow{std::numeric_limits<std::int32_t>::max(), "811:36"},
                    ClockRow{std::numeric_limits<std::int32_t>::min(), "-811:36"}),
    [](const auto& info) { return InputName(info.param.position); });

TEST(Conversions, SecondsAndSliderOfPosition) {
    EXPECT_EQ(SecondsText(66150), "1.5");
    EXPECT_EQ(SecondsText(44100), "1");
    EXPECT_EQ(SecondsText(1234567), "27.994716553288");
    EXPECT_EQ(SecondsText(-3969000), "-90");
    EXPECT_EQ(SliderValueOfPosition(66150), 2);
    EXPECT_EQ(SliderValueOfPosition(22050), 0);
    EXPECT_EQ(SliderValueOfPosition(110250), 2);
    EXPECT_EQ(SliderValueOfPosition(-66150), -2);
}

TEST(Conversions, SampleTextFromSecondsText) {
    EXPECT_EQ(SampleTextFromSecondsText("1.5"), "66150");
    EXPECT_EQ(SampleTextFromSecondsText("abc"), "0");
    EXPECT_EQ(SampleTextFromSecondsText("0.00001"), "0.441");
    EXPECT_EQ(SampleTextFromSecondsText("1e20"), "4.41E+24");
    EXPECT_EQ(SampleTextFromSecondsText("-0"), "0");
    EXPECT_EQ(SampleTextFromSecondsText("2.25"), "99225");
    EXPECT_EQ(SampleTextFromSecondsText("27.994716553288"), "1234567");
    EXPECT_THROW(SampleTextFromSecondsText("1e305"), OverflowError);
    EXPECT_THROW(SampleTextFromSecondsText("1e400"), OverflowError);
}

TEST(Conversions, PositionFromSampleText) {
    EXPECT_EQ(PositionFromSampleText("66150.5"), 66150);
    EXPECT_EQ(PositionFromSampleText(""), 0);
    EXPECT_EQ(PositionFromSampleText("0.441"), 0);
    EXPECT_EQ(PositionFromSampleText("2147483647"), 2147483647);
    EXPECT_EQ(PositionFromSampleText("-2147483648"), -2147483647 - 1);
    EXPECT_THROW(PositionFromSampleText("2147483648"), OverflowError);
    EXPECT_THROW(PositionFromSampleText("4.41E+24"), OverflowError);
}

TEST(Conversions, SliderSampleTextOverflowIsAnError) {
    EXPECT_EQ(SampleTextFromSliderValue(600), "26460000");
    EXPECT_EQ(SampleTextFromSliderValue(48695), "2147449500");
    EXPECT_THROW(SampleTextFromSliderValue(48696), OverflowError);
    EXPECT_THROW(SampleTextFromSliderValue(-48697), OverflowError);
}

// Every slider position survives the trip slider -> samples -> position ->
// slider, and its seconds text is the plain whole number.
TEST(Conversions, WholeSliderRangeRoundTrips) {
    for (std::int32_t v = 0; v <= 600; ++v) {
        const std::string samples = SampleTextFromSliderValue(v);
        const std::int32_t position = PositionFromSampleText(samples);
        ASSERT_EQ(position, v * 44100);
        ASSERT_EQ(SliderValueOfPosition(position), v);
        ASSERT_EQ(SecondsText(position), std::to_string(v));
        ASSERT_EQ(SampleTextFromSecondsText(SecondsText(position)), samples);
    }
}

// Any position's seconds text converts back to its own sample text.
TEST(Conversions, SecondsTextRoundTripsToSamples) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::int32_t> any(std::numeric_limits<std::int32_t>::min(),
                                                    std::numeric_limits<std::int32_t>::max());
    for (int i = 0; i < 20000; ++i) {
        const std::int32_t p = any(rng);
        ASSERT_EQ(PositionFromSampleText(SampleTextFromSecondsText(SecondsText(p))), p) << p;
    }
}

// Garbage of every kind neither crashes nor yields a non-finite value.
TEST(ParseNumber, RandomTextIsSafe) {
    std::mt19937 rng(11);
    const std::string alphabet = "0123456789+-.eE \t\n\r&Hx,";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 40);
    for (int i = 0; i < 50000; ++i) {
        std::string text;
        for (int n = length(rng); n > 0; --n)
            text += alphabet[pick(rng)];
        try {
            const double v = ParseNumber(text);
            ASSERT_TRUE(std::isfinite(v)) << text;
            (void)SampleTextFromSecondsText(text);
            (void)ClockText(PositionFromSampleText(text));
        } catch (const OverflowError&) {
        }
    }
}

// The C library's numeric locale must not leak into any text.
TEST(Locale, CommaLocaleChangesNothing) {
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "de_DE.UTF-8 is not installed (scripts/install-deps generates it)";
    EXPECT_EQ(FormatNumber(1.5), "1.5");
    EXPECT_EQ(FormatNumber(1 / 44100.0), "2.26757369614512E-05");
    EXPECT_EQ(ParseNumber("1.5"), 1.5);
    EXPECT_EQ(ParseNumber("1,5"), 1.0);
    EXPECT_EQ(SampleTextFromSecondsText("0.00001"), "0.441");
    EXPECT_EQ(ClockText(3969000), "01:30");
    std::setlocale(LC_ALL, "C");
}

} // namespace
