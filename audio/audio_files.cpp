// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio_files.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <vector>

namespace kestrin::audio {

namespace fs = std::filesystem;

namespace {

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using SoundFile = std::unique_ptr<SNDFILE, SndfileCloser>;

SoundFile openSound(const fs::path& path, int mode, SF_INFO& info, const char* action) {
    SoundFile file(sf_open(path.c_str(), mode, &info));
    if (!file)
        throw AudioError("cannot " + std::string(action) + " audio file " + path.string() + ": " +
                         sf_strerror(nullptr));
    return file;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

bool isFloatFormat(int format) {
    const int subtype = format & SF_FORMAT_SUBMASK;
    return subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
}

// Integer formats travel as int and float formats as double: both exact.
sf_count_t readFrames(SNDFILE* f, int* data, sf_count_t n) {
    return sf_readf_int(f, data, n);
}
sf_count_t readFrames(SNDFILE* f, double* data, sf_count_t n) {
    return sf_readf_double(f, data, n);
}
sf_count_t writeFrames(SNDFILE* f, const int* data, sf_count_t n) {
    return sf_writef_int(f, data, n);
}
sf_count_t writeFrames(SNDFILE* f, const double* data, sf_count_t n) {
    return sf_writef_double(f, data, n);
}

template <class Sample>
void copyFrames(SNDFILE* in, SNDFILE* out, int channels, std::int64_t from, std::int64_t to,
                const fs::path& source, const fs::path& target) {
    if (from >= to)
        return;
    if (sf_seek(in, from, SEEK_SET) < 0)
        throw AudioError("cannot seek in audio file " + source.string() + ": " + sf_strerror(in));
    constexpr sf_count_t kChunk = 4096;
    std::vector<Sample> buffer(static_cast<std::size_t>(kChunk * channels));
    for (std::int64_t left = to - from; left > 0;) {
        const sf_count_t want = std::min<sf_count_t>(kChunk, left);
        const sf_count_t got = readFrames(in, buffer.data(), want);
        if (got != want)
            throw AudioError("cannot read audio file " + source.string() + ": ended early");
        if (writeFrames(out, buffer.data(), got) != got)
            throw AudioError("cannot write audio file " + target.string() + ": " +
                             sf_strerror(out));
        left -= got;
    }
}

} // namespace

AudioInfo ReadAudioInfo(const fs::path& audio) {
    SF_INFO info{};
    SoundFile file = openSound(audio, SFM_READ, info, "read");
    return {info.samplerate, info.frames, info.channels, info.format};
}

fs::path ExpectedAudioName(const fs::path& posFile) {
    const std::string ext = posFile.extension().string();
    const bool upper = !ext.empty() && std::none_of(ext.begin(), ext.end(), [](unsigned char c) {
        return std::islower(c) != 0;
    });
    fs::path name = posFile;
    name.replace_extension(upper ? ".WAV" : ".wav");
    return name;
}

std::optional<Companion> FindCompanionAudio(const fs::path& posFile) {
    const fs::path expected = ExpectedAudioName(posFile);
    std::error_code ec;
    if (fs::is_regular_file(expected, ec))
        return Companion{expected, true};
    const fs::path folder = posFile.has_parent_path() ? posFile.parent_path() : fs::path(".");
    const std::string wanted = expected.filename().string();
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (equalsIgnoringCase(entry.path().filename().string(), wanted) &&
            entry.is_regular_file(ec))
            return Companion{posFile.has_parent_path() ? entry.path() : entry.path().filename(),
                             false};
    }
    return std::nullopt;
}

void WriteSpliced(const fs::path& source, const fs::path& target, std::int64_t fromA,
                  std::int64_t toA, std::int64_t fromB, std::int64_t toB) {
    SF_INFO inInfo{};
    SoundFile in = openSound(source, SFM_READ, inInfo, "read");
    SF_INFO outInfo{};
    outInfo.samplerate = inInfo.samplerate;
    outInfo.channels = inInfo.channels;
    outInfo.format = inInfo.format;
    SoundFile out = openSound(target, SFM_WRITE, outInfo, "create");
    if (isFloatFormat(inInfo.format)) {
        copyFrames<double>(in.get(), out.get(), inInfo.channels, fromA, toA, source, target);
        copyFrames<double>(in.get(), out.get(), inInfo.channels, fromB, toB, source, target);
    } else {
        copyFrames<int>(in.get(), out.get(), inInfo.channels, fromA, toA, source, target);
        copyFrames<int>(in.get(), out.get(), inInfo.channels, fromB, toB, source, target);
    }
    SNDFILE* raw = out.release();
    if (sf_close(raw) != 0)
        throw AudioError("cannot write audio file " + target.string());
}

} // namespace kestrin::audio
