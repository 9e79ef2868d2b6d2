// SPDX-License-Identifier: GPL-3.0-or-later
// The WAVE files that POS files sit beside, read through libsndfile.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sf_private_tag;
struct SF_INFO;

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

// Opens `path` read-only and returns the descriptor, blocking reads on: the
// one way every file this program reads from another tool is opened.
// Anything but a regular file is refused before a byte is read: a FIFO
// would block forever and a device would never end. Throws AudioError
// "cannot open KIND PATH: REASON", `kind` naming what the file was to be
// ("audio file", "label file").
int OpenRegularFile(const std::filesystem::path& path, const char* kind);

// Opens `path` for reading through libsndfile, filling `info`; the caller
// closes it with sf_close. Anything but a regular file is refused before
// libsndfile sees it: a FIFO would block the open forever and a device would
// never end. Every reading of audio goes through here. Throws AudioError
// naming the file.
sf_private_tag* OpenAudioForReading(const std::filesystem::path& path, SF_INFO& info);

// Closes a file libsndfile opened: SoundFile's deleter.
struct SndfileCloser {
    void operator()(sf_private_tag* file) const;
};

// A file libsndfile opened, closed when it goes.
using SoundFile = std::unique_ptr<sf_private_tag, SndfileCloser>;

// What the file holds, as AudioReader knows it: the frames are those that
// decode, which for a file cut short are fewer than its header claims.
AudioInfo ReadAudioInfo(const std::filesystem::path& audio);

// The audio name players look for beside a POS file:
// NameBeside(posFile, ".wav"), ".WAV" for BGM01.POS.
std::filesystem::path ExpectedAudioName(const std::filesystem::path& posFile);

// The WAVE file beside a POS file.
struct Companion {
    std::filesystem::path path;
    bool exactName = false; // false: found only by ignoring case
};

// Finds the audio beside many POS files, listing each folder at most once:
// the expected name is looked up directly, and only when it is missing does
// the folder's listing (read on first need, then kept) give the names that
// equal it when ASCII case is ignored. A folder that cannot be listed offers
// no such names. Not for folders that change while the index is in use.
class CompanionIndex {
public:
    // The expected name first, then the first of the case-insensitive matches
    // in byte order that is a regular file; nullopt when there is none.
    std::optional<Companion> find(const std::filesystem::path& posFile);

private:
    // Folder -> lower-case name -> the names in it, sorted.
    std::map<std::filesystem::path, std::map<std::string, std::vector<std::string>>> m_folders;
};

// The same lookup for a single POS file.
std::optional<Companion> FindCompanionAudio(const std::filesystem::path& posFile);

// The name of the source encoding when frames of `format` (SF_FORMAT_* bits)
// cannot be copied sample-exact through WriteSpliced, e.g. "IMA ADPCM",
// "GSM 6.10", "Vorbis"; nullopt for PCM, float, u-law and A-law, which can.
std::optional<std::string> InexactEncodingOf(int format);

// Writes frames [fromA, toA) of `source` followed by frames [fromB, toB) into
// `target` with the source's format, channels and rate. Integer formats are
// copied as integers and float formats as doubles, so every sample is copied
// exactly; a source whose encoding cannot be (see InexactEncodingOf) is
// refused before anything is created. The frames go into a new temporary
// file in the target's folder that is flushed and then renamed to `target`,
// so a failure leaves no partial file and an existing target unchanged. An
// existing target is replaced only when `replace` is true; when it is
// replaced, the new file takes over its permission bits. Throws AudioError.
// `describe`, when given, is called with the source and the new file before
// the first frame is written, to set chunks such as the instrument.
void WriteSpliced(
    const std::filesystem::path& source, const std::filesystem::path& target, std::int64_t fromA,
    std::int64_t toA, std::int64_t fromB, std::int64_t toB, bool replace,
    const std::function<void(sf_private_tag* in, sf_private_tag* out)>& describe = {});

// Creates `target` with libsndfile `format` bits, `channels` and
// `sampleRate` through a new temporary file in its folder: `fill` writes
// into the open file, which is then flushed to the device and renamed to
// `target`, so a failure (also one `fill` throws) leaves no partial file and
// an existing target unchanged. An existing target is replaced only when
// `replace` is true, and then keeps its permission bits. Throws AudioError.
void WriteAudioFile(const std::filesystem::path& target, int format, int channels, int sampleRate,
                    bool replace, const std::function<void(sf_private_tag*)>& fill);

// Writes `count` interleaved frames to `out`, open for writing, in the type
// they are held in; libsndfile encodes them as the file's format says, so
// integers and doubles copied from a file of that format stay exact. Throws
// AudioError naming `target` when fewer frames are written. For Sample
// std::int16_t, std::int32_t, float and double.
template <class Sample>
void WriteFrames(sf_private_tag* out, const Sample* frames, std::int64_t count,
                 const std::filesystem::path& target);

} // namespace kestrin::audio
