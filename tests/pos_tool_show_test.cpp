// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos show: the editor's texts, as lines and as JSON.
#include "cli/pos_tool.h"
#include "tests/pos_tool_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <sstream>
#include <string>

using namespace kestrin;
using namespace kestrin::cli;
using namespace kestrin::testing_support;

namespace {

TEST_F(PosToolTest, ShowPrintsTheEditorsTexts) {
    pos("BGM01.POS", 44100, 30870000);
    const ToolRun r = run({"show", at("BGM01.POS")});
    EXPECT_EQ(r.status, ExitOk);
    EXPECT_NE(r.out.find("start  44100 samples, 1 s, slider 1, 00:01"), std::string::npos) << r.out;
    // The slider shows the nearer end of its range, as in the window.
    EXPECT_NE(r.out.find("stop   30870000 samples, 700 s, slider 600, 11:40"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("loop   30825900 samples, 699 s"), std::string::npos) << r.out;
}

TEST_F(PosToolTest, ShowJsonHasOneObjectPerFileAndEscapesNames) {
    pos("a\"b.POS", -1323000, 2147483647);
    pos("c.POS", 0, 0);
    const ToolRun r = run({"show", "--json", at("a\"b.POS"), at("c.POS")});
    EXPECT_EQ(r.status, ExitOk);
    std::istringstream lines(r.out);
    std::string first;
    std::string second;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_NE(first.find("a\\\"b.POS\""), std::string::npos) << first;
    EXPECT_NE(first.find("\"start\":{\"samples\":-1323000,\"seconds\":\"-30\",\"seconds_number\":"
                         "-30.0,\"slider\":0,"
                         "\"clock\":\"-00:30\"}"),
              std::string::npos)
        << first;
    // Seconds to the microsecond, as a number that prints no more digits.
    EXPECT_NE(first.find("\"seconds_number\":48695.774308,"), std::string::npos) << first;
    // The loop length exceeds 32 bits here and must not wrap.
    EXPECT_NE(first.find("\"loop\":{\"samples\":2148806647,"), std::string::npos) << first;
    EXPECT_NE(second.find("\"loop\":{\"samples\":0,\"seconds\":\"0\",\"seconds_number\":0.0}"),
              std::string::npos)
        << second;
}

TEST_F(PosToolTest, ShowJsonIsValidUtf8ForAnyName) {
    const std::string name = "n\xE9\xFF\x1b\xE2\x82.POS"; // Latin-1, stray, ESC, cut short
    pos(name, 1, 2);
    const ToolRun r = run({"show", "--json", at(name)});
    ASSERT_EQ(r.status, ExitOk) << r.err;
    const auto parsed = nlohmann::json::parse(r.out); // throws for invalid UTF-8
    EXPECT_EQ(parsed["file"].get<std::string>(),
              at("n\xEF\xBF\xBD\xEF\xBF\xBD\x1b\xEF\xBF\xBD.POS"));
    EXPECT_NE(r.out.find("n\\ufffd\\ufffd\\u001b\\ufffd.POS"), std::string::npos) << r.out;
    EXPECT_TRUE(std::all_of(r.out.begin(), r.out.end(),
                            [](unsigned char c) { return c < 0x80 && c != 0x1b; }));
}

} // namespace
