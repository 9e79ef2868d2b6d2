// SPDX-License-Identifier: GPL-3.0-or-later
// The editor's command line: an optional POS file to open, --help and
// --version. Help and version are answered before Qt starts, so they work
// without a display.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <ostream>

namespace kestrin::app {

// Answers -h/--help and -v/--version, if given before any "--", on `out` and
// returns the exit status; nullopt when the editor is to start. Reads only
// argv: no Qt object exists yet.
std::optional<int> AnswerInformationOptions(int argc, const char* const* argv, std::ostream& out);

// What the remaining arguments ask for once Qt has taken its own options.
struct StartRequest {
    QString file;  // the POS file to open; empty: none
    QString error; // a wrong command line, to print with the help hint
};

// `arguments` without the program name. One file at most; "--" ends the
// options, so a file named "-x" can be given as "-- -x".
StartRequest ParseStartArguments(const QStringList& arguments);

} // namespace kestrin::app
