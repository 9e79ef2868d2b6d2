// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/read/frames.h"

#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "core/positions.h"

#include <algorithm>
#include <new>
#include <string>

namespace kestrin::audio {

namespace {

// Every frame of `reader`'s file; nullopt when `progress` cancelled.
std::optional<AudioSamples> readAll(AudioReader& reader, const ProgressCallback& progress) {
    const AudioInfo& info = reader.info();
    AudioSamples audio;
    audio.sampleRate = info.sampleRate;
    audio.channels = info.channels;
    audio.lossy = InexactEncodingOf(info.format).has_value();
    const auto ch = static_cast<std::size_t>(info.channels);
    // The buffer grows with the frames that arrive, never to what the file
    // says it holds: a damaged file must not decide how much is allocated.
    constexpr std::int64_t kChunk = 1 << 16;
    std::int64_t done = 0;
    try {
        while (done < info.frames) {
            if (progress && !progress(static_cast<double>(done) / static_cast<double>(info.frames)))
                return std::nullopt;
            audio.samples.resize(static_cast<std::size_t>(done + kChunk) * ch);
            const std::int64_t got = reader.readFloat(
                done, kChunk, audio.samples.data() + static_cast<std::size_t>(done) * ch);
            if (got <= 0)
                break;
            done += got;
        }
    } catch (const std::bad_alloc&) {
        throw AudioError("cannot read audio file " + reader.path().string() +
                         ": not enough memory for " + std::to_string(info.frames) + " frames");
    }
    audio.samples.resize(static_cast<std::size_t>(done) * ch);
    return audio;
}

} // namespace

ProgressCallback ProgressPart(const ProgressCallback& progress, double from, double to) {
    if (!progress)
        return {};
    return [=](double f) { return progress(from + (to - from) * std::clamp(f, 0.0, 1.0)); };
}

std::optional<AudioSamples> ReadAudioSamples(const std::filesystem::path& file,
                                             const ProgressCallback& progress) {
    AudioReader reader(file);
    return readAll(reader, progress);
}

std::int64_t SamplesSource::frames() const {
    return m_audio.frames();
}

int SamplesSource::channels() const {
    return m_audio.channels;
}

int SamplesSource::sampleRate() const {
    return m_audio.sampleRate > 0 ? m_audio.sampleRate : SamplesPerSecond;
}

std::int64_t SamplesSource::append(std::int64_t from, std::int64_t to, std::vector<float>& out) {
    from = std::max<std::int64_t>(0, from);
    to = std::min(to, frames());
    if (to <= from)
        return 0;
    const auto ch = static_cast<std::size_t>(m_audio.channels);
    out.insert(out.end(), m_audio.samples.begin() + static_cast<std::ptrdiff_t>(from * ch),
               m_audio.samples.begin() + static_cast<std::ptrdiff_t>(to * ch));
    return to - from;
}

ReaderSource::ReaderSource(AudioReader& reader, Keep keep) : m_reader(reader), m_keep(keep) {
    if (m_keep == Keep::Now)
        m_reader.keepDecodedInScratch();
}

ReaderSource::ReaderSource(AudioReader& reader, std::int64_t frames, Keep keep)
    : ReaderSource(reader, keep) {
    m_frames = frames;
}

std::int64_t ReaderSource::frames() const {
    return m_frames ? *m_frames : m_reader.info().frames;
}

int ReaderSource::channels() const {
    return m_reader.info().channels;
}

int ReaderSource::sampleRate() const {
    return m_reader.info().sampleRate > 0 ? m_reader.info().sampleRate : SamplesPerSecond;
}

std::int64_t ReaderSource::append(std::int64_t from, std::int64_t to, std::vector<float>& out) {
    if (m_keep == Keep::OnFirstRead) {
        m_reader.keepDecodedInScratch();
        m_keep = Keep::Now;
    }
    return AppendFrames(m_reader, from, to, frames(), out);
}

std::int64_t AppendFrames(AudioReader& reader, std::int64_t from, std::int64_t to,
                          std::int64_t frames, std::vector<float>& out) {
    from = std::max<std::int64_t>(0, from);
    to = std::min(to, frames);
    if (to <= from)
        return 0;
    const auto ch = static_cast<std::size_t>(reader.info().channels);
    const std::size_t old = out.size();
    out.resize(old + static_cast<std::size_t>(to - from) * ch);
    const std::int64_t got =
        std::max<std::int64_t>(0, reader.readFloat(from, to - from, out.data() + old));
    out.resize(old + static_cast<std::size_t>(got) * ch);
    return got;
}
} // namespace kestrin::audio
