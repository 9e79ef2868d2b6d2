// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of one kestrin-pos command: files, options with values and flags.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrin::cli {

// A command line that is wrong in itself; the command exits with ExitUsage.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One command's arguments after option parsing, in the order given.
struct Arguments {
    std::vector<std::string> files;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    bool help = false;

    bool flag(const std::string& name) const { return flags.count(name) > 0; }
    // The value of an option that takes one, nullopt when it was not given.
    std::optional<std::string> value(const std::string& name) const;
};

// The one of `known` that `typed` most likely meant: within one edit (a
// letter added, dropped, changed or two swapped) per four letters, at least
// one; nullopt when none is that close or two are equally close.
std::optional<std::string> LikelyMeant(const std::string& typed,
                                       const std::vector<std::string>& known);

// Splits `args` (the command name first) into files and the options of the
// command: `valued` take a value ("--opt=V" and "--opt V" both work), `flags`
// do not. "--" ends the options; "-h" and "--help" set `help`. Throws
// UsageError for an unknown option (naming the likely one) or a missing value.
Arguments ParseArguments(const std::vector<std::string>& args, const std::set<std::string>& valued,
                         const std::set<std::string>& flags);

} // namespace kestrin::cli
