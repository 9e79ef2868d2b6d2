// SPDX-License-Identifier: GPL-3.0-or-later
// Zero crossings of interleaved float frames, where a loop point clicks least.
#pragma once

#include <cstdint>
#include <optional>

namespace kestrin::audio {

// Interleaved frames [first, first + count) of `channels` channels.
struct FrameSpan {
    const float* samples = nullptr;
    int channels = 0;
    std::int64_t first = 0;
    std::int64_t count = 0;
};

// Position p (the boundary before frame p) is a zero crossing when the sum
// of the channels changes sign from frame p - 1 to frame p: from below zero
// to zero or above, or from above zero to zero or below. Digital silence
// has none. Only positions with both frames inside `span` are considered.
bool IsZeroCrossing(const FrameSpan& span, std::int64_t position);

// The crossing nearest to `position`, the earlier one on a tie.
std::optional<std::int64_t> NearestZeroCrossing(const FrameSpan& span, std::int64_t position);
// The first crossing after `position`, or the last one before it.
std::optional<std::int64_t> NextZeroCrossing(const FrameSpan& span, std::int64_t position);
std::optional<std::int64_t> PreviousZeroCrossing(const FrameSpan& span, std::int64_t position);

} // namespace kestrin::audio
