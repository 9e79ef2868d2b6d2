// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer targets for every parser of a loop another tool wrote, one per
// build (scripts/fuzz defines FUZZ_LABELS, FUZZ_PLAYLISTS, FUZZ_COMMENTS,
// FUZZ_SMPL or FUZZ_ARGUMENTS). Any bytes may be refused, none may crash,
// and what is accepted is a loop import could write.
#include "core/loop_formats.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#if defined(FUZZ_SMPL)
#include "audio/loop_interchange.h"
#include <sys/mman.h>
#include <unistd.h>
#elif defined(FUZZ_ARGUMENTS)
#include "cli/position_argument.h"
#endif

namespace {

void require(bool holds) {
    if (!holds)
        std::abort();
}

// What import does with a loop: refused or a pair of positions.
void import(std::int64_t start, std::int64_t stop) {
    try {
        const kestrin::PosValues v = kestrin::ImportedLoop(start, stop, 44100);
        require(v.start == start && v.stop == stop && v.stop > v.start);
    } catch (const kestrin::LoopTextError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string quoted = kestrin::QuotedExcerpt(text);
    require(quoted.size() <= 80 * 4 + 5 && quoted.find('\0') == std::string::npos);
    try {
#if defined(FUZZ_LABELS)
        const kestrin::PosValues loop = kestrin::ParseLabels(text);
        require(loop.start != loop.stop);
        import(loop.start, loop.stop);
#elif defined(FUZZ_PLAYLISTS)
        const kestrin::TxtpLoop loop = kestrin::ParseTxtp(text);
        require(loop.start >= 0 && (!loop.stop || *loop.stop >= 0));
        import(loop.start, loop.stop.value_or(0));
#elif defined(FUZZ_COMMENTS)
        // One value per line, for LOOPSTART, LOOPLENGTH, LOOP_START, LOOP_END;
        // an empty line is a missing comment.
        std::vector<std::string> lines(4);
        for (std::size_t i = 0, at = 0; i < 4 && at <= text.size(); ++i) {
            const auto end = std::min(text.find('\n', at), text.size());
            lines[i] = std::string(text.substr(at, end - at));
            at = end + 1;
        }
        const auto loop = kestrin::ParseLoopComments([&](const char* key) {
            const std::string_view k(key);
            const std::size_t i = k == "LOOPSTART" ? 0 : k == "LOOPLENGTH" ? 1 : k == "LOOP_START" ? 2 : 3;
            return lines[i].empty() ? std::nullopt : std::optional(lines[i]);
        });
        if (loop) {
            require(loop->start >= 0 && loop->stop > loop->start);
            import(loop->start, loop->stop);
        }
#elif defined(FUZZ_SMPL)
        // A short mono WAVE file whose smpl chunk holds the input.
        std::string wave = "RIFF____WAVEfmt ";
        const std::uint8_t fmt[] = {16, 0, 0, 0, 1, 0, 1, 0, 0x44, 0xAC, 0, 0,
                                    0x88, 0x58, 1, 0, 2, 0, 16, 0};
        wave.append(reinterpret_cast<const char*>(fmt), sizeof fmt);
        wave += std::string("data\x08\0\0\0", 8) + std::string(8, '\0') + "smpl";
        for (int i = 0; i < 4; ++i)
            wave += static_cast<char>((size >> (8 * i)) & 0xFF);
        wave.append(text);
        const std::uint32_t riff = static_cast<std::uint32_t>(wave.size() - 8);
        for (int i = 0; i < 4; ++i)
            wave[4 + i] = static_cast<char>((riff >> (8 * i)) & 0xFF);
        const int fd = ::memfd_create("smpl", MFD_CLOEXEC);
        require(fd >= 0 && ::write(fd, wave.data(), wave.size()) == static_cast<ssize_t>(wave.size()));
        try {
            if (const auto loop =
                    kestrin::audio::ReadInstrumentLoop("/proc/self/fd/" + std::to_string(fd)))
                import(loop->start, loop->stop);
        } catch (const std::runtime_error&) {
        }
        ::close(fd);
#elif defined(FUZZ_ARGUMENTS)
        using namespace kestrin::cli;
        try {
            (void)ParsePositionArgument(text);
        } catch (const ArgumentError&) {
        } catch (const kestrin::OverflowError&) {
        }
        try {
            const double d = ParseDurationArgument(text);
            require(std::isfinite(d) && d >= 0);
        } catch (const ArgumentError&) {
        }
        const double clock = ParseClockDurationArgument(text);
        require(std::isfinite(clock) && clock >= 0);
#else
#error "define the parser to fuzz"
#endif
    } catch (const kestrin::LoopTextError&) {
#if defined(FUZZ_ARGUMENTS)
    } catch (const kestrin::cli::ArgumentError&) {
#endif
    }
    return 0;
}
