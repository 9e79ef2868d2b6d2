// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/read/audio_files.h"

#include "audio/read/audio_reader.h"
#include "audio/read/in_place.h"
#include "core/pos_file.h"
#include "core/temporary_files.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrin::audio {

namespace fs = std::filesystem;

namespace {

std::string systemReason(int error) {
    return std::error_code(error, std::generic_category()).message();
}

std::string notRegularReason(mode_t mode) {
    const char* kind = S_ISDIR(mode)                    ? "a folder"
                       : S_ISFIFO(mode)                 ? "a FIFO"
                       : S_ISSOCK(mode)                 ? "a socket"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                                                        : "something else";
    return std::string("it is ") + kind + ", not a regular file";
}

std::string lowerCase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
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
        WriteFrames(out, buffer.data(), got, target);
        left -= got;
    }
}

// A new file beside the target that is removed again unless it was renamed.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& target) {
        for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
            m_path = TemporaryBeside(target, ".tmp");
            m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (m_fd < 0 && errno != EEXIST)
                break;
        }
        if (m_fd < 0)
            throw AudioError("cannot create audio file " + target.string() + ": " +
                             systemReason(errno));
        m_registered.emplace(m_path);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_kept)
            ::unlink(m_path.c_str());
    }

    int fd() const { return m_fd; }
    const fs::path& path() const { return m_path; }
    // Closes the descriptor and reports whether that went well.
    bool close() { return ::close(std::exchange(m_fd, -1)) == 0; }
    void keep() { m_kept = true; }

private:
    fs::path m_path;
    std::optional<RegisteredTemporary> m_registered;
    int m_fd = -1;
    bool m_kept = false;
};

} // namespace

int OpenRegularFile(const fs::path& path, const char* kind) {
    const auto fail = [&](const std::string& reason) {
        return AudioError(std::string("cannot open ") + kind + " " + path.string() + ": " + reason);
    };
    // Non-blocking, so that opening a FIFO returns at once and fstat can
    // tell it apart; checking the descriptor leaves no gap for a swap.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw fail(systemReason(errno));
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        throw fail(systemReason(error));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        throw fail(notRegularReason(status.st_mode));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void SndfileCloser::operator()(SNDFILE* file) const {
    sf_close(file);
}

SNDFILE* OpenAudioForReading(const fs::path& path, SF_INFO& info) {
    const int fd = OpenRegularFile(path, "audio file");
    info = {};
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!file) // libsndfile has closed the descriptor
        throw AudioError("cannot open audio file " + path.string() + ": " + sf_strerror(nullptr));
    return file;
}

AudioInfo ReadAudioInfo(const fs::path& audio) {
    return AudioReader(audio).info();
}

fs::path ExpectedAudioName(const fs::path& posFile) {
    return NameBeside(posFile, ".wav");
}

std::optional<Companion> CompanionIndex::find(const fs::path& posFile) {
    const fs::path expected = ExpectedAudioName(posFile);
    std::error_code ec;
    if (fs::is_regular_file(expected, ec))
        return Companion{expected, true};

    const fs::path folder = posFile.has_parent_path() ? posFile.parent_path() : fs::path(".");
    auto [names, added] = m_folders.try_emplace(folder);
    if (added) {
        fs::directory_iterator it(folder, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const std::string name = it->path().filename().string();
            names->second[lowerCase(name)].push_back(name);
        }
        for (auto& [lower, same] : names->second)
            std::sort(same.begin(), same.end());
    }
    const std::string wanted = expected.filename().string();
    const auto same = names->second.find(lowerCase(wanted));
    if (same == names->second.end())
        return std::nullopt;
    for (const std::string& name : same->second) {
        const fs::path path = posFile.has_parent_path() ? folder / name : fs::path(name);
        if (name != wanted && fs::is_regular_file(path, ec))
            return Companion{path, false};
    }
    return std::nullopt;
}

std::optional<Companion> FindCompanionAudio(const fs::path& posFile) {
    return CompanionIndex().find(posFile);
}

