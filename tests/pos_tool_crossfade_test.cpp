// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/render/crossfade.h"
#include "tests/pos_tool_support.h"
#include "tests/song_corpus.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include <sys/mount.h>

namespace {

using namespace kestrin;
using namespace kestrin::testing_support;

class Crossfade : public PosToolTest {
protected:
    // The song's frames as a 16-bit stereo WAVE file.
    void song(const std::string& name, const audio::AudioSamples& audio) {
        SF_INFO info{};
        info.samplerate = audio.sampleRate;
        info.channels = audio.channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(at(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_writef_float(f, audio.samples.data(), audio.frames());
        sf_close(f);
    }
    // The samples crossfaded, from the tool's report ("the 2205 samples").
    static std::int64_t faded(const std::string& report) {
        const auto at = report.find("the ");
        return at == std::string::npos ? -1 : std::stoll(report.substr(at + 4));
    }
};

TEST_F(Crossfade, OnlyTheFramesBeforeTheStopChangeAndTheSeamBecomesSeamless) {
    Song music = RenderSong({});
    struct Row {
        const char* name;
        std::function<void()> make;
        std::int32_t start, stop;
        const char* curve;
    };
    const Row rows[] = {
        // A tone stepping at the jump, looped to the end of the audio.
        {"tone",
         [&] {
             wav("A.WAV", 44100, 1, SF_FORMAT_PCM_16, 264600,
                 [](int n, int) { return 0.5 * std::sin(kTau * 440.02 * n / 44100); });
         },
         44100, 264600, "equal gain"},
        {"noise", [&] { wav("A.WAV", 44100, 2, SF_FORMAT_PCM_16, 264600, noise); }, 44100, 200000,
         "equal power"},
        {"song", [&] { song("A.WAV", music.audio); }, static_cast<std::int32_t>(music.passStart),
         static_cast<std::int32_t>(music.passStart + music.passFrames), nullptr},
    };
    for (const Row& row : rows) {
        row.make();
        pos("A.POS", row.start, row.stop);
        const ToolRun r = run({"render", at("A.POS"), "--crossfade", "-o", at("B.WAV"), "--force"});
        ASSERT_EQ(r.status, cli::ExitOk) << row.name << r.err;
        if (row.curve) {
            EXPECT_NE(r.out.find(row.curve), std::string::npos) << row.name << r.out;
        }
        const std::int64_t n = faded(r.out);
        ASSERT_GT(n, 0) << r.out;
        SF_INFO a{};
        SF_INFO b{};
        const std::vector<int> source = readInts(at("A.WAV"), a);
        const std::vector<int> result = readInts(at("B.WAV"), b);
        ASSERT_EQ(source.size(), result.size()) << row.name;
        EXPECT_EQ(a.format, b.format);
        const auto edge = [&](std::int64_t frame) { return frame * a.channels; };
        EXPECT_TRUE(std::equal(source.begin(), source.begin() + edge(row.stop - n), result.begin()))
            << row.name;
        EXPECT_TRUE(std::equal(source.begin() + edge(row.stop), source.end(),
                               result.begin() + edge(row.stop)))
            << row.name;
        // The last frame before the stop is the one before the start.
        EXPECT_EQ(result[edge(row.stop - 1)], source[edge(row.start - 1)]) << row.name;
        pos("B.POS", row.start, row.stop);
        const ToolRun check = run({"check", at("B.POS")});
        EXPECT_NE(check.out.find(": seamless"), std::string::npos) << row.name << check.out;
        // Asked near it, find gives the loop back first, unchanged.
        const ToolRun near = run(
            {"find", "--near", std::to_string(row.start), std::to_string(row.stop), at("B.WAV")});
        const std::string first = near.out.substr(near.out.find("1. start"));
        EXPECT_EQ(first.rfind("1. start " + std::to_string(row.start) + " ", 0), 0u) << near.out;
        EXPECT_NE(first.substr(0, first.find('\n')).find("stop " + std::to_string(row.stop) + " "),
                  std::string::npos)
            << row.name << near.out;
        // Chosen by check's own verdict: no shorter length makes it seamless.
        for (const int ms : audio::kCrossfadeLengthsMs) {
            if (std::int64_t{ms} * 44100 / 1000 >= n)
                break;
            run({"render", at("A.POS"), "--crossfade", std::to_string(ms) + "ms", "-o", at("B.WAV"),
                 "--force"});
            EXPECT_EQ(run({"check", at("B.POS")}).out.find(": seamless"), std::string::npos)
                << row.name << ' ' << ms;
        }
    }
}

TEST_F(Crossfade, LoopsWithoutRoomOrAtAnotherRateAreRefused) {
    wav("A.WAV", 44100, 1, SF_FORMAT_PCM_16, 44100, noise);
    wav("R.WAV", 48000, 1, SF_FORMAT_PCM_16, 48000, noise);
    pos("R.POS", 4800, 40000);
    struct Row {
        std::int32_t start, stop;
        const char* duration;
        const char* reason;
    };
    // Refusals speak in seconds, as the user gave the duration.
    const Row rows[] = {{100, 40000, "10ms",
                         "0.01 s (441 frames) needs as many before the start, "
                         "which is at 0.002 s (100 frames)"},
                        {20000, 24000, "0.05", "half the loop, which lasts 0.091 s (4,000 frames)"},
                        {20000, 24000, "30", "a crossfade of 30 s (1,323,000 frames)"},
                        {20000, 20200, nullptr, "half the loop"}};
    for (const Row& row : rows) {
        pos("A.POS", row.start, row.stop);
        std::vector<std::string> args{"render", at("A.POS"), "--crossfade", "-o", at("B.WAV")};
        if (row.duration)
            args.insert(args.begin() + 3, row.duration);
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, cli::ExitProblem) << row.reason;
        EXPECT_NE(r.err.find(row.reason), std::string::npos) << r.err;
    }
    const ToolRun rate = run({"render", at("R.POS"), "--crossfade", "-o", at("B.WAV")});
    EXPECT_NE(rate.err.find("48,000 Hz"), std::string::npos) << rate.err;
    EXPECT_EQ(filesIn(m_dir), (std::vector<std::string>{"A.POS", "A.WAV", "R.POS", "R.WAV"}));
}

TEST_F(Crossfade, InPlaceFailuresLeaveTheAudioUntouched) {
    wav("A.WAV", 44100, 2, SF_FORMAT_PCM_16, 132300, noise);
    pos("A.POS", 22050, 110250);
    const Bytes before = get(at("A.WAV"));
    const std::vector<std::string> args{"render", at("A.POS"),  "--crossfade",
                                        "0.1",    "--in-place", "--even-if-not-seamless"};
    ::chmod(m_dir.c_str(), 0555);
    EXPECT_EQ(runInChild(args, dropPrivileges).status, cli::ExitProblem);
    ::chmod(m_dir.c_str(), 0755);
    EXPECT_EQ(runInChild(args, forbidWrites).status, cli::ExitProblem);
    EXPECT_EQ(get(at("A.WAV")), before);
    SF_INFO info{};
    const std::vector<int> original = readInts(at("A.WAV"), info);
    ASSERT_EQ(run(args).status, cli::ExitOk);
    fs::remove(at("A.WAV.orig"));
    const std::vector<int> faded = readInts(at("A.WAV"), info);
    EXPECT_TRUE(
        std::equal(original.begin(), original.end() - 2 * (132300 - 110250 + 4410), faded.begin()));
    // A float sample that is not a number: the file is damaged.
    wav("A.WAV", 44100, 2, SF_FORMAT_FLOAT, 132300, noise);
    Bytes damaged = get(at("A.WAV"));
    std::fill(damaged.end() - 400, damaged.end() - 396, 0xFF);
    put(at("A.WAV"), damaged);
    EXPECT_EQ(run(args).status, cli::ExitProblem);
    EXPECT_EQ(get(at("A.WAV")), damaged);
    EXPECT_EQ(filesIn(m_dir), (std::vector<std::string>{"A.POS", "A.WAV"}));
}

// In place the original is kept as .orig, never overwritten, and a seam still heard
// replaces nothing unless asked; failures name what the user named, never a temporary.
TEST_F(Crossfade, InPlaceKeepsTheOriginalAndSaysWhatTheUserNamed) {
    wav("A.WAV", 44100, 1, SF_FORMAT_PCM_16, 88200, noise); // 50 ms leave it soft
    pos("A.POS", 22050, 66150);
    const Bytes original = get(at("A.WAV"));
    const auto readOnly = [&] { // in the child: the scratch folder bound read-only over itself
        if (::unshare(CLONE_NEWNS) ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            ::mount(m_dir.c_str(), m_dir.c_str(), nullptr, MS_BIND, nullptr) ||
            ::mount(nullptr, m_dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr))
            ::_exit(77);
    };
    std::vector<std::string> args{"render", at("A.POS"), "--crossfade", "50ms", "--in-place"};
    EXPECT_NE(run(args).err.find("(--even-if-not-seamless replaces it anyway)"), -1ul);
    args.push_back("--even-if-not-seamless");
    const ToolRun ro = runInChild(args, readOnly);
    EXPECT_NE(ro.err.find(at("A.WAV") + ": it is on a read-only file system"), -1ul) << ro.err;
    EXPECT_EQ(get(at("A.WAV")), original);
    for (const int status : {cli::ExitOk, cli::ExitProblem}) // A.WAV.orig is never overwritten
        EXPECT_EQ(run(args).status, status);
    EXPECT_EQ(get(at("A.WAV.orig")), original);
    EXPECT_NE(get(at("A.WAV")), original);
    const ToolRun bad = run({"render", at("A.POS"), "--crossfade", "-o", at("B.pos")});
    EXPECT_NE(bad.err.find("cannot write " + at("B.pos") + ": its extension"), -1ul) << bad.err;
    EXPECT_EQ(audio::ShownCorrelation(0.4999), 0.49); // on the side the curve takes
}

// Chunks libsndfile does not know (labels, broadcast and iXML metadata)
// survive a crossfade in place: only the crossfaded frames' bytes change, and
// the samples are those a rewrite in another container gets.
struct KeptRow {
    const char* name;
    int format;
    int channels;
    int frameBytes;
    const char* other; // B.<other>: the samples compared through another container
    int tolerance;     // in readInts' units: a coarser encoding rounds apart
};

class CrossfadeKeeps : public Crossfade, public testing::WithParamInterface<KeptRow> {};

TEST_P(CrossfadeKeeps, EveryOtherChunkAndByte) {
    const KeptRow& row = GetParam();
    const bool aiff = (row.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF;
    constexpr std::size_t kFrames = 66150; // A.WAV holds AIFF too, as some tools name theirs
    wav("A.WAV", 44100, row.channels, row.format, kFrames,
        [](int n, int c) { return 0.4 * std::sin(0.05 * n + c) + 0.1 * noise(n, c); });
    const auto number = [&](std::size_t v) { // a chunk size in the container's byte order
        Bytes b(4);
        for (std::size_t i = 0; i < 4; ++i)
            b[i] = static_cast<unsigned char>(v >> (aiff ? 24 - 8 * i : 8 * i));
        return b;
    };
    Bytes before = get(at("A.WAV"));
    const std::size_t dataEnd = before.size();
    for (const std::string& chunk : {std::string(aiff ? "APPL" : "LIST") + "adtllabl\x01hello",
                                     std::string(aiff ? "AUTH" : "iXML") + "<x/>\n", // odd: padded
                                     std::string(aiff ? "ANNO" : "bext") + std::string(602, 'B')}) {
        const Bytes size = number(chunk.size() - 4);
        before.insert(before.end(), chunk.begin(), chunk.begin() + 4);
        before.insert(before.end(), size.begin(), size.end());
        before.insert(before.end(), chunk.begin() + 4, chunk.end());
        if (chunk.size() % 2)
            before.push_back(0);
    }
    const Bytes whole = number(before.size() - 8);
    std::copy(whole.begin(), whole.end(), before.begin() + 4);
    put(at("A.WAV"), before);
    pos("A.POS", 8000, 60000);
    const std::string other = at(std::string("B.") + row.other);
    ASSERT_EQ(run({"render", at("A.POS"), "--crossfade", "0.05", "-o", other}).status, cli::ExitOk);
    const ToolRun r =
        run({"render", at("A.POS"), "--crossfade", "0.05", "--in-place", "--even-if-not-seamless"});
    ASSERT_EQ(r.status, cli::ExitOk) << r.err;

    const Bytes after = get(at("A.WAV"));
    ASSERT_EQ(after.size(), before.size());
    const auto fadeEnd = static_cast<long>(dataEnd - (kFrames - 60000) * row.frameBytes);
    const auto fadeStart = fadeEnd - 2205 * row.frameBytes;
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + fadeStart, after.begin()));
    EXPECT_TRUE(std::equal(before.begin() + fadeEnd, before.end(), after.begin() + fadeEnd));
    EXPECT_NE(before, after);
    SF_INFO a{};
    SF_INFO b{};
    const std::vector<int> own = readInts(at("A.WAV"), a);
    const std::vector<int> through = readInts(other, b);
    ASSERT_EQ(own.size(), through.size());
    for (std::size_t i = 0; i < own.size(); ++i)
        ASSERT_LE(std::abs(static_cast<long long>(own[i]) - through[i]), row.tolerance) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CrossfadeKeeps,
    testing::Values(KeptRow{"wav_16_bit_stereo", SF_FORMAT_PCM_16, 2, 4, "aiff", 0},
                    KeptRow{"wav_24_bit_mono", SF_FORMAT_PCM_24, 1, 3, "flac", 0},
                    KeptRow{"wav_float_stereo", SF_FORMAT_FLOAT, 2, 8, "aiff", 0},
                    KeptRow{"wav_8_bit_mono", SF_FORMAT_PCM_U8, 1, 1, "aiff", 1 << 24},
                    KeptRow{"aiff_16_bit_stereo", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 4, "flac",
                            0}),
    [](const testing::TestParamInfo<KeptRow>& info) { return std::string(info.param.name); });

} // namespace
