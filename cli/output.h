// SPDX-License-Identifier: GPL-3.0-or-later
// Text that kestrin-pos prints: file names and messages.
#pragma once

#include <exception>
#include <ostream>
#include <string>
#include <string_view>

namespace kestrin::cli {

// `s` as a JSON string literal, quotes included.
std::string JsonString(std::string_view s);

// Prints "kestrin-pos: <what()>" on its own line.
void ReportError(std::ostream& err, const std::exception& e);

} // namespace kestrin::cli
