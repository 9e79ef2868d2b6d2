// SPDX-License-Identifier: GPL-3.0-or-later
// The one search the editor and `kestrin-pos find` make: the exact finder,
// then the musical one where the track holds no loop of its own.
#pragma once

#include "audio/exact/loop_finder.h"
#include "audio/read/frames.h"
#include "core/loop_points.h"

#include <optional>

namespace kestrin::audio {

// Exact loops first, then musical ones: FindLoops, and where it finds no
// loop inside the track that holds most of the song (matches at least 0.9
// and starts in the first half), FindMusicalLoops with the same shortest
// loop, its candidates before the weaker exact ones and the loop of the
// whole track (a few recurring bars and an end that flows into the start are
// not the song's loop); at most options.maxCandidates in all. Empty when the
// track has no natural loop. `progress` sees 0 to 1. With `near` (Refine): a
// loop given that the judge passes comes first, unchanged; then the exact
// loops within 2 s of the points, each at its seamless pair nearest them;
// then FindMusicalLoops near the points.
LoopSearch FindAnyLoops(const AudioSamples& audio, const LoopSearchOptions& options,
                        const std::optional<LoopPoints>& near = std::nullopt,
                        const ProgressCallback& progress = {});

// As above for the file `reader` has open, in bounded memory for any
// length: the exact search reads it in windows; the musical one reads it
// through once in order and keeps only the frames' features (33 floats per
// 512 samples: 80 MB for two hours), then reads windows around the pairs
// back. Throws AudioError when the file cannot be read.
LoopSearch FindAnyLoops(AudioReader& reader, const LoopSearchOptions& options,
                        const std::optional<LoopPoints>& near = std::nullopt,
                        const ProgressCallback& progress = {});

} // namespace kestrin::audio
