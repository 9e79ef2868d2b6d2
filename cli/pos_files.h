// SPDX-License-Identifier: GPL-3.0-or-later
// The POS files in a folder tree, as check -r and find walk it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kestrin::cli {

// True when the extension of `path` is ".pos" in any case.
bool HasPosExtension(const std::filesystem::path& path);

// What a command reports on: a POS file, or a folder it could not read.
struct PosFileItem {
    std::filesystem::path path;
    std::string folderProblem; // empty for a POS file
};

// The POS files under `top` (any case of .pos), sorted by path, and each
// folder below it that cannot be read together with its reason ("cannot read
// folder F: Permission denied"). Symbolic links to folders are not followed;
// an entry that cannot even be looked at is skipped, except a *.pos one,
// whose own handling then names the reason.
std::vector<PosFileItem> PosFilesUnder(const std::filesystem::path& top);

} // namespace kestrin::cli
