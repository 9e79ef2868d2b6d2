// SPDX-License-Identifier: GPL-3.0-or-later
// The waveform summary of real files in each sample type, bucket by bucket
// against the samples written, at lengths around the bucket boundaries.
#include "audio/read/peak_scan.h"
#include "tests/file_bytes.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>

using namespace kestrin::audio;
using kestrin::testing_support::ScratchFolder;

namespace {

struct ScanRow {
    const char* name;
    int format; // SF_FORMAT_* subtype
    std::int64_t frames;
};

void PrintTo(const ScanRow& row, std::ostream* os) {
    *os << row.name;
}

class ScanPeaksOf : public testing::TestWithParam<ScanRow> {};

TEST_P(ScanPeaksOf, EveryBucketHoldsItsLowestAndHighestSample) {
    const ScanRow& row = GetParam();
    constexpr int kChannels = 2;
    std::vector<short> samples(static_cast<std::size_t>(row.frames * kChannels));
    std::uint32_t x = 7;
    for (short& s : samples) {
        x = x * 1664525u + 1013904223u;
        s = static_cast<short>(static_cast<int>(x >> 16) - 32768);
    }
    ScratchFolder scratch("kestrin-peaks");
    const auto path = scratch.path() / "a.wav";
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = kChannels;
    info.format = SF_FORMAT_WAV | row.format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    if (row.format == SF_FORMAT_FLOAT) {
        // Shorts would be stored unscaled in a float file.
        std::vector<float> scaled(samples.begin(), samples.end());
        for (float& v : scaled)
            v /= 32768.0f;
        sf_writef_float(f, scaled.data(), row.frames);
    } else {
        sf_writef_short(f, samples.data(), row.frames);
    }
    sf_close(f);

    AudioReader reader(path);
    int calls = 0;
    const auto peaks = ScanPeaks(reader, [&](std::int64_t done, std::int64_t total) {
        EXPECT_EQ(total, row.frames);
        EXPECT_LE(done, total);
        ++calls;
        return true;
    });
    ASSERT_TRUE(peaks);
    EXPECT_GT(calls, 0);
    EXPECT_EQ(peaks->frames(), row.frames);
    for (std::size_t level = 0; level < Peaks::BucketSizes.size(); ++level) {
        const std::int64_t size = Peaks::BucketSizes[level];
        const PeakLevel& l = peaks->level(level);
        ASSERT_EQ(static_cast<std::int64_t>(l.ranges.size()),
                  (row.frames + size - 1) / size * kChannels);
        for (std::int64_t b = 0; b * size < row.frames; ++b) {
            for (int c = 0; c < kChannels; ++c) {
                short low = 32767, high = -32768;
                for (std::int64_t i = b * size; i < std::min(row.frames, (b + 1) * size); ++i) {
                    low = std::min(low, samples[static_cast<std::size_t>(i * kChannels + c)]);
                    high = std::max(high, samples[static_cast<std::size_t>(i * kChannels + c)]);
                }
                const SampleRange& r = l.ranges[static_cast<std::size_t>(b * kChannels + c)];
                ASSERT_EQ(r.low, low / 32768.0f) << "level " << level << " bucket " << b;
                ASSERT_EQ(r.high, high / 32768.0f) << "level " << level << " bucket " << b;
            }
        }
    }
    // Spans reaching outside the audio are clipped; one wholly outside is empty.
    EXPECT_EQ(peaks->range(0, -1000, row.frames + 1000).low, peaks->range(0, 0, row.frames).low);
    EXPECT_TRUE(peaks->range(0, row.frames, row.frames + 10).empty());
    EXPECT_TRUE(peaks->range(0, -10, 0).empty());
    EXPECT_TRUE(peaks->range(kChannels, 0, row.frames).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Peaks, ScanPeaksOf,
    testing::Values(ScanRow{"pcm16_one_frame", SF_FORMAT_PCM_16, 1},
                    ScanRow{"pcm16_one_bucket", SF_FORMAT_PCM_16, 256},
                    ScanRow{"pcm16_one_bucket_and_a_frame", SF_FORMAT_PCM_16, 257},
                    ScanRow{"pcm16_past_a_block", SF_FORMAT_PCM_16, 65536 * 2 + 300},
                    ScanRow{"pcm24", SF_FORMAT_PCM_24, 70001},
                    ScanRow{"float", SF_FORMAT_FLOAT, 70001}),
    [](const testing::TestParamInfo<ScanRow>& info) { return std::string(info.param.name); });

TEST(ScanPeaks, StopsWhenProgressSaysSo) {
    ScratchFolder scratch("kestrin-peaks");
    const auto path = scratch.path() / "b.wav";
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    const std::vector<short> silence(200000);
    sf_writef_short(f, silence.data(), static_cast<sf_count_t>(silence.size()));
    sf_close(f);
    AudioReader reader(path);
    int calls = 0;
    EXPECT_FALSE(ScanPeaks(reader, [&](std::int64_t, std::int64_t) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
}

} // namespace
