// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/read/audio_reader.h"

#include "core/clock_text.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace kestrin::audio {

namespace {

SampleType losslessTypeOf(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
        return SampleType::Int32;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
        return SampleType::Float32;
    default:
        return SampleType::Int16;
    }
}

// An unnamed file in the temporary folder, gone with its descriptor; -1
// when none can be had. O_TMPFILE first, so that not even a crash leaves it
// behind; a named file unlinked at once where the file system lacks it.
int openScratchFile() {
    std::error_code error;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(error);
    if (error)
        return -1;
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    std::string name = (dir / "kestrin-decoded-XXXXXX").string();
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0)
        ::unlink(name.c_str());
    return fd;
}

// Moves `bytes` at `offset` whole with `transfer` (pread or pwrite), through
// short transfers and interruptions; false on a fault (errno tells which) or
// when nothing more moves, which sets errno to `stalled`.
template <class Byte, class Transfer>
bool transferAt(Transfer transfer, int fd, Byte* p, std::size_t bytes, off_t offset, int stalled) {
    while (bytes > 0) {
        const ssize_t done = transfer(fd, p, bytes, offset);
        if (done <= 0) {
            if (done < 0 && errno == EINTR)
                continue;
            if (done == 0)
                errno = stalled;
            return false;
        }
        p += done;
        offset += done;
        bytes -= static_cast<std::size_t>(done);
    }
    return true;
}

bool writeAt(int fd, const void* data, std::size_t bytes, off_t offset) {
    return transferAt(::pwrite, fd, static_cast<const char*>(data), bytes, offset, ENOSPC);
}

bool readAt(int fd, void* data, std::size_t bytes, off_t offset) {
    return transferAt(::pread, fd, static_cast<char*>(data), bytes, offset, EIO);
}

} // namespace

int BytesPerSample(SampleType type) {
    return type == SampleType::Int16 ? 2 : 4;
}

AudioReader::AudioReader(const std::filesystem::path& path) : m_path(path) {
    SF_INFO info{};
    m_file = OpenAudioForReading(path, info);
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(m_file);
        throw AudioError("cannot open audio file " + path.string() + ": no audio channels");
    }
    m_info = {info.samplerate, std::max<std::int64_t>(info.frames, 0), info.channels, info.format};
    m_type = losslessTypeOf(info.format);
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    m_floatSamples = subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
    m_seekable = info.seekable != 0;
    m_decodeToSeek = InexactEncodingOf(info.format).has_value();
    try {
        const std::int64_t held = heldFrames();
        if (held != m_info.frames) {
            m_claimedFrames = m_info.frames;
            m_info.frames = held;
        }
    } catch (...) {
        sf_close(m_file);
        throw;
    }
}

std::int64_t AudioReader::heldFrames() {
    const std::int64_t claim = m_info.frames;
    if (claim == 0)
        return 0;
    std::vector<float> block(static_cast<std::size_t>(m_info.channels));
    // Encodings that cannot seek (GSM 6.10, G.721) are counted by libsndfile
    // from the size of their data, and could not be read again from the start.
    // A stream it cannot seek that gives no length at all (an MPEG file whose
    // Xing header counts no bytes) would otherwise hold 2^63 - 1 frames.
    if (!m_seekable && claim != SF_COUNT_MAX)
        return claim;
    if (claim != SF_COUNT_MAX) {
        // Reading the last frame back is cheap even for a compressed file,
        // and proves the claim for all but a file damaged, not cut short.
        if (sf_seek(m_file, claim - 1, SEEK_SET) == claim - 1 &&
            sf_readf_float(m_file, block.data(), 1) == 1) {
            m_cursor = claim;
            return claim;
        }
    }
    // Counted from a fresh opening: a failed seek can leave a decoder (FLAC)
    // unable to go back to the start.
    SF_INFO again{};
    sf_private_tag* fresh = OpenAudioForReading(m_path, again);
    sf_close(m_file);
    m_file = fresh;
    constexpr sf_count_t kBlock = 1 << 14;
    block.resize(static_cast<std::size_t>(kBlock * m_info.channels));
    std::int64_t held = 0;
    for (sf_count_t got; (got = sf_readf_float(m_file, block.data(), kBlock)) > 0;)
        held += got;
    m_cursor = held;
    return held;
}

