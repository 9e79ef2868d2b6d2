// SPDX-License-Identifier: GPL-3.0-or-later
// The frames of a seam audition: the end of the loop, its beginning, a short
// silence, over and over.
#pragma once

#include "audio/read/audio_reader.h"
#include "core/loop_points.h"
#include "sound/sound_engine.h"

#include <cstdint>
#include <functional>

namespace kestrin::sound {

// Yields passes of [stop - before, stop) then [start, min(start + after,
// stop)), each followed by `gap` frames of silence, asking for the points
// and the span at the start of every pass, so an edit is heard on the next
// one. A stop beyond the audio's end is taken at the end, as players do. The
// first and last 5 ms of a pass are faded; the frames on both sides of the
// seam are the file's own. Not thread-safe.
class AuditionStream {
public:
    AuditionStream(audio::AudioReader& reader, std::function<LoopPoints()> points,
                   std::function<AuditionSpan()> span);

    // Writes up to `frames` frames into `out` in the reader's sample type and
    // returns how many; 0 once the points make no loop within the audio.
    // Throws AudioError when the file cannot be read.
    std::int64_t read(void* out, std::int64_t frames);

    // The file frame the next read starts with, or -1 in a gap.
    std::int64_t position() const { return m_part == Part::Gap ? -1 : m_cursor; }
    // Passes begun so far.
    int passes() const { return m_passes; }
    bool ended() const { return m_ended; }

private:
    enum class Part { Before, After, Gap };
    bool beginPass();
    void nextPart();
    void fade(unsigned char* data, std::int64_t from, std::int64_t frames) const;

    audio::AudioReader& m_reader;
    std::function<LoopPoints()> m_points;
    std::function<AuditionSpan()> m_span;
    Part m_part = Part::Gap;
    std::int64_t m_cursor = 0; // a file frame, or frames of gap played
    std::int64_t m_end = 0;    // where the part ends, in the same count
    std::int64_t m_beforeFrom = 0;
    std::int64_t m_afterEnd = 0;
    std::int64_t m_start = 0;
    std::int64_t m_gap = 0;
    std::int64_t m_fade;
    std::int64_t m_passAudio = 0; // file frames of this pass read so far
    int m_passes = 0;
    bool m_ended = false;
};

} // namespace kestrin::sound
