// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/audio_files.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "cli/position_argument.h"
#include "core/pos_file.h"
#include "tests/file_bytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <numbers>
#include <sstream>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
// The row's name, not its bytes, in test listings.
void PrintTo(const ArgRow& row, std::ostream* os) {
    *os << row.text;
}

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
    // Runs the tool in a child process, after `setup` there (dropping root,
    // limiting file sizes), and returns what it printed.
    static ToolRun runInChild(std::vector<std::string> args,
                              const std::function<void()>& setup = {}) {
        int pipeEnds[2];
        if (::pipe(pipeEnds) != 0)
            return {-1, "", "no pipe"};
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(pipeEnds[0]);
            if (setup)
                setup();
            std::ostringstream out;
            std::ostringstream err;
            const int status = RunPosTool(args, out, err);
            const std::string blob =
                std::to_string(out.str().size()) + '\n' + out.str() + err.str();
            for (std::size_t done = 0; done < blob.size();) {
                const ssize_t n = ::write(pipeEnds[1], blob.data() + done, blob.size() - done);
                if (n <= 0)
                    ::_exit(97);
                done += static_cast<std::size_t>(n);
            }
            ::_exit(status);
        }
        ::close(pipeEnds[1]);
        std::string blob;
        char buffer[4096];
        for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
            blob.append(buffer, static_cast<std::size_t>(n));
        ::close(pipeEnds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        const std::size_t newline = blob.find('\n');
        if (newline == std::string::npos)
            return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", "the child printed nothing"};
        const std::size_t outSize = std::stoul(blob.substr(0, newline));
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, blob.substr(newline + 1, outSize),
                blob.substr(newline + 1 + outSize)};
    }
    // Root ignores file permissions: the child becomes nobody.
    static void dropPrivileges() {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(99);
    }
    // Every write past offset 0 fails with EFBIG.
    static void forbidWrites() {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_FSIZE, &none);
    }
    std::vector<std::string> filesIn(const fs::path& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static void put(const std::string& path, const Bytes& bytes) {
        testing_support::writeFileBytes(path, bytes);
    }
    static Bytes get(const std::string& path) { return testing_support::readFileBytes(path); }
    void pos(const std::string& name, std::int32_t start, std::int32_t stop) {
        WritePosFile(at(name), {start, stop});
    }
    // A WAVE file, or of the container `subtype` names, whose sample n of
    // channel c is `value(n, c)`.
    void wav(const std::string& name, int rate, int channels, int subtype, int frames,
             const std::function<double(int, int)>& value = {}) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        // A whole format (Ogg, MPEG) as it is, an encoding alone in WAVE.
        info.format = (subtype & SF_FORMAT_TYPEMASK ? 0 : SF_FORMAT_WAV) | subtype;
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

// ---- the seam check ---------------------------------------------------------

// A whole 16-bit value as wav() takes it: libsndfile writes doubles times 32,767.
double pcm(int value) {
    return value / 32767.0;
}

// Noise in whole 16-bit values, different in each channel.
double noise(int n, int channel) {
    std::uint32_t x = static_cast<std::uint32_t>(n) * 2654435761u + channel * 40503u;
    x ^= x >> 13;
    x *= 0x5bd1e995u;
    x ^= x >> 15;
    return pcm(static_cast<int>(x % 13001) - 6500);
}

// The same noise repeating every kPeriod frames.
constexpr int kPeriod = 3000;
double periodicNoise(int n, int channel) {
    return noise(n % kPeriod, channel);
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
}

constexpr double kTau = 2 * std::numbers::pi;

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
                     {"seam at 00:02.812: click: step of 23,594 (-2.9 dB of full scale)",
                      "problem: seam at 00:02.812 jumps by 23,594 (-2.9 dB of full scale), seam "
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
                     {"click: step of ", "problem: seam at 00:04.535 jumps by "},
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

struct DamagedAudioRow {
    const char* name;
    int format; // 0: a FIFO
    int frames;
    std::function<double(int, int)> value; // two channels
    std::uintmax_t keptBytes;              // 0: the whole file
    std::int32_t start, stop;
    const char* checkSays; // in the damaged file's report
    const char* findSays;  // in find's errors; nullptr: no error required
    // The file's bytes, when libsndfile cannot write the damage; empty: frames as above.
    std::function<std::string()> bytes;
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
    if (row.bytes) {
        std::ofstream(at("bad.wav"), std::ios::binary) << row.bytes();
    } else if (row.format == 0) {
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
    }
    // In a child that an alarm ends: an abort or a hang fails the row, not the suite.
    const auto bounded = [] { ::alarm(120); };

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
        // libsndfile cannot seek in it and gives no length: 2^63 - 1 frames
        // were taken as held.
        DamagedAudioRow{"mp3_without_length_unseekable",
                        SF_FORMAT_MPEG,
                        0,
                        {},
                        0,
                        0,
                        200000,
                        "the file gives no length and holds ",
                        nullptr,
                        unseekableMp3}),
    [](const testing::TestParamInfo<DamagedAudioRow>& info) {
        return std::string(info.param.name);
    });

struct SeamRow {
    const char* name;
    int rate;
    int channels;
    int subtype;
};
// The row's name, not its bytes, in test listings.
void PrintTo(const SeamRow& row, std::ostream* os) {
    *os << row.name;
}

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
        {{"set", "--start", "1"}, ExitUsage},
        {{"set", "x.POS", "--start", "end"}, ExitUsage},
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

// ---- data safety ---------------------------------------------------------------

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
        EXPECT_EQ(full.err, "kestrin-pos: cannot write file /dev/full: No space left on device\n");
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
    const ToolRun r = run({"set", at("a.POS"), at("b.POS"), at("c.POS"), "--stop", "28s"});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_EQ(r.out, at("a.POS") + ": wrote: start 1 (unchanged), stop 1234800 (was 2)\n" +
                         at("c.POS") + ": wrote: start 3 (unchanged), stop 1234800 (was 4)\n");
    EXPECT_EQ(r.err,
              "kestrin-pos: cannot open file " + at("b.POS") + ": No such file or directory\n");
    EXPECT_FALSE(fs::exists(at("b.POS")));
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

TEST_F(PosToolTest, SeamClampsDurationsFarBeyondTheAudio) {
    wav("s.WAV", 44100, 1, SF_FORMAT_PCM_16, 1000, [](int n, int) { return n / 32768.0; });
    pos("s.POS", 100, 900);
    const ToolRun r = run({"seam", at("s.POS"), "-o", at("o.wav"), "--before",
                           "99999999999999999999", "--after", "99999999999999999999"});
    ASSERT_EQ(r.status, ExitOk) << r.err;
    EXPECT_NE(r.out.find("samples 0 to 900 (before the stop), then 100 to 1000"), std::string::npos)
        << r.out;
    SF_INFO info{};
    EXPECT_EQ(readInts(at("o.wav"), info).size(), 900u + 900u);
}

TEST_F(PosToolTest, SeamKeepsAnExistingOutputUnlessForced) {
    wav("s.WAV", 44100, 1, SF_FORMAT_PCM_16, 1000);
    pos("s.POS", 0, 500);
    put(at("o.wav"), {1, 2, 3});
    ASSERT_EQ(::chmod(at("o.wav").c_str(), 0640), 0);
    ASSERT_EQ(::mkfifo(at("pipe.wav").c_str(), 0600), 0);

    ToolRun r = run({"seam", at("s.POS"), "-o", at("o.wav")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.err.find("it exists; --force replaces it"), std::string::npos) << r.err;
    EXPECT_EQ(get(at("o.wav")), (Bytes{1, 2, 3}));

    // A failed write leaves the old output and no temporary file behind.
    r = runInChild({"seam", at("s.POS"), "-o", at("o.wav"), "--force"}, forbidWrites);
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(at("o.wav")), std::string::npos) << r.err;
    EXPECT_EQ(get(at("o.wav")), (Bytes{1, 2, 3}));
    EXPECT_EQ(filesIn(m_dir), (std::vector<std::string>{"o.wav", "pipe.wav", "s.POS", "s.WAV"}));

    r = run({"seam", at("s.POS"), "-o", at("pipe.wav"), "--force"});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.err.find("pipe.wav: it is not a regular file"), std::string::npos) << r.err;

    r = run({"seam", at("s.POS"), "-o", at("o.wav"), "--force"});
    EXPECT_EQ(r.status, ExitOk) << r.err;
    SF_INFO info{};
    EXPECT_EQ(readInts(at("o.wav"), info).size(), 500u + 1000u);
    struct stat st {};
    ASSERT_EQ(::stat(at("o.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

struct CodecRow {
    const char* name;
    int format;
    const char* shown;
};
// The row's name, not its bytes, in test listings.
void PrintTo(const CodecRow& row, std::ostream* os) {
    *os << row.name;
}

class SeamInexactCodecs : public PosToolTest, public testing::WithParamInterface<CodecRow> {};

TEST_P(SeamInexactCodecs, AreRefusedByName) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = GetParam().format;
    if (!sf_format_check(&info))
        GTEST_SKIP() << "this libsndfile cannot write " << GetParam().name;
    SNDFILE* f = sf_open(at("s.WAV").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<short> frames(4410, 1000);
    sf_writef_short(f, frames.data(), static_cast<sf_count_t>(frames.size()));
    sf_close(f);
    pos("s.POS", 0, 4000);
    const ToolRun r = run({"seam", at("s.POS"), "-o", at("o.wav")});
    EXPECT_EQ(r.status, ExitProblem);
    EXPECT_NE(r.err.find(std::string("its ") + GetParam().shown + " encoding"), std::string::npos)
        << r.err;
    EXPECT_EQ(filesIn(m_dir), (std::vector<std::string>{"s.POS", "s.WAV"}));
}

INSTANTIATE_TEST_SUITE_P(
    PosTool, SeamInexactCodecs,
    testing::Values(CodecRow{"ima_adpcm", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, "IMA ADPCM"},
                    CodecRow{"ms_adpcm", SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM, "Microsoft ADPCM"},
                    CodecRow{"gsm610", SF_FORMAT_WAV | SF_FORMAT_GSM610, "GSM 6.10"},
                    CodecRow{"g721", SF_FORMAT_WAV | SF_FORMAT_G721_32, "32kbs G721 ADPCM"},
                    CodecRow{"vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Vorbis"}),
    [](const testing::TestParamInfo<CodecRow>& info) { return std::string(info.param.name); });

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

struct VisibleRow {
    const char* name;
    std::string text;
    std::string shown;
};
// The row's name, not its bytes, in test listings.
void PrintTo(const VisibleRow& row, std::ostream* os) {
    *os << row.name;
}

class VisibleTexts : public testing::TestWithParam<VisibleRow> {};

TEST_P(VisibleTexts, EscapeControlCharacters) {
    EXPECT_EQ(VisibleText(GetParam().text), GetParam().shown);
    EXPECT_EQ(HasControlCharacter(GetParam().text),
              VisibleText(GetParam().text) != GetParam().text &&
                  GetParam().text.find('\\') == std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    PosTool, VisibleTexts,
    testing::Values(VisibleRow{"plain", "BGM 01.POS", "BGM 01.POS"},
                    VisibleRow{"line_break", "x\n0 2147483647 EVIL", "x\\n0 2147483647 EVIL"},
                    VisibleRow{"tab_and_return", "a\tb\r", "a\\tb\\r"},
                    VisibleRow{"escape", "e\x1b[31mred", "e\\x1b[31mred"},
                    VisibleRow{"nul_and_delete", std::string("a\0b\x7f", 4), "a\\x00b\\x7f"},
                    VisibleRow{"backslash", "a\\n", "a\\\\n"},
                    VisibleRow{"utf8_letters", "M\xC3\xBCsik \xE2\x99\xAA",
                               "M\xC3\xBCsik \xE2\x99\xAA"},
                    VisibleRow{"utf8_c1_control",
                               "a\xC2\x9B"
                               "31m",
                               "a\\u009b31m"},
                    VisibleRow{"lone_c1_byte",
                               "a\x9B"
                               "31m",
                               "a\\x9b31m"},
                    VisibleRow{"latin1_letter", "caf\xE9", "caf\xE9"}),
    [](const testing::TestParamInfo<VisibleRow>& info) { return std::string(info.param.name); });

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
