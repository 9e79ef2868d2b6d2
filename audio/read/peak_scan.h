// SPDX-License-Identifier: GPL-3.0-or-later
// Summarising a sound file for drawing, read through libsndfile.
#pragma once

#include "audio/peaks/peaks.h"
#include "audio/read/audio_reader.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace kestrin::audio {

// Reads every frame of `reader` once, in its own sample type, into Peaks.
// `progress(framesDone, framesTotal)` is called after each block; returning
// false abandons the scan and gives nullopt. Throws AudioError naming the
// file when it cannot be read.
std::optional<Peaks> ScanPeaks(AudioReader& reader,
                               const std::function<bool(std::int64_t, std::int64_t)>& progress);

} // namespace kestrin::audio
