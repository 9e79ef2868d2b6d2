// SPDX-License-Identifier: GPL-3.0-or-later
// Gain ramps on interleaved frames in the reader's own sample type, for the
// short fades that keep a stop or a pass edge from clicking.
#pragma once

#include "audio/read/audio_reader.h"

#include <cstdint>

namespace kestrin::sound {

// Frames of the fades: 5 ms, at least one frame.
std::int64_t fadeFrames(int sampleRate);

// Multiplies frame i of `frames` (i = 0..frames-1) by (first + i * step),
// every channel alike; integer samples are rounded.
void applyRamp(void* data, audio::SampleType type, int channels, std::int64_t frames, double first,
               double step);

} // namespace kestrin::sound
