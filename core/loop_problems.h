// SPDX-License-Identifier: GPL-3.0-or-later
// What players make of a pair of positions and of the audio they point
// into: the loops they drop or cut, and audio they cannot play them in.
// Worded once, for check (a problem), set (a warning) and the editor. How a
// seam sounds is core/seam_figures.h.
#pragma once

#include "core/positions.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin {

// The problems of the positions alone, in the order a reader fixes them: a
// negative start, a stop not after the start. `hasStart`/`hasStop` say
// whether the file holds the bytes of each (a short file may not).
std::vector<std::string> PositionProblems(const PosValues& values, bool hasStart = true,
                                          bool hasStop = true);

// The problem of a stop past the end of audio `frames` long (samples per
// channel); nullopt when the stop is within it.
std::optional<std::string> StopBeyondAudioProblem(std::int32_t stop, std::int64_t frames);

// The problem of audio at a rate other than 44,100 per second; nullopt at 44,100.
std::optional<std::string> SampleRateProblem(int sampleRate);

// How positions meet audio at a rate other than 44,100 per second.
enum class AudioRate {
    // A POS file counts at 44,100 per second: positions for or from audio at
    // another rate are refused.
    PosRate,
    // Asked for explicitly: the positions are the audio's own frames, which
    // is how players such as vgmstream read a POS file's two numbers.
    FramesOfAudio,
};

// The one rule for every writer of positions taken from audio or written for
// a player of it: nullopt when they may be written for `audio` (its name as
// messages show it) at `sampleRate`, else the reason, naming both rates: "BGM02.WAV is 48,000
// Hz; a POS file counts at 44,100 per second".
std::optional<std::string> OtherRateRefusal(std::string_view audio, int sampleRate,
                                            AudioRate choice);

// What a line says when positions were written as frames of `audio` at
// another rate: "as frames of BGM02.WAV at 48,000 Hz, as vgmstream reads
// them"; empty at 44,100.
std::string FramesOfAudioNote(std::string_view audio, int sampleRate);

// The problem of audio found only by ignoring case: `found` is its file
// name, `expected` the name players look for.
std::string CaseOnlyNameProblem(const std::string& found, const std::string& expected);

// The problem of the POS file `posFile` with no audio beside it: "no audio
// file found beside NAMED (looked for BASE.WAV in any case)", with the audio
// name players look for. `named` is how the line names the POS file ("it"
// where the line already has).
std::string NoAudioProblem(const std::filesystem::path& posFile, std::string_view named);

} // namespace kestrin
