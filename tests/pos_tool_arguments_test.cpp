// SPDX-License-Identifier: GPL-3.0-or-later
// Position arguments as the commands read them: samples, seconds, minutes:seconds.
#include "cli/arguments.h"
#include "cli/position_argument.h"
#include "core/positions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

using namespace kestrin;
using namespace kestrin::cli;

namespace {

struct ArgRow {
    const char* text;
    std::int32_t expected;
};
// The row's name, not its bytes, in test listings.
void PrintTo(const ArgRow& row, std::ostream* os) {
    *os << row.text;
}

class PositionArguments : public testing::TestWithParam<ArgRow> {};

TEST_P(PositionArguments, ReadAsSamples) {
    EXPECT_EQ(ParsePositionArgument(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    PosTool, PositionArguments,
    testing::Values(ArgRow{"66150", 66150}, ArgRow{"10", 10}, ArgRow{"-5", -5}, ArgRow{"+7", 7},
                    ArgRow{"1.5s", 66150}, ArgRow{"-0.5s", -22050}, ArgRow{"2.5e1s", 1102500},
                    ArgRow{".5s", 22050},
                    ArgRow{"0.00001s", 0}, // the sample text "0.441" rounds to 0
                    ArgRow{"01:30", 3969000}, ArgRow{"1:30.25", 3980025}, ArgRow{"-1:30", -3969000},
                    ArgRow{"0:59.7", 2632770}, ArgRow{"2147483647", 2147483647},
                    ArgRow{"-2147483648", -2147483647 - 1}, ArgRow{"0:00.5", 22050}));

TEST(PositionArguments, RejectOtherForms) {
    for (const char* text : {"", "abc", "1.5", "12a", "1.5 s", "1:", ":30", "1:60", "1:75.5", "s",
                             "1ss", "1e5", "--5", "0x10", "1,5s"}) {
        EXPECT_THROW(ParsePositionArgument(text), ArgumentError) << text;
    }
}

TEST(PositionArguments, OutsideThirtyTwoBitsOverflow) {
    for (const char* text : {"99999999999", "2147483648", "-2147483649", "1e20s", "48696s",
                             "99999999999:00", "+1e300s", "-1e300s", "9e18s", "1e400s"}) {
        EXPECT_THROW(ParsePositionArgument(text), OverflowError) << text;
    }
}

TEST(OptionValues, MayBeJoinedToAShortOption) {
    for (const char* n : {"-n1", "-n=1"})
        EXPECT_EQ(ParseArguments({"find", n, "f"}, {"-n"}, {"-q"}).value("-n"), "1") << n;
    EXPECT_THROW(ParseArguments({"find", "-q1"}, {"-n"}, {"-q"}), UsageError);
}

TEST(DurationArguments, SecondsOrMilliseconds) {
    const std::pair<const char*, double> read[] = {{"3", 3},       {"2s", 2},        {"0.5", 0.5},
                                                   {"50ms", 0.05}, {".5ms", 0.0005}, {"0ms", 0}};
    for (const auto& [text, seconds] : read)
        EXPECT_DOUBLE_EQ(ParseDurationArgument(text), seconds) << text;
    for (const char* text : {"ms", "5 ms", "5mss", "5sm", "-5ms", "5m", "5msec"})
        EXPECT_THROW(ParseDurationArgument(text), ArgumentError) << text;
}

TEST(DurationArguments, ClocksAreBoundedBeforeMatching) {
    EXPECT_EQ(ParseClockDurationArgument("3:30:00"), 12600);
    EXPECT_EQ(ParseClockDurationArgument("1:05.5"), 65.5);
    for (const std::string& text : {std::string("0:60"), std::string("1:60:00"),
                                    std::string(100000, '9'), std::string(400, '1') + ":00:00"})
        EXPECT_THROW(ParseClockDurationArgument(text), ArgumentError) << text.substr(0, 20);
}

} // namespace
