// SPDX-License-Identifier: GPL-3.0-or-later
// Judging the seam of stored loop positions from a few thousand frames
// around it, without decoding the whole track.
#pragma once

#include "audio/judge/seam_judge.h"
#include "audio/read/audio_reader.h"
#include "core/seam_figures.h"

#include <cstdint>
#include <optional>

namespace kestrin::audio {

// Judges the jump from `stop` back to `start` in `reader`'s audio
// (JudgeSeam), reading only the frames around start and stop and a few
// windows inside the loop. A seam that is not seamless as a copy, with no
// seamless stop nearby (a copy the stop missed) or in a loop whose own
// copies differ beyond codec noise, is judged again as music
// (SeamMode::Musical), and that verdict stands when it is seamless. When the seam is not seamless
// and `suggest` is set, also looks for the stop nearest to `stop`, within one second of the audio's
// rate either side, whose seam is; ties go to the earlier stop, and a stop scoring under
// SeamlessScore goes before a nearer one that is seamless only within codec noise. The search reads
// about two seconds and rejects most stops after a few frames. nullopt unless 0 <= start < stop <=
// frames and the frames at both ends can be read (a file may hold fewer than its header says).
// A lossy file's decoding is kept in a scratch file from here on
// (AudioReader::keepDecodedInScratch), so that memory stays bounded for a
// loop at any place in it. Throws AudioError naming the file when it cannot be read.
std::optional<SeamFigures> MeasureSeam(AudioReader& reader, std::int64_t start, std::int64_t stop,
                                       bool suggest = true);

// The same for any source of frames: find admits its musical loops by it, and
// a crossfade is judged before it is written, as check will judge the file.
std::optional<SeamFigures> MeasureSeam(FrameSource& source, std::int64_t start, std::int64_t stop,
                                       bool suggest = true);

} // namespace kestrin::audio
