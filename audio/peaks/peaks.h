// SPDX-License-Identifier: GPL-3.0-or-later
// A summary of a whole sound file for drawing it: the lowest and highest
// sample of every channel in buckets of frames, at a few bucket sizes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kestrin::audio {

// The lowest and highest sample of one channel over some frames, in -1..1.
// An empty range (no frames) has low > high.
struct SampleRange {
    float low = 1.0f;
    float high = -1.0f;

    bool empty() const { return low > high; }
    void include(const SampleRange& other) {
        if (other.low < low)
            low = other.low;
        if (other.high > high)
            high = other.high;
    }
};

// Ranges per bucket of `framesPerBucket` frames, bucket-major, channel-minor.
struct PeakLevel {
    std::int64_t framesPerBucket = 0;
    std::vector<SampleRange> ranges; // bucket * channels + channel
};

// The summary of one file. Small: 256 frames per bucket at the finest, so a
// 10-minute stereo file at 44.1 kHz takes about 0.9 MB.
class Peaks {
public:
    // Frames per bucket of each level, finest first; each divides the next.
    static constexpr std::array<std::int64_t, 3> BucketSizes{256, 4096, 65536};

    Peaks() = default;
    Peaks(std::int64_t frames, int channels, std::array<PeakLevel, 3> levels)
        : m_frames(frames), m_channels(channels), m_levels(std::move(levels)) {}

    std::int64_t frames() const { return m_frames; }
    int channels() const { return m_channels; }
    const PeakLevel& level(std::size_t i) const { return m_levels[i]; }
    // Bytes the ranges take.
    std::size_t bytes() const;

    // The range of `channel` over frames [from, to), clipped to the audio,
    // from the coarsest level whose buckets fit at least twice into the span
    // (the finest for short spans). Whole buckets are taken, so it may reach
    // up to one bucket of that level beyond either end. Empty when nothing
    // of the span lies in the audio.
    SampleRange range(int channel, std::int64_t from, std::int64_t to) const;

private:
    std::int64_t m_frames = 0;
    int m_channels = 0;
    std::array<PeakLevel, 3> m_levels;
};

// Builds Peaks from interleaved frames fed in file order.
class PeakBuilder {
public:
    PeakBuilder(int channels, std::int64_t expectedFrames);

    // Adds `count` interleaved frames; the 16-bit and 32-bit integers are
    // full-scale signed values, the floats already in -1..1.
    void add(const std::int16_t* frames, std::int64_t count);
    void add(const std::int32_t* frames, std::int64_t count);
    void add(const float* frames, std::int64_t count);

    // Completes the last bucket and the coarser levels.
    Peaks finish() &&;

private:
    template <class Sample> void addFrames(const Sample* frames, std::int64_t count, float scale);

    int m_channels;
    std::int64_t m_frames = 0;
    std::vector<SampleRange> m_finest;
};

} // namespace kestrin::audio
