// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and writing POS files: two signed 32-bit little-endian integers,
// start at offset 0 and stop at offset 4, with no header of any kind.
#pragma once

#include "core/positions.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
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

protected:
    // For subclasses that word the whole message themselves.
    PosFileError(std::filesystem::path path, std::error_code code, const std::string& message);

private:
    std::filesystem::path m_path;
    std::error_code m_code;
};

// A path that is no regular file (a device, FIFO, socket, folder): positions
// are written only into regular files, since a device would take the bytes
// and a pipe or /dev/null swallow them. what() reads like "cannot write file
// /music/dev.POS: it is a block device, not a regular file".
class NotARegularFileError : public PosFileError {
public:
    NotARegularFileError(std::filesystem::path path, std::string kind);

    // What the file is instead, e.g. "a block device".
    const std::string& kind() const noexcept { return m_kind; }

private:
    std::string m_kind;
};

// A file longer than 8 bytes that begins with the signature of an audio or
// other container format (RIFF/WAVE, RF64, AIFF, FLAC, Ogg, ID3 and the like).
// Its first 8 bytes are a header, not positions: writing there would break
// the file, so every read and write refuses it. what() reads like
// "/music/BGM01.WAV is in WAVE format, not a POS file; the POS file beside it
// would be /music/BGM01.POS". For a symbolic link, the file it leads to is
// named and posFile() is the one beside that file: "t.pos links to
// /music/t.wav, which is in WAVE format, ...; ... would be /music/t.pos".
class NotAPosFileError : public PosFileError {
public:
    NotAPosFileError(std::filesystem::path path, std::string format);

    // The format's name, e.g. "WAVE".
    const std::string& format() const noexcept { return m_format; }
    // The POS file that belongs beside this file, or beside the file a link
    // leads to (see PosFileBeside).
    const std::filesystem::path& posFile() const noexcept { return m_posFile; }

private:
    std::string m_format;
    std::filesystem::path m_posFile;
};

// The name of the container format whose signature starts `head` (the first
// bytes of a file, at least 12 for every format to be told), or nullopt. A
// file of 8 bytes or fewer is always taken as a POS file, whatever its bytes,
// so that no stored position can ever make a file unreadable.
std::optional<std::string> ContainerFormatOf(const std::uint8_t* head, std::size_t length,
                                             std::uint64_t fileSize);

// `file` with its extension replaced by `extension` (lower case, dot
// included) in the case players look for: upper case when the extension
// `file` has holds something after its dot and no lower-case letter
// (BGM01.WAV, BGM01.001), lower case otherwise (bgm01.wav, Bgm01.Wav, a bare
// "bgm01." and no extension at all). The one rule both ways between a POS
// file and its audio.
std::filesystem::path NameBeside(const std::filesystem::path& file, std::string_view extension);

// The POS file players look for beside `other`: NameBeside(other, ".pos").
std::filesystem::path PosFileBeside(const std::filesystem::path& other);

// Reads start then stop from the first 8 bytes of `path`. Throws
// NotAPosFileError for a container file (see above). Bytes from offset 8
// on are not read. A file shorter than 8 bytes is not an error: the bytes it
// lacks read as 0, so a 4-byte file gives stop 0 and a 6-byte file's stop
// holds its two bytes with the upper two 0. Throws PosFileError when the file
// cannot be opened or read (missing, a directory, no permission).
PosValues ReadPosFile(const std::filesystem::path& path);

// The positions and the file's size in bytes, from one open. Values whose
// bytes lie beyond a short file read as ReadPosFile reads them; `size` tells
// which are really there (start needs 4 bytes, stop 8).
struct PosFileInfo {
    PosValues values;
    std::uint64_t size = 0;
    // What the file is when it is no regular file ("a character device",
    // "a FIFO"), empty for a regular file; `size` is then what was read.
    std::string kind;
};
PosFileInfo InspectPosFile(const std::filesystem::path& path);

// The outcome of UpdatePosFile: the values the file held before the write
// (zeros for a new file) and whether the call created it.
struct PosUpdate {
    PosValues before;
    bool created = false;
};

// Writes only the fields given, start at offset 0 and stop at offset 4 (both
// in one write when both are given), in place, and flushes them to the
// device. An exclusive advisory lock (flock) is held from the read of the
// previous values to the end of the write, so two updates of different fields
// never undo each other. Only a regular file is written (a symbolic link to
// one included): anything else throws NotARegularFileError before a byte is
// written. A missing file is created when the stop is given (with start 0
// when the start is not), and a file this call created is removed again when
// writing fails.
// Throws NotAPosFileError for a container file, PosFileError otherwise.
PosUpdate UpdatePosFile(const std::filesystem::path& path, std::optional<std::int32_t> start,
                        std::optional<std::int32_t> stop);

// The fields an update writes; a field left empty keeps what the file holds.
struct PosFields {
    std::optional<std::int32_t> start;
    std::optional<std::int32_t> stop;
};

// UpdatePosFile for fields that depend on what the file holds: `decide` gets
// the values read under the lock and returns the fields to write, so no
// other update comes between that read and the write. The file must exist.
// When `decide` throws, or returns no field, nothing is written; what it
// throws is passed on.
PosUpdate UpdatePosFile(const std::filesystem::path& path,
                        const std::function<PosFields(const PosValues& before)>& decide);

// Writes start then stop into the first 8 bytes of `path`, in place: the file
// is created (8 bytes long) when missing and never truncated, so a longer
// file keeps every byte from offset 8 on. The data is flushed to the device
// before returning. Throws PosFileError when any step fails, a short write
// included; a write that did not reach the file never returns normally.
// Same as UpdatePosFile with both fields.
void WritePosFile(const std::filesystem::path& path, const PosValues& values);

} // namespace kestrin
