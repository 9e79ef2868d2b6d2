// SPDX-License-Identifier: GPL-3.0-or-later
// What holds for every kestrin-pos command: exit statuses, batches that go on past a bad file,
// damaged audio, names made visible.
#include "cli/pos_tool.h"
#include "tests/pos_tool_support.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrin;
using namespace kestrin::cli;
using namespace kestrin::testing_support;

namespace {

TEST_F(PosToolTest, BatchGoesOnPastABadFile) {
    fs::create_directories(m_dir / "sub");
    pos("a.POS", 0, 10);
    wav("a.WAV", 44100, 1, SF_FORMAT_PCM_16, 100);
    pos("sub/b.pos", 0, 10);
    wav("sub/b.wav", 44100, 1, SF_FORMAT_PCM_16, 100);
    pos("sub/c.POS", 0, 10); // no audio: the bad one in the middle
    pos("sub/d.POS", 0, 10);
    wav("sub/d.WAV", 44100, 1, SF_FORMAT_PCM_16, 100);

    ToolRun r = run({"check", m_dir.string()}); // walked as find walks it, -r or not
    EXPECT_EQ(r.status, ExitProblem);
    for (const char* f : {"a.POS: ok", "b.pos: ok", "c.POS: 1 problem", "d.POS: ok"})
        EXPECT_NE(r.out.find(f), std::string::npos) << f << "\n" << r.out;

    r = run({"check", at("a.POS"), at("missing.POS"), at("sub/d.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.out.find("d.POS: ok"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("No such file or directory"), std::string::npos) << r.out;

    fs::create_directory(m_dir / "e");
    EXPECT_NE(run({"check", at("e")}).out.find(at("e") + " is a folder without POS"), -1ul);

    r = run({"export", at("a.POS"), at("missing.POS"), at("sub/d.POS")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_EQ(r.out, "0 10 a\n0 10 d\n");
    EXPECT_NE(r.err.find("missing.POS"), std::string::npos);

    EXPECT_EQ(run({"check", "-r", (m_dir / "sub" / "d.POS").string()}).status, ExitOk);
}

struct DamagedAudioRow {
    const char* name;
    int format; // 0: a FIFO
    int frames;
    std::function<double(int, int)> value; // two channels
    std::uintmax_t keptBytes;              // 0: the whole file
    std::int32_t start, stop;
    const char* checkSays; // in the damaged file's report
    const char* findSays;  // in find's errors; nullptr: no error required
    // Damages the bytes written as above where libsndfile cannot, or replaces them.
    std::function<void(std::string&)> damage;
};
void PrintTo(const DamagedAudioRow& row, std::ostream* os) {
    *os << row.name;
}

class DamagedAudio : public PosToolTest, public testing::WithParamInterface<DamagedAudioRow> {};

// The damaged file sits between two good ones: its fault is reported as its
// own, and the one after it is still handled.
TEST_P(DamagedAudio, IsItsOwnProblemAndTheBatchGoesOn) {
    const DamagedAudioRow& row = GetParam();
    for (const char* name : {"ok1", "ok2"}) {
        pos(std::string(name) + ".pos", 0, 1000);
        wav(std::string(name) + ".wav", 44100, 1, SF_FORMAT_PCM_16, 2000);
    }
    pos("bad.pos", row.start, row.stop);
    if (row.format == 0) {
        ASSERT_EQ(::mkfifo(at("bad.wav").c_str(), 0600), 0);
    } else {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = row.format & SF_FORMAT_TYPEMASK ? row.format : SF_FORMAT_WAV | row.format;
        if (!sf_format_check(&info))
            GTEST_SKIP() << "this libsndfile cannot write " << row.name;
        wav("bad.wav", 44100, 2, row.format, row.frames, row.value);
        if (row.keptBytes > 0)
            fs::resize_file(at("bad.wav"), row.keptBytes);
        if (row.damage) {
            std::ifstream in(at("bad.wav"), std::ios::binary);
            std::string bytes{std::istreambuf_iterator<char>(in), {}};
            in.close();
            row.damage(bytes);
            std::ofstream(at("bad.wav"), std::ios::binary | std::ios::trunc) << bytes;
        }
    }
    // In a child that an alarm ends: an abort or a hang fails the row, not the
    // suite. Nothing is sized by what a header claims, so 4 GiB of address
    // space is plenty (not under AddressSanitizer, whose shadow takes more).
    const auto bounded = [] {
        ::alarm(120);
#ifndef __SANITIZE_ADDRESS__
        const rlimit space{rlim_t{4} << 30, rlim_t{4} << 30};
        ::setrlimit(RLIMIT_AS, &space);
#endif
    };

    ToolRun r = runInChild({"check", at("ok1.pos"), at("bad.pos"), at("ok2.pos")}, bounded);
    EXPECT_EQ(r.status, ExitProblem) << r.err;
    const std::size_t report = r.out.find(at("bad.pos") + ": ");
    const std::size_t next = r.out.find(at("ok2.pos") + ": ok\n");
    ASSERT_NE(report, std::string::npos) << r.out << r.err;
    ASSERT_NE(next, std::string::npos) << r.out << r.err;
    EXPECT_NE(r.out.substr(report, next - report).find(row.checkSays), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3 files, 1 with a problem\n"), std::string::npos) << r.out;

    r = runInChild({"find", at("ok1.wav"), at("bad.wav"), at("ok2.wav")}, bounded);
    EXPECT_EQ(r.status, ExitProblem) << r.err;
    EXPECT_NE(r.out.find(at("ok2.wav") + ": "), std::string::npos) << r.out << r.err;
    if (row.findSays) {
        EXPECT_NE(r.err.find(row.findSays), std::string::npos) << r.err;
    }
}

// Under an address-space limit, at every step of it from what the process
// already holds on, a file that cannot be searched is "not enough memory" and
// the batch goes on: the transforms' library must never end the process.
TEST_F(PosToolTest, FindOutOfMemoryIsTheFilesProblemNeverAnAbort) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than any limit here";
#else
    const auto noise = [](int n, int c) { return std::sin(n * 0.37 + c) * std::sin(n * 0.0011); };
    wav("big.wav", 44100, 2, SF_FORMAT_PCM_16, 44100 * 30, noise);
    wav("small.wav", 44100, 1, SF_FORMAT_PCM_16, 44100 * 3, noise);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t held = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    constexpr rlim_t kStep = rlim_t{3} << 20;
    for (rlim_t extra = 0; extra <= 30 * kStep; extra += kStep) {
        SCOPED_TRACE("limit " + std::to_string(extra >> 20) + " MB above what is held");
        const ToolRun r = runInChild({"find", "-n", "1", at("big.wav"), at("small.wav")}, [&] {
            ::alarm(120);
            const rlimit space{held + extra, held + extra};
            ::setrlimit(RLIMIT_AS, &space);
        });
        ASSERT_NE(r.status, -1) << "ended by a signal\n" << r.err;
        if (r.status != ExitOk) {
            EXPECT_NE(r.err.find("not enough memory"), std::string::npos) << r.err;
        }
        EXPECT_NE(r.out.find("2 files"), std::string::npos) << r.out << r.err;
        for (const char* file : {"big.wav", "small.wav"})
            EXPECT_NE((r.out + r.err).find(at(file)), std::string::npos) << r.out << r.err;
        // Once both files are searched, every higher limit would only repeat it.
        if (r.status == ExitOk)
            break;
    }
#endif
}

// Empty MPEG-2.5 layer III frames behind a Xing header that counts nine
// frames and no bytes.
std::string unseekableMp3() {
    std::string bytes(2880, '\0');
    for (std::size_t at = 0; at < bytes.size(); at += 0x120)
        bytes.replace(at, 4, "\xff\xe3\x48\xc4");
    bytes.replace(13, 12, std::string("Xing\0\0\0\x0f\0\0\0\x09", 12));
    bytes[0x85] = bytes[0x9a] = bytes[0x9b] = '\xff';
    return bytes;
}

// A FLAC file's STREAMINFO counting 2^31 frames, whatever it holds.
void claimTwoToThe31Frames(std::string& flac) {
    // "fLaC", the block's header, then the count's 36 bits from the low
    // nibble of the block's byte 13 on.
    flac[21] = static_cast<char>(flac[21] & 0xf0);
    flac.replace(22, 4, std::string("\x80\0\0\0", 4));
}

// An MP3 file's Xing or Info header counting 2^23 - 1 frames of 1,152 samples.
void claimManyMp3Frames(std::string& mp3) {
    // LAME names it Xing in a VBR file, Info in a CBR one.
    std::size_t tag = mp3.find("Xing");
    if (tag == std::string::npos)
        tag = mp3.find("Info");
    ASSERT_NE(tag, std::string::npos);
    ASSERT_TRUE(mp3[tag + 7] & 1) << "no frame count in the header";
    mp3.replace(tag + 8, 4, std::string("\0\x7f\xff\xff", 4));
}

// A sine with one sample of `bad` in the second channel just after frame 100,000.
std::function<double(int, int)> sineWith(double bad) {
    return [bad](int n, int c) { return n == 100001 && c == 1 ? bad : 0.5 * std::sin(n * 0.01); };
}

INSTANTIATE_TEST_SUITE_P(
    PosTool, DamagedAudio,
    testing::Values(
        // libsndfile gives 2^63 - 1 frames for an Ogg file cut short.
        DamagedAudioRow{"ogg_cut_short",
                        SF_FORMAT_OGG | SF_FORMAT_VORBIS,
                        3 * 44100,
                        noise,
                        16000,
                        0,
                        200000,
                        "the file gives no length and holds ",
                        nullptr,
                        {}},
        DamagedAudioRow{"ogg_cut_short_stop_beyond",
                        SF_FORMAT_OGG | SF_FORMAT_VORBIS,
                        3 * 44100,
                        noise,
                        16000,
                        0,
                        200000,
                        "lies beyond the end of the audio",
                        nullptr,
                        {}},
        // Its Info header still counts ten seconds; the start lies past the real end.
        DamagedAudioRow{"mp3_cut_short",
                        SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III,
                        10 * 44100,
                        noise,
                        80000,
                        300000,
                        400000,
                        "the file claims 441,000 frames but holds ",
                        nullptr,
                        {}},
        // libFLAC cannot seek to a frame the header counts but the file lacks.
        DamagedAudioRow{"flac_cut_short",
                        SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                        3 * 44100,
                        noise,
                        100000,
                        0,
                        120000,
                        "the file claims 132,300 frames but holds ",
                        nullptr,
                        {}},
        DamagedAudioRow{"fifo",
                        0,
                        0,
                        {},
                        0,
                        0,
                        1000,
                        "no audio file found beside it",
                        "bad.wav: it is a FIFO, not a regular file",
                        {}},
        DamagedAudioRow{"nan_at_the_seam",
                        SF_FORMAT_FLOAT,
                        200000,
                        sineWith(std::numeric_limits<double>::quiet_NaN()),
                        0,
                        10000,
                        100000,
                        "bad.wav: sample 100,001 is not a number",
                        "bad.wav: sample 100,001 is not a number",
                        {}},
        DamagedAudioRow{"infinity_at_the_seam",
                        SF_FORMAT_FLOAT,
                        200000,
                        sineWith(std::numeric_limits<double>::infinity()),
                        0,
                        10000,
                        100000,
                        "bad.wav: sample 100,001 is infinite",
                        "bad.wav: sample 100,001 is infinite",
                        {}},
        DamagedAudioRow{"absurd_level_at_the_seam",
                        SF_FORMAT_DOUBLE,
                        200000,
                        sineWith(-1e30),
                        0,
                        10000,
                        100000,
                        "sample 100,001 is -1e+30, over 60 dB above full scale",
                        "sample 100,001 is -1e+30, over 60 dB above full scale",
                        {}},
        // Past the stop, where the nearest seamless stop is looked for.
        DamagedAudioRow{"infinity_after_the_stop",
                        SF_FORMAT_FLOAT,
                        200000,
                        sineWith(std::numeric_limits<double>::infinity()),
                        0,
                        10000,
                        90000,
                        "bad.wav: sample 100,001 is infinite",
                        "bad.wav: sample 100,001 is infinite",
                        {}},
        // libsndfile cannot seek in it and gives no length: 2^63 - 1 frames
        // were taken as held.
        DamagedAudioRow{"mp3_without_length_unseekable",
                        SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III,
                        0,
                        {},
                        0,
                        0,
                        200000,
                        "the file gives no length and holds ",
                        nullptr,
                        [](std::string& bytes) { bytes = unseekableMp3(); }},
        // A second of audio whose header claims far more: nothing may be
        // sized or searched by the claim.
        DamagedAudioRow{"flac_claiming_2_to_the_31_frames", SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                        44100, noise, 0, 0, 120000,
                        "the file claims 2,147,483,648 frames but holds 44,100", nullptr,
                        claimTwoToThe31Frames},
        DamagedAudioRow{"mp3_info_claiming_8_million_frames",
                        SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, noise, 0, 0, 120000,
                        "frames but holds ", nullptr, claimManyMp3Frames}),
    [](const testing::TestParamInfo<DamagedAudioRow>& info) {
        return std::string(info.param.name);
    });

struct UsageRow {
    std::vector<std::string> args;
    int status;
    std::string says = {}; // in what it prints on standard error
};

TEST(PosToolUsage, ExitCodes) {
    const std::vector<UsageRow> rows = {
        {{}, ExitUsage},
        {{"--help"}, ExitOk},
        {{"frobnicate"}, ExitUsage},
        {{"show"}, ExitUsage},
        {{"show", "--color", "x.POS"}, ExitUsage},
        {{"set", "x.POS"}, ExitUsage},
        {{"set", "--start", "1"}, ExitUsage},
        {{"set", "x.POS", "--start", "end"}, ExitUsage},
        {{"set", "x.POS", "--start"}, ExitUsage},
        {{"seam", "x.POS"}, ExitUsage},
        {{"seam", "x.POS", "-o", "y.wav", "--before", "-1"}, ExitUsage},
        {{"check", "--help"}, ExitOk},
        {{"seam", "-h"}, ExitOk},
        {{"fnd", "x.wav"}, ExitUsage, "(did you mean \"find\"?)"},
        {{"sohw", "x.POS"}, ExitUsage, "(did you mean \"show\"?)"},
        {{"find", "--writ", "x.wav"}, ExitUsage, "unknown option --writ (did you mean --write?)"},
        {{"render", "x.POS", "--crosfade=50ms"}, ExitUsage, "(did you mean --crossfade?)"},
        {{"render", "x.POS", "--crossfade", "-o", "y", "--even-if-not-seamless"}, ExitUsage},
        {{"find", "--hlep"}, ExitUsage, "(did you mean --help?)"},
        {{"find", "--frobnicate", "x.wav"}, ExitUsage, "unknown option --frobnicate\n"},
        {{"set", "--sta", "1", "x.POS"},
         ExitUsage,
         "unknown option --sta\n"}, // too far from both --start and --stop
    };
    for (const UsageRow& row : rows) {
        std::ostringstream out;
        std::ostringstream err;
        std::vector<std::string> args = row.args;
        EXPECT_EQ(RunPosTool(args, out, err), row.status)
            << (args.empty() ? std::string("(none)") : args[0]) << " " << err.str();
        if (!row.says.empty()) {
            EXPECT_NE(err.str().find(row.says), std::string::npos) << err.str();
        }
    }
}

TEST(PosToolUsage, VersionIsTheProjects) {
    for (const char* arg : {"--version", "-v", "version"}) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunPosTool({arg}, out, err), ExitOk) << arg;
        EXPECT_EQ(out.str(), "kestrin-pos " KESTRIN_VERSION "\n") << arg;
        EXPECT_EQ(err.str(), "") << arg;
    }
}

// Every command that meets an audio file where a POS file belongs says so and
// leaves it alone.
TEST_F(PosToolTest, AudioFileIsNotAPosFileInAnyCommand) {
    wav("VICTIM.WAV", 44100, 1, SF_FORMAT_PCM_16, 44100);
    const Bytes audio = get(at("VICTIM.WAV"));
    const std::vector<std::vector<std::string>> commands = {
        {"set", at("VICTIM.WAV"), "--start", "2s", "--stop", "20s"},
        {"set", at("VICTIM.WAV"), "--stop", "5"},
        {"set", at("VICTIM.WAV"), "--stop", "seamless"},
        {"set", at("VICTIM.WAV"), "--start", "5", "--dry-run"},
        {"show", at("VICTIM.WAV")},
        {"show", "--json", at("VICTIM.WAV")},
        {"export", at("VICTIM.WAV")},
        {"seam", at("VICTIM.WAV"), "-o", at("out.wav")},
        {"check", at("VICTIM.WAV")},
    };
    for (const auto& args : commands) {
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, ExitProblem) << args[0] << " " << args[2];
        const std::string& told = args[0] == "check" ? r.out : r.err;
        EXPECT_NE(told.find(at("VICTIM.WAV") + " is "), std::string::npos) << told;
        EXPECT_NE(told.find("not a POS file"), std::string::npos) << told;
        if (args[0] != "check") {
            EXPECT_EQ(r.err.rfind("kestrin-pos: ", 0), 0u) << r.err;
            EXPECT_EQ(r.out, "");
        }
    }
    EXPECT_EQ(get(at("VICTIM.WAV")), audio);
    EXPECT_FALSE(fs::exists(at("out.wav")));
}

TEST_F(PosToolTest, NamesReachTheTerminalEscapedInEveryCommand) {
    const std::string name = "e\x1b[31mred";
    pos(name + ".POS", 0, 10);
    wav(name + ".WAV", 44100, 1, SF_FORMAT_PCM_16, 100);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"show", at(name + ".POS")},
          {"check", at(name + ".POS")},
          {"set", at(name + ".POS"), "--start", "1"},
          {"seam", at(name + ".POS"), "-o", at(name + ".out.wav")},
          {"show", at(name + ".missing")}}) {
        const ToolRun r = run(args);
        EXPECT_EQ((r.out + r.err).find('\x1b'), std::string::npos) << args[0];
        EXPECT_NE((r.out + r.err).find("e\\x1b[31mred"), std::string::npos) << args[0];
    }
}

} // namespace
