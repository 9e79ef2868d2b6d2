// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/peaks/peaks.h"

#include <algorithm>
#include <limits>

namespace kestrin::audio {

std::size_t Peaks::bytes() const {
    std::size_t total = 0;
    for (const PeakLevel& level : m_levels)
        total += level.ranges.size() * sizeof(SampleRange);
    return total;
}

SampleRange Peaks::range(int channel, std::int64_t from, std::int64_t to) const {
    SampleRange result;
    from = std::max<std::int64_t>(from, 0);
    to = std::min(to, m_frames);
    if (from >= to || channel < 0 || channel >= m_channels)
        return result;
    std::size_t chosen = 0;
    for (std::size_t i = 1; i < m_levels.size(); ++i)
        if (m_levels[i].framesPerBucket * 2 <= to - from)
            chosen = i;
    const PeakLevel& level = m_levels[chosen];
    const std::int64_t first = from / level.framesPerBucket;
    const std::int64_t last = (to - 1) / level.framesPerBucket;
    const auto* ranges = level.ranges.data();
    for (std::int64_t b = first; b <= last; ++b)
        result.include(ranges[b * m_channels + channel]);
    return result;
}

PeakBuilder::PeakBuilder(int channels, std::int64_t expectedFrames) : m_channels(channels) {
    // Up to an hour at 48 kHz reserved at once; beyond that the buckets grow
    // as frames arrive, so no count a file gives can exhaust memory.
    constexpr std::int64_t kMostReserved = 3600 * 48000;
    m_finest.reserve(static_cast<std::size_t>(
        (std::clamp<std::int64_t>(expectedFrames, 0, kMostReserved) / Peaks::BucketSizes[0] + 1) *
        channels));
}

template <class Sample>
void PeakBuilder::addFrames(const Sample* frames, std::int64_t count, float scale) {
    constexpr std::int64_t bucket = Peaks::BucketSizes[0];
    const int channels = m_channels;
    while (count > 0) {
        const std::int64_t inBucket = m_frames % bucket;
        if (inBucket == 0)
            m_finest.resize(m_finest.size() + static_cast<std::size_t>(channels));
        const std::int64_t n = std::min(count, bucket - inBucket);
        SampleRange* out = m_finest.data() + m_finest.size() - channels;
        for (int c = 0; c < channels; ++c) {
            // Integer minimum and maximum first: cheap, exact, and they vectorise.
            Sample low = std::numeric_limits<Sample>::max();
            Sample high = std::numeric_limits<Sample>::lowest();
            for (std::int64_t i = 0; i < n; ++i) {
                const Sample s = frames[i * channels + c];
                low = std::min(low, s);
                high = std::max(high, s);
            }
            out[c].include({static_cast<float>(low) * scale, static_cast<float>(high) * scale});
        }
        frames += n * channels;
        count -= n;
        m_frames += n;
    }
}

void PeakBuilder::add(const std::int16_t* frames, std::int64_t count) {
    addFrames(frames, count, 1.0f / 32768.0f);
}

void PeakBuilder::add(const std::int32_t* frames, std::int64_t count) {
    addFrames(frames, count, 1.0f / 2147483648.0f);
}

void PeakBuilder::add(const float* frames, std::int64_t count) {
    addFrames(frames, count, 1.0f);
}

Peaks PeakBuilder::finish() && {
    std::array<PeakLevel, 3> levels;
    levels[0] = {Peaks::BucketSizes[0], std::move(m_finest)};
    for (std::size_t i = 1; i < levels.size(); ++i) {
        const PeakLevel& finer = levels[i - 1];
        const std::int64_t factor = Peaks::BucketSizes[i] / Peaks::BucketSizes[i - 1];
        const auto finerBuckets = static_cast<std::int64_t>(finer.ranges.size()) / m_channels;
        const std::int64_t buckets = (finerBuckets + factor - 1) / factor;
        PeakLevel& level = levels[i];
        level.framesPerBucket = Peaks::BucketSizes[i];
        level.ranges.resize(static_cast<std::size_t>(buckets * m_channels));
        for (std::int64_t b = 0; b < finerBuckets; ++b)
            for (int c = 0; c < m_channels; ++c)
                level.ranges[static_cast<std::size_t>(b / factor * m_channels + c)].include(
                    finer.ranges[static_cast<std::size_t>(b * m_channels + c)]);
    }
    return Peaks(m_frames, m_channels, std::move(levels));
}

} // namespace kestrin::audio
