// SPDX-License-Identifier: GPL-3.0-or-later
// Windows of frames from a sound file, in a sample type that keeps every bit.
#pragma once

#include "audio/read/audio_files.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sf_private_tag;

namespace kestrin::audio {

// The interleaved sample type a source is delivered in. Each is chosen so the
// file's own values pass unchanged: 8- and 16-bit PCM, u-law, A-law and
// 16-bit FLAC as Int16 (8-bit values scaled by 256, which is exact); 24- and
// 32-bit PCM and 24-bit FLAC as Int32 (24-bit values in the upper three
// bytes, again exact); float as Float32. Double and lossy codecs (Vorbis,
// Opus, MPEG) are decoded to Float32, the closest a player gets.
enum class SampleType { Int16, Int32, Float32 };

// Bytes one sample of `type` takes.
int BytesPerSample(SampleType type);

// A sound file opened for reading. Only the frames asked for are read, so a
// long file never sits in memory whole. Every frame is the one a player
// decoding from the start hears there, also in lossy files, where a jump
// back decodes again from the start. Not thread-safe: one reader per thread.
//
// A header's frame count is only a claim: a file cut short claims more than
// it holds, and an Ogg file cut short claims 2^63 - 1. info().frames is what
// the file holds: the claim once its last frame has been read back, else the
// frames that decode from the start. Float samples that are not a number,
// infinite or far beyond full scale are refused as a fault of the file.
class AudioReader {
public:
    // Opens `path` through OpenAudioForReading and learns its length. Throws
    // AudioError naming the file.
    explicit AudioReader(const std::filesystem::path& path);
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    const AudioInfo& info() const { return m_info; }
    // The frames the header gives, when that is not what the file holds.
    std::optional<std::int64_t> claimedFrames() const { return m_claimedFrames; }
    // "PATH: the file claims N frames but holds M", or nullopt when it
    // holds what it claims.
    std::optional<std::string> lengthProblem() const;
    SampleType sampleType() const { return m_type; }
    // Bytes of one interleaved frame in sampleType().
    int bytesPerFrame() const { return m_info.channels * BytesPerSample(m_type); }

    // Reads up to `count` frames from frame `from` into `out`, interleaved in
    // sampleType(). Returns the frames read: fewer only at the end of the
    // audio, 0 from there on or for a negative `from`. Throws AudioError when
    // the file cannot be read or a float sample is unusable.
    std::int64_t read(std::int64_t from, std::int64_t count, void* out);

    // The same frames as 32-bit floats in -1..1, for analysis and drawing.
    std::int64_t readFloat(std::int64_t from, std::int64_t count, float* out);

    // Says that reads will jump back to frame `from` (a loop's start), so
    // that the jump costs no more than a read. Only lossy files, where a jump
    // back decodes again from the start, need it: a second decoder is brought
    // to `from` now, and brought back there over the reads after each jump.
    void keepReady(std::int64_t from);

    // Keeps, in a lossy file, the frames decoded by readFloat() from the
    // beginning up to the furthest one read so far, at most `frames` of them,
    // so that reads anywhere before that are served from memory rather than
    // by decoding again from the beginning. Nothing for other files.
    void keepDecoded(std::int64_t frames);

    // Keeps every frame of a lossy file that readFloat() decodes, in order
    // from the beginning, in an unnamed scratch file in the temporary folder
    // (4 bytes per sample; gone with the reader), so that any window read
    // again comes from there: exact, and without decoding from the beginning.
    // Reads are then best made in order first. Where no scratch file can be
    // had, the frames are kept in memory. Nothing for other files.
    void keepDecodedInScratch();

private:
    bool seek(std::int64_t from);
    // Decodes `file` on from `cursor` towards frame `to`, at most `budget`
    // frames, opening it again first when it is past `to` or not open.
    bool skipTo(sf_private_tag*& file, std::int64_t& cursor, std::int64_t to, std::int64_t budget);
    // The frames that decode, when the header's count cannot be read back.
    std::int64_t heldFrames();
    // Throws when one of `frames` frames from `from` in `samples` is unusable.
    void checkSamples(const float* samples, std::int64_t from, std::int64_t frames) const;
    // readFloat() of a file kept in the scratch file: decodes on in order up
    // to the end of the window, then serves it from there.
    std::int64_t readScratch(std::int64_t from, std::int64_t count, float* out);
    // Appends `frames` decoded frames to the scratch file; on a fault, moves
    // what it holds into m_kept and keeps on in memory.
    void appendScratch(const float* samples, std::int64_t frames);
    // Checks and clamps the window, seeks, and reads it with `readFrames`.
    template <class ReadFrames>
    std::int64_t readWith(std::int64_t from, std::int64_t count, ReadFrames readFrames);

    std::filesystem::path m_path;
    AudioInfo m_info;
    SampleType m_type = SampleType::Int16;
    std::optional<std::int64_t> m_claimedFrames;
    bool m_floatSamples = false; // stored as float or double, so any value can occur
    bool m_seekable = true;
    sf_private_tag* m_file = nullptr;
    std::int64_t m_cursor = 0; // where the next sequential read starts
    // Seeks decode from the start: the codec's own seek is not sample-exact.
    bool m_decodeToSeek = false;
    // The second decoder of such a file, on its way to m_ready (-1: none).
    sf_private_tag* m_spare = nullptr;
    std::int64_t m_spareCursor = 0;
    std::int64_t m_ready = -1;
    // Frames [0, m_kept.size() / channels) of a lossy file, kept up to m_keepLimit.
    std::int64_t m_keepLimit = 0;
    std::vector<float> m_kept;
    // The scratch file of keepDecodedInScratch() and the frames it holds.
    int m_scratch = -1;
    std::int64_t m_scratchFrames = 0;
};

} // namespace kestrin::audio
