// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/render/loop_stream.h"

#include <algorithm>
#include <utility>

namespace kestrin::audio {

LoopStream::LoopStream(AudioReader& reader, std::function<LoopPoints()> points, std::int64_t from,
                       std::int64_t framesAfterJump)
    : m_reader(reader), m_points(std::move(points)), m_afterJump(framesAfterJump) {
    m_current = m_points();
    m_cursor = std::clamp<std::int64_t>(from, 0, m_reader.info().frames);
    // The first jump back, often the very seam to be heard, must not wait
    // for a lossy file to be decoded again from its beginning.
    if (m_current.start >= 0 && m_current.start < m_cursor)
        m_reader.keepReady(m_current.start);
}

bool LoopStream::jump() {
    m_current = m_points();
    const std::int64_t end = m_reader.info().frames;
    if (m_current.start < 0 || m_current.start >= end || m_current.stop <= m_current.start)
        return false;
    m_cursor = m_current.start;
    ++m_jumps;
    return true;
}

std::int64_t LoopStream::read(void* out, std::int64_t frames) {
    auto* bytes = static_cast<unsigned char*>(out);
    const std::int64_t frameBytes = m_reader.bytesPerFrame();
    const std::int64_t audioEnd = m_reader.info().frames;
    std::int64_t done = 0;
    while (!m_ended && done < frames) {
        // Where this pass jumps: the stop, or the audio's end before it.
        const std::int64_t limit = std::min(m_current.stop, audioEnd);
        if (m_cursor >= limit) {
            if (!jump()) {
                m_ended = true;
                break;
            }
            continue;
        }
        std::int64_t want = std::min(frames - done, limit - m_cursor);
        if (m_jumps > 0 && m_afterJump >= 0) {
            if (m_afterJump == 0) {
                m_ended = true;
                break;
            }
            want = std::min(want, m_afterJump);
        }
        const std::int64_t got = m_reader.read(m_cursor, want, bytes + done * frameBytes);
        if (got <= 0) {
            m_ended = true; // the file was shorter than its header said
            break;
        }
        m_cursor += got;
        done += got;
        if (m_jumps > 0 && m_afterJump > 0)
            m_afterJump -= got;
    }
    return done;
}

} // namespace kestrin::audio
