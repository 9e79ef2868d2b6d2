// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/audition_stream.h"

#include "sound/fades.h"

#include <algorithm>
#include <cstring>

namespace kestrin::sound {

AuditionStream::AuditionStream(audio::AudioReader& reader, std::function<LoopPoints()> points,
                               std::function<AuditionSpan()> span)
    : m_reader(reader), m_points(std::move(points)), m_span(std::move(span)),
      m_fade(fadeFrames(reader.info().sampleRate)) {
    m_ended = !beginPass();
}

bool AuditionStream::beginPass() {
    const LoopPoints p = m_points();
    const AuditionSpan span = m_span();
    const std::int64_t stop = std::min(p.stop, m_reader.info().frames);
    if (p.start < 0 || stop <= p.start)
        return false;
    m_start = p.start;
    m_beforeFrom = std::max<std::int64_t>(0, stop - std::max<std::int64_t>(span.before, 1));
    m_afterEnd = std::min(p.start + std::max<std::int64_t>(span.after, 1), stop);
    m_gap = std::max<std::int64_t>(span.gap, 0);
    m_part = Part::Before;
    m_passAudio = 0;
    m_cursor = m_beforeFrom;
    m_end = stop;
    ++m_passes;
    return true;
}

void AuditionStream::nextPart() {
    switch (m_part) {
    case Part::Before:
        m_part = Part::After;
        m_cursor = m_start;
        m_end = m_afterEnd;
        break;
    case Part::After:
        m_part = Part::Gap;
        m_cursor = 0;
        m_end = m_gap;
        break;
    case Part::Gap:
        // A pass that found no audio at all would spin for ever.
        m_ended = m_passAudio == 0 || !beginPass();
        break;
    }
}

// Fades in the first frames of the part before the stop and out the last
// ones of the part after the start: the pass's outer edges only.
void AuditionStream::fade(unsigned char* data, std::int64_t from, std::int64_t frames) const {
    const int channels = m_reader.info().channels;
    const std::int64_t frameBytes = m_reader.bytesPerFrame();
    if (m_part == Part::Before) {
        const std::int64_t length = std::min(m_fade, (m_end - m_beforeFrom) / 2);
        const std::int64_t inFade = std::min(frames, m_beforeFrom + length - from);
        if (length > 0 && inFade > 0)
            applyRamp(data, m_reader.sampleType(), channels, inFade,
                      static_cast<double>(from - m_beforeFrom) / static_cast<double>(length),
                      1.0 / static_cast<double>(length));
    } else if (m_part == Part::After) {
        const std::int64_t length = std::min(m_fade, (m_afterEnd - m_start) / 2);
        const std::int64_t fadeFrom = m_afterEnd - length;
        const std::int64_t skip = std::max<std::int64_t>(0, fadeFrom - from);
        if (length > 0 && skip < frames)
            applyRamp(data + skip * frameBytes, m_reader.sampleType(), channels, frames - skip,
                      static_cast<double>(m_afterEnd - (from + skip)) / static_cast<double>(length),
                      -1.0 / static_cast<double>(length));
    }
}

std::int64_t AuditionStream::read(void* out, std::int64_t frames) {
    auto* bytes = static_cast<unsigned char*>(out);
    const std::int64_t frameBytes = m_reader.bytesPerFrame();
    std::int64_t done = 0;
    while (!m_ended && done < frames) {
        if (m_cursor >= m_end) {
            nextPart();
            continue;
        }
        const std::int64_t want = std::min(frames - done, m_end - m_cursor);
        unsigned char* at = bytes + done * frameBytes;
        if (m_part == Part::Gap) {
            std::memset(at, 0, static_cast<std::size_t>(want * frameBytes));
            m_cursor += want;
            done += want;
            continue;
        }
        const std::int64_t got = m_reader.read(m_cursor, want, at);
        if (got <= 0) { // the file was shorter than its header said
            m_cursor = m_end;
            continue;
        }
        fade(at, m_cursor, got);
        m_passAudio += got;
        m_cursor += got;
        done += got;
    }
    return done;
}

} // namespace kestrin::sound
