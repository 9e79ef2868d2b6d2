// SPDX-License-Identifier: GPL-3.0-or-later
// The extensions of the audio files this program writes: a track rendered
// longer or crossfaded, its format following the extension. One list for
// the writers, their error messages and the editor's Save dialogs.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace kestrin {

// The extensions written, lower case with their dot; any case is accepted.
inline constexpr std::array<std::string_view, 6> WrittenAudioExtensions = {".wav",  ".aif", ".aiff",
                                                                           ".flac", ".ogg", ".oga"};

// The extensions as a message lists them: ".wav, .aif, ..., .oga".
std::string WrittenAudioExtensionList();

// The extensions as a file dialog's filter patterns, in lower and upper
// case, as a dialog on a case-sensitive file system needs both:
// "*.wav *.WAV *.aif *.AIF ...".
std::string WrittenAudioPatterns();

} // namespace kestrin
