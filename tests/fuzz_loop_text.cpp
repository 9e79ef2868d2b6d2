// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer targets, one per build (scripts/fuzz defines FUZZ_LABELS,
// FUZZ_PLAYLISTS, FUZZ_COMMENTS, FUZZ_SMPL or FUZZ_ARGUMENTS), for every
// parser of a loop another tool wrote: bytes may be refused, never crash, and
// what import accepts is a loop.
#include "audio/render/loop_interchange.h"
#include "cli/position_argument.h"
#include "core/loop_formats.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>

#include <sys/mman.h>
#include <unistd.h>

using namespace kestrin;

#define require(holds) (holds) ? void() : std::abort()

// What import writes, or LoopTextError.
static void import(std::int64_t start, std::int64_t stop) {
    const PosValues v = ImportedLoop(start, stop, 44100);
    require(v.start == start && v.stop == stop && v.stop > v.start);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string quoted = QuotedExcerpt(text);
    require(quoted.size() <= 80 * 4 + 5 && quoted.find('\0') == std::string::npos);
    try {
#if defined(FUZZ_LABELS)
        const PosValues loop = ParseLabels(text);
        import(loop.start, loop.stop);
#elif defined(FUZZ_PLAYLISTS)
        const TxtpLoop loop = ParseTxtp(text);
        require(loop.start >= 0 && loop.stop.value_or(0) >= 0);
        import(loop.start, loop.stop.value_or(0));
#elif defined(FUZZ_COMMENTS)
        std::map<std::string, std::string> comments; // "KEY=VALUE" lines
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            if (const auto eq = line.find('='); eq != std::string::npos)
                comments.emplace(line.substr(0, eq), line.substr(eq + 1));
        const auto loop = ParseLoopComments([&](const char* key) -> std::optional<std::string> {
            const auto it = comments.find(key);
            return it == comments.end() ? std::nullopt : std::optional(it->second);
        });
        require(!loop || (loop->start >= 0 && loop->stop > loop->start));
#elif defined(FUZZ_SMPL)
        // A mono WAVE file of 4 frames whose smpl chunk holds the input.
        const std::uint32_t n = static_cast<std::uint32_t>(size), riff = 4 + 24 + 16 + 8 + n;
        std::string wave =
            "RIFF" + std::string(reinterpret_cast<const char*>(&riff), 4) +
            std::string("WAVEfmt \x10\0\0\0\1\0\1\0\x44\xAC\0\0\x88\x58\1\0\2\0\x10\0"
                        "data\x08\0\0\0\0\0\0\0\0\0\0\0smpl",
                        48) +
            std::string(reinterpret_cast<const char*>(&n), 4) + text;
        const int fd = ::memfd_create("smpl", MFD_CLOEXEC);
        require(fd >= 0 && ::write(fd, wave.data(), wave.size()) == ssize_t(wave.size()));
        try {
            if (const auto loop = audio::ReadInstrumentLoop("/proc/self/fd/" + std::to_string(fd)))
                import(loop->start, loop->stop);
        } catch (const std::runtime_error&) {
        }
        ::close(fd);
#elif defined(FUZZ_ARGUMENTS)
        try {
            (void)cli::ParsePositionArgument(text);
        } catch (const std::exception&) {
        }
        const double seconds = cli::ParseClockDurationArgument(text);
        require(std::isfinite(seconds) && seconds >= 0);
#endif
    } catch (const LoopTextError&) {
    } catch (const cli::ArgumentError&) {
    }
    return 0;
}
