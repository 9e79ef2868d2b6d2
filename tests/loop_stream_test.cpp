// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/read/audio_reader.h"
#include "audio/render/loop_stream.h"
#include "tests/file_bytes.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstring>
#include <utility>
#include <vector>

using namespace kestrin::audio;
using kestrin::LoopPoints;

namespace {

struct Range {
    std::int64_t from, to;
};

struct StreamRow {
    const char* name;
    int subtype; // SF_FORMAT_PCM_16 etc.
    int channels;
    std::int64_t frames;
    LoopPoints points;
    std::int64_t from;
    std::int64_t afterJump;
    std::int64_t readFrames; // how many to ask for in all
    std::vector<Range> expected;
};

void PrintTo(const StreamRow& row, std::ostream* os) {
    *os << row.name;
}

// Every sample distinct enough that a frame out of place shows, and exactly
// representable in the file's own type (8-bit values are multiples of 256,
// 24-bit ones of 256 as Int32).
std::vector<std::int32_t> sampleValues(int subtype, std::int64_t frames, int channels) {
    std::vector<std::int32_t> v(static_cast<std::size_t>(frames * channels));
    for (std::size_t i = 0; i < v.size(); ++i) {
        const auto n = static_cast<std::int32_t>(i * 7919 % 65521) - 32760;
        if (subtype == SF_FORMAT_PCM_U8)
            v[i] = (n % 128) * 256;
        else if (subtype == SF_FORMAT_PCM_24)
            v[i] = n * 256 * 97;
        else
            v[i] = n;
    }
    return v;
}

class LoopStreamRows : public testing::TestWithParam<StreamRow> {
protected:
    kestrin::testing_support::ScratchFolder m_scratch{"kestrin-loopstream"};
};

TEST_P(LoopStreamRows, YieldsExactlyTheFramesAPlayerPlays) {
    const StreamRow& row = GetParam();
    const auto path = m_scratch.path() / "in.wav";
    const auto values = sampleValues(row.subtype, row.frames, row.channels);
    {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = row.channels;
        info.format = SF_FORMAT_WAV | row.subtype;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        if (row.subtype == SF_FORMAT_FLOAT) {
            std::vector<float> fl(values.size());
            for (std::size_t i = 0; i < fl.size(); ++i)
                fl[i] = static_cast<float>(values[i]) / 40000.0f;
            sf_writef_float(f, fl.data(), row.frames);
        } else if (row.subtype == SF_FORMAT_PCM_24) {
            sf_writef_int(f, values.data(), row.frames);
        } else {
            std::vector<short> s(values.begin(), values.end());
            sf_writef_short(f, s.data(), row.frames);
        }
        sf_close(f);
    }

    AudioReader reader(path);
    LoopStream stream(
        reader, [&] { return row.points; }, row.from, row.afterJump);
    const int frameBytes = reader.bytesPerFrame();
    std::vector<unsigned char> played;
    // Odd-sized reads, so chunk edges fall everywhere relative to the jumps.
    for (std::int64_t left = row.readFrames; left > 0;) {
        std::vector<unsigned char> chunk(static_cast<std::size_t>(7 * frameBytes));
        const std::int64_t got = stream.read(chunk.data(), std::min<std::int64_t>(7, left));
        if (got == 0)
            break;
        played.insert(played.end(), chunk.begin(), chunk.begin() + got * frameBytes);
        left -= got;
    }

    std::vector<unsigned char> expected;
    for (const Range& r : row.expected) {
        for (std::int64_t i = r.from * row.channels; i < r.to * row.channels; ++i) {
            const auto at = static_cast<std::size_t>(i);
            unsigned char bytes[4];
            if (reader.sampleType() == SampleType::Float32) {
                const float f = static_cast<float>(values[at]) / 40000.0f;
                std::memcpy(bytes, &f, 4);
            } else if (reader.sampleType() == SampleType::Int32) {
                std::memcpy(bytes, &values[at], 4);
            } else {
                const auto s = static_cast<short>(values[at]);
                std::memcpy(bytes, &s, 2);
            }
            expected.insert(expected.end(), bytes, bytes + BytesPerSample(reader.sampleType()));
        }
    }
    EXPECT_EQ(played.size() / static_cast<std::size_t>(frameBytes),
              expected.size() / static_cast<std::size_t>(frameBytes));
    EXPECT_TRUE(played == expected);
}

INSTANTIATE_TEST_SUITE_P(
    LoopStream, LoopStreamRows,
    testing::Values(
        StreamRow{"seam_16bit_stereo",
                  SF_FORMAT_PCM_16,
                  2,
                  1000,
                  {100, 900},
                  800,
                  50,
                  1000,
                  {{800, 900}, {100, 150}}},
        StreamRow{"seam_8bit_mono",
                  SF_FORMAT_PCM_U8,
                  1,
                  1000,
                  {100, 900},
                  800,
                  50,
                  1000,
                  {{800, 900}, {100, 150}}},
        StreamRow{"seam_24bit_stereo",
                  SF_FORMAT_PCM_24,
                  2,
                  1000,
                  {100, 900},
                  800,
                  50,
                  1000,
                  {{800, 900}, {100, 150}}},
        StreamRow{"seam_float_mono",
                  SF_FORMAT_FLOAT,
                  1,
                  1000,
                  {100, 900},
                  800,
                  50,
                  1000,
                  {{800, 900}, {100, 150}}},
        StreamRow{"three_loop_passes",
                  SF_FORMAT_PCM_16,
                  2,
                  100,
                  {10, 40},
                  10,
                  -1,
                  90,
                  {{10, 40}, {10, 40}, {10, 40}}},
        StreamRow{"start_zero_stop_at_end",
                  SF_FORMAT_PCM_16,
                  1,
                  500,
                  {0, 500},
                  490,
                  5,
                  100,
                  {{490, 500}, {0, 5}}},
        StreamRow{"stop_beyond_end_jumps_at_end",
                  SF_FORMAT_PCM_16,
                  1,
                  500,
                  {3, 9000},
                  495,
                  4,
                  100,
                  {{495, 500}, {3, 7}}},
        StreamRow{"one_frame_loop",
                  SF_FORMAT_PCM_16,
                  2,
                  50,
                  {7, 8},
                  7,
                  -1,
                  5,
                  {{7, 8}, {7, 8}, {7, 8}, {7, 8}, {7, 8}}},
        StreamRow{"ten_frame_loop",
                  SF_FORMAT_PCM_24,
                  1,
                  50,
                  {20, 30},
                  25,
                  -1,
                  25,
                  {{25, 30}, {20, 30}, {20, 30}}},
        StreamRow{"seam_from_before_zero_clamps",
                  SF_FORMAT_PCM_16,
                  1,
                  100,
                  {10, 20},
                  -50,
                  3,
                  100,
                  {{0, 20}, {10, 13}}},
        StreamRow{
            "no_loop_ends_at_stop", SF_FORMAT_PCM_16, 1, 100, {50, 50}, 40, -1, 100, {{40, 50}}}),
    [](const testing::TestParamInfo<StreamRow>& info) { return std::string(info.param.name); });

// Through Vorbis and MP3 a jump back is heard as the frames decoded from the
// beginning: the codecs' own seeks land up to a block off.
TEST(LoopStream, LossyPassesAreTheFramesDecodedFromTheBeginning) {
    kestrin::testing_support::ScratchFolder scratch{"kestrin-lossystream"};
    constexpr std::int64_t kFrames = 150000;
    std::vector<float> noise(kFrames);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<float>(static_cast<std::int64_t>(i * 7919 % 65521) - 32760) / 65536;
    for (const int format :
         {SF_FORMAT_OGG | SF_FORMAT_VORBIS, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III}) {
        const auto path = scratch.path() / "in.audio";
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 1;
        info.format = format;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        sf_writef_float(f, noise.data(), kFrames);
        sf_close(f);
        AudioReader whole(path);
        std::vector<float> decoded(static_cast<std::size_t>(whole.info().frames));
        ASSERT_EQ(whole.readFloat(0, whole.info().frames, decoded.data()), whole.info().frames);

        AudioReader reader(path);
        LoopStream stream(
            reader,
            [] {
                return LoopPoints{20000, 100000};
            },
            90000, -1);
        std::vector<float> played;
        while (played.size() < 10000 + 2 * 80000) {
            float chunk[1000];
            const std::int64_t got = stream.read(chunk, 997);
            ASSERT_GT(got, 0);
            played.insert(played.end(), chunk, chunk + got);
        }
        std::vector<float> expected(decoded.begin() + 90000, decoded.begin() + 100000);
        for (int pass = 0; pass < 2; ++pass)
            expected.insert(expected.end(), decoded.begin() + 20000, decoded.begin() + 100000);
        played.resize(expected.size());
        EXPECT_TRUE(played == expected) << format;
    }
}

TEST(LoopStream, AnEditBetweenPassesIsHeardFromTheNextJump) {
    kestrin::testing_support::ScratchFolder scratch{"kestrin-loopedit"};
    const auto path = scratch.path() / "ramp.wav";
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<short> ramp(200);
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<short>(i);
    sf_writef_short(f, ramp.data(), 200);
    sf_close(f);

    AudioReader reader(path);
    LoopPoints points{10, 20};
    LoopStream stream(
        reader, [&] { return points; }, 15, -1);
    std::vector<short> out(40);
    ASSERT_EQ(stream.read(out.data(), 5), 5); // 15..19, up to the old stop
    points = {100, 103};                      // edited while playing
    ASSERT_EQ(stream.read(out.data() + 5, 7), 7);
    EXPECT_EQ(std::vector<short>(out.begin(), out.begin() + 12),
              (std::vector<short>{15, 16, 17, 18, 19, 100, 101, 102, 100, 101, 102, 100}));
    EXPECT_EQ(stream.jumps(), 3);
}

} // namespace
