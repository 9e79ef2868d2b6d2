// SPDX-License-Identifier: GPL-3.0-or-later
// Temporary files written beside a target and renamed over it at the end:
// their names, and their removal when the process is interrupted or when a
// later run finds one that an ended process left behind.
#pragma once

#include <filesystem>
#include <string_view>

namespace kestrin {

// A new name for a temporary file in `target`'s folder: hidden, naming this
// process ("./.kestrin-<pid>-<n><suffix>"), so that RemoveStaleTemporaries
// can tell whose it is. Files that live there already are removed first
// when an ended process left them (see RemoveStaleTemporaries).
std::filesystem::path TemporaryBeside(const std::filesystem::path& target, std::string_view suffix);

// Removes from `folder` the temporary files named by TemporaryBeside whose
// process has ended and that nothing has written to for a while (a process
// of that number on another machine sharing the folder keeps writing). Errors
// are ignored: a file left is only space.
void RemoveStaleTemporaries(const std::filesystem::path& folder);

// Registers a temporary file's path for as long as it lives, so that the
// handlers of RemoveTemporariesOnSignals remove it. At most a few dozen at
// once; past that one is simply not registered.
class RegisteredTemporary {
public:
    explicit RegisteredTemporary(const std::filesystem::path& path);
    ~RegisteredTemporary();
    RegisteredTemporary(const RegisteredTemporary&) = delete;
    RegisteredTemporary& operator=(const RegisteredTemporary&) = delete;

private:
    int m_slot = -1;
};

// Makes SIGINT, SIGTERM and SIGHUP remove the registered temporary files
// before they end the process as they would have. Called once by a program's
// main(), before any thread starts.
void RemoveTemporariesOnSignals();

// While on, those handlers first clear the line standard error shows on a
// terminal, so that a progress line is not left for the shell's prompt to
// follow.
void ClearProgressLineOnSignals(bool on);

} // namespace kestrin
