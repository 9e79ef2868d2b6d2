// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos find: what it finds in tracks whose loop is known, --json, --write
// and --near, and as a batch: the summary line, -q, folders and missing files.
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "core/temporary_files.h"
#include "tests/loop_corpus.h"
#include "tests/pos_tool_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
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
    "seamless, seam score 0, exact, 25 % of the track\n";

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

// Files side by side print what one at a time prints, in the order given:
// the text and the JSON lines of each command, its messages and its status.
TEST_F(FindFiles, SideBySideSaysWhatOneAtATimeSays) {
    const std::vector<std::vector<std::string>> commands = {
        {"find", "--min-loop", "0.5s", "-n", "1"},
        {"find", "--json", "-q", "--min-loop", "0.5s"},
        {"check"},
        {"check", "--json"},
        {"export", "--format", "json"},
        {"export", "--format", "csv"}};
    for (const std::vector<std::string>& command : commands) {
        const auto withJobs = [&](const char* jobs) {
            std::vector<std::string> args = command;
            args.insert(args.end(), {"-j", jobs});
            for (const char* file : {"music", "loop.WAV", "nosuch.POS", "short.wav", "alone.POS",
                                     "music/A.POS", "music/sub/b.Pos"})
                args.push_back(at(file));
            return run(args);
        };
        const ToolRun alone = withJobs("1");
        const ToolRun sideBySide = withJobs("3");
        EXPECT_NE(alone.status, ExitUsage) << command[0] << alone.err;
        EXPECT_EQ(sideBySide.status, alone.status) << command[0];
        EXPECT_EQ(sideBySide.out, alone.out) << command[0];
        EXPECT_EQ(sideBySide.err, alone.err) << command[0];
    }
    for (const char* jobs : {"0", "257", "two", "-1"})
        EXPECT_EQ(run({"check", "-j", jobs, at("alone.POS")}).status, ExitUsage) << jobs;
}

