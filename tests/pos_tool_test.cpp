// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio_files.h"
#include "file_bytes.h"
#include "pos_file.h"
#include "pos_tool.h"
#include "position_argument.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <vector>

#include <unistd.h>

using namespace kestrin;
using namespace kestrin::cli;
namespace fs = std::filesystem;

namespace {

using testing_support::Bytes;

// ---- position arguments ----------------------------------------------------

struct ArgRow {
    const char* text;
    std::int32_t expected;
};

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
    for (const char* text :
         {"99999999999", "2147483648", "-2147483649", "1e20s", "48696s", "99999999999:00"}) {
        EXPECT_THROW(ParsePositionArgument(text), OverflowError) << text;
    }
}

// ---- commands on real files --------------------------------------------------

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

class PosToolTest : public testing::Test {
protected:
    std::string at(const std::string& name) const { return (m_dir / name).string(); }

    static ToolRun run(std::vector<std::string> args) {
        std::ostringstream out;
        std::ostringstream err;
        const int status = RunPosTool(args, out, err);
        return {status, out.str(), err.str()};
    }
    static void put(const std::string& path, const Bytes& bytes) {
        testing_support::writeFileBytes(path, bytes);
    }
    static Bytes get(const std::string& path) { return testing_support::readFileBytes(path); }
    void pos(const std::string& name, std::int32_t start, std::int32_t stop) {
        WritePosFile(at(name), {start, stop});
    }
    // A WAVE file whose sample n of channel c is `value(n, c)`.
    void wav(const std::string& name, int rate, int channels, int subtype, int frames,
             const std::function<double(int, int)>& value = {}) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | subtype;
        SNDFILE* f = sf_open(at(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        std::vector<double> data(static_cast<std::size_t>(frames * channels));
        for (int n = 0; n < frames; ++n)
            for (int c = 0; c < channels; ++c)
                data[static_cast<std::size_t>(n * channels + c)] = value ? value(n, c) : 0.0;
        ASSERT_EQ(sf_writef_double(f, data.data(), frames), frames);
        sf_close(f);
    }
    static std::vector<int> readInts(const std::string& path, SF_INFO& info) {
        info = {};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        EXPECT_NE(f, nullptr) << path;
        std::vector<int> data(static_cast<std::size_t>(info.frames * info.channels));
        sf_readf_int(f, data.data(), info.frames);
        sf_close(f);
        return data;
    }

    testing_support::ScratchFolder m_scratch{"kestrin-postool"};
    const fs::path& m_dir = m_scratch.path();
};

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
    EXPECT_NE(first.find("\"start\":{\"samples\":-1323000,\"seconds\":\"-30\",\"slider\":0,"
                         "\"clock\":\"-00:30\"}"),
              std::string::npos)
        << first;
    // The loop length exceeds 32 bits here and must not wrap.
    EXPECT_NE(first.find("\"loop\":{\"samples\":2148806647,"), std::string::npos) << first;
    EXPECT_NE(second.find("\"loop\":{\"samples\":0,\"seconds\":\"0\"}"), std::string::npos);
}

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

TEST_F(PosToolTest, SetCreatesOnlyWithBothValues) {
    EXPECT_EQ(run({"set", at("new.POS"), "--stop", "5"}).status, ExitProblem);
    EXPECT_FALSE(fs::exists(at("new.POS")));
    EXPECT_EQ(run({"set", at("new.POS"), "--start", "0", "--stop", "600s"}).status, ExitOk);
    EXPECT_EQ(get(at("new.POS")), (Bytes{0, 0, 0, 0, 0x60, 0xBF, 0x93, 0x01}));
}

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

