// SPDX-License-Identifier: GPL-3.0-or-later
// The frames of a track as the judge and the finders see them: decoded whole
// (AudioSamples) or read from a file on demand (ReaderSource), both behind
// FrameSource so that either is judged and searched alike.
#pragma once

#include "core/positions.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace kestrin::audio {

class AudioReader;

// A whole sound file decoded: frames of `channels` interleaved float samples,
// integer formats scaled to [-1, 1) (exact for 16 and 24 bits), float
// formats as stored.
struct AudioSamples {
    int sampleRate = 0;
    int channels = 0;
    std::vector<float> samples;
    // Decoded from a lossy encoding (Vorbis, MPEG, ADPCM, ...): repeats are
    // close, never exact, even where a stretch happens to come out exact.
    bool lossy = false;

    std::int64_t frames() const {
        return channels > 0 ? static_cast<std::int64_t>(samples.size()) / channels : 0;
    }
};

// Told the fraction done, 0 to 1, from time to time; returning false cancels
// the work. Called on the thread that does the work.
using ProgressCallback = std::function<bool(double fraction)>;

// The part [from, to] of `progress` that one step of some work takes: the
// step's own fraction, 0 to 1, is told as that part of the whole. Empty when
// `progress` is.
ProgressCallback ProgressPart(const ProgressCallback& progress, double from, double to);

// Tells `progress`, where there is one, the fraction done; false when the
// work is to stop.
inline bool ReportProgress(const ProgressCallback& progress, double fraction) {
    return !progress || progress(fraction);
}

// Reads a whole sound file through libsndfile. Returns nullopt when
// `progress` cancelled. Throws AudioError naming the file and the reason.
std::optional<AudioSamples> ReadAudioSamples(const std::filesystem::path& file,
                                             const ProgressCallback& progress = {});

// The frames of one track, read on demand, so that a decoded track and a
// file on disk are judged alike.
// Threads: one thread's; reading may move a file's cursor, so append() is
// not const.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual std::int64_t frames() const = 0;
    virtual int channels() const = 0;
    // Appends frames [from, to), clipped to the track, to `out` as
    // interleaved floats; returns the frames appended. Throws AudioError
    // when a file cannot be read.
    virtual std::int64_t append(std::int64_t from, std::int64_t to, std::vector<float>& out) = 0;
    // Frames per second, for the rate at which a short loop's jump repeats.
    virtual int sampleRate() const { return SamplesPerSecond; }
};

// A track decoded whole.
class SamplesSource final : public FrameSource {
public:
    explicit SamplesSource(const AudioSamples& audio) : m_audio(audio) {}
    std::int64_t frames() const override;
    int channels() const override;
    std::int64_t append(std::int64_t from, std::int64_t to, std::vector<float>& out) override;
    int sampleRate() const override;

private:
    const AudioSamples& m_audio;
};

// Appends frames [from, to) of `reader`, clipped to [0, frames), to `out` as
// interleaved floats; returns the frames appended, fewer where the file holds
// fewer than its header claims. Throws AudioError when the file cannot be read.
std::int64_t AppendFrames(AudioReader& reader, std::int64_t from, std::int64_t to,
                          std::int64_t frames, std::vector<float>& out);

// A file read window by window. A lossy file decodes again from its
// beginning at every jump back, so it is asked to keep what it decodes when
// `keep` says, in a scratch file (AudioReader::keepDecodedInScratch): held
// in memory, it would grow with how far into the file the windows lie.
class ReaderSource final : public FrameSource {
public:
    enum class Keep {
        // At once: windows are read back from the first.
        Now,
        // At the first read: a pass in order that comes first must not keep
        // frames, and the source is made before that pass.
        OnFirstRead,
        // Never: a single pass in order, or a reader that keeps its decoding
        // elsewhere (AudioReader::keepDecodedInScratch).
        Never,
    };
    // The file's frames as its reader counts them at each call.
    explicit ReaderSource(AudioReader& reader, Keep keep = Keep::Now);
    // Frames [0, frames) only, as counted on a pass through the file, which
    // a lossy file's later reads may leave behind.
    ReaderSource(AudioReader& reader, std::int64_t frames, Keep keep);
    std::int64_t frames() const override;
    int channels() const override;
    std::int64_t append(std::int64_t from, std::int64_t to, std::vector<float>& out) override;
    int sampleRate() const override;

private:
    AudioReader& m_reader;
    std::optional<std::int64_t> m_frames;
    Keep m_keep;
};

} // namespace kestrin::audio
