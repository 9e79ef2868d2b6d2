// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/pos_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrin {

namespace {

constexpr std::size_t kRecordSize = 8;
// Enough of a file's head to tell every container format we know.
constexpr std::size_t kHeadSize = 12;

std::error_code lastError() {
    return {errno, std::generic_category()};
}

// Closes on every path out of a function; an explicit close() reports errors.
class FileHandle {
public:
    explicit FileHandle(int fd) : m_fd(fd) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    // Handed on, as from the function that opened it.
    FileHandle(FileHandle&& other) noexcept : m_fd(other.release()) {}
    ~FileHandle() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

void storeLittleEndian(std::uint8_t* out, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

std::int32_t loadLittleEndian(const std::uint8_t* in) {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= static_cast<std::uint32_t>(in[i]) << (8 * i);
    return static_cast<std::int32_t>(bits);
}

// An advisory lock, released when the descriptor closes. File systems without
// flock support still get their read or write: the lock only orders our own
// processes.
void lockFile(int fd, int operation) {
    while (::flock(fd, operation) != 0 && errno == EINTR) {
    }
}

struct Head {
    std::array<std::uint8_t, kHeadSize> bytes{};
    std::size_t length = 0;
    std::uint64_t size = 0;
    std::string kind; // empty for a regular file
};

std::string kindOf(mode_t mode) {
    return S_ISREG(mode)    ? ""
           : S_ISDIR(mode)  ? "a folder"
           : S_ISFIFO(mode) ? "a FIFO"
           : S_ISSOCK(mode) ? "a socket"
           : S_ISCHR(mode)  ? "a character device"
           : S_ISBLK(mode)  ? "a block device"
                            : "no regular file";
}

// Size and the first bytes of an open file; the bytes past its end stay 0.
Head readHead(int fd, const std::filesystem::path& path) {
    Head head;
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throw PosFileError("read", path, lastError());
    head.size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    head.kind = kindOf(info.st_mode);
    while (head.length < head.bytes.size()) {
        const ssize_t n = ::pread(fd, head.bytes.data() + head.length,
                                  head.bytes.size() - head.length, static_cast<off_t>(head.length));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw PosFileError("read", path, lastError());
        }
        if (n == 0)
            break; // end of a short file
        head.length += static_cast<std::size_t>(n);
    }
    if (!S_ISREG(info.st_mode))
        head.size = head.length;
    if (auto format = ContainerFormatOf(head.bytes.data(), head.length, head.size))
        throw NotAPosFileError(path, std::move(*format));
    return head;
}

PosValues valuesOf(const Head& head) {
    return {loadLittleEndian(head.bytes.data()), loadLittleEndian(head.bytes.data() + 4)};
}

bool startsWith(const std::uint8_t* head, std::size_t length, std::size_t offset,
                std::string_view magic) {
    return length >= offset + magic.size() &&
           std::memcmp(head + offset, magic.data(), magic.size()) == 0;
}

} // namespace

PosFileError::PosFileError(const std::string& action, std::filesystem::path path,
                           std::error_code code)
    : std::runtime_error("cannot " + action + " file " + path.string() + ": " + code.message()),
      m_path(std::move(path)), m_code(code) {}

PosFileError::PosFileError(std::filesystem::path path, std::error_code code,
                           const std::string& message)
    : std::runtime_error(message), m_path(std::move(path)), m_code(code) {}

namespace {

// The file a symbolic link at `path` leads to, through every link; empty
// when `path` is no link or leads nowhere.
std::filesystem::path linkedFile(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_symlink(path, error))
        return {};
    std::filesystem::path target = std::filesystem::canonical(path, error);
    return error ? std::filesystem::path() : target;
}

// "PATH is in FORMAT format, ...", or for a link "PATH links to TARGET,
// which is in ...": the POS file that belongs beside the audio is the one
// beside the target, not the link's own name.
std::string notAPosMessage(const std::filesystem::path& path, const std::string& format) {
    const std::filesystem::path target = linkedFile(path);
    const std::string subject =
        target.empty() ? path.string() : path.string() + " links to " + target.string() + ", which";
    return subject + " is in " + format +
           " format, not a POS file; the POS file beside it would be " +
           PosFileBeside(target.empty() ? path : target).string();
}

} // namespace

