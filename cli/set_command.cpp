// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos set: new positions written into a POS file in place.
#include "command.h"
#include "output.h"
#include "pos_file.h"
#include "pos_tool.h"
#include "position_argument.h"
#include "positions.h"

#include <optional>
#include <tuple>

namespace kestrin::cli {

namespace {

const char* const kHelp = R"(Usage: kestrin-pos set FILE.POS [--start T] [--stop T] [--dry-run]

Writes new positions into the first 8 bytes of FILE.POS, in place, exactly as
the editor's Save does; the rest of the file is kept. Only the positions given
are written, under a lock, so a concurrent set of the other position is kept.
A missing file is created when both positions are given. A file that begins
like an audio or other container file (RIFF/WAVE, AIFF, FLAC, Ogg, ...) is
refused: its first bytes are a header, not positions.

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
    const std::string shown = VisibleText(file);
    try {
        PosValues before;
        bool creating = false;
        if (a.flag("--dry-run")) {
            try {
                before = ReadPosFile(file);
            } catch (const NotAPosFileError&) {
                throw;
            } catch (const PosFileError& e) {
                // What UpdatePosFile would do: create a missing file given both values.
                if (!(start && stop && e.code() == std::errc::no_such_file_or_directory))
                    throw;
                creating = true;
            }
        } else {
            const PosUpdate update = UpdatePosFile(file, start, stop);
            before = update.before;
            creating = update.created;
        }
        // Printed only now: "wrote" means the bytes are on the device.
        const PosValues after{start.value_or(before.start), stop.value_or(before.stop)};
        auto change = [&](std::int32_t now, std::int32_t was) {
            if (creating)
                return IntegerText(now);
            return IntegerText(now) +
                   (now == was ? " (unchanged)" : " (was " + IntegerText(was) + ")");
        };
        out << shown << (a.flag("--dry-run") ? ": would write" : ": wrote")
            << (creating ? " (new file)" : "") << ": start " << change(after.start, before.start)
            << ", stop " << change(after.stop, before.stop) << '\n';
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
