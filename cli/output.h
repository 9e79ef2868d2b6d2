// SPDX-License-Identifier: GPL-3.0-or-later
// Text that kestrin-pos prints: file names and messages reach a terminal, so
// none of their bytes may act as a control sequence there.
#pragma once

#include <exception>
#include <ostream>
#include <string>
#include <string_view>

namespace kestrin::cli {

// `text` with every control character written visibly: "\n", "\t", "\r",
// "\xHH" for the other C0 controls, DEL and stray bytes 0x80-0x9F, "\u00HH"
// for the C1 controls in UTF-8 form, and "\\" for a backslash so that the
// escapes stay unambiguous. Everything else is kept byte for byte.
std::string VisibleText(std::string_view text);

// True when VisibleText would change more than backslashes in `text`.
bool HasControlCharacter(std::string_view text);

// The reason the handling of `file` stopped: what() for a runtime error,
// which names its file itself, else "FILE: <reason>", with "not enough
// memory" for a failed allocation. Not yet made visible.
std::string FailureText(std::string_view file, const std::exception& e);

// Prints "kestrin-pos: <message>" on its own line, made visible. Every
// diagnostic of the tool starts so, and goes through here.
void ReportError(std::ostream& err, std::string_view message);

// Prints "kestrin-pos: <what()>" on its own line, made visible.
void ReportError(std::ostream& err, const std::exception& e);

// Prints "kestrin-pos: warning: <file>: <message>" on its own line, made
// visible: something was done, but players may not do what the user meant.
void ReportWarning(std::ostream& err, std::string_view file, std::string_view message);

// Prints "kestrin-pos COMMAND: <message>" and the hint to the command's help,
// for a command line that is wrong in itself.
void ReportUsageError(std::ostream& err, std::string_view command, std::string_view message);

} // namespace kestrin::cli
