// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/fades.h"

#include <algorithm>
#include <cmath>

namespace kestrin::sound {

namespace {

template <typename Sample>
void ramp(Sample* samples, int channels, std::int64_t frames, double first, double step) {
    for (std::int64_t i = 0; i < frames; ++i) {
        const double gain = std::clamp(first + static_cast<double>(i) * step, 0.0, 1.0);
        Sample* frame = samples + i * channels;
        for (int c = 0; c < channels; ++c) {
            if constexpr (std::is_floating_point_v<Sample>)
                frame[c] = static_cast<Sample>(frame[c] * gain);
            else
                frame[c] = static_cast<Sample>(std::lround(frame[c] * gain));
        }
    }
}

} // namespace

std::int64_t fadeFrames(int sampleRate) {
    return std::max<std::int64_t>(1, std::int64_t{sampleRate} * 5 / 1000);
}

void applyRamp(void* data, audio::SampleType type, int channels, std::int64_t frames, double first,
               double step) {
    switch (type) {
    case audio::SampleType::Int16:
        ramp(static_cast<std::int16_t*>(data), channels, frames, first, step);
        break;
    case audio::SampleType::Int32:
        ramp(static_cast<std::int32_t*>(data), channels, frames, first, step);
        break;
    case audio::SampleType::Float32:
        ramp(static_cast<float*>(data), channels, frames, first, step);
        break;
    }
}

} // namespace kestrin::sound
