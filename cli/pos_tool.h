// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos, the command-line companion of the editor.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kestrin::cli {

// Exit statuses.
inline constexpr int ExitOk = 0;
inline constexpr int ExitProblem = 1; // a file had a problem or an operation failed
inline constexpr int ExitUsage = 2;   // the command line itself is wrong

// Runs one command line (without the program name), writing results to `out`
// and diagnostics to `err`. Every file of a batch is handled, whatever
// happened to the ones before it.
int RunPosTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace kestrin::cli