NotARegularFileError::NotARegularFileError(std::filesystem::path path, std::string kind)
    : PosFileError(path, std::make_error_code(std::errc::invalid_argument),
                   "cannot write file " + path.string() + ": it is " + kind +
                       ", not a regular file"),
      m_kind(std::move(kind)) {}

NotAPosFileError::NotAPosFileError(std::filesystem::path path, std::string format)
    : PosFileError(path, std::make_error_code(std::errc::invalid_argument),
                   notAPosMessage(path, format)),
      m_format(std::move(format)),
      m_posFile(PosFileBeside(linkedFile(path).empty() ? path : linkedFile(path))) {}

std::optional<std::string> ContainerFormatOf(const std::uint8_t* head, std::size_t length,
                                             std::uint64_t fileSize) {
    if (fileSize <= kRecordSize)
        return std::nullopt;
    auto at = [&](std::size_t offset, std::string_view magic) {
        return startsWith(head, length, offset, magic);
    };
    struct Signature {
        std::string_view magic;
        const char* format;
    };
    // Checked in order, so a RIFF file that says WAVE is named as such first.
    static constexpr Signature kAtStart[] = {
        {"RIFX", "RIFX"},
        {"RF64", "RF64 WAVE"},
        {"BW64", "BW64 WAVE"},
        {"fLaC", "FLAC"},
        {"OggS", "Ogg"},
        {"ID3", "MP3"},
        {".snd", "Sun audio"},
        {"caff", "Core Audio"},
        {"wvpk", "WavPack"},
        {"MAC ", "Monkey's Audio"},
        {"TTA1", "True Audio"},
        {"MPCK", "Musepack"},
        {"MThd", "MIDI"},
        {"#!AMR", "AMR"},
        {"\x30\x26\xB2\x75\x8E\x66\xCF\x11", "Windows Media"},
        {"PK\x03\x04", "ZIP"},
        {"\x1F\x8B", "gzip"},
        {"\x89PNG", "PNG"},
        {"%PDF", "PDF"},
        {"\x7F"
         "ELF",
         "ELF"},
    };
    if (at(0, "RIFF"))
        return at(8, "WAVE") ? "WAVE" : at(8, "AVI ") ? "AVI" : "RIFF";
    if (at(0, "FORM"))
        return at(8, "AIFF") || at(8, "AIFC") ? "AIFF" : "IFF";
    for (const Signature& s : kAtStart)
        if (at(0, s.magic))
            return std::string(s.format);
    if (at(4, "ftyp"))
        return std::string("MP4");
    return std::nullopt;
}

std::filesystem::path NameBeside(const std::filesystem::path& file, std::string_view extension) {
    const std::string old = file.extension().string();
    // A bare "." says nothing about case, so it reads as no extension.
    const bool upper = old.size() > 1 && std::none_of(old.begin(), old.end(), [](unsigned char c) {
                           return std::islower(c) != 0;
                       });
    std::string wanted(extension);
    if (upper)
        std::transform(wanted.begin(), wanted.end(), wanted.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::filesystem::path result = file;
    result.replace_extension(wanted);
    return result;
}

std::filesystem::path PosFileBeside(const std::filesystem::path& other) {
    return NameBeside(other, ".pos");
}

PosFileInfo InspectPosFile(const std::filesystem::path& path) {
    // Non-blocking, so that a FIFO picked by mistake cannot hang the editor.
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0)
        throw PosFileError("open", path, lastError());
    lockFile(file.get(), LOCK_SH);
    const Head head = readHead(file.get(), path);
    if (::close(file.release()) != 0)
        throw PosFileError("close", path, lastError());
    return {valuesOf(head), head.size, head.kind};
}

