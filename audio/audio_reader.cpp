// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio_reader.h"

#include <sndfile.h>

#include <algorithm>
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
    // frame asked for while reporting it as reached: the frames are decoded
    // from the beginning instead, so a window is what a player hears there.
    if (from < m_cursor) {
        SF_INFO info{};
        SNDFILE* again = sf_open(m_path.c_str(), SFM_READ, &info);
        if (!again)
            return false;
        sf_close(m_file);
        m_file = again;
        m_cursor = 0;
    }
    constexpr std::int64_t kChunk = 8192;
    std::vector<float> skipped(static_cast<std::size_t>(kChunk * m_info.channels));
    while (m_cursor < from) {
        const sf_count_t got =
            sf_readf_float(m_file, skipped.data(), std::min(kChunk, from - m_cursor));
        if (got <= 0)
            return false;
        m_cursor += got;
    }
    return true;
}

template <class ReadFrames>
std::int64_t AudioReader::readWith(std::int64_t from, std::int64_t count, ReadFrames readFrames) {
    if (from < 0 || count <= 0 || from >= m_info.frames)
        return 0;
    count = std::min(count, m_info.frames - from);
    if (!seek(from))
        throw AudioError("cannot seek in audio file " + m_path.string() + ": " +
                         sf_strerror(m_file));
    const sf_count_t got = readFrames(count);
    if (got < 0 || (got < count && sf_error(m_file) != SF_ERR_NO_ERROR))
        throw AudioError("cannot read audio file " + m_path.string() + ": " + sf_strerror(m_file));
    m_cursor = from + got;
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
    return readWith(from, count, [&](sf_count_t n) { return sf_readf_float(m_file, out, n); });
}

} // namespace kestrin::audio
