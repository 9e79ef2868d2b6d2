// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/read/peak_scan.h"

#include <vector>

namespace kestrin::audio {

std::optional<Peaks> ScanPeaks(AudioReader& reader,
                               const std::function<bool(std::int64_t, std::int64_t)>& progress) {
    // 64 Ki frames: few calls into libsndfile, and the block stays in cache.
    constexpr std::int64_t kBlock = 1 << 16;
    const AudioInfo& info = reader.info();
    PeakBuilder builder(info.channels, info.frames);
    std::vector<char> block(static_cast<std::size_t>(kBlock * reader.bytesPerFrame()));
    for (std::int64_t at = 0; at < info.frames;) {
        const std::int64_t got = reader.read(at, kBlock, block.data());
        if (got <= 0)
            break; // the header promised more than the file holds
        switch (reader.sampleType()) {
        case SampleType::Int16:
            builder.add(reinterpret_cast<const std::int16_t*>(block.data()), got);
            break;
        case SampleType::Int32:
            builder.add(reinterpret_cast<const std::int32_t*>(block.data()), got);
            break;
        case SampleType::Float32:
            builder.add(reinterpret_cast<const float*>(block.data()), got);
            break;
        }
        at += got;
        if (progress && !progress(at, info.frames))
            return std::nullopt;
    }
    return std::move(builder).finish();
}

} // namespace kestrin::audio
