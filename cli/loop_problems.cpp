// SPDX-License-Identifier: GPL-3.0-or-later
#include "loop_problems.h"

namespace kestrin::cli {

std::vector<std::string> PositionProblems(const PosValues& values, bool hasStart, bool hasStop) {
    std::vector<std::string> problems;
    if (hasStart && values.start < 0)
        problems.push_back("start " + IntegerText(values.start) +
                           " is negative: players drop the loop");
    if (hasStop && values.stop <= values.start)
        problems.push_back("stop " + IntegerText(values.stop) + " is not after start " +
                           IntegerText(values.start) + ": players drop the loop");
    return problems;
}

std::optional<std::string> StopBeyondAudioProblem(std::int32_t stop, std::int64_t frames) {
    if (stop <= frames)
        return std::nullopt;
    return "stop " + IntegerText(stop) + " lies beyond the end of the audio (" +
           std::to_string(frames) + " samples): players loop at the end instead";
}

} // namespace kestrin::cli