TEST_F(PosToolTest, CheckReportsLengthOtherThanEight) {
    put(at("long.POS"), {0, 0, 0, 0, 10, 0, 0, 0, 1, 2, 3, 4});
    wav("long.WAV", 44100, 1, SF_FORMAT_PCM_16, 100);
    const ToolRun r = run({"check", at("long.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.out.find("12 bytes long, not 8"), std::string::npos) << r.out;
}

TEST_F(PosToolTest, BatchGoesOnPastABadFile) {
    fs::create_directories(m_dir / "sub");
    pos("a.POS", 0, 10);
    wav("a.WAV", 44100, 1, SF_FORMAT_PCM_16, 100);
    pos("sub/b.pos", 0, 10);
    wav("sub/b.wav", 44100, 1, SF_FORMAT_PCM_16, 100);
    pos("sub/c.POS", 0, 10); // no audio: the bad one in the middle
    pos("sub/d.POS", 0, 10);
    wav("sub/d.WAV", 44100, 1, SF_FORMAT_PCM_16, 100);

    ToolRun r = run({"check", "-r", m_dir.string()});
    EXPECT_EQ(r.status, ExitProblem);
    for (const char* f : {"a.POS: ok", "b.pos: ok", "c.POS: 1 problem", "d.POS: ok"})
        EXPECT_NE(r.out.find(f), std::string::npos) << f << "\n" << r.out;

    r = run({"check", at("a.POS"), at("missing.POS"), at("sub/d.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.out.find("d.POS: ok"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("No such file or directory"), std::string::npos) << r.out;

    r = run({"check", m_dir.string()}); // a folder without -r
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.err.find("use -r"), std::string::npos);

    r = run({"export", at("a.POS"), at("missing.POS"), at("sub/d.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_EQ(r.out, "0 10 a\n0 10 d\n");
    EXPECT_NE(r.err.find("missing.POS"), std::string::npos);

    EXPECT_EQ(run({"check", "-r", (m_dir / "sub" / "d.POS").string()}).status, ExitOk);
}

struct SeamRow {
    const char* name;
    int rate;
    int channels;
    int subtype;
};

class SeamRows : public PosToolTest, public testing::WithParamInterface<SeamRow> {};

TEST_P(SeamRows, CopiesTheFramesAroundTheLoopExactly) {
    const SeamRow& row = GetParam();
    const int frames = row.rate * 2;
    // Every sample distinct and exactly representable in 16-bit PCM.
    wav("song.WAV", row.rate, row.channels, row.subtype, frames,
        [](int n, int c) { return ((n * 7 + c * 3) % 30000 - 15000) / 32768.0; });
    pos("song.POS", 1000, 60000);
    const ToolRun r =
        run({"seam", at("song.POS"), "-o", at("out.wav"), "--before", "0.5", "--after", "0.25s"});
    ASSERT_EQ(r.status, ExitOk) << r.err;

    SF_INFO src{};
    SF_INFO out{};
    const std::vector<int> source = readInts(at("song.WAV"), src);
    const std::vector<int> seam = readInts(at("out.wav"), out);
    EXPECT_EQ(out.format, src.format);
    EXPECT_EQ(out.channels, src.channels);
    EXPECT_EQ(out.samplerate, src.samplerate);
    const int before = row.rate / 2;
    const int after = row.rate / 4;
    ASSERT_EQ(out.frames, before + after);
    const auto ch = static_cast<std::size_t>(row.channels);
    std::vector<int> expected(source.begin() + static_cast<long>((60000 - before) * ch),
                              source.begin() + static_cast<long>(60000 * ch));
    expected.insert(expected.end(), source.begin() + static_cast<long>(1000 * ch),
                    source.begin() + static_cast<long>((1000 + after) * ch));
    EXPECT_TRUE(seam == expected);
}

INSTANTIATE_TEST_SUITE_P(PosTool, SeamRows,
                         testing::Values(SeamRow{"mono_16_bit_44100", 44100, 1, SF_FORMAT_PCM_16},
                                         SeamRow{"stereo_16_bit_48000", 48000, 2, SF_FORMAT_PCM_16},
                                         SeamRow{"stereo_float_44100", 44100, 2, SF_FORMAT_FLOAT},
                                         SeamRow{"mono_24_bit_48000", 48000, 1, SF_FORMAT_PCM_24}),
                         [](const testing::TestParamInfo<SeamRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(PosToolTest, SeamClampsAtTheEdgesAndTreatsBadStopAsEnd) {
    wav("s.WAV", 44100, 1, SF_FORMAT_PCM_16, 1000, [](int n, int) { return n / 32768.0; });
    pos("s.POS", 900, 0); // stop 0: players loop at the end of the audio
    ASSERT_EQ(run({"seam", at("s.POS"), "-o", at("o.wav")}).status, ExitOk);
    SF_INFO info{};
    const std::vector<int> seam = readInts(at("o.wav"), info);
    ASSERT_EQ(info.frames, 1000 + 100); // all before the end, then 900..1000
    EXPECT_EQ(seam.front() >> 16, 0);
    EXPECT_EQ(seam[999] >> 16, 999);
    EXPECT_EQ(seam[1000] >> 16, 900);
}

TEST_F(PosToolTest, SeamRefusesToOverwriteItsInputs) {
    wav("s.WAV", 44100, 1, SF_FORMAT_PCM_16, 1000);
    pos("s.POS", 0, 500);
    const Bytes audio = get(at("s.WAV"));
    for (const char* target : {"s.WAV", "s.POS"}) {
        const ToolRun r = run({"seam", at("s.POS"), "-o", at(target)});
        EXPECT_EQ(r.status, ExitProblem) << target;
        EXPECT_NE(r.err.find("refusing to overwrite"), std::string::npos) << r.err;
    }
    EXPECT_EQ(get(at("s.WAV")), audio);
    EXPECT_EQ(ReadPosFile(at("s.POS")), (PosValues{0, 500}));

    pos("s.POS", 600, 500); // start after stop: no loop
    EXPECT_EQ(run({"seam", at("s.POS"), "-o", at("o.wav")}).status, ExitProblem);
}

struct UsageRow {
    std::vector<std::string> args;
    int status;
};

TEST(PosToolUsage, ExitCodes) {
    const std::vector<UsageRow> rows = {
        {{}, ExitUsage},
        {{"--help"}, ExitOk},
        {{"frobnicate"}, ExitUsage},
        {{"show"}, ExitUsage},
        {{"show", "--color", "x.POS"}, ExitUsage},
        {{"set", "x.POS"}, ExitUsage},
        {{"set", "a.POS", "b.POS", "--start", "1"}, ExitUsage},
        {{"set", "x.POS", "--start"}, ExitUsage},
        {{"seam", "x.POS"}, ExitUsage},
        {{"seam", "x.POS", "-o", "y.wav", "--before", "-1"}, ExitUsage},
        {{"check", "--help"}, ExitOk},
        {{"seam", "-h"}, ExitOk},
    };
    for (const UsageRow& row : rows) {
        std::ostringstream out;
        std::ostringstream err;
        std::vector<std::string> args = row.args;
        EXPECT_EQ(RunPosTool(args, out, err), row.status)
            << (args.empty() ? std::string("(none)") : args[0]) << " " << err.str();
    }
}

} // namespace
