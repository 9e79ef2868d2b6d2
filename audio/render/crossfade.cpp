// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/render/crossfade.h"

#include "audio/judge/seam_measure.h"
#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "audio/read/in_place.h"
#include "audio/read/sample_bytes.h"
#include "audio/render/loop_interchange.h"
#include "core/audio_extensions.h"
#include "core/clock_text.h"
#include "core/positions.h"
#include "core/seam_figures.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <type_traits>

#include <fcntl.h>
#include <unistd.h>

namespace kestrin::audio {

namespace fs = std::filesystem;

namespace {

// "1.5 s (66,150 frames)": a user speaks in seconds; the frames are exact.
std::string secondsAndFrames(std::int64_t frames, int sampleRate) {
    constexpr double kMillisecondsPerSecond = 1000;
    const double seconds =
        std::round(static_cast<double>(frames) * kMillisecondsPerSecond / sampleRate) /
        kMillisecondsPerSecond;
    return FormatNumber(seconds) + " s (" + GroupedText(frames) + " frames)";
}

} // namespace

std::optional<std::string> CrossfadeProblem(std::int64_t start, std::int64_t stop,
                                            std::int64_t frames, std::int64_t total,
                                            int sampleRate) {
    if (start < 0 || stop <= start || stop > total)
        return std::to_string(start) + ".." + std::to_string(stop) + " is no loop within " +
               std::to_string(total) + " frames";
    if (frames <= 0)
        return std::string("a crossfade needs at least one frame");
    if (frames > (stop - start) / 2)
        return "a crossfade of " + secondsAndFrames(frames, sampleRate) +
               " reaches beyond half the loop, which lasts " +
               secondsAndFrames(stop - start, sampleRate);
    if (frames > start)
        return "a crossfade of " + secondsAndFrames(frames, sampleRate) +
               " needs as many before the start, which is at " +
               secondsAndFrames(start, sampleRate);
    return std::nullopt;
}

double CrossfadeCorrelation(FrameSource& audio, std::int64_t start, std::int64_t stop,
                            std::int64_t frames) {
    // Read in blocks, so a long crossfade costs no more memory than a short one.
    constexpr std::int64_t kBlock = 16384;
    std::vector<float> own;
    std::vector<float> other;
    double oo = 0;
    double tt = 0;
    double ot = 0;
    for (std::int64_t at = 0; at < frames; at += kBlock) {
        const std::int64_t n = std::min(kBlock, frames - at);
        own.clear();
        other.clear();
        audio.append(stop - frames + at, stop - frames + at + n, own);
        audio.append(start - frames + at, start - frames + at + n, other);
        const std::size_t count = std::min(own.size(), other.size());
        for (std::size_t i = 0; i < count; ++i) {
            oo += double{own[i]} * own[i];
            tt += double{other[i]} * other[i];
            ot += double{own[i]} * other[i];
        }
    }
    if (oo <= 0 || tt <= 0)
        return oo == tt ? 1.0 : 0.0;
    return ot / std::sqrt(oo * tt);
}

CrossfadeCurve CurveFor(double correlation) {
    return correlation >= kAlikeCorrelation ? CrossfadeCurve::EqualGain
                                            : CrossfadeCurve::EqualPower;
}

std::pair<double, double> CrossfadeGains(CrossfadeCurve curve, std::int64_t i,
                                         std::int64_t frames) {
    if (i + 1 >= frames)
        return {0.0, 1.0};
    const double u = static_cast<double>(i + 1) / static_cast<double>(frames);
    if (curve == CrossfadeCurve::EqualGain)
        return {1.0 - u, u};
    const double angle = u * std::numbers::pi / 2;
    return {std::cos(angle), std::sin(angle)};
}

std::int64_t CrossfadedSource::append(std::int64_t from, std::int64_t to, std::vector<float>& out) {
    const std::size_t first = out.size();
    const std::int64_t got = m_audio.append(from, to, out);
    const std::int64_t begin = std::max<std::int64_t>(from, 0);
    const std::int64_t fadeFrom = m_fade.stop - m_fade.frames;
    const std::int64_t lo = std::max(begin, fadeFrom);
    const std::int64_t hi = std::min(begin + got, m_fade.stop);
    if (lo >= hi)
        return got;
    const int channels = m_audio.channels();
    m_other.clear();
    const std::int64_t shift = m_fade.stop - m_fade.start;
    m_audio.append(lo - shift, hi - shift, m_other);
    for (std::int64_t t = lo; t < hi; ++t) {
        const auto [own, other] = CrossfadeGains(m_fade.curve, t - fadeFrom, m_fade.frames);
        float* sample = out.data() + first + static_cast<std::size_t>((t - begin) * channels);
        const float* from2 = m_other.data() + static_cast<std::size_t>((t - lo) * channels);
        for (int c = 0; c < channels; ++c)
            sample[c] = static_cast<float>(own * sample[c] + other * from2[c]);
    }
    return got;
}

SeamFigures JudgeCrossfaded(FrameSource& audio, const Crossfade& fade) {
    CrossfadedSource crossfaded(audio, fade);
    if (std::optional<SeamFigures> figures =
            MeasureSeam(crossfaded, fade.start, fade.stop, /*suggest=*/false))
        return *figures;
    // Frames at the loop's ends that cannot be read: the copy alone tells.
    return JudgeSeam(crossfaded, fade.start, fade.stop, SeamMode::Exact);
}

CrossfadeChoice MeasureCrossfade(FrameSource& audio, std::int64_t start, std::int64_t stop,
                                 std::int64_t frames) {
    CrossfadeChoice choice;
    choice.correlation = CrossfadeCorrelation(audio, start, stop, frames);
    choice.fade = {start, stop, frames, CurveFor(choice.correlation)};
    choice.figures = JudgeCrossfaded(audio, choice.fade);
    return choice;
}

std::optional<CrossfadeChoice>
ChooseCrossfade(FrameSource& audio, std::int64_t start, std::int64_t stop, int sampleRate,
                const std::function<void(const CrossfadeChoice&)>& tried) {
    for (const int ms : kCrossfadeLengthsMs) {
        const std::int64_t frames = std::int64_t{ms} * sampleRate / 1000;
        if (CrossfadeProblem(start, stop, frames, audio.frames(), audio.sampleRate()))
            break; // the longer ones have no room either
        const CrossfadeChoice choice = MeasureCrossfade(audio, start, stop, frames);
        if (tried)
            tried(choice);
        if (choice.figures.sound == SeamSound::Seamless)
            return choice;
    }
    return std::nullopt;
}

namespace {

template <class Sample> Sample blend(double own, Sample a, double other, Sample b) {
    const double mixed = own * a + other * b;
    if constexpr (std::is_floating_point_v<Sample>) {
        return static_cast<Sample>(mixed);
    } else {
        // Equal power over alike sides can pass full scale: clip, never wrap.
        constexpr double lo = std::numeric_limits<Sample>::min();
        constexpr double hi = std::numeric_limits<Sample>::max();
        return static_cast<Sample>(std::clamp(std::round(mixed), lo, hi));
    }
}

// Writes the frames `from` to `to` of the crossfaded track into `out`.
template <class Sample>
void writeFaded(AudioReader& reader, SNDFILE* out, const fs::path& target, const Crossfade& fade,
                std::int64_t from, std::int64_t to, const std::function<void(double)>& progress) {
    const int channels = reader.info().channels;
    const std::int64_t total = to;
    const std::int64_t fadeFrom = fade.stop - fade.frames;
    const std::int64_t shift = fade.stop - fade.start;
    constexpr std::int64_t kChunk = 65536;
    std::vector<Sample> buffer(static_cast<std::size_t>(kChunk * channels));
    std::vector<Sample> other(buffer.size());
    const auto ended = [&] {
        return AudioError("cannot read audio file " + reader.path().string() + ": it ended early");
    };
    for (std::int64_t at = from; at < total;) {
        // Blocks break at the crossfade's edges, so each is read in order.
        std::int64_t block = std::min(kChunk, total - at);
        if (at < fadeFrom)
            block = std::min(block, fadeFrom - at);
        else if (at < fade.stop)
            block = std::min(block, fade.stop - at);
        if (reader.read(at, block, buffer.data()) != block)
            throw ended();
        if (at >= fadeFrom && at < fade.stop) {
            if (reader.read(at - shift, block, other.data()) != block)
                throw ended();
            for (std::int64_t i = 0; i < block; ++i) {
                const auto [g, h] = CrossfadeGains(fade.curve, at + i - fadeFrom, fade.frames);
                for (int c = 0; c < channels; ++c) {
                    const auto k = static_cast<std::size_t>(i * channels + c);
                    buffer[k] = blend(g, buffer[k], h, other[k]);
                }
            }
        }
        WriteFrames(out, buffer.data(), block, target);
        at += block;
        if (progress)
            progress(static_cast<double>(at - from) / static_cast<double>(total - from));
    }
}

void writeFadedFrames(AudioReader& reader, SNDFILE* out, const fs::path& target,
                      const Crossfade& fade, std::int64_t from, std::int64_t to,
                      const std::function<void(double)>& progress) {
    switch (reader.sampleType()) {
    case SampleType::Int16:
        writeFaded<std::int16_t>(reader, out, target, fade, from, to, progress);
        break;
    case SampleType::Int32:
        writeFaded<std::int32_t>(reader, out, target, fade, from, to, progress);
        break;
    case SampleType::Float32:
        writeFaded<float>(reader, out, target, fade, from, to, progress);
        break;
    }
}

// A file the crossfade keeps in its container and encoding is copied byte
// for byte, and only the bytes of the crossfaded frames are written anew:
// every chunk, known to libsndfile or not, stays where it was. The new
// frames are encoded by libsndfile as headerless samples of the file's own
// encoding and byte order.
void rewriteFadedBytes(AudioReader& reader, const fs::path& source, const fs::path& target,
                       const Crossfade& fade, const ByteRange& samples, bool replace,
                       const std::function<void(double)>& progress) {
    const AudioInfo& info = reader.info();
    const std::int64_t fadeFrom = fade.stop - fade.frames;
    const int container = info.format & SF_FORMAT_TYPEMASK;
    const int endian = (info.format & SF_FORMAT_ENDMASK) != 0 ? info.format & SF_FORMAT_ENDMASK
                       : container == SF_FORMAT_AIFF          ? SF_ENDIAN_BIG
                                                              : SF_ENDIAN_LITTLE;
    std::unique_ptr<std::FILE, decltype(&std::fclose)> encoded(std::tmpfile(), std::fclose);
    if (!encoded)
        throw AudioError("cannot crossfade " + source.string() + ": no temporary file (" +
                         std::strerror(errno) + ")");
    SF_INFO raw{};
    raw.samplerate = info.sampleRate;
    raw.channels = info.channels;
    raw.format = SF_FORMAT_RAW | (info.format & SF_FORMAT_SUBMASK) | endian;
    {
        SoundFile out(sf_open_fd(::fileno(encoded.get()), SFM_WRITE, &raw, SF_FALSE));
        if (!out)
            throw AudioError("cannot crossfade " + source.string() + ": " + sf_strerror(nullptr));
        sf_command(out.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
        writeFadedFrames(reader, out.get(), target, fade, fadeFrom, fade.stop, {});
    }
    std::string bytes;
    std::rewind(encoded.get());
    for (char block[65536];
         const std::size_t got = std::fread(block, 1, sizeof block, encoded.get());)
        bytes.append(block, got);
    const auto frameBytes =
        static_cast<std::uint64_t>(bytes.size()) / static_cast<std::uint64_t>(fade.frames);
    if (frameBytes == 0 || frameBytes * static_cast<std::uint64_t>(fade.frames) != bytes.size() ||
        frameBytes * static_cast<std::uint64_t>(info.frames) > samples.size)
        throw AudioError("cannot crossfade " + source.string() +
                         ": its sample bytes are not where its header says");
    CreateChecked(target, replace, [&](const fs::path& temporary) {
        std::error_code ec;
        fs::copy_file(source, temporary, fs::copy_options::overwrite_existing, ec);
        if (ec)
            throw AudioError("cannot write audio file " + target.string() + ": " + ec.message());
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CLOEXEC);
        const auto at =
            static_cast<off_t>(samples.offset + frameBytes * static_cast<std::uint64_t>(fadeFrom));
        const bool written =
            fd >= 0 &&
            ::pwrite(fd, bytes.data(), bytes.size(), at) == static_cast<ssize_t>(bytes.size()) &&
            ::fsync(fd) == 0;
        const int error = errno;
        if (fd >= 0 && ::close(fd) != 0 && written)
            throw AudioError("cannot write audio file " + target.string() + ": " +
                             std::strerror(errno));
        if (!written)
            throw AudioError("cannot write audio file " + target.string() + ": " +
                             std::strerror(error));
        if (progress)
            progress(1.0);
    });
}

// The instrument (a WAVE file's smpl loop) and the text chunks libsndfile
// knows go along, before the first frame: the crossfaded file is the same
// track.
void carryChunks(const fs::path& source, SNDFILE* out, int format) {
    SF_INFO info{};
    SoundFile in(OpenAudioForReading(source, info));
    SF_INSTRUMENT instrument{};
    const int container = format & SF_FORMAT_TYPEMASK;
    if ((container == SF_FORMAT_WAV || container == SF_FORMAT_WAVEX ||
         container == SF_FORMAT_RF64) &&
        sf_command(in.get(), SFC_GET_INSTRUMENT, &instrument, sizeof instrument) == SF_TRUE)
        sf_command(out, SFC_SET_INSTRUMENT, &instrument, sizeof instrument);
    for (int s = SF_STR_FIRST; s <= SF_STR_LAST; ++s)
        if (const char* text = sf_get_string(in.get(), s))
            sf_set_string(out, s, text);
}

} // namespace

void WriteCrossfaded(const fs::path& source, const fs::path& target, const Crossfade& fade,
                     bool replace, const std::function<void(double)>& progress,
                     CrossfadeOutput output) {
    AudioReader reader(source);
    const AudioInfo& info = reader.info();
    if (const auto problem =
            CrossfadeProblem(fade.start, fade.stop, fade.frames, info.frames, info.sampleRate))
        throw AudioError("cannot crossfade " + source.string() + ": " + *problem);
    if (output == CrossfadeOutput::AsTheSource) {
        if (const auto encoding = InexactEncodingOf(info.format))
            throw AudioError("cannot crossfade " + source.string() + " in place: its " + *encoding +
                             " encoding would change every sample");
    }
    auto format = output == CrossfadeOutput::AsTheSource
                      ? std::optional<int>(info.format)
                      : RenderFormatFor(target, source, info.frames);
    if (!format)
        throw AudioError("cannot write " + target.string() + ": its extension is none of " +
                         WrittenAudioExtensionList());
    // The same container keeps the source's own encoding (u-law stays u-law).
    if ((*format & SF_FORMAT_TYPEMASK) == (info.format & SF_FORMAT_TYPEMASK) &&
        !InexactEncodingOf(info.format))
        format = info.format;
    if (*format == info.format) {
        if (const auto samples = SampleBytesOf(source)) {
            rewriteFadedBytes(reader, source, target, fade, *samples, replace, progress);
            return;
        }
    }
    WriteAudioFile(target, *format, info.channels, info.sampleRate, replace, [&](SNDFILE* out) {
        sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        carryChunks(source, out, *format);
        writeFadedFrames(reader, out, target, fade, 0, info.frames, progress);
    });
}

} // namespace kestrin::audio
