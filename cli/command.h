// SPDX-License-Identifier: GPL-3.0-or-later
// What a kestrin-pos command is made of. Each command lives in its own
// NAME_command.cpp and has one row in the table of pos_tool.cpp.
#pragma once

#include "cli/arguments.h"

#include <ostream>
#include <set>
#include <string>

namespace kestrin::cli {

struct Command {
    const char* name;
    const char* synopsis; // the arguments after the name, for the program's help
    const char* summary;  // one line for the program's help
    const char* help;     // the text of "kestrin-pos NAME --help"
    std::set<std::string> valued;
    std::set<std::string> flags;
    // Runs the command; returns an exit status. Throws UsageError for a wrong
    // command line, after which nothing has been changed.
    int (*run)(const Arguments& arguments, std::ostream& out, std::ostream& err);
};

} // namespace kestrin::cli