std::optional<std::string> AudioReader::lengthProblem() const {
    if (!m_claimedFrames)
        return std::nullopt;
    const std::string held = GroupedText(m_info.frames);
    if (*m_claimedFrames == SF_COUNT_MAX)
        return m_path.string() + ": the file gives no length and holds " + held +
               " frames: it may be cut short";
    return m_path.string() + ": the file claims " + GroupedText(*m_claimedFrames) +
           " frames but holds " + held;
}

void AudioReader::checkSamples(const float* samples, std::int64_t from, std::int64_t frames) const {
    // 60 dB above full scale is no level a player can play; such a value,
    // like a NaN or an infinity, turns every sum over the audio into nonsense.
    constexpr float kLimit = 1000.0f;
    const float* end = samples + frames * m_info.channels;
    const float* bad =
        std::find_if(samples, end, [](float s) { return !(std::fabs(s) <= kLimit); });
    if (bad == end)
        return;
    std::string what;
    if (std::isnan(*bad)) {
        what = "is not a number";
    } else if (std::isinf(*bad)) {
        what = *bad > 0 ? "is infinite" : "is minus infinity";
    } else {
        char value[32];
        std::snprintf(value, sizeof value, "%g", static_cast<double>(*bad));
        what = std::string("is ") + value + ", over 60 dB above full scale";
    }
    throw AudioError(m_path.string() + ": sample " +
                     GroupedText(from + (bad - samples) / m_info.channels) + " " + what);
}

AudioReader::~AudioReader() {
    if (m_scratch >= 0) {
        // The kernel frees the scratch file's blocks as it closes: a quarter
        // of a second for two hours of stereo, which a cancelled search must
        // not wait for.
        try {
            std::thread([fd = m_scratch] { ::close(fd); }).detach();
        } catch (const std::system_error&) {
            ::close(m_scratch);
        }
    }
    sf_close(m_file);
    if (m_spare)
        sf_close(m_spare);
}

namespace {

// Frames a decoder skips at a time on its way to a frame.
constexpr std::int64_t kSkipChunk = 8192;
// The spare decoder moves this many frames towards the frame kept ready for
// every frame read: a loop pass of L frames brings it L * 16 frames further,
// at a few per cent of a core for Vorbis, so an intro up to 16 times the
// loop's length is crossed within one pass.
constexpr std::int64_t kSpareFactor = 16;

} // namespace

bool AudioReader::skipTo(sf_private_tag*& file, std::int64_t& cursor, std::int64_t to,
                         std::int64_t budget) {
    if (!file || cursor > to) {
        SF_INFO info{};
        sf_private_tag* again = OpenAudioForReading(m_path, info);
        if (file)
            sf_close(file);
        file = again;
        cursor = 0;
    }
    std::vector<float> skipped(static_cast<std::size_t>(kSkipChunk * m_info.channels));
    while (cursor < to && budget > 0) {
        const std::int64_t want = std::min({kSkipChunk, to - cursor, budget});
        const sf_count_t got = sf_readf_float(file, skipped.data(), want);
        if (got <= 0) // the file holds fewer frames than its header says
            return sf_error(file) == SF_ERR_NO_ERROR;
        cursor += got;
        budget -= got;
    }
    return true;
}

void AudioReader::keepReady(std::int64_t from) {
    if (!m_decodeToSeek || from < 0)
        return;
    m_ready = from;
    skipTo(m_spare, m_spareCursor, m_ready, std::numeric_limits<std::int64_t>::max());
}

