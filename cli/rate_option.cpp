// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/rate_option.h"

#include <stdexcept>

namespace kestrin::cli {

AudioRate RateChoiceOf(const Arguments& arguments) {
    return arguments.flag(FramesOfAudioFlag) ? AudioRate::FramesOfAudio : AudioRate::PosRate;
}

void RequireRate(const std::filesystem::path& audio, int sampleRate, AudioRate choice,
                 std::string_view notDone) {
    if (const auto refusal = OtherRateRefusal(audio.string(), sampleRate, choice))
        throw std::runtime_error(*refusal + ": " + std::string(notDone) + " (" + FramesOfAudioFlag +
                                 " takes the positions as the audio's own frames, as vgmstream "
                                 "reads a POS file)");
}

std::string FramesNote(const std::filesystem::path& audio, int sampleRate) {
    const std::string note = FramesOfAudioNote(audio.string(), sampleRate);
    return note.empty() ? note : " (" + note + ")";
}

} // namespace kestrin::cli
