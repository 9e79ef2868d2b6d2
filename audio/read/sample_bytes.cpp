// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/read/sample_bytes.h"

#include <array>
#include <cstring>
#include <fstream>

namespace kestrin::audio {

namespace {

std::uint64_t numberOf(const unsigned char* bytes, int count, bool bigEndian) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value |= std::uint64_t{bytes[bigEndian ? count - 1 - i : i]} << (8 * i);
    return value;
}

} // namespace

std::optional<ByteRange> SampleBytesOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::error_code ec;
    const std::uint64_t length = std::filesystem::file_size(file, ec);
    if (!in || ec)
        return std::nullopt;
    std::array<unsigned char, 12> head{};
    if (!in.read(reinterpret_cast<char*>(head.data()), head.size()))
        return std::nullopt;
    const auto is = [](const unsigned char* bytes, const char* id) {
        return std::memcmp(bytes, id, 4) == 0;
    };
    const bool riff =
        (is(head.data(), "RIFF") || is(head.data(), "RIFX") || is(head.data(), "RF64")) &&
        is(head.data() + 8, "WAVE");
    const bool aiff =
        is(head.data(), "FORM") && (is(head.data() + 8, "AIFF") || is(head.data() + 8, "AIFC"));
    if (!riff && !aiff)
        return std::nullopt;
    const bool bigEndian = aiff || is(head.data(), "RIFX");
    // An RF64 file gives the data chunk's size in its ds64 chunk, the first.
    std::optional<std::uint64_t> ds64DataSize;
    // A chunk list longer than any file's ends the walk: a damaged header.
    constexpr int kMostChunks = 100000;
    std::uint64_t at = head.size();
    for (int chunks = 0; chunks < kMostChunks && at + 8 <= length; ++chunks) {
        std::array<unsigned char, 16> chunk{};
        in.seekg(static_cast<std::streamoff>(at));
        if (!in.read(reinterpret_cast<char*>(chunk.data()), chunk.size()) && in.gcount() < 8)
            return std::nullopt;
        in.clear();
        std::uint64_t size = numberOf(chunk.data() + 4, 4, bigEndian);
        if (riff && is(chunk.data(), "ds64") && in.gcount() >= 16) {
            std::array<unsigned char, 8> sizes{};
            in.seekg(static_cast<std::streamoff>(at + 16));
            if (in.read(reinterpret_cast<char*>(sizes.data()), sizes.size()))
                ds64DataSize = numberOf(sizes.data(), 8, false);
            in.clear();
        }
        if (riff && is(chunk.data(), "data")) {
            if (size == 0xFFFFFFFF && ds64DataSize)
                size = *ds64DataSize;
            if (at + 8 + size > length)
                return std::nullopt;
            return ByteRange{at + 8, size};
        }
        if (aiff && is(chunk.data(), "SSND")) {
            if (size < 8 || in.gcount() < 12)
                return std::nullopt;
            const std::uint64_t skip = numberOf(chunk.data() + 8, 4, true);
            if (skip > size - 8 || at + 8 + size > length)
                return std::nullopt;
            return ByteRange{at + 16 + skip, size - 8 - skip};
        }
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}

} // namespace kestrin::audio
