// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos show: both positions in every form the editor shows.
#include "cli/command.h"
#include "cli/output.h"
#include "cli/pos_tool.h"
#include "core/pos_file.h"
#include "core/positions.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace kestrin::cli {

namespace {

const char* const kHelp = R"(Usage: kestrin-pos show [--json] FILE.POS...

Prints start and stop as the editor shows them: samples, seconds, slider
value (whole seconds, 0 to 600) and minutes:seconds, and the loop length
(stop - start) in samples and seconds.

  --json   one JSON object per line and file, for scripts; "seconds" as
           the editor writes it (text), "seconds_number" as a JSON number

File names are printed with control characters made visible (\n, \t, \x1b;
a backslash as \\). In JSON, a name is read as UTF-8 and every byte or
incomplete sequence that is not valid UTF-8 becomes U+FFFD; the output is
ASCII, with other characters as \u escapes.
)";

int sliderShown(std::int32_t position) {
    // The slider stops at the ends of its range, as the window's does.
    return std::clamp(SliderValueOfPosition(position), 0, SliderMaximum);
}

std::string loopSeconds(const PosValues& v) {
    const std::int64_t length = std::int64_t{v.stop} - v.start;
    return FormatNumber(static_cast<double>(length) / SamplesPerSecond);
}

int run(const Arguments& a, std::ostream& out, std::ostream& err) {
    if (a.files.empty())
        throw UsageError("show needs at least one POS file");
    const bool json = a.flag("--json");
    int status = ExitOk;
    for (const std::string& file : a.files) {
        PosValues v;
        try {
            v = ReadPosFile(file);
        } catch (const std::exception& e) {
            ReportError(err, FailureText(file, e));
            status = ExitProblem;
            continue;
        }
        const std::int64_t length = std::int64_t{v.stop} - v.start;
        if (json) {
            auto position = [](std::int32_t p) {
                return nlohmann::ordered_json{
                    {"samples", p},
                    {"seconds", SecondsText(p)},
                    {"seconds_number", RoundedTo(static_cast<double>(p) / SamplesPerSecond, 6)},
                    {"slider", sliderShown(p)},
                    {"clock", ClockText(p)}};
            };
            const nlohmann::ordered_json line{
                {"file", file},
                {"start", position(v.start)},
                {"stop", position(v.stop)},
                {"loop",
                 {{"samples", length},
                  {"seconds", loopSeconds(v)},
                  {"seconds_number",
                   RoundedTo(static_cast<double>(length) / SamplesPerSecond, 6)}}}};
            out << line.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace)
                << '\n';
        } else {
            auto line = [&](const char* label, std::int32_t p) {
                out << "  " << label << IntegerText(p) << " samples, " << SecondsText(p)
                    << " s, slider " << sliderShown(p) << ", " << ClockText(p) << '\n';
            };
            out << VisibleText(file) << '\n';
            line("start  ", v.start);
            line("stop   ", v.stop);
            out << "  loop   " << length << " samples, " << loopSeconds(v) << " s\n";
        }
    }
    return status;
}

} // namespace

const Command& ShowCommand() {
    static const Command command{"show",
                                 "FILE.POS...",
                                 "print both positions in every form the editor shows",
                                 kHelp,
                                 {},
                                 {"--json"},
                                 run};
    return command;
}

} // namespace kestrin::cli