bool AudioReader::seek(std::int64_t from) {
    if (from == m_cursor)
        return true; // sequential reads skip the seek, which costs on compressed files
    if (!m_decodeToSeek) {
        if (sf_seek(m_file, from, SEEK_SET) < 0)
            return false;
        m_cursor = from;
        return true;
    }
    // libsndfile's Vorbis and MPEG decoders land up to a block away from the
    // frame asked for while reporting it as reached: frames are decoded from
    // the beginning instead, so a window is what a player hears there. A jump
    // back takes the spare decoder when it waits at or before the frame (a
    // loop's start, kept ready), and the spare then goes back to that frame
    // over the following reads.
    if (from < m_cursor) {
        if (m_spare && m_spareCursor <= from) {
            std::swap(m_file, m_spare);
            std::swap(m_cursor, m_spareCursor);
        }
        m_ready = from;
    }
    return skipTo(m_file, m_cursor, from, std::numeric_limits<std::int64_t>::max());
}

template <class ReadFrames>
std::int64_t AudioReader::readWith(std::int64_t from, std::int64_t count, ReadFrames readFrames) {
    if (from < 0 || count <= 0 || from >= m_info.frames)
        return 0;
    count = std::min(count, m_info.frames - from);
    if (!seek(from))
        throw AudioError("cannot seek in audio file " + m_path.string() + ": " +
                         sf_strerror(m_file));
    if (m_cursor != from)
        return 0; // decoding ended before `from`: nothing is there
    const sf_count_t got = readFrames(count);
    if (got < 0 || (got < count && sf_error(m_file) != SF_ERR_NO_ERROR))
        throw AudioError("cannot read audio file " + m_path.string() + ": " + sf_strerror(m_file));
    m_cursor = from + got;
    if (m_ready >= 0 && m_spareCursor != m_ready)
        skipTo(m_spare, m_spareCursor, m_ready, kSpareFactor * std::max<std::int64_t>(got, 1024));
    return got;
}

std::int64_t AudioReader::read(std::int64_t from, std::int64_t count, void* out) {
    if (m_scratch >= 0 && m_type == SampleType::Float32)
        return readFloat(from, count, static_cast<float*>(out));
    const std::int64_t got = readWith(from, count, [&](sf_count_t n) -> sf_count_t {
        switch (m_type) {
        case SampleType::Int16:
            return sf_readf_short(m_file, static_cast<short*>(out), n);
        case SampleType::Int32:
            return sf_readf_int(m_file, static_cast<int*>(out), n);
        case SampleType::Float32:
            break;
        }
        return sf_readf_float(m_file, static_cast<float*>(out), n);
    });
    if (m_floatSamples)
        checkSamples(static_cast<const float*>(out), from, got);
    return got;
}

std::int64_t AudioReader::readFloat(std::int64_t from, std::int64_t count, float* out) {
    if (m_scratch >= 0)
        return readScratch(from, count, out);
    if (m_keepLimit > 0 && from >= 0 && count > 0 && from < m_info.frames) {
        const auto ch = static_cast<std::size_t>(m_info.channels);
        const std::int64_t to = std::min(from + count, m_info.frames);
        auto kept = static_cast<std::int64_t>(m_kept.size() / ch);
        if (kept < to && to <= m_keepLimit) {
            m_kept.resize(static_cast<std::size_t>(to) * ch);
            const std::int64_t got = readWith(kept, to - kept, [&](sf_count_t n) {
                return sf_readf_float(m_file, m_kept.data() + kept * ch, n);
            });
            if (m_floatSamples)
                checkSamples(m_kept.data() + kept * ch, kept, got);
            kept += got;
            m_kept.resize(static_cast<std::size_t>(kept) * ch);
        }
        if (to <= kept) {
            std::copy(m_kept.begin() + static_cast<std::ptrdiff_t>(from * ch),
                      m_kept.begin() + static_cast<std::ptrdiff_t>(to * ch), out);
            return to - from;
        }
    }
    const std::int64_t got =
        readWith(from, count, [&](sf_count_t n) { return sf_readf_float(m_file, out, n); });
    if (m_floatSamples)
        checkSamples(out, from, got);
    return got;
}

void AudioReader::keepDecoded(std::int64_t frames) {
    if (m_decodeToSeek)
        m_keepLimit = std::max<std::int64_t>(0, frames);
}

