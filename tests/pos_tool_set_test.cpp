// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos set: bytes on disk, warnings, failures and races.
#include "cli/pos_tool.h"
#include "core/pos_file.h"
#include "tests/pos_tool_support.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace kestrin;
using namespace kestrin::cli;
using namespace kestrin::testing_support;

namespace {

TEST_F(PosToolTest, SetWritesInPlaceAndKeepsTail) {
    put(at("t.POS"), {1, 0, 0, 0, 2, 0, 0, 0, 0xDE, 0xAD});
    const ToolRun r = run({"set", at("t.POS"), "--start", "1.5s", "--stop=01:30"});
    EXPECT_EQ(r.status, ExitOk) << r.err;
    EXPECT_EQ(get(at("t.POS")),
              (Bytes{0x66, 0x02, 0x01, 0x00, 0xE8, 0x8F, 0x3C, 0x00, 0xDE, 0xAD}));
}

TEST_F(PosToolTest, SetOneValueKeepsTheOther) {
    pos("a.POS", 44100, 2646000);
    EXPECT_EQ(run({"set", at("a.POS"), "--stop", "-5"}).status, ExitOk);
    EXPECT_EQ(ReadPosFile(at("a.POS")), (PosValues{44100, -5}));
}

TEST_F(PosToolTest, SetDryRunAndBadValuesTouchNothing) {
    put(at("a.POS"), {1, 2, 3, 4, 5, 6, 7, 8});
    const auto stamp = fs::last_write_time(at("a.POS"));
    const ToolRun dry = run({"set", at("a.POS"), "--start", "10", "--dry-run"});
    EXPECT_EQ(dry.status, ExitOk);
    EXPECT_NE(dry.out.find("would write: start 10"), std::string::npos) << dry.out;
    for (const char* bad : {"99999999999", "1e20s", "abc", "1:60"}) {
        const ToolRun r = run({"set", at("a.POS"), "--start", "0", "--stop", bad});
        EXPECT_EQ(r.status, ExitUsage) << bad;
        EXPECT_NE(r.err.find("--stop"), std::string::npos) << r.err;
    }
    EXPECT_EQ(get(at("a.POS")), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(fs::last_write_time(at("a.POS")), stamp);
}

TEST_F(PosToolTest, SetCreatesAMissingFileFromAStop) {
    EXPECT_EQ(run({"set", at("new.POS"), "--start", "5"}).status, ExitProblem);
    EXPECT_FALSE(fs::exists(at("new.POS")));
    wav("new.wav", 44100, 1, SF_FORMAT_PCM_16, 300);
    EXPECT_EQ(run({"set", at("new.POS"), "--stop", "end"}).status, ExitOk);
    EXPECT_EQ(get(at("new.POS")), (Bytes{0, 0, 0, 0, 0x2C, 1, 0, 0}));
}

struct OpenFailureRow {
    const char* name;
    std::function<std::string(const fs::path&)> prepare; // returns the POS path
    const char* reason;
    bool unprivileged;
};
// The row's name, not its bytes, in test listings.
void PrintTo(const OpenFailureRow& row, std::ostream* os) {
    *os << row.name;
}

class SetOpenFailures : public PosToolTest, public testing::WithParamInterface<OpenFailureRow> {};

TEST_P(SetOpenFailures, AreReportedNotAborted) {
    const std::string file = GetParam().prepare(m_dir);
    const ToolRun r =
        runInChild({"set", file, "--start", "5"},
                   GetParam().unprivileged ? dropPrivileges : std::function<void()>{});
    ASSERT_NE(r.status, 99) << "could not drop privileges";
    EXPECT_EQ(r.status, ExitProblem) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kestrin-pos: cannot open file " + file + ": " + GetParam().reason + "\n");
    fs::permissions(m_dir / "locked", fs::perms::owner_all, fs::perm_options::replace);
}

INSTANTIATE_TEST_SUITE_P(
    PosTool, SetOpenFailures,
    testing::Values(OpenFailureRow{"symlink_loop",
                                   [](const fs::path& dir) {
                                       fs::create_symlink("loop.POS", dir / "loop.POS");
                                       fs::create_directory(dir / "locked");
                                       return (dir / "loop.POS").string();
                                   },
                                   "Too many levels of symbolic links", false},
                    OpenFailureRow{"name_too_long",
                                   [](const fs::path& dir) {
                                       fs::create_directory(dir / "locked");
                                       return (dir / (std::string(300, 'a') + ".POS")).string();
                                   },
                                   "File name too long", false},
                    OpenFailureRow{"folder_without_search_permission",
                                   [](const fs::path& dir) {
                                       fs::create_directory(dir / "locked");
                                       WritePosFile(dir / "locked" / "a.POS", {1, 2});
                                       fs::permissions(dir / "locked", fs::perms::owner_read,
                                                       fs::perm_options::replace);
                                       return (dir / "locked" / "a.POS").string();
                                   },
                                   "Permission denied", true}),
    [](const testing::TestParamInfo<OpenFailureRow>& info) {
        return std::string(info.param.name);
    });

TEST_F(PosToolTest, RacingSetsOfStartAndStopBothLand) {
    for (int round = 1; round <= 100; ++round) {
        pos("race.POS", 0, 0);
        const std::string start = std::to_string(round * 1000);
        const std::string stop = std::to_string(-round);
        // Both children wait for the pipe to close, so that they start together.
        int gate[2];
        ASSERT_EQ(::pipe(gate), 0);
        pid_t children[2];
        for (int which = 0; which < 2; ++which) {
            children[which] = ::fork();
            if (children[which] == 0) {
                ::close(gate[1]);
                char byte;
                if (::read(gate[0], &byte, 1) < 0)
                    ::_exit(96);
                std::ostringstream ignored;
                ::_exit(RunPosTool({"set", at("race.POS"), which == 0 ? "--start" : "--stop",
                                    which == 0 ? start : stop},
                                   ignored, ignored));
            }
        }
        ::close(gate[0]);
        ::close(gate[1]);
        for (pid_t child : children) {
            int status = 0;
            ::waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == ExitOk);
        }
        ASSERT_EQ(ReadPosFile(at("race.POS")), (PosValues{round * 1000, -round})) << round;
    }
}

TEST_F(PosToolTest, SetSaysWroteOnlyAfterTheWrite) {
    if (fs::exists("/dev/full")) {
        const ToolRun full = run({"set", "/dev/full", "--start", "5"});
        EXPECT_EQ(full.status, ExitProblem);
        EXPECT_EQ(full.out, "");
        EXPECT_EQ(full.err, "kestrin-pos: cannot write file /dev/full: it is a character device, "
                            "not a regular file\n");
    }
    // A file set created and then could not write is gone again.
    const ToolRun created =
        runInChild({"set", at("new.POS"), "--start", "1", "--stop", "2"}, forbidWrites);
    EXPECT_EQ(created.status, ExitProblem);
    EXPECT_EQ(created.out, "");
    EXPECT_NE(created.err.find("cannot write file " + at("new.POS") + ": File too large"),
              std::string::npos)
        << created.err;
    EXPECT_FALSE(fs::exists(at("new.POS")));

    pos("old.POS", 1, 2);
    const ToolRun changed = run({"set", at("old.POS"), "--start", "7"});
    EXPECT_EQ(changed.out, at("old.POS") + ": wrote: start 7 (was 1), stop 2 (unchanged)\n");
}

TEST_F(PosToolTest, SetHandlesEveryFileWhateverHappenedBefore) {
    pos("a.POS", 1, 2);
    pos("c.POS", 3, 4);
    const ToolRun r = run({"set", at("a.POS"), at("gone/b.POS"), at("c.POS"), "--stop", "28s"});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_EQ(r.out, at("a.POS") + ": wrote: start 1 (unchanged), stop 1234800 (was 2)\n" +
                         at("c.POS") + ": wrote: start 3 (unchanged), stop 1234800 (was 4)\n");
    EXPECT_EQ(r.err, "kestrin-pos: cannot open file " + at("gone/b.POS") +
                         ": No such file or directory\n");
}

TEST_F(PosToolTest, SetMarksOnlyUnchangedValuesUnchanged) {
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"--start", "7"}, "start 7 (was 1), stop 2 (unchanged)"},
        {{"--start", "1", "--stop", "3"}, "start 1 (unchanged), stop 3 (was 2)"},
        {{"--start", "1", "--stop", "2", "--dry-run"}, "start 1 (unchanged), stop 2 (unchanged)"},
        {{"--stop", "-2"}, "start 1 (unchanged), stop -2 (was 2)"},
    };
    for (const auto& [options, expected] : rows) {
        pos("a.POS", 1, 2);
        std::vector<std::string> args = {"set", at("a.POS")};
        args.insert(args.end(), options.begin(), options.end());
        const ToolRun r = run(args);
        EXPECT_NE(r.out.find(": " + expected + "\n"), std::string::npos) << r.out;
    }
}

