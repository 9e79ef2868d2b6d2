// SPDX-License-Identifier: GPL-3.0-or-later
// The loop finder on stereo 44.1 kHz tracks of 1, 3 and 10 minutes, each
// beside just reading the same file, so that the search's own cost and its
// growth with the length show. A 3-minute track has to be searched at 500
// times real time or more: under 0.36 s with the reading.
#include "audio/exact/loop_finder.h"
#include "tests/loop_corpus.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <filesystem>
#include <map>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace kestrin::testing_support;

// An intro of 7 s, then the loop twice, as 16-bit WAVE; made once per length.
const fs::path& trackOf(int minutes) {
    static std::map<int, fs::path> made;
    auto it = made.find(minutes);
    if (it != made.end())
        return it->second;
    const fs::path path =
        fs::temp_directory_path() / ("kestrin-loopbench-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(minutes) + ".wav");
    TrackSpec shape;
    shape.introFrames = 7 * 44100;
    shape.loopFrames = (std::int64_t{minutes} * 60 * 44100 - shape.introFrames) / 2;
    WriteTrack(RenderTrack(shape), path, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    return made.emplace(minutes, path).first->second;
}

void setCounters(benchmark::State& state, int minutes) {
    // Seconds of audio per second of work: the real-time factor.
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(minutes) * 60 *
                                                          static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}

void BM_ReadOnly(benchmark::State& state) {
    const int minutes = static_cast<int>(state.range(0));
    const fs::path& file = trackOf(minutes);
    for (auto _ : state)
        benchmark::DoNotOptimize(kestrin::audio::ReadAudioSamples(file));
    setCounters(state, minutes);
}

void BM_ReadAndFindLoops(benchmark::State& state) {
    const int minutes = static_cast<int>(state.range(0));
    const fs::path& file = trackOf(minutes);
    for (auto _ : state) {
        const kestrin::audio::LoopSearch found = kestrin::audio::FindLoops(file);
        if (found.candidates.empty())
            state.SkipWithError("no loop found");
        benchmark::DoNotOptimize(found);
    }
    setCounters(state, minutes);
}

BENCHMARK(BM_ReadOnly)->Arg(1)->Arg(3)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndFindLoops)->Arg(1)->Arg(3)->Arg(10)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (int minutes : {1, 3, 10})
        fs::remove(fs::temp_directory_path() / ("kestrin-loopbench-" + std::to_string(::getpid()) +
                                                "-" + std::to_string(minutes) + ".wav"));
    return 0;
}
