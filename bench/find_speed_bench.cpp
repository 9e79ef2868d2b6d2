// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos find as a whole process over 24 one-minute stereo 16-bit
// tracks with an exact loop, each a WAVE with its POS file, (intros of 3 to 14 s, loops played
// twice or three times, music, plucked notes and tones), beside kestrin-pos show on the same files:
// the cost of starting the program and reading a header, which every search pays as well. The
// counter x_realtime is seconds of audio per second of wall time; find has to reach 500.
// With $KESTRIN_POS_BEFORE naming another build's kestrin-pos (main's, say), find also runs
// beside it, the two alternating track by track so that a shared, busy machine slows both
// alike: x_before is the other build's figure and speedup this build's over it.
#include "bench/find_process.h"
#include "tests/loop_corpus.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace kestrin::testing_support;

constexpr int kTracks = 24;
constexpr std::int64_t kTrackFrames = 60 * 44100;

// The tracks, made once; removed when the bench ends.
const std::vector<fs::path>& tracks() {
    static const auto folder =
        fs::temp_directory_path() / ("kestrin-findspeed-" + std::to_string(::getpid()));
    static std::vector<fs::path> made;
    if (!made.empty())
        return made;
    fs::create_directories(folder);
    static const Sound sounds[] = {Sound::Music, Sound::Plucked, Sound::PatternedTone};
    for (int i = 0; i < kTracks; ++i) {
        TrackSpec shape;
        shape.seed = static_cast<unsigned>(i + 1);
        shape.sound = sounds[i % 3];
        shape.repeats = 2 + i % 2;
        shape.introFrames = (3 + i % 12) * std::int64_t{44100};
        shape.loopFrames = (kTrackFrames - shape.introFrames) / shape.repeats;
        const fs::path path = folder / ("track" + std::to_string(i) + ".pos");
        const kestrin::testing_support::Track track = RenderTrack(shape);
        WriteTrack(track, fs::path(path).replace_extension(".wav"),
                   SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        // The loop as the POS file beside the audio holds it: two signed
        // 32-bit little-endian integers.
        const std::int32_t loop[2] = {
            static_cast<std::int32_t>(track.loopStart),
            static_cast<std::int32_t>(track.loopStart + track.loopFrames)};
        std::FILE* pos = std::fopen(path.c_str(), "wb");
        if (!pos || std::fwrite(loop, sizeof loop, 1, pos) != 1 || std::fclose(pos) != 0)
            throw std::runtime_error("cannot write " + path.string());
        made.push_back(path);
    }
    if (!std::getenv("KESTRIN_BENCH_KEEP"))
        std::atexit([] { fs::remove_all(folder); });
    return made;
}

void runAll(benchmark::State& state, const std::string& command) {
    const std::vector<fs::path>& files = tracks();
    double seconds = 0.0;
    for (auto _ : state) {
        for (const fs::path& file : files) {
            const kestrin::bench::FindProcess run = kestrin::bench::RunFind(file, command);
            if (run.exitStatus != 0) {
                state.SkipWithError((command + " failed on " + file.string()).c_str());
                return;
            }
            seconds += run.seconds;
        }
    }
    state.counters["x_realtime"] =
        static_cast<double>(kTracks) * 60.0 * static_cast<double>(state.iterations()) / seconds;
}

void BM_ShowProcesses(benchmark::State& state) {
    runAll(state, "show");
}
void BM_FindProcesses(benchmark::State& state) {
    runAll(state, "find");
}

// find by this build and by the one $KESTRIN_POS_BEFORE names, in turns.
void BM_FindBesideBefore(benchmark::State& state, const std::string& before) {
    const std::vector<fs::path>& files = tracks();
    double seconds = 0.0;
    double beforeSeconds = 0.0;
    for (auto _ : state) {
        for (const fs::path& file : files) {
            const kestrin::bench::FindProcess other = kestrin::bench::RunFind(file, "find", before);
            const kestrin::bench::FindProcess run =
                kestrin::bench::RunFind(file, "find", kestrin::bench::ThisBuildsPosTool());
            if (run.exitStatus != 0 || other.exitStatus != 0) {
                state.SkipWithError(("find failed on " + file.string()).c_str());
                return;
            }
            seconds += run.seconds;
            beforeSeconds += other.seconds;
        }
    }
    const double audio =
        static_cast<double>(kTracks) * 60.0 * static_cast<double>(state.iterations());
    state.counters["x_realtime"] = audio / seconds;
    state.counters["x_before"] = audio / beforeSeconds;
    state.counters["speedup"] = beforeSeconds / seconds;
}

BENCHMARK(BM_ShowProcesses)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FindProcesses)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    if (const char* before = std::getenv("KESTRIN_POS_BEFORE"); before && *before)
        benchmark::RegisterBenchmark("BM_FindBesideBefore", BM_FindBesideBefore,
                                     std::string(before))
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
