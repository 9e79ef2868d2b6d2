// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos seam: the frames around the loop, copied exactly, and the output kept safe.
#include "cli/pos_tool.h"
#include "core/pos_file.h"
#include "tests/pos_tool_support.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

#include <sys/stat.h>

using namespace kestrin;
using namespace kestrin::cli;
using namespace kestrin::testing_support;

namespace {

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
    std::vector<std::string> args{"seam",     at("song.POS"), "-o",      at("out.wav"),
                                  "--before", "0.5",          "--after", "0.25s"};
    if (row.rate != 44100) {
        // The rate rule: positions count at 44,100 unless the user says otherwise.
        const ToolRun refused = run(args);
        EXPECT_EQ(refused.status, ExitProblem);
        EXPECT_NE(refused.err.find("--frames-of-audio"), std::string::npos) << refused.err;
        EXPECT_EQ(filesIn(m_dir), (std::vector<std::string>{"song.POS", "song.WAV"}));
        args.push_back("--frames-of-audio");
    }
    const ToolRun r = run(args);
    ASSERT_EQ(r.status, ExitOk) << r.err;
    EXPECT_EQ(r.out.find("as frames of") != std::string::npos, row.rate != 44100) << r.out;

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

} // namespace
