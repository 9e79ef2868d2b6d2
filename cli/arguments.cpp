// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/arguments.h"

#include <algorithm>

namespace kestrin::cli {

namespace {

// Edits between `a` and `b`, a swap of neighbours counting as one.
std::size_t editsBetween(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

} // namespace

std::optional<std::string> LikelyMeant(const std::string& typed,
                                       const std::vector<std::string>& known) {
    // Typed words are short: a longer one is no mistyped command.
    constexpr std::size_t kLongestTyped = 64;
    constexpr std::size_t kLettersPerEdit = 4;
    if (typed.size() > kLongestTyped)
        return std::nullopt;
    const std::size_t allowed = std::max<std::size_t>(1, typed.size() / kLettersPerEdit);
    std::optional<std::string> best;
    std::size_t bestEdits = allowed + 1;
    bool tie = false;
    for (const std::string& word : known) {
        const std::size_t edits = editsBetween(typed, word);
        if (edits < bestEdits) {
            best = word;
            bestEdits = edits;
            tie = false;
        } else if (edits == bestEdits) {
            tie = true;
        }
    }
    return tie ? std::nullopt : best;
}

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
            std::vector<std::string> known(valued.begin(), valued.end());
            known.insert(known.end(), flags.begin(), flags.end());
            known.push_back("--help");
            const auto meant = LikelyMeant(name, known);
            throw UsageError("unknown option " + a +
                             (meant ? " (did you mean " + *meant + "?)" : std::string()));
        }
    }
    return out;
}

} // namespace kestrin::cli
