// SPDX-License-Identifier: GPL-3.0-or-later
// The dispatcher: picks the command, parses its options, prints the help.
#include "cli/pos_tool.h"

#include "cli/command.h"
#include "cli/output.h"

#include <exception>
#include <iomanip>
#include <sstream>
#include <vector>

namespace kestrin::cli {

// Each is defined in its NAME_command.cpp.
const Command& ShowCommand();
const Command& SetCommand();
const Command& CheckCommand();
const Command& SeamCommand();
const Command& ExportCommand();
const Command& FindCommand();
const Command& ImportCommand();
const Command& TagCommand();
const Command& RenderCommand();

namespace {

// The commands in the order the help lists them.
const std::vector<const Command*>& commands() {
    static const std::vector<const Command*> table = {
        &ShowCommand(), &SetCommand(),    &CheckCommand(), &SeamCommand(),   &ExportCommand(),
        &FindCommand(), &ImportCommand(), &TagCommand(),   &RenderCommand(),
    };
    return table;
}

const Command* findCommand(const std::string& name) {
    for (const Command* c : commands()) {
        if (name == c->name)
            return c;
    }
    return nullptr;
}

std::string programHelp() {
    std::ostringstream text;
    text << R"(Usage: kestrin-pos COMMAND [OPTIONS] FILE...

Checks, edits and auditions POS files: the two loop positions (start, stop)
that sit beside a WAVE file, in samples at 44,100 per second.

Commands:
)";
    for (const Command* c : commands()) {
        text << "  " << std::left << std::setw(21) << (std::string(c->name) + ' ' + c->synopsis)
             << "  " << c->summary << '\n';
    }
    text << R"(
Run "kestrin-pos COMMAND --help" for the options of a command, and
"kestrin-pos --version" (or "version") for the version.
File names and messages are printed with control characters made visible:
\n, \t, \r, \x1b and the like, and a backslash as \\.
Exit status: 0 all went well, 1 a file had a problem, 2 wrong usage.
)";
    return text.str();
}

} // namespace

int RunPosTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << programHelp();
        return ExitUsage;
    }
    if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
        out << programHelp();
        return ExitOk;
    }
    if (args[0] == "-v" || args[0] == "--version" || args[0] == "version") {
        out << "kestrin-pos " KESTRIN_VERSION "\n";
        return ExitOk;
    }
    const Command* command = findCommand(args[0]);
    if (!command) {
        std::vector<std::string> names;
        for (const Command* c : commands())
            names.push_back(c->name);
        const auto meant = LikelyMeant(args[0], names);
        ReportError(err, "unknown command \"" + args[0] + "\"" +
                             (meant ? " (did you mean \"" + *meant + "\"?)" : std::string()));
        err << '\n' << programHelp();
        return ExitUsage;
    }
    try {
        const Arguments parsed = ParseArguments(args, command->valued, command->flags);
        if (parsed.help) {
            out << command->help;
            return ExitOk;
        }
        return command->run(parsed, out, err);
    } catch (const UsageError& e) {
        ReportUsageError(err, args[0], e.what());
        return ExitUsage;
    } catch (const std::exception& e) {
        // A failure no command foresaw still ends with a message and a status.
        ReportError(err, e);
        return ExitProblem;
    }
}

} // namespace kestrin::cli
