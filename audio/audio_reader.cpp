// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio_reader.h"

#include <sndfile.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace kestrin::audio {

namespace {

SampleType losslessTypeOf(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
        return SampleType::Int32;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
        return SampleType::Float32;
    default:
        return SampleType::Int16;
    }
}

} // namespace

int BytesPerSample(SampleType type) {
    return type == SampleType::Int16 ? 2 : 4;
}

AudioReader::AudioReader(const std::filesystem::path& path) : m_path(path) {
    SF_INFO info{};
    m_file = sf_open(path.c_str(), SFM_READ, &info);
    if (!m_file)
        throw AudioError("cannot open audio file " + path.string() + ": " + sf_strerror(nullptr));
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(m_file);
        throw AudioError("cannot open audio file " + path.string() + ": no audio channels");
    }
    m_info = {info.samplerate, info.frames, info.channels, info.format};
    m_type = losslessTypeOf(info.format);
    m_decodeToSeek = InexactEncodingOf(info.format).has_value();
}

AudioReader::~AudioReader() {
    sf_close(m_file);
    if (m_spare)
        sf_close(m_spare);
}

namespace {

// Frames a decoder skips at a time on its way to a frame.
constexpr std::int64_t kSkipChunk = 8192;
// The spare decoder moves this many frames towards the frame kept ready for
// every frame read: a loop pass of L frames brings it L * 16 frames further,
// at a few per cent of a core for Vorbis, so an intro up to 16 times the
// loop's length is crossed within one pass.
constexpr std::int64_t kSpareFactor = 16;

} // namespace

bool AudioReader::skipTo(sf_private_tag*& file, std::int64_t& cursor, std::int64_t to,
                         std::int64_t budget) {
    if (!file || cursor > to) {
        SF_INFO info{};
        SNDFILE* again = sf_open(m_path.c_str(), SFM_READ, &info);
        if (!again)
            return false;
        if (file)
            sf_close(file);
        file = again;
        cursor = 0;
    }
    std::vector<float> skipped(static_cast<std::size_t>(kSkipChunk * m_info.channels));
    while (cursor < to && budget > 0) {
        const std::int64_t want = std::min({kSkipChunk, to - cursor, budget});
        const sf_count_t got = sf_readf_float(file, skipped.data(), want);
        if (got <= 0) // the file holds fewer frames than its header says
            return sf_error(file) == SF_ERR_NO_ERROR;
        cursor += got;
        budget -= got;
    }
    return true;
}

void AudioReader::keepReady(std::int64_t from) {
    if (!m_decodeToSeek || from < 0)
        return;
    m_ready = from;
    skipTo(m_spare, m_spareCursor, m_ready, std::numeric_limits<std::int64_t>::max());
}

bool AudioReader::seek(std::int64_t from) {
    if (from == m_cursor)
        return true; // sequential reads skip the seek, which costs on compressed files
    if (!m_decodeToSeek) {
        if (sf_seek(m_file, from, SEEK_SET) < 0)
            return false;
        m_cursor = from;
        return true;
    }
    // libsndfile's Vorbis and MPEG decoders land up to a block away from the
    // frame asked for while reporting it as reached: frames are decoded from
    // the beginning instead, so a window is what a player hears there. A jump
    // back takes the spare decoder when it waits at or before the frame (a
    // loop's start, kept ready), and the spare then goes back to that frame
    // over the following reads.
    if (from < m_cursor) {
        if (m_spare && m_spareCursor <= from) {
            std::swap(m_file, m_spare);
            std::swap(m_cursor, m_spareCursor);
        }
        m_ready = from;
    }
    return skipTo(m_file, m_cursor, from, std::numeric_limits<std::int64_t>::max());
}

template <class ReadFrames>
std::int64_t AudioReader::readWith(std::int64_t from, std::int64_t count, ReadFrames readFrames) {
    if (from < 0 || count <= 0 || from >= m_info.frames)
        return 0;
    count = std::min(count, m_info.frames - from);
    if (!seek(from))
        throw AudioError("cannot seek in audio file " + m_path.string() + ": " +
                         sf_strerror(m_file));
    if (m_cursor != from)
        return 0; // decoding ended before `from`: nothing is there
    const sf_count_t got = readFrames(count);
    if (got < 0 || (got < count && sf_error(m_file) != SF_ERR_NO_ERROR))
        throw AudioError("cannot read audio file " + m_path.string() + ": " + sf_strerror(m_file));
    m_cursor = from + got;
    if (m_ready >= 0 && m_spareCursor != m_ready)
        skipTo(m_spare, m_spareCursor, m_ready, kSpareFactor * std::max<std::int64_t>(got, 1024));
    return got;
}

std::int64_t AudioReader::read(std::int64_t from, std::int64_t count, void* out) {
    return readWith(from, count, [&](sf_count_t n) -> sf_count_t {
        switch (m_type) {
        case SampleType::Int16:
            return sf_readf_short(m_file, static_cast<short*>(out), n);
        case SampleType::Int32:
            return sf_readf_int(m_file, static_cast<int*>(out), n);
        case SampleType::Float32:
            break;
        }
        return sf_readf_float(m_file, static_cast<float*>(out), n);
    });
}

std::int64_t AudioReader::readFloat(std::int64_t from, std::int64_t count, float* out) {
    if (m_keepLimit > 0 && from >= 0 && count > 0 && from < m_info.frames) {
        const auto ch = static_cast<std::size_t>(m_info.channels);
        const std::int64_t to = std::min(from + count, m_info.frames);
        auto kept = static_cast<std::int64_t>(m_kept.size() / ch);
        if (kept < to && to <= m_keepLimit) {
            m_kept.resize(static_cast<std::size_t>(to) * ch);
            const std::int64_t got = readWith(kept, to - kept, [&](sf_count_t n) {
                return sf_readf_float(m_file, m_kept.data() + kept * ch, n);
            });
            kept += got;
            m_kept.resize(static_cast<std::size_t>(kept) * ch);
        }
        if (to <= kept) {
            std::copy(m_kept.begin() + static_cast<std::ptrdiff_t>(from * ch),
                      m_kept.begin() + static_cast<std::ptrdiff_t>(to * ch), out);
            return to - from;
        }
    }
    return readWith(from, count, [&](sf_count_t n) { return sf_readf_float(m_file, out, n); });
}

void AudioReader::keepDecoded(std::int64_t frames) {
    if (m_decodeToSeek)
        m_keepLimit = std::max<std::int64_t>(0, frames);
}

} // namespace kestrin::audio
