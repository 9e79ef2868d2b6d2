// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos check: each problem, the seam's figures, the walk of folders.
#include "cli/pos_tool.h"
#include "tests/pos_tool_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using namespace kestrin;
using namespace kestrin::cli;
using namespace kestrin::testing_support;

namespace {

TEST_F(PosToolTest, CheckFindsEachProblem) {
    struct Case {
        const char* pos;
        std::int32_t start, stop;
        const char* audio; // nullptr: none
        int rate, channels, subtype, frames;
        std::vector<std::string> problems;
    };
    const std::vector<Case> cases = {
        {"clean.POS", 0, 1000, "clean.WAV", 44100, 1, SF_FORMAT_PCM_16, 1000, {}},
        {"lower.pos", 0, 1000, "lower.wav", 44100, 2, SF_FORMAT_FLOAT, 1000, {}},
        {"rate.POS", 0, 100, "rate.WAV", 48000, 2, SF_FORMAT_PCM_16, 1000, {"48000 Hz, not 44100"}},
        {"past.POS",
         0,
         1001,
         "past.WAV",
         44100,
         1,
         SF_FORMAT_PCM_16,
         1000,
         {"lies beyond the end of the audio (1000 samples)"}},
        {"neg.POS", -1, 10, "neg.WAV", 44100, 1, SF_FORMAT_PCM_16, 1000, {"start -1 is negative"}},
        {"order.POS",
         50,
         50,
         "order.WAV",
         44100,
         1,
         SF_FORMAT_PCM_16,
         1000,
         {"stop 50 is not after start 50"}},
        {"alone.POS",
         0,
         10,
         nullptr,
         0,
         0,
         0,
         0,
         {"no audio file found beside it (looked for alone.WAV"}},
        {"Case.POS",
         0,
         10,
         "Case.wav",
         44100,
         1,
         SF_FORMAT_PCM_16,
         1000,
         {"found only by ignoring case: players look for Case.WAV"}},
        {"mixed.Pos",
         0,
         10,
         "mixed.WAV",
         44100,
         1,
         SF_FORMAT_PCM_16,
         1000,
         {"found only by ignoring case: players look for mixed.wav"}},
    };
    for (const Case& c : cases) {
        pos(c.pos, c.start, c.stop);
        if (c.audio)
            wav(c.audio, c.rate, c.channels, c.subtype, c.frames);
        const ToolRun r = run({"check", at(c.pos)});
        EXPECT_EQ(r.status, c.problems.empty() ? ExitOk : ExitProblem) << c.pos << "\n" << r.out;
        for (const std::string& p : c.problems)
            EXPECT_NE(r.out.find(p), std::string::npos) << c.pos << ": " << r.out;
        if (c.problems.empty()) {
            EXPECT_NE(r.out.find(": ok"), std::string::npos) << r.out;
        }
        if (c.audio) {
            EXPECT_NE(r.out.find(std::to_string(c.rate) + " Hz, " + std::to_string(c.frames) +
                                 " samples"),
                      std::string::npos)
                << r.out;
        }
    }
}

TEST_F(PosToolTest, CheckSaysWhatADeviceIs) {
    fs::create_symlink("/dev/zero", at("z.POS"));
    EXPECT_NE(run({"check", at("z.POS")}).out.find("z.POS is a character device, not a regular"),
              std::string::npos);
}

TEST_F(PosToolTest, CheckReportsLengthOtherThanEight) {
    put(at("long.POS"), {0, 0, 0, 0, 10, 0, 0, 0, 1, 2, 3, 4});
    wav("long.WAV", 44100, 1, SF_FORMAT_PCM_16, 100);
    const ToolRun r = run({"check", at("long.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.out.find("12 bytes long, not 8"), std::string::npos) << r.out;
}

struct SeamCheckRow {
    const char* name;
    std::int32_t start;
    std::int32_t stop;
    std::function<double(int, int)> audio; // 200,000 frames, two channels
    std::vector<std::string> expected;     // in the report, in this order
    bool problem;
};
void PrintTo(const SeamCheckRow& row, std::ostream* os) {
    *os << row.name;
}

class CheckSeams : public PosToolTest, public testing::WithParamInterface<SeamCheckRow> {};

TEST_P(CheckSeams, ReportTheFiguresOfTheAudio) {
    const SeamCheckRow& row = GetParam();
    pos("s.POS", row.start, row.stop);
    wav("s.WAV", 44100, 2, SF_FORMAT_PCM_16, 200000, row.audio);
    const ToolRun r = run({"check", at("s.POS")});
    EXPECT_EQ(r.status, row.problem ? ExitProblem : ExitOk) << r.out;
    std::size_t from = 0;
    for (const std::string& part : row.expected) {
        const std::size_t found = r.out.find(part, from);
        EXPECT_NE(found, std::string::npos) << part << "\n" << r.out;
        from = found == std::string::npos ? from : found + part.size();
    }
    // A seam is told of once: as a problem when it is heard, else on a line of its own.
    EXPECT_EQ(r.out.find("seam at "), r.out.rfind("seam at ")) << r.out;
}

// Noise until frame 50,000, then a 441 Hz tone whose level swells and ebbs
// every 75,000 frames.
double tremoloAfterIntro(int n, int c) {
    if (n < 50000)
        return noise(n, c);
    return 0.5 * std::sin(kTau * n / 100) * (0.6 + 0.4 * std::sin(kTau * (n - 50000) / 75000));
}

// Steps up by 23,594 (72% of full scale) at frame 120,000.
double noiseWithStep(int n, int c) {
    return periodicNoise(n, c) + (n >= 120000 ? pcm(23594) : 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    PosTool, CheckSeams,
    testing::Values(
        SeamCheckRow{"whole_periods_are_seamless",
                     10000,
                     10000 + 30 * kPeriod,
                     periodicNoise,
                     {": ok", "  seam at 00:02.268: seamless, seam score 0\n"},
                     false},
        // The stop 4,000 frames into the raised part: the nearest stop whose
        // next 2,048 frames all lie before the step is 9,000 earlier.
        SeamCheckRow{"step_suggests_a_stop_before_it",
                     10000,
                     124000,
                     noiseWithStep,
                     {"problem: seam at 00:02.812 jumps by 23,594 (-2.9 dB of full scale), seam "
                      "score ",
                      ": a listener hears it; a seamless seam nearby: stop 115000\n"},
                     true},
        // A tone at half the rate one sample late: every sample the opposite.
        SeamCheckRow{"one_sample_late",
                     100,
                     100001,
                     [](int n, int) { return pcm(n % 2 ? -8192 : 8192); },
                     {"jumps by 16,384 (-6.0 dB of full scale), seam score 2.00",
                      "a seamless seam nearby: stop 100000\n"},
                     true},
        SeamCheckRow{"one_sample_late_in_noise",
                     10000,
                     10001 + 20 * kPeriod,
                     periodicNoise,
                     {"a seamless seam nearby: stop 70000\n"},
                     true},
        // At the very end only the frames before the stop can match.
        SeamCheckRow{"at_the_end_matched_before",
                     200000 - 50 * kPeriod,
                     200000,
                     periodicNoise,
                     {": ok", "seamless, seam score 0\n"},
                     false},
        // Nothing within a second repeats what follows the start.
        SeamCheckRow{"nothing_nearby",
                     10000,
                     100000,
                     noise,
                     {"problem: seam at 00:02.268 ", "a listener hears it\n"},
                     true},
        // The loop of the whole track: only the junction can tell.
        SeamCheckRow{"whole_track_of_whole_periods",
                     0,
                     200000,
                     [](int n, int) { return 0.6 * std::sin(kTau * n / 100); },
                     {": ok", "seamless, step of "},
                     false},
        SeamCheckRow{"whole_track_ending_at_its_crest",
                     0,
                     200000,
                     [](int n, int) { return 0.6 * std::cos(kTau * 440 * (n - 199999) / 44100); },
                     {"problem: seam at 00:04.535 jumps by "},
                     true},
        // Intro, then a tremolo tone twice, looped to the end: what precedes the
        // start is the intro, yet the end flows into the start.
        SeamCheckRow{"whole_passes_to_the_end_after_an_intro",
                     50000,
                     200000,
                     tremoloAfterIntro,
                     {": ok", "seamless, step of "},
                     false}),
    [](const testing::TestParamInfo<SeamCheckRow>& info) { return std::string(info.param.name); });

// The seam of audio at another rate is placed on the clock show uses, with
// where the audio's own frames put it beside.
TEST_F(PosToolTest, CheckSpeaksOfTheClockShowUses) {
    wav("r.WAV", 8000, 1, SF_FORMAT_PCM_16, 80000, periodicNoise);
    pos("r.POS", 10000, 10000 + 10 * kPeriod);
    const ToolRun text = run({"check", at("r.POS")});
    EXPECT_NE(text.out.find("seam at 00:00.907 (at 44,100 per second; judged as frames of r.WAV "
                            "at 8,000 Hz, as vgmstream reads them: 00:05.000): seamless"),
              std::string::npos)
        << text.out;
    EXPECT_NE(run({"show", at("r.POS")}).out.find("stop   40000 samples, 0.90702947845805 s"),
              std::string::npos);
    const auto seam = nlohmann::json::parse(run({"check", "--json", at("r.POS")}).out)["seam"];
    EXPECT_EQ(seam["at"], "00:00.907");
    EXPECT_EQ(seam["audio_at"], "00:05.000");
}

TEST_F(PosToolTest, CheckSumsUpAndQuietPrintsOnlyProblems) {
    pos("clean.POS", 0, 10);
    wav("clean.WAV", 44100, 1, SF_FORMAT_PCM_16, 100);
    pos("alone.POS", 0, 10);
    pos("order.POS", 10, 10);
    ToolRun r = run({"check", at("clean.POS"), at("alone.POS"), at("order.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_TRUE(r.out.ends_with("\n3 files, 2 with problems\n")) << r.out;

    r = run({"check", "-q", at("clean.POS"), at("alone.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_EQ(r.out, at("alone.POS") + ": 1 problem\n  problem: no audio file found beside it " +
                         "(looked for alone.WAV in any case)\n2 files, 1 with a problem\n");

    r = run({"check", "-q", at("clean.POS")});
    EXPECT_EQ(r.status, ExitOk);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(run({"check", at("clean.POS")}).out.ends_with("\n1 file, none with problems\n"));
}

TEST_F(PosToolTest, CheckWalkReportsUnreadableFoldersAndSkipsOnlyBadEntries) {
    fs::create_directories(m_dir / "tree" / "closed");
    fs::create_directories(m_dir / "tree" / "open");
    pos("tree/open/a.POS", 0, 10);
    wav("tree/open/a.WAV", 44100, 1, SF_FORMAT_PCM_16, 100);
    pos("tree/closed/b.POS", 0, 10);
    fs::create_symlink("x", m_dir / "tree" / "open" / "x");             // loops, skipped
    fs::create_symlink("bad.POS", m_dir / "tree" / "open" / "bad.POS"); // loops, reported
    fs::permissions(m_dir / "tree" / "closed", fs::perms::none, fs::perm_options::replace);
    const ToolRun r = runInChild({"check", "-r", at("tree")}, dropPrivileges);
    fs::permissions(m_dir / "tree" / "closed", fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_NE(r.status, 99) << "could not drop privileges";
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.out.find(at("tree/closed") + ": 1 problem\n  problem: cannot read folder " +
                         at("tree/closed") + ": Permission denied\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(at("tree/open/a.POS") + ": ok"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(at("tree/open/bad.POS") + ": 1 problem\n  problem: cannot open file " +
                         at("tree/open/bad.POS") + ": Too many levels of symbolic links"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("/x:"), std::string::npos) << r.out;
}

struct ShortRow {
    const char* name;
    Bytes bytes;
    std::vector<std::string> problems; // every line of the report's problems
};
// The row's name, not its bytes, in test listings.
void PrintTo(const ShortRow& row, std::ostream* os) {
    *os << row.name;
}

class CheckShortFiles : public PosToolTest, public testing::WithParamInterface<ShortRow> {};

TEST_P(CheckShortFiles, ReportOnlyWhatTheBytesHold) {
    put(at("s.POS"), GetParam().bytes);
    wav("s.WAV", 44100, 1, SF_FORMAT_PCM_16, 1000);
    const ToolRun r = run({"check", at("s.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    std::string expected;
    for (const std::string& p : GetParam().problems)
        expected += "  problem: " + p + "\n";
    expected += "1 file, 1 with a problem\n";
    EXPECT_EQ(r.out.substr(r.out.find("  problem: ")), expected) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    PosTool, CheckShortFiles,
    testing::Values(
        ShortRow{"empty", {}, {"the file is 0 bytes long, not 8: players refuse it"}},
        ShortRow{"two_bytes", {0xFF, 0xFF}, {"the file is 2 bytes long, not 8: players refuse it"}},
        ShortRow{"start_only_negative",
                 {0xFF, 0xFF, 0xFF, 0xFF},
                 {"the file is 4 bytes long, not 8: players refuse it",
                  "start -1 is negative: players drop the loop"}},
        // The stop would read as 53924: neither "not after start" nor past the end.
        ShortRow{"six_bytes",
                 {0x10, 0, 0, 0, 0xA4, 0xD2},
                 {"the file is 6 bytes long, not 8: players refuse it"}}),
    [](const testing::TestParamInfo<ShortRow>& info) { return std::string(info.param.name); });

TEST_F(PosToolTest, CheckJsonHasTheFiguresAndTheProblemsOfEachFile) {
    pos("clean.POS", 10000, 10000 + 30 * kPeriod);
    wav("clean.WAV", 44100, 2, SF_FORMAT_PCM_16, 200000, periodicNoise);
    pos("click.POS", 10000, 124000);
    wav("click.WAV", 44100, 2, SF_FORMAT_PCM_16, 200000, noiseWithStep);
    put(at("short.POS"), {0xFF, 0xFF, 0xFF, 0xFF}); // a start, no stop, no audio
    ToolRun r = run({"check", "--json", at("clean.POS"), at("click.POS"), at("short.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    std::vector<nlohmann::json> lines;
    std::istringstream text(r.out);
    for (std::string line; std::getline(text, line);)
        lines.push_back(nlohmann::json::parse(line)); // no summary line among them
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0]["problems"], nlohmann::json::array());
    EXPECT_EQ(lines[0]["seam"]["verdict"], "seamless");
    EXPECT_EQ(lines[0]["seam"]["score"], 0.0);
    EXPECT_EQ(lines[0]["frames"], 200000);
    EXPECT_EQ(lines[0]["audio"], at("clean.WAV"));
    EXPECT_EQ(lines[1]["seam"]["verdict"], "click");
    EXPECT_EQ(lines[1]["seam"]["at"], "00:02.812");
    EXPECT_EQ(lines[1]["seam"]["step"], 23594);
    EXPECT_EQ(lines[1]["seam"]["seamless_stop"], 115000);
    ASSERT_EQ(lines[1]["problems"].size(), 1u);
    EXPECT_TRUE(lines[1]["problems"][0].get<std::string>().starts_with("seam at 00:02.812 jumps"));
    EXPECT_EQ(lines[2]["start"], -1);
    EXPECT_TRUE(lines[2]["stop"].is_null() && lines[2]["audio"].is_null() &&
                lines[2]["seam"].is_null() && lines[2]["sample_rate"].is_null());
    EXPECT_EQ(lines[2]["problems"],
              (nlohmann::json{"the file is 4 bytes long, not 8: players refuse it",
                              "start -1 is negative: players drop the loop",
                              "no audio file found beside it (looked for short.WAV in any case)"}));

    r = run({"check", "--json", "-q", at("clean.POS"), at("click.POS")});
    EXPECT_EQ(nlohmann::json::parse(r.out)["file"], at("click.POS")) << r.out;
}

} // namespace
