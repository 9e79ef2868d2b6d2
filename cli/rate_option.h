// SPDX-License-Identifier: GPL-3.0-or-later
// --frames-of-audio: how every command that writes positions applies the
// rate rule of core/loop_problems.h.
#pragma once

#include "cli/arguments.h"
#include "core/loop_problems.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrin::cli {

// The flag by which a user asks for positions in the audio's own frames.
inline constexpr const char* FramesOfAudioFlag = "--frames-of-audio";

// AudioRate::FramesOfAudio when the command line has --frames-of-audio.
AudioRate RateChoiceOf(const Arguments& arguments);

// Throws std::runtime_error when the rate rule refuses `audio` at
// `sampleRate`: "BGM02.WAV is 48,000 Hz; a POS file counts at 44,100 per
// second: not written (--frames-of-audio ...)", `notDone` taking the place
// of "not written".
void RequireRate(const std::filesystem::path& audio, int sampleRate, AudioRate choice,
                 std::string_view notDone);

// " (as frames of BGM02.WAV at 48,000 Hz, ...)" for an output line whose
// positions are frames of audio at another rate; empty at 44,100.
std::string FramesNote(const std::filesystem::path& audio, int sampleRate);

} // namespace kestrin::cli
