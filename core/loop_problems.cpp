// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/loop_problems.h"

#include "core/clock_text.h"
#include "core/pos_file.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kestrin {

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

std::optional<std::string> SampleRateProblem(int sampleRate) {
    if (sampleRate == SamplesPerSecond)
        return std::nullopt;
    return "the sample rate is " + std::to_string(sampleRate) +
           " Hz, not 44100: the positions count samples at 44,100 per second";
}

std::optional<std::string> OtherRateRefusal(std::string_view audio, int sampleRate,
                                            AudioRate choice) {
    if (sampleRate == SamplesPerSecond || choice == AudioRate::FramesOfAudio)
        return std::nullopt;
    return std::string(audio) + " is " + GroupedText(sampleRate) +
           " Hz; a POS file counts at 44,100 per second";
}

std::string FramesOfAudioNote(std::string_view audio, int sampleRate) {
    if (sampleRate == SamplesPerSecond)
        return {};
    return "as frames of " + std::string(audio) + " at " + GroupedText(sampleRate) +
           " Hz, as vgmstream reads them";
}

std::string CaseOnlyNameProblem(const std::string& found, const std::string& expected) {
    return "the audio file " + found + " is found only by ignoring case: players look for " +
           expected;
}

std::string NoAudioProblem(const std::filesystem::path& posFile, std::string_view named) {
    return "no audio file found beside " + std::string(named) + " (looked for " +
           NameBeside(posFile, ".wav").filename().string() + " in any case)";
}

} // namespace kestrin