void AudioReader::keepDecodedInScratch() {
    if (!m_decodeToSeek || m_scratch >= 0)
        return;
    constexpr std::int64_t kAll = std::numeric_limits<std::int64_t>::max();
    if (m_keepLimit == kAll)
        return; // already kept whole in memory
    m_scratch = openScratchFile();
    if (m_scratch < 0) {
        keepDecoded(kAll);
        return;
    }
    // What was kept in memory so far moves over.
    const auto kept = static_cast<std::int64_t>(m_kept.size()) / m_info.channels;
    std::vector<float> moved;
    moved.swap(m_kept);
    m_keepLimit = 0;
    m_scratchFrames = 0;
    appendScratch(moved.data(), kept);
}

void AudioReader::appendScratch(const float* samples, std::int64_t frames) {
    if (frames <= 0)
        return;
    const auto ch = static_cast<std::size_t>(m_info.channels);
    const std::size_t frameBytes = ch * sizeof(float);
    const auto at = static_cast<std::size_t>(m_scratchFrames);
    const auto count = static_cast<std::size_t>(frames);
    if (writeAt(m_scratch, samples, count * frameBytes, static_cast<off_t>(at * frameBytes))) {
        m_scratchFrames += frames;
        return;
    }
    // A full disk: the frames go on in memory, as far as it lasts.
    const std::string reason = std::strerror(errno);
    try {
        m_kept.resize((at + count) * ch);
    } catch (const std::bad_alloc&) {
        throw AudioError("cannot keep the decoded frames of " + m_path.string() +
                         ": the scratch file failed (" + reason + ") and memory ran out");
    }
    const bool back = readAt(m_scratch, m_kept.data(), at * frameBytes, 0);
    const std::string backReason = back ? std::string() : std::strerror(errno);
    std::copy(samples, samples + count * ch, m_kept.begin() + static_cast<std::ptrdiff_t>(at * ch));
    ::close(m_scratch);
    m_scratch = -1;
    m_scratchFrames = 0;
    if (!back) {
        m_kept.clear();
        throw AudioError("cannot read back the decoded frames of " + m_path.string() +
                         " from the scratch file: " + backReason);
    }
    m_keepLimit = std::numeric_limits<std::int64_t>::max();
}

std::int64_t AudioReader::readScratch(std::int64_t from, std::int64_t count, float* out) {
    if (from < 0 || count <= 0 || from >= m_info.frames)
        return 0;
    const auto ch = static_cast<std::size_t>(m_info.channels);
    const std::int64_t to = std::min(from + count, m_info.frames);
    const std::int64_t storedBefore = m_scratchFrames;
    // Decodes on in order up to the window's end, the window's own frames
    // straight into `out`.
    std::vector<float> skipped;
    while (m_scratch >= 0 && m_scratchFrames < to) {
        const std::int64_t at = m_scratchFrames;
        float* into = nullptr;
        std::int64_t want = to - at;
        if (at >= from) {
            into = out + static_cast<std::size_t>(at - from) * ch;
        } else {
            want = std::min(want, std::min(from - at, kSkipChunk));
            skipped.resize(static_cast<std::size_t>(want) * ch);
            into = skipped.data();
        }
        const std::int64_t got =
            readWith(at, want, [&](sf_count_t n) { return sf_readf_float(m_file, into, n); });
        if (m_floatSamples)
            checkSamples(into, at, got);
        appendScratch(into, got);
        if (got < want) {
            // Decoding ended before the header's end: the file holds no more.
            if (!m_claimedFrames)
                m_claimedFrames = m_info.frames;
            m_info.frames = at + got;
            break;
        }
    }
    if (m_scratch < 0) // kept in memory from here on
        return readFloat(from, count, out);
    const std::int64_t end = std::min(to, m_scratchFrames);
    if (end <= from)
        return 0;
    // Frames of the window decoded by an earlier read come from the file.
    const std::int64_t stored = std::min(end, storedBefore);
    const std::size_t frameBytes = ch * sizeof(float);
    if (stored > from &&
        !readAt(m_scratch, out, static_cast<std::size_t>(stored - from) * frameBytes,
                static_cast<off_t>(static_cast<std::size_t>(from) * frameBytes)))
        throw AudioError("cannot read back the decoded frames of " + m_path.string() +
                         " from the scratch file: " + std::strerror(errno));
    return end - from;
}

} // namespace kestrin::audio
