// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/audio_extensions.h"

#include <cctype>

namespace kestrin {

std::string WrittenAudioExtensionList() {
    std::string list;
    for (const std::string_view ext : WrittenAudioExtensions)
        list.append(list.empty() ? "" : ", ").append(ext);
    return list;
}

std::string WrittenAudioPatterns() {
    std::string patterns;
    for (const std::string_view ext : WrittenAudioExtensions) {
        std::string upper(ext);
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        patterns.append(patterns.empty() ? "*" : " *").append(ext).append(" *").append(upper);
    }
    return patterns;
}

} // namespace kestrin
