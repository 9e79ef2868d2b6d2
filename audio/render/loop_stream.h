// SPDX-License-Identifier: GPL-3.0-or-later
// The frames a player of POS files produces: up to the stop, then back to the
// start, for ever or for a seam's length.
#pragma once

#include "audio/read/audio_reader.h"
#include "core/loop_points.h"

#include <cstdint>
#include <functional>

namespace kestrin::audio {

// Yields the audio as a looping player does, frame for frame: from a chosen
// point up to stop (exclusive), then from start onward, jumping back at each
// stop. The loop points are asked for at the beginning and again at every
// jump, so an edit made while playing is heard from the next pass; nothing
// is faded, mixed or dropped at the jump, so the seam is exactly the file's
// frames on both sides. A stop beyond the audio's end jumps at the end, as
// players do. Not thread-safe; `points` is called on the reading thread.
class LoopStream {
public:
    // The stream ends `framesAfterJump` frames after its first jump (a seam
    // audition), or never when it is negative (a loop). `from` is clamped to
    // 0 and the audio's end.
    LoopStream(AudioReader& reader, std::function<LoopPoints()> points, std::int64_t from,
               std::int64_t framesAfterJump);

    // Writes up to `frames` frames into `out` in the reader's sample type and
    // returns how many; 0 means the stream has ended (a seam that played out,
    // or loop points that make no loop: start outside the audio, or stop not
    // after start). Throws AudioError when the file cannot be read.
    std::int64_t read(void* out, std::int64_t frames);

    // The frame of the file the next read starts with.
    std::int64_t position() const { return m_cursor; }
    // Jumps from stop back to start so far.
    int jumps() const { return m_jumps; }
    // True once read() has returned 0.
    bool ended() const { return m_ended; }

private:
    bool jump();

    AudioReader& m_reader;
    std::function<LoopPoints()> m_points;
    LoopPoints m_current;
    std::int64_t m_cursor = 0;
    std::int64_t m_afterJump; // budget left after the first jump; <0: endless
    int m_jumps = 0;
    bool m_ended = false;
};

} // namespace kestrin::audio