// Ctrl+C in the middle of many files side by side writing POS files: the
// process ends by the signal as before, every line out is whole, and no
// temporary file stays beside the tracks.
TEST_F(FindFiles, InterruptedSideBySideLeavesWholeLinesAndNoTemporaries) {
    std::vector<std::string> args = {"find", "--write", "-j", "2", "--min-loop", "0.5s"};
    for (int i = 0; i < 100; ++i) {
        // Built by append: GCC 12 at -O3 takes "t" + a temporary for an
        // overlapping copy.
        const std::string name = std::string("t").append(std::to_string(i)).append(".wav");
        fs::create_hard_link(at("loop.WAV"), at(name));
        args.push_back(at(name));
    }
    int lines[2];
    ASSERT_EQ(::pipe(lines), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        RemoveTemporariesOnSignals();
        ::dup2(lines[1], STDOUT_FILENO);
        std::ostringstream err;
        ::_exit(RunWithStandardOutput(args, err));
    }
    ::close(lines[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(lines[0], buffer, sizeof buffer)) > 0;) {
        if (out.empty())
            ::kill(child, SIGINT); // once the first file is reported
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(lines[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_TRUE(out.ends_with('\n')) << out;
    for (const std::string& name : filesIn(m_dir))
        EXPECT_FALSE(name.starts_with(".kestrin-")) << name;
}

// ---- kestrin-pos find on generated tracks whose loop is known ------------------

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

ToolRun runTool(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = cli::RunPosTool(args, out, err);
    return {status, out.str(), err.str()};
}

class FindCommand : public testing::Test {
protected:
    ScratchFolder m_dir{"kestrin-find"};
    Track m_track = RenderTrack(withOverlap(1.5, 2));
};

TEST_F(FindCommand, JsonLinePerFileAndWriteIntoThePosFile) {
    WriteTrack(m_track, m_dir.path() / "BGM01.WAV", kWav16);
    WriteTrack(RenderTrack(shape(LoopLayout::NoRepeat, 1)), m_dir.path() / "BGM02.WAV", kWav16);
    const fs::path pos1 = m_dir.path() / "BGM01.POS";
    const fs::path pos2 = m_dir.path() / "BGM02.POS";
    WritePosFile(pos1, {1, 2});
    WritePosFile(pos2, {3, 4});
    const ToolRun r = runTool({"find", "--json", "--write", pos1.string(), pos2.string(),
                               (m_dir.path() / "missing.wav").string()});
    EXPECT_EQ(r.status, 1); // BGM02 has no loop, missing.wav cannot be read
    std::istringstream lines(r.out);
    std::vector<nlohmann::json> objects;
    for (std::string line; std::getline(lines, line);)
        objects.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(objects.size(), 3u);
    const nlohmann::json& first = objects[0]["candidates"][0];
    EXPECT_EQ(first["start"].get<std::int64_t>(), m_track.loopStart);
    EXPECT_EQ(first["stop"].get<std::int64_t>(), m_track.loopStart + m_track.loopFrames);
    EXPECT_GT(first["match"].get<double>(), 0.5);
    EXPECT_EQ(first["score"], first["match"]) << "the old name still holds the match";
    EXPECT_EQ(objects[0]["audio"], (m_dir.path() / "BGM01.WAV").string());
    EXPECT_EQ(ReadPosFile(pos1),
              (PosValues{static_cast<std::int32_t>(m_track.loopStart),
                         static_cast<std::int32_t>(m_track.loopStart + m_track.loopFrames)}));
    EXPECT_TRUE(objects[1]["candidates"].empty());
    EXPECT_EQ(objects[1]["reason"], "no seamless loop, no natural loop");
    EXPECT_EQ(objects[2]["reason"], objects[2]["error"]);
    EXPECT_EQ(ReadPosFile(pos2), (PosValues{3, 4})); // no loop, nothing written
    EXPECT_TRUE(objects[2]["candidates"].empty());
    EXPECT_TRUE(objects[2].contains("error"));
    EXPECT_NE(r.err.find("missing.wav"), std::string::npos);
}

TEST_F(FindCommand, AudioFileWritesThePosFilePlayersLookFor) {
    const fs::path wav = m_dir.path() / "Theme.WAV";
    WriteTrack(m_track, wav, kWav16);
    const ToolRun r = runTool({"find", "-n", "1", "--write", wav.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("1. start " + std::to_string(m_track.loopStart)), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("2. start"), std::string::npos);
    // the match, then the seam in check's words: the one score left is the seam's
    EXPECT_NE(r.out.find(" s), match 1.000, seamless, seam score 0, exact, "), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("score"), r.out.rfind("score")) << r.out;
    EXPECT_EQ(readFileBytes(m_dir.path() / "Theme.POS").size(), 8u);
}

TEST_F(FindCommand, NoLoopIsOneLineAndWrongOptionsAreUsageErrors) {
    const fs::path wav = m_dir.path() / "noise.wav";
    WriteTrack(RenderTrack(shape(LoopLayout::NoRepeat, 2)), wav, kWav16);
    const ToolRun r = runTool({"find", "--write", wav.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, wav.string() + ": no seamless loop, no natural loop (audio noise.wav)\n" +
                         "1 file, none with a seamless loop\n");
    EXPECT_FALSE(fs::exists(m_dir.path() / "noise.pos"));
    for (const std::vector<std::string>& args : {std::vector<std::string>{"find"},
                                                 {"find", "-n", "0", "x.wav"},
                                                 {"find", "-n", "two", "x.wav"},
                                                 {"find", "--min-loop", "-2s", "x.wav"},
                                                 {"find", "--min-loop", "soon", "x.wav"}}) {
        EXPECT_EQ(runTool(args).status, 2) << args.back();
    }
}

// ---- ranking by what the loop plays, and Refine ---------------------------------------

nlohmann::json foundIn(const fs::path& wav, std::vector<std::string> args = {}) {
    args.insert(args.begin(), "--json");
    args.insert(args.begin(), "find");
    args.push_back(wav.string());
    const ToolRun r = runTool(args);
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    return nlohmann::json::parse(r.out)["candidates"];
}

// A module plays a passage again at the end: its last 1.2 s are also the
// 1.2 s 15 s before, cut off by the end of the file. The song's loop comes
// first; the short repeat does not match in full.
TEST_F(FindCommand, ShortRepeatCutOffByTheEndRanksBelowTheSongsLoop) {
    TrackSpec s = shape(LoopLayout::Repeated, 2);
    s.introFrames = 3 * 44100;
    s.loopFrames = 20 * 44100;
    Track track = RenderTrack(s);
    const auto end = track.samples.end();
    std::copy(end - 52920 * 2 - 15 * 44100 * 2, end - 15 * 44100 * 2, end - 52920 * 2);
    WriteTrack(track, m_dir.path() / "m.wav", kWav16);
    const nlohmann::json found = foundIn(m_dir.path() / "m.wav");
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0]["start"], track.loopStart) << found.dump();
    EXPECT_EQ(found[0]["length"], track.loopFrames) << found.dump();
    for (const nlohmann::json& c : found)
        EXPECT_TRUE(c["length"] != 15 * 44100 || c["match"] < 0.9) << c.dump();
}

// `seconds` of white noise at 44.1 kHz, the same at every call.
std::vector<float> noiseOf(int seconds) {
    std::vector<float> noise(static_cast<std::size_t>(seconds * 44100));
    std::uint32_t x = 12345;
    for (float& v : noise)
        v = static_cast<float>(static_cast<std::int32_t>(x = x * 1664525U + 1013904223U)) / 2.2e9F;
    return noise;
}

// The `passages` of `noise` (the second each starts at, its seconds) one
// after another: a song whose only repeats are the passages given twice.
std::vector<float> passagesOf(const std::vector<float>& noise,
                              std::initializer_list<std::pair<int, int>> passages) {
    std::vector<float> song;
    for (const auto& [from, seconds] : passages)
        song.insert(song.end(), noise.begin() + from * 44100,
                    noise.begin() + (from + seconds) * 44100);
    return song;
}

// A song as a game ships it: a quiet bar, 20 s, then a passage of `bar`
// seconds played `bars` times, and `silence` seconds of digital silence;
// `passes` times. A bar played three times as the song ends is no short
// loop played over and over.
// Played once, the passage spans too little of the song to be its loop: the
// whole track comes first, judged as it sounds, whether the music plays to
// the last frame or ends and holds silence to it. Played twice, the song is
// the loop, however little of its silence is seen repeating.
struct SongAsShippedRow {
    const char* name;
    double silence;
    int passes;
    int bar = 8;
    int bars = 2;
};

class SongAsShipped : public ::testing::TestWithParam<SongAsShippedRow> {
protected:
    ScratchFolder m_dir{"kestrin-find"};
};

TEST_P(SongAsShipped, IsOfferedWholeWhenPlayedOnce) {
    const SongAsShippedRow& row = GetParam();
    constexpr std::int64_t rate = 44100;
    const std::vector<float> noise = noiseOf(30);
    std::vector<float> song = passagesOf(noise, {{28, 2}, {8, 20}});
    for (int bar = 0; bar < row.bars; ++bar)
        song.insert(song.end(), noise.begin(), noise.begin() + row.bar * rate);
    std::transform(song.begin(), song.begin() + 2 * rate, song.begin(),
                   [](float v) { return v / 32; });
    song.resize(song.size() + static_cast<std::size_t>(row.silence * rate));
    Track track{1, 44100, {}};
    for (int pass = 0; pass < row.passes; ++pass)
        track.samples.insert(track.samples.end(), song.begin(), song.end());
    WriteTrack(track, m_dir.path() / "once.wav", kWav16);
    const nlohmann::json found = foundIn(m_dir.path() / "once.wav");
    ASSERT_GE(found.size(), static_cast<std::size_t>(3 - row.passes)) << found.dump();
    if (row.passes == 1) {
        EXPECT_TRUE(found[0]["kind"] == "whole track" &&
                    found[0]["stop"] == std::ssize(track.samples) &&
                    found[0]["verdict"] != "seamless")
            << found.dump();
        EXPECT_EQ(found[1]["length"], row.bar * rate) << found.dump();
    } else {
        EXPECT_TRUE(found[0]["kind"] == "exact" && found[0]["length"] == std::ssize(song))
            << found.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, SongAsShipped,
                         ::testing::Values(SongAsShippedRow{"to_the_last_frame", 0.0, 1},
                                           SongAsShippedRow{"then_silence", 0.5, 1},
                                           SongAsShippedRow{"ending_on_a_bar_thrice", 0.0, 1, 3, 3},
                                           SongAsShippedRow{"then_long_silence_twice", 20.0, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A 30 s loop of noise passages, its first 4 s again 10 s in, after a 3 s
// intro (ending as the loop ends where `leadIn`), then `cutAfterStop`
// seconds of a second pass: the loop first where the file shows a second
// pass, and offered ending at the file's end either way. Nor does a 12 s
// passage that the loop plays twice and goes on from (`sectionTwice`) hide it.
struct OnePassRow {
    const char* name;
    double cutAfterStop;
    bool leadIn;
    bool sectionTwice = false;
};

class OnePass : public ::testing::TestWithParam<OnePassRow> {
protected:
    ScratchFolder m_dir{"kestrin-find"};
};

TEST_P(OnePass, TheLoopIsFoundWhereTheFileEnds) {
    const OnePassRow& row = GetParam();
    constexpr std::int64_t rate = 44100;
    const std::vector<float> noise = noiseOf(45);
    const std::vector<float> loop = row.sectionTwice
                                        ? passagesOf(noise, {{0, 4}, {4, 12}, {4, 12}, {16, 4}})
                                        : passagesOf(noise, {{0, 4}, {4, 6}, {0, 4}, {10, 16}});
    Track track{1, 44100, std::vector<float>(noise.begin() + 30 * rate, noise.begin() + 33 * rate)};
    if (row.leadIn)
        std::copy(loop.end() - 2 * rate, loop.end(), track.samples.end() - 2 * rate);
    const auto start = std::ssize(track.samples);
    track.samples.insert(track.samples.end(), loop.begin(), loop.end());
    const auto stop = std::ssize(track.samples);
    track.samples.insert(track.samples.end(), loop.begin(),
                         loop.begin() + static_cast<std::ptrdiff_t>(row.cutAfterStop * rate));
    WriteTrack(track, m_dir.path() / "one.wav", kWav16);
    const nlohmann::json found = foundIn(m_dir.path() / "one.wav");
    ASSERT_FALSE(found.empty());
    EXPECT_TRUE(row.leadIn || (found[0]["start"] == start && found[0]["stop"] == stop))
        << found.dump();
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const nlohmann::json& c) {
        return c["stop"] == std::ssize(track.samples) && c["length"] == stop - start &&
               c["verdict"] == "seamless";
    })) << found.dump();
}

INSTANTIATE_TEST_SUITE_P(Shapes, OnePass,
                         ::testing::Values(OnePassRow{"cut_1_5s_into_the_second_pass", 1.5, false},
                                           OnePassRow{"cut_3s_into_the_second_pass", 3.0, false},
                                           OnePassRow{"one_pass_whose_intro_ends_as_the_loop", 0.0,
                                                      true},
                                           OnePassRow{"cut_after_a_section_twice", 2, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// find --near, as Loop > Refine: a seamless loop given comes back first and
// unchanged, points off it go to the nearest seamless pair, and refining the
// answer returns it. Rows: intro, loop, passes, the given points' offsets
// from the true loop and the answer's.
using RefineRow = std::array<std::int64_t, 6>;
class RefineNear : public testing::TestWithParam<RefineRow> {};

TEST_P(RefineNear, KeepsARightLoopAndGoesToTheNearestSeamlessPair) {
    const auto [intro, loop, passes, startOff, stopOff, answerOff] = GetParam();
    TrackSpec shape;
    std::tie(shape.introFrames, shape.loopFrames, shape.repeats) =
        std::tuple(intro, loop, static_cast<int>(passes));
    const Track track = RenderTrack(shape);
    ScratchFolder dir("kestrin-refine");
    WriteTrack(track, dir.path() / "t.wav", kWav16);
    const std::int64_t start = track.loopStart + startOff;
    const std::int64_t stop = start - startOff + loop + stopOff;
    const nlohmann::json found =
        foundIn(dir.path() / "t.wav", {"--near", std::to_string(start), std::to_string(stop)});
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0]["start"], track.loopStart + answerOff) << found.dump();
    EXPECT_EQ(found[0]["length"], loop) << found.dump();
    for (const nlohmann::json& c : found)
        EXPECT_TRUE(c["kind"] != "exact" || c["length"].get<std::int64_t>() % loop == 0) << c;
    const auto again = foundIn(dir.path() / "t.wav", {"--near", to_string(found[0]["start"]),
                                                      to_string(found[0]["stop"])});
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again[0]["start"], found[0]["start"]);
    EXPECT_EQ(again[0]["stop"], found[0]["stop"]);
}

// A 10 s intro and a 40 s section played twice, from the true loop, from
// 11,000 frames early and from a late pair that is seamless too; a loop of
// 8 s played three times from a start early and a stop late.
INSTANTIATE_TEST_SUITE_P(Points, RefineNear,
                         testing::Values(RefineRow{441000, 1764000, 2, 0, 0, 0},
                                         RefineRow{441000, 1764000, 2, -11000, -11000, 0},
                                         RefineRow{441000, 1764000, 2, 30000, 30000, 30000},
                                         RefineRow{88200, 352800, 3, -22050, 22050, 0}));

} // namespace
