// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos export: one record per file, never a forged one.
#include "cli/pos_tool.h"
#include "tests/pos_tool_support.h"

#include <gtest/gtest.h>

#include <string>

using namespace kestrin;
using namespace kestrin::cli;
using namespace kestrin::testing_support;

namespace {

TEST_F(PosToolTest, ExportRefusesNamesThatWouldForgeRecords) {
    pos("a.POS", 0, 10);
    pos("x\n0 2147483647 EVIL.POS", 1, 2);
    pos("tab\there.POS", 1, 2);
    pos("back\\slash.POS", 3, 4);
    const ToolRun r = run({"export", at("a.POS"), at("x\n0 2147483647 EVIL.POS"),
                           at("tab\there.POS"), at("back\\slash.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_EQ(r.out, "0 10 a\n3 4 back\\slash\n");
    EXPECT_NE(r.err.find("refusing to export " + at("x\\n0 2147483647 EVIL.POS") +
                         ": its name holds a control character"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("tab\\there.POS"), std::string::npos) << r.err;
}

} // namespace
