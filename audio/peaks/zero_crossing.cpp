// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/peaks/zero_crossing.h"

#include <algorithm>

namespace kestrin::audio {

namespace {

float mix(const FrameSpan& span, std::int64_t frame) {
    const float* f = span.samples + (frame - span.first) * span.channels;
    float sum = 0.0f;
    for (int c = 0; c < span.channels; ++c)
        sum += f[c];
    return sum;
}

} // namespace

bool IsZeroCrossing(const FrameSpan& span, std::int64_t position) {
    if (position - 1 < span.first || position >= span.first + span.count)
        return false;
    const float before = mix(span, position - 1);
    const float after = mix(span, position);
    return (before < 0.0f && after >= 0.0f) || (before > 0.0f && after <= 0.0f);
}

std::optional<std::int64_t> NextZeroCrossing(const FrameSpan& span, std::int64_t position) {
    for (std::int64_t p = std::max(position + 1, span.first + 1); p < span.first + span.count; ++p)
        if (IsZeroCrossing(span, p))
            return p;
    return std::nullopt;
}

std::optional<std::int64_t> PreviousZeroCrossing(const FrameSpan& span, std::int64_t position) {
    for (std::int64_t p = std::min(position - 1, span.first + span.count - 1); p > span.first; --p)
        if (IsZeroCrossing(span, p))
            return p;
    return std::nullopt;
}

std::optional<std::int64_t> NearestZeroCrossing(const FrameSpan& span, std::int64_t position) {
    if (IsZeroCrossing(span, position))
        return position;
    const auto before = PreviousZeroCrossing(span, position);
    const auto after = NextZeroCrossing(span, position);
    if (!before || !after)
        return before ? before : after;
    return position - *before <= *after - position ? before : after;
}

} // namespace kestrin::audio
