// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos export: one record per file, never a forged one.
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "tests/pos_tool_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include <fcntl.h>

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

// What a command prints must arrive: a full device or a file past its size
// limit turns the status into a failure with the reason.
TEST_F(PosToolTest, LostStandardOutputIsAFailure) {
    pos("a.POS", 1, 2);
    const std::pair<std::string, const char*> rows[] = {{"/dev/full", "No space left on device"},
                                                        {at("out.csv"), "File too large"}};
    for (const auto& [output, said] : rows) {
        const ToolRun r = runInChild({}, [&, said = said, output = output] {
            if (::dup2(::open(output.c_str(), O_WRONLY | O_CREAT, 0600), STDOUT_FILENO) < 0)
                ::_exit(98);
            forbidWrites();
            std::ostringstream err;
            const int status =
                RunWithStandardOutput({"export", "--format", "csv", at("a.POS")}, err);
            ::_exit(status == ExitProblem && err.str() == "kestrin-pos: cannot write standard "
                                                          "output: " +
                                                              std::string(said) + "\n"
                        ? 0
                        : 1);
        });
        EXPECT_EQ(r.status, 0) << output;
    }
}

TEST_F(PosToolTest, ExportKeepsEveryNameAndRefusesLoopsTheFormatCannotHold) {
    pos("bad\xff.POS", 1, 2);
    pos("good.POS", 3, 4);
    const ToolRun json = run({"export", "--format", "json", at("bad\xff.POS"), at("good.POS")});
    const auto list = nlohmann::json::parse(json.out);
    ASSERT_EQ(list.size(), 2u) << json.err;
    EXPECT_NE(list[0]["file"].get<std::string>().find("bad\xEF\xBF\xBD.POS"), std::string::npos);
    // One key style across commands; the names of earlier releases stay.
    EXPECT_NE(json.out.find("\"stop_seconds\":\"0.000091\",\"stop_seconds_number\":9.1e-05}"),
              std::string::npos)
        << json.out;
    EXPECT_EQ(list[1]["stopSecondsNumber"], list[1]["stop_seconds_number"]);
    const std::tuple<PosValues, const char*, const char*, bool> rows[] = {
        {{-5, 10}, "txtp", ".txtp", false},
        // Players drop these, yet they are written, with a warning.
        {{10, 5}, "txtp", ".txtp", true},
        {{10, 10}, "labels", ".txt", true},
        {{-5, 10}, "labels", ".txt", true}};
    for (const auto& [loop, format, extension, written] : rows) {
        std::string name = format;
        name += std::to_string(loop.start);
        pos(name + ".POS", loop.start, loop.stop);
        const ToolRun r = run({"export", "--format", format, at(name + ".POS")});
        EXPECT_EQ(r.status, written ? ExitOk : ExitProblem);
        EXPECT_EQ(r.err.find("no audio file found beside it") != std::string::npos, written);
        EXPECT_EQ(fs::exists(at(name + extension)), written) << name;
    }
}
