// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos export: the plain loop list that batch audio converters read.
#include "cli/command.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "core/pos_file.h"

#include <filesystem>

namespace kestrin::cli {

namespace {

const char* const kHelp = R"(Usage: kestrin-pos export FILE.POS...

Prints one line per file, "START STOP NAME", where NAME is the POS file's
name without folder and extension: the plain loop list that batch audio
converters read. NAME is printed exactly as it is; a file whose name holds a
control character (a line break, a tab, ESC, ...) is refused with a message,
and the other files are still exported.
)";

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("export needs at least one POS file");
    int status = ExitOk;
    for (const std::string& file : a.files) {
        // Names go out as they are, for the converter to find the files; a
        // line break in one would start a forged record.
        const std::string name = std::filesystem::path(file).stem().string();
        if (HasControlCharacter(name)) {
            ReportError(err, "refusing to export " + file +
                                 ": its name holds a control character, which the line format "
                                 "cannot carry");
            status = ExitProblem;
            continue;
        }
        try {
            const PosValues v = ReadPosFile(file);
            out << v.start << ' ' << v.stop << ' ' << name << '\n';
        } catch (const std::exception& e) {
            ReportError(err, FailureText(file, e));
            status = ExitProblem;
        }
    }
    return status;
}

} // namespace

const Command& ExportCommand() {
    static const Command command{"export",
                                 "FILE.POS...",
                                 "print \"START STOP NAME\" lines for batch converters",
                                 kHelp,
                                 {},
                                 {},
                                 run};
    return command;
}

} // namespace kestrin::cli
