// SPDX-License-Identifier: GPL-3.0-or-later
// The musical loop search on a generated 3-minute stereo song (verse and
// chorus played again five times), beside the exact search on the same
// track as its baseline. The whole of find on a song (read, exact search,
// musical search) has to run at 100 times real time or more: under 1.8 s.
// The stages' seconds are reported as counters.
#include "audio/loop_finder.h"
#include "audio/musical_loops.h"
#include "tests/loop_corpus.h"
#include "tests/song_corpus.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace kestrin::audio;
using namespace kestrin::testing_support;

// 120 beats per minute, 2 bars of intro, 5 passes of 16 bars, 2 of outro:
// 3 minutes and 1.5 s of tail.
const kestrin::audio::AudioSamples& song() {
    static const AudioSamples audio = [] {
        SongShape shape;
        shape.beatsPerMinute = 120;
        shape.passes = 5;
        shape.introBars = 3;
        shape.outroBars = 6;
        return RenderSong(shape).audio;
    }();
    return audio;
}

const fs::path& songFile() {
    static const fs::path path = [] {
        const fs::path p = fs::temp_directory_path() /
                           ("kestrin-musicalbench-" + std::to_string(::getpid()) + ".wav");
        Track track;
        track.samples = song().samples;
        WriteTrack(track, p, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        return p;
    }();
    return path;
}

void realTime(benchmark::State& state) {
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(song().frames()) / song().sampleRate *
                               static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

// Baseline: the exact search on the same decoded song.
void BM_ExactSearch(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(FindLoops(song()));
    realTime(state);
}

void BM_MusicalSearch(benchmark::State& state) {
    MusicalStageSeconds sum;
    for (auto _ : state) {
        const MusicalSearch found = FindMusicalLoops(song());
        if (found.candidates.empty())
            state.SkipWithError("no musical loop found");
        sum.spectra += found.seconds.spectra;
        sum.beats += found.seconds.beats;
        sum.matching += found.seconds.matching;
        sum.refining += found.seconds.refining;
    }
    const auto n = static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
    state.counters["s_spectra"] = sum.spectra / n;
    state.counters["s_beats"] = sum.beats / n;
    state.counters["s_matching"] = sum.matching / n;
    state.counters["s_refining"] = sum.refining / n;
    realTime(state);
}

// What find does for a song: read the file, search exactly, then musically.
void BM_ReadAndFindAny(benchmark::State& state) {
    const fs::path& file = songFile();
    for (auto _ : state) {
        const std::optional<AudioSamples> audio = ReadAudioSamples(file);
        benchmark::DoNotOptimize(FindAnyLoops(*audio, {}));
    }
    realTime(state);
}

BENCHMARK(BM_ExactSearch)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MusicalSearch)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadAndFindAny)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Rendered and written before any timing.
    (void)songFile();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove(songFile(), ignored);
    return 0;
}
