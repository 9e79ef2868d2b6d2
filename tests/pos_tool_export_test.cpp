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
    std::vector<std::string> many{"export", "--format", "csv"};
    for (int i = 0; i < 300; ++i) {
        pos("loop-" + std::to_string(i) + ".POS", i, i + 1);
        many.push_back(at("loop-" + std::to_string(i) + ".POS"));
    }
    struct Row {
        std::string output;
        long limit; // RLIMIT_FSIZE, 0 for none
        const char* said;
    };
    const Row rows[] = {{"/dev/full", 0, "No space left on device"},
                        {at("out.csv"), 4096, "File too large"}};
    for (const Row& row : rows) {
        const ToolRun r = runInChild({"version"}, [&] {
            const int fd = ::open(row.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0)
                ::_exit(98);
            if (row.limit > 0) {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{static_cast<rlim_t>(row.limit), static_cast<rlim_t>(row.limit)};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            std::ostringstream err;
            const int status = cli::RunWithStandardOutput(many, err);
            ::_exit(status == ExitProblem &&
                            err.str() ==
                                std::string("kestrin-pos: cannot write standard output: ") +
                                    row.said + "\n"
                        ? 0
                        : 1);
        });
        EXPECT_EQ(r.status, 0) << row.output;
    }
}

TEST_F(PosToolTest, ExportKeepsEveryFileWhenANameIsNoUtf8AndRefusesLoopsTheFormatCannotHold) {
    pos("bad\xff.POS", 1, 2);
    pos("good.POS", 3, 4);
    const ToolRun json = run({"export", "--format", "json", at("bad\xff.POS"), at("good.POS")});
    EXPECT_EQ(json.status, ExitOk) << json.err;
    const auto list = nlohmann::json::parse(json.out);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_NE(list[0]["file"].get<std::string>().find("bad\xEF\xBF\xBD.POS"), std::string::npos);
    EXPECT_EQ(list[1]["stop"], 4);
    EXPECT_EQ(list[1]["stopSecondsNumber"], 4 / 44100.0);
    struct Row {
        PosValues loop;
        const char* format;
        bool written;
    };
    const Row rows[] = {{{-5, 10}, "txtp", false},
                        {{10, 5}, "txtp", false},
                        {{10, 10}, "labels", false},
                        {{-5, 10}, "labels", true}};
    for (const Row& row : rows) {
        const std::string name = "L" + std::to_string(&row - rows);
        pos(name + ".POS", row.loop.start, row.loop.stop);
        const ToolRun r = run({"export", "--format", row.format, at(name + ".POS")});
        EXPECT_EQ(r.status, row.written ? ExitOk : ExitProblem) << r.err;
        EXPECT_EQ(fs::exists(at(name + (row.format == std::string("txtp") ? ".txtp" : ".txt"))),
                  row.written);
    }
}
