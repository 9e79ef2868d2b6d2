// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/render/loop_interchange.h"

#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "core/audio_extensions.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace kestrin::audio {

namespace fs = std::filesystem;

namespace {

std::string lowerExtension(const fs::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// Frames rendered at a time.
constexpr std::int64_t kChunk = 16384;

// A loop shorter than a block, read once and laid end to end at least a
// block and a loop long, so that any block of passes is one copy: going
// round it by reads would cost a call per pass.
template <class Sample>
std::vector<Sample> layShortLoop(AudioReader& reader, const ExtendPlan& plan) {
    const int channels = reader.info().channels;
    const std::int64_t loop = plan.stop - plan.start;
    const std::int64_t copies = (kChunk + loop - 1) / loop + 1;
    std::vector<Sample> laid(static_cast<std::size_t>(copies * loop * channels));
    if (reader.read(plan.start, loop, laid.data()) != loop)
        throw AudioError("cannot read audio file " + reader.path().string() + ": it ended early");
    for (std::int64_t c = 1; c < copies; ++c)
        std::copy(laid.begin(), laid.begin() + loop * channels, laid.begin() + c * loop * channels);
    return laid;
}

// Fades the `block` frames of `buffer`, from frame `at` of the render, where
// they lie in the plan's fade: linearly to silence at its last frame.
template <class Sample>
void fadeOut(std::vector<Sample>& buffer, std::int64_t at, std::int64_t block,
             const ExtendPlan& plan, int channels) {
    const std::int64_t fadeFrom = plan.frames - plan.fadeFrames;
    for (std::int64_t i = std::max<std::int64_t>(0, fadeFrom - at); i < block; ++i) {
        const double gain =
            static_cast<double>(plan.frames - (at + i)) / static_cast<double>(plan.fadeFrames + 1);
        for (int c = 0; c < channels; ++c) {
            Sample& s = buffer[static_cast<std::size_t>(i * channels + c)];
            if constexpr (std::is_floating_point_v<Sample>)
                s = static_cast<Sample>(s * gain);
            else
                s = static_cast<Sample>(std::lround(s * gain));
        }
    }
}

template <class Sample>
void render(AudioReader& reader, SNDFILE* out, const fs::path& target, const ExtendPlan& plan,
            const std::function<void(double)>& progress) {
    const int channels = reader.info().channels;
    const std::int64_t loop = plan.stop - plan.start;
    const std::int64_t outro = reader.info().frames - plan.stop;
    // Outro ending: whole passes, the outro, then silence.
    std::int64_t passes = 0;
    if (plan.ending == RenderEnding::Outro)
        passes = (plan.frames - plan.start - outro) / loop;
    const std::int64_t fadeFrom = plan.frames - plan.fadeFrames;
    std::vector<Sample> buffer(static_cast<std::size_t>(kChunk * channels));
    std::vector<Sample> shortLoop;
    if (loop <= kChunk)
        shortLoop = layShortLoop<Sample>(reader, plan);
    const std::int64_t laidFrames = static_cast<std::int64_t>(shortLoop.size()) / channels;
    if (plan.stop < reader.info().frames || plan.start > 0)
        reader.keepReady(plan.start);
    std::int64_t lastReport = 0;
    for (std::int64_t at = 0; at < plan.frames;) {
        const std::int64_t block = std::min(kChunk, plan.frames - at);
        // The block is filled run by run: each run comes from one place.
        for (std::int64_t filled = 0; filled < block;) {
            const std::int64_t t = at + filled;
            Sample* into = buffer.data() + filled * channels;
            std::int64_t from = -1;
            std::int64_t run = block - filled;
            bool inLoop = false;
            if (t < plan.start) {
                from = t;
                run = std::min(run, plan.start - t);
            } else if (plan.ending == RenderEnding::Fade || t < plan.start + passes * loop) {
                const std::int64_t offset = (t - plan.start) % loop;
                from = plan.start + offset;
                inLoop = true;
                if (shortLoop.empty())
                    run = std::min(run, loop - offset);
                else if (plan.ending == RenderEnding::Fade)
                    run = std::min(run, laidFrames - offset);
                else
                    run = std::min({run, laidFrames - offset, plan.start + passes * loop - t});
            } else if (t < plan.start + passes * loop + outro) {
                const std::int64_t inOutro = t - plan.start - passes * loop;
                from = plan.stop + inOutro;
                run = std::min(run, outro - inOutro);
            }
            if (from < 0) {
                std::fill(into, into + run * channels, Sample{});
            } else if (inLoop && !shortLoop.empty()) {
                const Sample* loopFrom = shortLoop.data() + (from - plan.start) * channels;
                std::copy(loopFrom, loopFrom + run * channels, into);
            } else if (reader.read(from, run, into) != run) {
                throw AudioError("cannot read audio file " + reader.path().string() +
                                 ": it ended early");
            }
            filled += run;
        }
        if (plan.ending == RenderEnding::Fade && at + block > fadeFrom)
            fadeOut(buffer, at, block, plan, channels);
        WriteFrames(out, buffer.data(), block, target);
        at += block;
        if (progress && (at - lastReport >= 10 * kChunk || at == plan.frames)) {
            progress(static_cast<double>(at) / static_cast<double>(plan.frames));
            lastReport = at;
        }
    }
}

} // namespace

std::optional<FileLoop> ReadInstrumentLoop(const fs::path& path) {
    SF_INFO info{};
    SoundFile file(OpenAudioForReading(path, info));
    SF_INSTRUMENT instrument{};
    if (sf_command(file.get(), SFC_GET_INSTRUMENT, &instrument, sizeof instrument) != SF_TRUE)
        return std::nullopt;
    const int count = std::clamp(instrument.loop_count, 0, 16);
    for (int i = 0; i < count; ++i) {
        const auto& loop = instrument.loops[i];
        if (loop.mode == SF_LOOP_FORWARD)
            return FileLoop{loop.start, loop.end, info.samplerate};
    }
    return std::nullopt;
}

void WriteWithInstrumentLoop(const fs::path& source, const fs::path& target, std::int64_t start,
                             std::int64_t stop, bool replace) {
    if (start < 0 || stop <= start || stop > 0xFFFFFFFFLL)
        throw AudioError("cannot write the loop " + std::to_string(start) + ".." +
                         std::to_string(stop) + " into " + target.string() +
                         ": it is no loop an instrument chunk can hold");
    // libsndfile accepts an instrument for AIFF too but writes no chunk for
    // it: a loop that silently went missing would be reported as written.
    SF_INFO info{};
    SoundFile probe(OpenAudioForReading(source, info));
    probe.reset();
    const int container = info.format & SF_FORMAT_TYPEMASK;
    if (container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX)
        throw AudioError("cannot write a loop into " + target.string() +
                         ": only WAVE files get a smpl chunk (this libsndfile writes no "
                         "instrument loop into other formats)");
    WriteSpliced(
        source, target, 0, ReadAudioInfo(source).frames, 0, 0, replace,
        [&](SNDFILE* in, SNDFILE* out) {
            SF_INSTRUMENT instrument{};
            if (sf_command(in, SFC_GET_INSTRUMENT, &instrument, sizeof instrument) != SF_TRUE) {
                instrument = {};
                instrument.basenote = 60;
                instrument.velocity_hi = 127;
                instrument.key_hi = 127;
            }
            instrument.loop_count = 1;
            instrument.loops[0].mode = SF_LOOP_FORWARD;
            instrument.loops[0].start = static_cast<unsigned>(start);
            instrument.loops[0].end = static_cast<unsigned>(stop);
            instrument.loops[0].count = 0; // endless
            if (sf_command(out, SFC_SET_INSTRUMENT, &instrument, sizeof instrument) != SF_TRUE)
                throw AudioError("cannot write a loop into " + target.string() +
                                 ": its format holds no instrument loops");
            for (int s = SF_STR_FIRST; s <= SF_STR_LAST; ++s)
                if (const char* text = sf_get_string(in, s))
                    sf_set_string(out, s, text);
        });
}

std::optional<std::string> AudioDifference(const fs::path& a, const fs::path& b,
                                           std::int64_t skipFrom, std::int64_t skipTo) {
    AudioReader left(a);
    AudioReader right(b);
    const AudioInfo& l = left.info();
    const AudioInfo& r = right.info();
    if (l.sampleRate != r.sampleRate || l.channels != r.channels)
        return std::to_string(l.sampleRate) + " Hz, " + std::to_string(l.channels) +
               " channels against " + std::to_string(r.sampleRate) + " Hz, " +
               std::to_string(r.channels) + " channels";
    if (l.frames != r.frames)
        return std::to_string(l.frames) + " frames against " + std::to_string(r.frames);
    if (left.sampleType() != right.sampleType())
        return std::string("a different sample type");
    constexpr std::int64_t kChunk = 65536;
    std::vector<char> x(static_cast<std::size_t>(kChunk * left.bytesPerFrame()));
    std::vector<char> y(x.size());
    for (std::int64_t at = 0; at < l.frames; at += kChunk) {
        const std::int64_t n = left.read(at, kChunk, x.data());
        if (right.read(at, kChunk, y.data()) != n || n <= 0)
            return "a read that ended early at frame " + std::to_string(at);
        const std::size_t bytes = static_cast<std::size_t>(n * left.bytesPerFrame());
        // The frames meant to differ are made equal on both sides first.
        const std::int64_t skipA = std::clamp<std::int64_t>(skipFrom - at, 0, n);
        const std::int64_t skipB = std::clamp<std::int64_t>(skipTo - at, 0, n);
        if (skipB > skipA)
            std::memcpy(y.data() + skipA * left.bytesPerFrame(),
                        x.data() + skipA * left.bytesPerFrame(),
                        static_cast<std::size_t>((skipB - skipA) * left.bytesPerFrame()));
        if (std::memcmp(x.data(), y.data(), bytes) != 0) {
            const auto where =
                std::mismatch(x.begin(), x.begin() + static_cast<long>(bytes), y.begin());
            return "a different sample at frame " +
                   std::to_string(at + (where.first - x.begin()) / left.bytesPerFrame());
        }
    }
    return std::nullopt;
}

std::optional<int> RenderFormatFor(const fs::path& target, const fs::path& source,
                                   std::int64_t frames) {
    const std::string ext = lowerExtension(target);
    SF_INFO info{};
    SoundFile in(OpenAudioForReading(source, info));
    const SampleType type = AudioReader(source).sampleType();
    const bool wide = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_24;
    if (ext == ".ogg" || ext == ".oga")
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    if (ext == ".flac")
        return SF_FORMAT_FLAC | (type == SampleType::Int16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    int container = 0;
    if (ext == ".wav")
        container = SF_FORMAT_WAV;
    else if (ext == ".aif" || ext == ".aiff")
        container = SF_FORMAT_AIFF;
    else
        return std::nullopt;
    int encoding = SF_FORMAT_FLOAT;
    int bytes = 4;
    switch (type) {
    case SampleType::Int16:
        encoding = SF_FORMAT_PCM_16;
        bytes = 2;
        break;
    case SampleType::Int32:
        encoding = wide ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_32;
        bytes = wide ? 3 : 4;
        break;
    case SampleType::Float32:
        break;
    }
    if (!FitsIn32BitContainer(frames, info.channels, bytes)) {
        if (container == SF_FORMAT_AIFF)
            throw AudioError("cannot write " + target.string() + ": " + std::to_string(frames) +
                             " frames need more than the 4 GB an AIFF file can hold (write a "
                             ".wav, which becomes RF64, or a .flac)");
        container = SF_FORMAT_RF64;
    }
    return container | encoding;
}

bool FitsIn32BitContainer(std::int64_t frames, int channels, int bytesPerSample) {
    // Room for the header and the chunks libsndfile writes beside the data.
    constexpr std::int64_t kHeaderRoom = 1 << 16;
    constexpr std::int64_t kLargest = 0xFFFFFFFFLL - kHeaderRoom;
    return frames <= kLargest / (std::int64_t{channels} * bytesPerSample);
}

void RenderExtended(const fs::path& source, const fs::path& target, const ExtendPlan& plan,
                    bool replace, const std::function<void(double)>& progress) {
    AudioReader reader(source);
    const std::int64_t frames = reader.info().frames;
    if (plan.start < 0 || plan.stop <= plan.start || plan.stop > frames)
        throw AudioError("cannot extend " + source.string() + ": " + std::to_string(plan.start) +
                         ".." + std::to_string(plan.stop) + " is no loop within its " +
                         std::to_string(frames) + " frames");
    const std::int64_t needed = plan.ending == RenderEnding::Outro
                                    ? frames // intro, one pass, outro
                                    : plan.stop;
    if (plan.frames < needed)
        throw AudioError("cannot extend " + source.string() + " to " + std::to_string(plan.frames) +
                         " frames: the intro, one loop pass" +
                         (plan.ending == RenderEnding::Outro ? " and the outro" : "") + " take " +
                         std::to_string(needed));
    if (plan.fadeFrames < 0 || (plan.ending == RenderEnding::Fade && plan.fadeFrames > plan.frames))
        throw AudioError("cannot extend " + source.string() + " to " + std::to_string(plan.frames) +
                         " frames with a fade of " + std::to_string(plan.fadeFrames) +
                         ": the fade is longer than the render");
    const auto format = RenderFormatFor(target, source, plan.frames);
    if (!format)
        throw AudioError("cannot write " + target.string() + ": its extension is none of " +
                         WrittenAudioExtensionList());
    const ExtendPlan& checked = plan;
    WriteAudioFile(target, *format, reader.info().channels, reader.info().sampleRate, replace,
                   [&](SNDFILE* out) {
                       sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
                       switch (reader.sampleType()) {
                       case SampleType::Int16:
                           render<std::int16_t>(reader, out, target, checked, progress);
                           break;
                       case SampleType::Int32:
                           render<std::int32_t>(reader, out, target, checked, progress);
                           break;
                       case SampleType::Float32:
                           render<float>(reader, out, target, checked, progress);
                           break;
                       }
                   });
}

} // namespace kestrin::audio