struct SetWarningRow {
    const char* name;
    const char* start;
    const char* stop;
    int audioFrames; // 0: no audio beside the file
    PosValues written;
    const char* warning;                        // nullptr: none
    std::function<double(int, int)> audio = {}; // empty: silence
};

void PrintTo(const SetWarningRow& row, std::ostream* os) {
    *os << row.name;
}

class SetWarnings : public PosToolTest, public testing::WithParamInterface<SetWarningRow> {};

// A loop players drop or cut is written all the same, with a warning.
TEST_P(SetWarnings, WarnAndStillWrite) {
    const SetWarningRow& row = GetParam();
    pos("x.POS", 10, 20);
    if (row.audioFrames > 0)
        wav("x.wav", 44100, 1, SF_FORMAT_PCM_16, row.audioFrames, row.audio); // found ignoring case
    const ToolRun r = run({"set", at("x.POS"), "--start", row.start, "--stop", row.stop});
    EXPECT_EQ(r.status, ExitOk) << r.err;
    EXPECT_EQ(ReadPosFile(at("x.POS")), row.written);
    if (row.warning) {
        EXPECT_EQ(r.err, "kestrin-pos: warning: " + at("x.POS") + ": " + row.warning + "\n");
    } else {
        EXPECT_EQ(r.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    PosTool, SetWarnings,
    testing::Values(
        SetWarningRow{"negative_start",
                      "-5",
                      "100",
                      0,
                      {-5, 100},
                      "start -5 is negative: players drop the loop"},
        SetWarningRow{"stop_equal_to_start",
                      "100",
                      "100",
                      0,
                      {100, 100},
                      "stop 100 is not after start 100: players drop the loop"},
        SetWarningRow{"stop_one_past_the_audio",
                      "0",
                      "1001",
                      1000,
                      {0, 1001},
                      "stop 1001 lies beyond the end of the audio (1000 samples): players loop "
                      "at the end instead"},
        SetWarningRow{"stop_at_the_audio_end", "0", "1000", 1000, {0, 1000}, nullptr},
        // The loop of a tone that ends at its crest steps back to the start.
        SetWarningRow{
            "seam_that_clicks",
            "0",
            "10000",
            10000,
            {0, 10000},
            "seam at 00:00.227 jumps by 18,061 (-5.2 dB of full scale): a listener hears it; a "
            "seamless seam nearby: stop 9722",
            [](int n, int) { return 0.6 * std::cos(kTau * 440 * (n - 9999) / 44100); }},
        SetWarningRow{"far_stop_without_audio", "0", "99999", 0, {0, 99999}, nullptr},
        SetWarningRow{"stop_end_is_last_frame_plus_one", "0", "end", 1000, {0, 1000}, nullptr},
        SetWarningRow{"stop_end_before_start",
                      "2000",
                      "end",
                      1000,
                      {2000, 1000},
                      "stop 1000 is not after start 2000: players drop the loop"}),
    [](const testing::TestParamInfo<SetWarningRow>& info) { return std::string(info.param.name); });

TEST_F(PosToolTest, SetStopFromAudioNeedsEachFilesOwnAudio) {
    wav("a.WAV", 44100, 2, SF_FORMAT_PCM_16, 200000, periodicNoise);
    for (const auto& [stop, expected] :
         {std::pair{"end", "200000"}, std::pair{"seamless", "70000"}}) {
        pos("a.POS", 10000, 70001);
        pos("b.POS", 0, 1);
        const ToolRun r = run({"set", at("b.POS"), at("a.POS"), "--stop", stop});
        EXPECT_EQ(r.status, ExitProblem);
        EXPECT_EQ(r.out, at("a.POS") + ": wrote: start 10000 (unchanged), stop " + expected +
                             " (was 70001)\n");
        EXPECT_EQ(r.err, "kestrin-pos: no audio file found beside " + at("b.POS") +
                             " (looked for b.WAV in any case): --stop " + stop + " needs it\n");
        EXPECT_EQ(ReadPosFile(at("b.POS")), (PosValues{0, 1}));
    }
}

struct SeamlessStopRow {
    const char* name;
    std::int32_t stop; // stored with start 10,000
    std::vector<std::string> options;
    std::function<double(int, int)> audio; // 200,000 frames; empty: no audio beside the file
    PosValues onDisk;                      // afterwards
    std::string out;                       // after "FILE: "; empty: nothing printed
    std::string err; // how standard error starts, FILE for the file's path; empty: nothing
};

void PrintTo(const SeamlessStopRow& row, std::ostream* os) {
    *os << row.name;
}

class SetSeamlessStop : public PosToolTest, public testing::WithParamInterface<SeamlessStopRow> {};

TEST_P(SetSeamlessStop, MovesOnlyAStopThatClicks) {
    const SeamlessStopRow& row = GetParam();
    pos("s.POS", 10000, row.stop);
    if (row.audio)
        wav("s.WAV", 44100, 2, SF_FORMAT_PCM_16, 200000, row.audio);
    std::vector<std::string> args = {"set", at("s.POS"), "--stop", "seamless"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    const ToolRun r = run(args);
    EXPECT_EQ(r.status, row.err.empty() ? ExitOk : ExitProblem) << r.err;
    EXPECT_EQ(r.out, row.out.empty() ? "" : at("s.POS") + ": " + row.out + "\n");
    if (row.err.empty()) {
        EXPECT_EQ(r.err, "");
    } else {
        std::string expected = "kestrin-pos: " + row.err;
        expected.replace(expected.find("FILE"), 4, at("s.POS"));
        EXPECT_EQ(r.err.substr(0, expected.size()), expected);
    }
    EXPECT_EQ(ReadPosFile(at("s.POS")), row.onDisk);
}

// The noise repeats every 3,000 frames: from start 10,000, stops at
// 10,000 + k * 3,000 are seamless.
INSTANTIATE_TEST_SUITE_P(
    PosTool, SetSeamlessStop,
    testing::Values(
        SeamlessStopRow{"seamless_already",
                        70000,
                        {},
                        periodicNoise,
                        {10000, 70000},
                        "wrote: start 10000 (unchanged), stop 70000 (unchanged)",
                        ""},
        SeamlessStopRow{"one_sample_long",
                        70001,
                        {},
                        periodicNoise,
                        {10000, 70000},
                        "wrote: start 10000 (unchanged), stop 70000 (was 70001)",
                        ""},
        SeamlessStopRow{"one_sample_long_dry_run",
                        70001,
                        {"--dry-run"},
                        periodicNoise,
                        {10000, 70001},
                        "would write: start 10000 (unchanged), stop 70000 (was 70001)",
                        ""},
        SeamlessStopRow{"measured_at_the_new_start",
                        70001,
                        {"--start", "10500"},
                        periodicNoise,
                        {10500, 70500},
                        "wrote: start 10500 (was 10000), stop 70500 (was 70001)",
                        ""},
        SeamlessStopRow{"no_audio_beside_it",
                        70001,
                        {},
                        {},
                        {10000, 70001},
                        "",
                        "no audio file found beside FILE (looked for s.WAV in any case): --stop "
                        "seamless needs it"},
        SeamlessStopRow{"no_seamless_stop_nearby",
                        70001,
                        {},
                        noise,
                        {10000, 70001},
                        "",
                        "FILE: no stop within a second of 70001 makes a seamless seam with "
                        "start 10000 (now soft: no click, but not what the track plays on"},
        SeamlessStopRow{"no_loop_to_measure",
                        5000,
                        {},
                        periodicNoise,
                        {10000, 5000},
                        "",
                        "FILE: start 10000 and stop 5000 are no loop within s.WAV (200000 "
                        "samples): --stop seamless needs a loop whose seam it can measure"}),
    [](const testing::TestParamInfo<SeamlessStopRow>& info) {
        return std::string(info.param.name);
    });

} // namespace