PosValues ReadPosFile(const std::filesystem::path& path) {
    return InspectPosFile(path).values;
}

namespace {

// Opens `path` for reading and writing (with `create`: creates it when
// missing, setting `created`), refusing anything but a regular file.
FileHandle openRegular(const std::filesystem::path& path, bool create, bool& created) {
    // Some devices act on being opened (a watchdog, a tape): refused before
    // the open; the descriptor is checked again after it.
    struct stat named {};
    if (::stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode) && !S_ISDIR(named.st_mode))
        throw NotARegularFileError(path, kindOf(named.st_mode));
    const int flags = O_RDWR | O_CLOEXEC | O_NONBLOCK;
    int fd = -1;
    if (create) {
        fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST)
            fd = ::open(path.c_str(), flags);
    } else {
        fd = ::open(path.c_str(), flags);
    }
    FileHandle file(fd);
    if (file.get() < 0)
        throw PosFileError("open", path, lastError());
    // On the descriptor, so that no swap of the name can slip past.
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0)
        throw PosFileError("open", path, lastError());
    if (!S_ISREG(opened.st_mode))
        throw NotARegularFileError(path, kindOf(opened.st_mode));
    return file;
}

// Opens (with `create`: creates when missing) and locks `path`, reads what it
// holds, and writes the fields `decide` returns for that, all under the lock.
PosUpdate updateLocked(const std::filesystem::path& path, bool create,
                       const std::function<PosFields(const PosValues&)>& decide) {
    PosUpdate result;
    FileHandle file = openRegular(path, create, result.created);

    // A file this call created holds nothing of the user's: never leave it
    // half written.
    auto fail = [&](const std::string& action, std::error_code code) {
        if (result.created)
            ::unlink(path.c_str());
        throw PosFileError(action, path, code);
    };

    lockFile(file.get(), LOCK_EX);
    PosFields fields;
    try {
        if (!result.created)
            result.before = valuesOf(readHead(file.get(), path));
        fields = decide(result.before);
    } catch (...) {
        if (result.created)
            ::unlink(path.c_str());
        throw;
    }
    if (!fields.start && !fields.stop)
        return result;
    // A new file is written whole: a loop from the beginning when only the
    // stop is given, as its 8 bytes would read anyway.
    if (result.created && !fields.start)
        fields.start = 0;
    const auto [start, stop] = fields;

    std::array<std::uint8_t, kRecordSize> bytes{};
    storeLittleEndian(bytes.data(), start.value_or(0));
    storeLittleEndian(bytes.data() + 4, stop.value_or(0));
    const std::size_t offset = start ? 0 : 4;
    const std::size_t length = start && stop ? 8 : 4;

    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(file.get(), bytes.data() + offset + done, length - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("write", lastError());
        }
        if (n == 0)
            fail("write", std::make_error_code(std::errc::no_space_on_device));
        done += static_cast<std::size_t>(n);
    }

    if (::fdatasync(file.get()) != 0)
        fail("flush", lastError());
    if (::close(file.release()) != 0)
        fail("close", lastError());
    return result;
}

} // namespace

PosUpdate UpdatePosFile(const std::filesystem::path& path, std::optional<std::int32_t> start,
                        std::optional<std::int32_t> stop) {
    if (!start && !stop)
        return {ReadPosFile(path), false};
    return updateLocked(path, stop.has_value(), [&](const PosValues&) {
        return PosFields{start, stop};
    });
}

PosUpdate UpdatePosFile(const std::filesystem::path& path,
                        const std::function<PosFields(const PosValues& before)>& decide) {
    return updateLocked(path, false, decide);
}

void WritePosFile(const std::filesystem::path& path, const PosValues& values) {
    UpdatePosFile(path, values.start, values.stop);
}

} // namespace kestrin
