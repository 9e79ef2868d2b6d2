// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos set: new positions written into a POS file in place.
#include "command.h"
#include "output.h"
#include "pos_file.h"
#include "pos_tool.h"
#include "position_argument.h"
#include "positions.h"

#include <filesystem>
#include <optional>
#include <tuple>

namespace kestrin::cli {

namespace fs = std::filesystem;

namespace {

const char* const kHelp = R"(Usage: kestrin-pos set FILE.POS [--start T] [--stop T] [--dry-run]

Writes new positions into the first 8 bytes of FILE.POS, in place, exactly as
the editor's Save does; the rest of the file is kept. A missing file is
created when both positions are given.

T is one of
  66150      a sample count: a bare number is always samples, so 10 means
             ten samples, not ten seconds
  1.5s       seconds (fraction and exponent allowed: 2.5e1s)
  01:30      minutes:seconds, also 1:30.25; seconds below 60
A value outside the signed 32-bit range is an error and nothing is written.

  --start T   the new start position
  --stop T    the new stop position
  --dry-run   show what would be written, change nothing
)";

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.size() != 1)
        throw UsageError("set takes exactly one POS file");
    const auto startArg = a.values.find("--start");
    const auto stopArg = a.values.find("--stop");
    if (startArg == a.values.end() && stopArg == a.values.end())
        throw UsageError("set needs --start, --stop or both");

    // Both values are converted before the file is opened.
    std::optional<std::int32_t> start;
    std::optional<std::int32_t> stop;
    for (auto [arg, target, name] :
         {std::tuple{startArg, &start, "--start"}, std::tuple{stopArg, &stop, "--stop"}}) {
        if (arg == a.values.end())
            continue;
        try {
            *target = ParsePositionArgument(arg->second);
        } catch (const ArgumentError& e) {
            throw UsageError(std::string(name) + ": " + e.what());
        } catch (const OverflowError&) {
            throw UsageError(std::string(name) + ": \"" + arg->second +
                             "\" is outside the range a POS file can hold (-2147483648 to "
                             "2147483647 samples)");
        }
    }

    const std::string& file = a.files.front();
    PosValues before;
    const bool creating = start && stop && !fs::exists(file);
    try {
        if (!creating)
            before = ReadPosFile(file);
        const PosValues after{start.value_or(before.start), stop.value_or(before.stop)};
        const bool dry = a.flag("--dry-run");
        out << file << (dry ? ": would write" : ": wrote") << (creating ? " (new file)" : "")
            << ": start " << after.start;
        if (!creating)
            out << (after.start == before.start ? " (unchanged)"
                                                : " (was " + IntegerText(before.start) + ")");
        out << ", stop " << after.stop;
        if (!creating)
            out << (after.stop == before.stop ? " (unchanged)"
                                              : " (was " + IntegerText(before.stop) + ")");
        out << '\n';
        if (!dry)
            WritePosFile(file, after);
    } catch (const PosFileError& e) {
        ReportError(err, e);
        return ExitProblem;
    }
    return ExitOk;
}

} // namespace

const Command& SetCommand() {
    static const Command command{"set",
                                 "FILE.POS",
                                 "change the start and/or stop position in place",
                                 kHelp,
                                 {"--start", "--stop"},
                                 {"--dry-run"},
                                 run};
    return command;
}

} // namespace kestrin::cli