std::optional<std::string> InexactEncodingOf(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
        return std::nullopt;
    default:
        break;
    }
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_SUBMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name)
        return std::string(info.name);
    char code[32];
    std::snprintf(code, sizeof code, "encoding 0x%04x", static_cast<unsigned>(info.format));
    return std::string(code);
}

template <class Sample>
void WriteFrames(SNDFILE* out, const Sample* frames, std::int64_t count, const fs::path& target) {
    sf_count_t written = 0;
    if constexpr (std::is_same_v<Sample, std::int16_t>)
        written = sf_writef_short(out, frames, count);
    else if constexpr (std::is_same_v<Sample, std::int32_t>)
        written = sf_writef_int(out, frames, count);
    else if constexpr (std::is_same_v<Sample, float>)
        written = sf_writef_float(out, frames, count);
    else
        written = sf_writef_double(out, frames, count);
    if (written != count)
        throw AudioError("cannot write audio file " + target.string() + ": " + sf_strerror(out));
}

template void WriteFrames(SNDFILE*, const std::int16_t*, std::int64_t, const fs::path&);
template void WriteFrames(SNDFILE*, const std::int32_t*, std::int64_t, const fs::path&);
template void WriteFrames(SNDFILE*, const float*, std::int64_t, const fs::path&);
template void WriteFrames(SNDFILE*, const double*, std::int64_t, const fs::path&);

void WriteAudioFile(const fs::path& target, int format, int channels, int sampleRate, bool replace,
                    const std::function<void(sf_private_tag*)>& fill) {
    TemporaryFile temporary(target);
    SF_INFO outInfo{};
    outInfo.samplerate = sampleRate;
    outInfo.channels = channels;
    outInfo.format = format;
    SoundFile out(sf_open_fd(temporary.fd(), SFM_WRITE, &outInfo, SF_FALSE));
    if (!out)
        throw AudioError("cannot create audio file " + target.string() + ": " +
                         sf_strerror(nullptr));
    fill(out.get());
    if (sf_close(out.release()) != 0)
        throw AudioError("cannot write audio file " + target.string());
    if (::fsync(temporary.fd()) != 0)
        throw AudioError("cannot write audio file " + target.string() + ": " + systemReason(errno));
    struct stat old {};
    if (replace && ::stat(target.c_str(), &old) == 0)
        (void)::fchmod(temporary.fd(), old.st_mode & 07777);
    if (!temporary.close())
        throw AudioError("cannot write audio file " + target.string() + ": " + systemReason(errno));

    const int error = MoveIntoPlace(temporary.path(), target, replace);
    if (error != 0)
        throw AudioError("cannot create audio file " + target.string() + ": " +
                         systemReason(error));
    temporary.keep();
}

void WriteSpliced(const fs::path& source, const fs::path& target, std::int64_t fromA,
                  std::int64_t toA, std::int64_t fromB, std::int64_t toB, bool replace,
                  const std::function<void(sf_private_tag*, sf_private_tag*)>& describe) {
    SF_INFO inInfo{};
    SoundFile in(OpenAudioForReading(source, inInfo));
    if (const auto encoding = InexactEncodingOf(inInfo.format))
        throw AudioError("cannot copy audio file " + source.string() + " sample-exact: its " +
                         *encoding + " encoding would be decoded and encoded again");
    WriteAudioFile(
        target, inInfo.format, inInfo.channels, inInfo.samplerate, replace, [&](SNDFILE* out) {
            // Chunks such as the instrument go before the first frame.
            if (describe)
                describe(in.get(), out);
            if (isFloatFormat(inInfo.format)) {
                copyFrames<double>(in.get(), out, inInfo.channels, fromA, toA, source, target);
                copyFrames<double>(in.get(), out, inInfo.channels, fromB, toB, source, target);
            } else {
                copyFrames<int>(in.get(), out, inInfo.channels, fromA, toA, source, target);
                copyFrames<int>(in.get(), out, inInfo.channels, fromB, toB, source, target);
            }
        });
}

} // namespace kestrin::audio
