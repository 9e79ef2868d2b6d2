// SPDX-License-Identifier: GPL-3.0-or-later
// The WAVE files that POS files sit beside, read through libsndfile.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace kestrin::audio {

// A sound file that cannot be opened, read or written; what() names the file.
class AudioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the header of a sound file says.
struct AudioInfo {
    int sampleRate = 0;
    std::int64_t frames = 0; // samples per channel
    int channels = 0;
    int format = 0; // libsndfile SF_FORMAT_* bits
};

// Reads the header only; the audio data is not touched.
AudioInfo ReadAudioInfo(const std::filesystem::path& audio);

// The audio name players look for: the POS file's base name with ".WAV" when
// its extension is all upper case, ".wav" otherwise.
std::filesystem::path ExpectedAudioName(const std::filesystem::path& posFile);

// The WAVE file beside a POS file.
struct Companion {
    std::filesystem::path path;
    bool exactName = false; // false: found only by ignoring case
};

// Looks for the expected name first, then for any name that equals it when
// case is ignored. nullopt when there is none.
std::optional<Companion> FindCompanionAudio(const std::filesystem::path& posFile);

// Writes frames [fromA, toA) of `source` followed by frames [fromB, toB) into
// a new file `target` with the source's format, channels and rate. Integer
// formats are copied as integers and float formats as doubles, so every
// sample is copied exactly.
void WriteSpliced(const std::filesystem::path& source, const std::filesystem::path& target,
                  std::int64_t fromA, std::int64_t toA, std::int64_t fromB, std::int64_t toB);

} // namespace kestrin::audio
