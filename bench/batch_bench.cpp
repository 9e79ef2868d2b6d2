// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos find over 200 one-minute generated tracks, one file at a time
// (-j 1) and two side by side (-j 2) in the same run: the wall time of each,
// the speed-up of -j 2 over -j 1 (1.8 or more wanted on two cores) and the
// peak memory of the whole process (the child's ru_maxrss), which files side
// by side must keep within the 300 MB a single search keeps to. On a machine
// busy with other work the speed-up falls short of the cores: "load" says
// how busy it was.
#include "bench/find_process.h"
#include "tests/loop_corpus.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace kestrin::testing_support;

// As many files as a game's soundtrack has, and more.
constexpr int kFiles = 200;
// Tracks rendered: the others are copies, so that writing them takes seconds,
// not minutes; the search does not know that it has seen a file before.
constexpr int kRendered = 8;

// The 200 files, kept in $KESTRIN_BENCH_TRACKS from run to run when set,
// else in a folder of their own.
const std::vector<std::string>& tracks() {
    static const std::vector<std::string> paths = [] {
        const char* kept = std::getenv("KESTRIN_BENCH_TRACKS");
        const fs::path dir =
            (kept && *kept ? fs::path(kept) : fs::temp_directory_path()) / "kestrin-batch-bench";
        fs::create_directories(dir);
        std::vector<std::string> names;
        for (int i = 0; i < kFiles; ++i) {
            const fs::path path = dir / ("track" + std::to_string(i) + ".wav");
            names.push_back(path.string());
            if (fs::exists(path))
                continue;
            if (i >= kRendered) {
                fs::copy_file(names[static_cast<std::size_t>(i % kRendered)], path);
                continue;
            }
            // 5 s of intro and a 27.5 s loop played twice: one minute.
            TrackSpec track = shape(LoopLayout::Repeated, 2);
            track.introFrames = 5 * 44100;
            track.loopFrames = 27 * 44100 + 22050;
            track.seed = static_cast<unsigned>(i + 1);
            WriteTrack(RenderTrack(track), path, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        }
        return names;
    }();
    return paths;
}

double g_oneJobSeconds = 0.0;

void BM_FindOverAFolder(benchmark::State& state) {
    const std::string jobs = std::to_string(state.range(0));
    std::vector<std::string> args{"find", "-q", "-j", jobs};
    args.insert(args.end(), tracks().begin(), tracks().end());
    for (auto _ : state) {
        const kestrin::bench::FindProcess run = kestrin::bench::RunPosProcess(args);
        if (run.exitStatus != 0) {
            state.SkipWithError("find failed on a generated track");
            return;
        }
        state.SetIterationTime(run.seconds);
        state.counters["wall_s"] = run.seconds;
        state.counters["peak_MB"] = static_cast<double>(run.usage.ru_maxrss) / 1024.0;
        state.counters["files_per_s"] = kFiles / run.seconds;
        // The processor time, and the load of the machine shared with other
        // work, which caps what a second job can gain.
        const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        state.counters["cpu_s"] = seconds(run.usage.ru_utime) + seconds(run.usage.ru_stime);
        double load = 0;
        std::ifstream("/proc/loadavg") >> load;
        state.counters["load"] = load;
        if (state.range(0) == 1)
            g_oneJobSeconds = run.seconds;
        else if (g_oneJobSeconds > 0)
            state.counters["speedup"] = g_oneJobSeconds / run.seconds;
    }
}
// -j 1 first: -j 2 is measured against it.
BENCHMARK(BM_FindOverAFolder)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
