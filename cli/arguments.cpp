// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/arguments.h"

namespace kestrin::cli {

std::optional<std::string> Arguments::value(const std::string& name) const {
    const auto it = values.find(name);
    if (it == values.end())
        return std::nullopt;
    return it->second;
}

Arguments ParseArguments(const std::vector<std::string>& args, const std::set<std::string>& valued,
                         const std::set<std::string>& flags) {
    Arguments out;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            out.files.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            out.help = true;
            continue;
        }
        const auto eq = a.find('=');
        const std::string name = a.substr(0, eq);
        if (valued.count(name)) {
            if (eq != std::string::npos)
                out.values[name] = a.substr(eq + 1);
            else if (i + 1 < args.size())
                out.values[name] = args[++i];
            else
                throw UsageError(name + " needs a value");
        } else if (a[1] != '-' && valued.count(a.substr(0, 2))) {
            out.values[a.substr(0, 2)] = a.substr(2); // "-n1", as getopt reads it
        } else if (flags.count(a)) {
            out.flags.insert(a);
        } else {
            throw UsageError("unknown option " + a);
        }
    }
    return out;
}

} // namespace kestrin::cli
