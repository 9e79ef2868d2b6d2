// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: any byte string as a sound file, through what `find` and
// `check` do with one. An AudioError is the answer for a file that cannot be
// used; any other exception, a sanitizer report or a hang is a fault.
#include "audio/exact/loop_finder.h"
#include "audio/judge/seam_measure.h"
#include "audio/musical/musical_loops.h"
#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "audio/search/loop_search.h"
#include "core/loop_problems.h"
#include "core/seam_figures.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace kestrin;
using namespace kestrin::audio;

namespace {

// The reading layer takes only paths, so each input becomes one file in a
// folder of this process's own, removed when the process ends.
const fs::path& inputFile() {
    // Never destroyed, so that the exit handler still has its name.
    static const fs::path* const file = [] {
        std::string pattern = (fs::temp_directory_path() / "kestrin-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(inputFile().parent_path(), ec);
        });
        return new fs::path(fs::path(pattern) / "input");
    }();
    return *file;
}

// Length is not what fuzzing explores: past this, only the seam is measured.
// A few bytes of some formats (SDS) give tens of thousands of frames of a
// short period, on which the search judges many seams: well under a second
// optimised, over ten under the sanitizers.
constexpr std::int64_t kSearchLimit = 1 << 15;

// As find does: exact loops through windowed reads (a lossy file through its
// scratch copy), then musical ones from the whole track.
void findLoops(const fs::path& file) {
    AudioReader reader(file);
    const std::int64_t frames = reader.info().frames;
    if (frames > kSearchLimit)
        return;
    LoopSearchOptions options;
    options.maxCandidates = 2;
    // Shorter than find's two seconds, so that the few thousand frames of a
    // seed hold loops to follow; shorter still, the search tries so many
    // lags that one input takes seconds under the sanitizers.
    options.minLoopFrames = std::max<std::int64_t>(256, reader.info().sampleRate / 2);
    for (const LoopCandidate& c : FindAnyLoops(reader, options).candidates)
        if (c.start < 0 || c.stop <= c.start || c.stop > frames)
            std::abort();
}

void checkSeams(const fs::path& file, std::uint32_t salt) {
    AudioReader reader(file);
    (void)reader.lengthProblem();
    const AudioInfo& info = reader.info();
    // Positions come from a POS file's 32-bit fields.
    const std::int64_t n = std::min<std::int64_t>(info.frames, INT32_MAX - 1);
    (void)SampleRateProblem(info.sampleRate);
    const std::int64_t some =
        n > 0 ? static_cast<std::int64_t>(salt % static_cast<std::uint64_t>(n)) : 0;
    const std::pair<std::int64_t, std::int64_t> loops[] = {
        {0, n}, {n / 2, n}, {n - 1 - some % 64, n}, {0, n + 1}, {some, some + 1 + n / 3},
    };
    for (const auto& [start, stop] : loops) {
        (void)StopBeyondAudioProblem(static_cast<std::int32_t>(stop), info.frames);
        if (const std::optional<SeamFigures> seam = MeasureSeam(reader, start, stop)) {
            (void)SeamVerdict(*seam);
            (void)SeamProblem(*seam, stop, info.sampleRate);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path& file = inputFile();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out)
            std::abort();
    }
    std::uint32_t salt = 2166136261u;
    for (std::size_t i = 0; i < size && i < 64; ++i)
        salt = (salt ^ data[size - 1 - i]) * 16777619u;
    try {
        findLoops(file);
    } catch (const AudioError&) {
    }
    try {
        checkSeams(file, salt);
    } catch (const AudioError&) {
    }
    return 0;
}
