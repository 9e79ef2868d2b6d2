// SPDX-License-Identifier: GPL-3.0-or-later
// Replacing a file the user owns with a new version of it, and creating a
// file only once it has been checked, without ever leaving a partial file
// or losing a version written by someone else in the meantime.
#pragma once

#include <filesystem>
#include <functional>

namespace kestrin::audio {

// Replaces `file` with a new version: `write` gets the file to replace (a
// link is followed, so the file it names is the one replaced) and a new
// temporary path in the same folder, writes the new version there and
// checks it, throwing when it is not right. The new file then takes over
// the owner, group and permission bits of the old one, and is renamed over
// it only when the old file is still the one that was there before `write`
// ran (same device, inode, size and modification time): a file replaced or
// changed meanwhile is left as it is. A file without write permission is
// refused unless `force`. Anything but a regular file is refused. Returns
// the path replaced. Throws AudioError naming the file and the reason;
// nothing is left behind on failure.
std::filesystem::path
ReplaceInPlace(const std::filesystem::path& file, bool force,
               const std::function<void(const std::filesystem::path& file,
                                        const std::filesystem::path& temporary)>& write);

// The name the original of `file` is kept under when a rewrite replaces it:
// beside it, with ".orig" appended ("song.wav.orig").
std::filesystem::path KeptOriginalName(const std::filesystem::path& file);

// Keeps the bytes of `file` under `kept` (a second link, or a copy where links
// are not possible), before `file` is replaced. An existing `kept` is never
// overwritten: it may hold the original of an earlier rewrite. Throws
// AudioError naming both files.
void KeepOriginal(const std::filesystem::path& file, const std::filesystem::path& kept);

// Creates `target` from what `write` puts into a new temporary path in the
// target's folder (and checks there, throwing when it is not right); it is
// renamed to `target` only afterwards, so a failed check leaves no file. An
// existing `target` is replaced only when `replace`, and only when it is a
// regular file. Throws AudioError naming the file and the reason.
void CreateChecked(const std::filesystem::path& target, bool replace,
                   const std::function<void(const std::filesystem::path& temporary)>& write);

// Renames the finished `temporary` to `target`: over an existing target only
// when `replace`, never otherwise (where the file system lacks the flag for
// that, through a hard link, which fails just as atomically, and the
// temporary name is then removed). Returns 0, or the errno of the failure.
int MoveIntoPlace(const std::filesystem::path& temporary, const std::filesystem::path& target,
                  bool replace);

} // namespace kestrin::audio
