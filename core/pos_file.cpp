// SPDX-License-Identifier: GPL-3.0-or-later
#include "pos_file.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrin {

namespace {

constexpr std::size_t kRecordSize = 8;

std::error_code lastError() {
    return {errno, std::generic_category()};
}

// Closes on every path out of a function; an explicit close() reports errors.
class FileHandle {
public:
    explicit FileHandle(int fd) : m_fd(fd) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
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

} // namespace

PosFileError::PosFileError(const std::string& action, std::filesystem::path path,
                           std::error_code code)
    : std::runtime_error("cannot " + action + " file " + path.string() + ": " + code.message()),
      m_path(std::move(path)), m_code(code) {}

PosValues ReadPosFile(const std::filesystem::path& path) {
    // Non-blocking, so that a FIFO picked by mistake cannot hang the editor.
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0)
        throw PosFileError("open", path, lastError());

    std::array<std::uint8_t, kRecordSize> bytes{};
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n =
            ::pread(file.get(), bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw PosFileError("read", path, lastError());
        }
        if (n == 0)
            break; // end of a short file: the rest stays 0
        got += static_cast<std::size_t>(n);
    }
    if (::close(file.release()) != 0)
        throw PosFileError("close", path, lastError());
    return {loadLittleEndian(bytes.data()), loadLittleEndian(bytes.data() + 4)};
}

void WritePosFile(const std::filesystem::path& path, const PosValues& values) {
    std::array<std::uint8_t, kRecordSize> bytes{};
    storeLittleEndian(bytes.data(), values.start);
    storeLittleEndian(bytes.data() + 4, values.stop);

    FileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666));
    if (file.get() < 0)
        throw PosFileError("open", path, lastError());

    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(file.get(), bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw PosFileError("write", path, lastError());
        }
        if (n == 0)
            throw PosFileError("write", path, std::make_error_code(std::errc::no_space_on_device));
        done += static_cast<std::size_t>(n);
    }

    // Only regular files can be synced; devices and pipes have nothing to flush.
    struct stat info {};
    if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode)) {
        if (::fdatasync(file.get()) != 0)
            throw PosFileError("flush", path, lastError());
    }
    if (::close(file.release()) != 0)
        throw PosFileError("close", path, lastError());
}

} // namespace kestrin
