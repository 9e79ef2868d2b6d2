// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos find as a batch: the summary line, -q, folders and missing files.
#include "cli/pos_tool.h"
#include "tests/pos_tool_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <sstream>
#include <string>
#include <vector>

using namespace kestrin;
using namespace kestrin::cli;
using namespace kestrin::testing_support;

namespace {

struct FindRow {
    const char* name;
    std::vector<std::string> args; // FILE names in the scratch folder, options as they are
    int status;
    std::string out; // "DIR" for the scratch folder
    std::string err;
};
void PrintTo(const FindRow& row, std::ostream* os) {
    *os << row.name;
}

class FindFiles : public PosToolTest {
protected:
    // loop.WAV repeats each second; short.wav is too short for any loop;
    // alone.POS has no audio; music/ holds a POS file for a track of each
    // kind, one in a subfolder, and a stray file.
    void SetUp() override {
        const auto repeating = [](int n, int c) { return noise(n % 44100, c); };
        wav("loop.WAV", 44100, 2, SF_FORMAT_PCM_16, 4 * 44100, repeating);
        wav("short.wav", 44100, 1, SF_FORMAT_PCM_16, 11025, noise);
        fs::create_directories(m_dir / "music" / "sub");
        fs::create_directories(m_dir / "empty");
        wav("music/A.WAV", 44100, 2, SF_FORMAT_PCM_16, 4 * 44100, repeating);
        pos("music/A.POS", 0, 1);
        wav("music/sub/b.wav", 44100, 1, SF_FORMAT_PCM_16, 11025, noise);
        pos("music/sub/b.Pos", 0, 1);
        put(at("music/notes.txt"), {'x'});
        pos("alone.POS", 0, 1);
    }
    std::string expand(std::string text) const {
        for (std::size_t at = text.find("DIR"); at != std::string::npos; at = text.find("DIR"))
            text.replace(at, 3, m_dir.string());
        return text;
    }
};

class FindBatch : public FindFiles, public testing::WithParamInterface<FindRow> {};

TEST_P(FindBatch, SumsUpAndNamesWhatIsMissing) {
    std::vector<std::string> args = {"find", "--min-loop", "0.5s", "-n", "1"};
    for (const std::string& a : GetParam().args)
        args.push_back(a.starts_with("-") ? a : at(a));
    const ToolRun r = run(args);
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_EQ(r.out, expand(GetParam().out));
    EXPECT_EQ(r.err, expand(GetParam().err));
}

const std::string kLoopLine =
    "DIR/loop.WAV: audio loop.WAV, 44100 Hz\n  1. start 0 (00:00.000), stop "
    "44100 (00:01.000), loop 44100 samples (1.000 s), match 1.000, "
    "seamless, seam score 0, exact\n";

INSTANTIATE_TEST_SUITE_P(
    PosTool, FindBatch,
    testing::Values(
        FindRow{"summary_after_every_file",
                {"loop.WAV", "short.wav"},
                1,
                kLoopLine + "DIR/short.wav: no seamless loop, no natural loop (audio short.wav)\n" +
                    "2 files, 1 with a seamless loop\n",
                ""},
        FindRow{"quiet_prints_only_files_without_a_loop",
                {"-q", "loop.WAV", "short.wav"},
                1,
                "DIR/short.wav: no seamless loop, no natural loop (audio short.wav)\n"
                "2 files, 1 with a seamless loop\n",
                ""},
        FindRow{"quiet_and_all_found_prints_nothing", {"-q", "loop.WAV"}, 0, "", ""},
        FindRow{"missing_pos_file_is_named",
                {"nosuch.POS", "loop.WAV"},
                1,
                kLoopLine + "2 files, 1 with a seamless loop, 1 failed\n",
                "kestrin-pos: cannot open file DIR/nosuch.POS: No such file or directory\n"},
        FindRow{"pos_file_without_audio",
                {"-q", "alone.POS"},
                1,
                "1 file, none with a seamless loop, 1 failed\n",
                "kestrin-pos: no audio file found beside DIR/alone.POS (looked for alone.WAV "
                "in any case)\n"},
        // A.POS is searched and counted, the stray file is not.
        FindRow{"folder_searches_its_pos_files_in_any_case",
                {"-q", "music"},
                1,
                "DIR/music/sub/b.Pos: no seamless loop, no natural loop (audio b.wav)\n"
                "2 files, 1 with a seamless loop\n",
                ""},
        FindRow{"folder_without_pos_files",
                {"empty"},
                1,
                "1 file, none with a seamless loop, 1 failed\n",
                "kestrin-pos: DIR/empty is a folder without POS files: find searches the POS "
                "files in a folder; name audio files themselves (find --write DIR/empty/*.wav) "
                "to search each and write the POS file beside it\n"}),
    [](const testing::TestParamInfo<FindRow>& info) { return std::string(info.param.name); });

// Every file of the folder gets its object, -q keeps those that need a look,
// and no summary follows.
TEST_F(FindFiles, JsonHasAnObjectPerFileAndNoSummary) {
    const auto filesIn = [this](std::vector<std::string> options) {
        std::vector<std::string> args = {"find", "--json",    "--min-loop",
                                         "0.5s", at("music"), at("nosuch.pos")};
        args.insert(args.begin() + 1, options.begin(), options.end());
        std::istringstream lines(run(args).out);
        std::vector<std::string> files;
        for (std::string line; std::getline(lines, line);)
            files.push_back(nlohmann::json::parse(line)["file"].get<std::string>());
        return files;
    };
    EXPECT_EQ(filesIn({}), (std::vector<std::string>{at("music/A.POS"), at("music/sub/b.Pos"),
                                                     at("nosuch.pos")}));
    EXPECT_EQ(filesIn({"-q"}), (std::vector<std::string>{at("music/sub/b.Pos"), at("nosuch.pos")}));
}

} // namespace
