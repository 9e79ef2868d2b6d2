// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and writing POS files: two signed 32-bit little-endian integers,
// start at offset 0 and stop at offset 4, with no header of any kind.
#pragma once

#include "positions.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kestrin {

// A file operation that failed. what() reads like
// "cannot open file /music/BGM01.POS: Permission denied"; path() and code()
// give the parts for callers that word their own message.
class PosFileError : public std::runtime_error {
public:
    PosFileError(const std::string& action, std::filesystem::path path, std::error_code code);

    const std::filesystem::path& path() const noexcept { return m_path; }
    std::error_code code() const noexcept { return m_code; }
    // The operating system's reason alone, e.g. "Permission denied".
    std::string reason() const { return m_code.message(); }

private:
    std::filesystem::path m_path;
    std::error_code m_code;
};

// Reads start then stop from the first 8 bytes of `path`. Bytes from offset 8
// on are not read. A file shorter than 8 bytes is not an error: the bytes it
// lacks read as 0, so a 4-byte file gives stop 0 and a 6-byte file's stop
// holds its two bytes with the upper two 0. Throws PosFileError when the file
// cannot be opened or read (missing, a directory, no permission).
PosValues ReadPosFile(const std::filesystem::path& path);

// Writes start then stop into the first 8 bytes of `path`, in place: the file
// is created (8 bytes long) when missing and never truncated, so a longer
// file keeps every byte from offset 8 on. The data is flushed to the device
// before returning. Throws PosFileError when any step fails, a short write
// included; a write that did not reach the file never returns normally.
void WritePosFile(const std::filesystem::path& path, const PosValues& values);

} // namespace kestrin
