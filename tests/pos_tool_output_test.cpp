// SPDX-License-Identifier: GPL-3.0-or-later
// Names and messages made visible before they reach a terminal.
#include "cli/output.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

using namespace kestrin;
using namespace kestrin::cli;

namespace {

struct VisibleRow {
    const char* name;
    std::string text;
    std::string shown;
};
// The row's name, not its bytes, in test listings.
void PrintTo(const VisibleRow& row, std::ostream* os) {
    *os << row.name;
}

class VisibleTexts : public testing::TestWithParam<VisibleRow> {};

TEST_P(VisibleTexts, EscapeControlCharacters) {
    EXPECT_EQ(VisibleText(GetParam().text), GetParam().shown);
    EXPECT_EQ(HasControlCharacter(GetParam().text),
              VisibleText(GetParam().text) != GetParam().text &&
                  GetParam().text.find('\\') == std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    PosTool, VisibleTexts,
    testing::Values(VisibleRow{"plain", "BGM 01.POS", "BGM 01.POS"},
                    VisibleRow{"line_break", "x\n0 2147483647 EVIL", "x\\n0 2147483647 EVIL"},
                    VisibleRow{"tab_and_return", "a\tb\r", "a\\tb\\r"},
                    VisibleRow{"escape", "e\x1b[31mred", "e\\x1b[31mred"},
                    VisibleRow{"nul_and_delete", std::string("a\0b\x7f", 4), "a\\x00b\\x7f"},
                    VisibleRow{"backslash", "a\\n", "a\\\\n"},
                    VisibleRow{"utf8_letters", "M\xC3\xBCsik \xE2\x99\xAA",
                               "M\xC3\xBCsik \xE2\x99\xAA"},
                    VisibleRow{"utf8_c1_control",
                               "a\xC2\x9B"
                               "31m",
                               "a\\u009b31m"},
                    VisibleRow{"lone_c1_byte",
                               "a\x9B"
                               "31m",
                               "a\\x9b31m"},
                    VisibleRow{"latin1_letter", "caf\xE9", "caf\xE9"}),
    [](const testing::TestParamInfo<VisibleRow>& info) { return std::string(info.param.name); });

} // namespace
