// SPDX-License-Identifier: GPL-3.0-or-later
// The musical loop search on a generated 3-minute stereo song (verse and
// chorus played again five times), beside the exact search on the same
// track as its baseline. The whole of find on a song (read, exact search,
// musical search) has to run at 100 times real time or more: under 1.8 s.
// The stages' seconds are reported as counters. And kestrin-pos find as a
// whole process on 25-minute songs (played again, and through-composed,
// where the musical search runs over the whole track and finds nothing)
// beside the 3-minute song: its peak memory (the child's ru_maxrss, which
// has to stay under 300 MB for any length) and its real-time factor.
#include "audio/exact/loop_finder.h"
#include "audio/musical/musical_loops.h"
#include "audio/search/loop_search.h"
#include "bench/find_process.h"
#include "tests/loop_corpus.h"
#include "tests/song_corpus.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace kestrin::audio;
using namespace kestrin::testing_support;

// 120 beats per minute, 2 bars of intro, 5 passes of 16 bars, 2 of outro:
// 3 minutes and 1.5 s of tail.
SongShape songShape() {
    SongShape shape;
    shape.beatsPerMinute = 120;
    shape.passes = 5;
    shape.introBars = 3;
    shape.outroBars = 6;
    return shape;
}

const kestrin::audio::AudioSamples& song() {
    static const AudioSamples audio = RenderSong(songShape()).audio;
    return audio;
}

// Renders `shape` into a 16-bit WAVE at `path` in a child process: a
// process started later from this one starts with this one's peak memory
// counted as its own (ru_maxrss carries over an exec), so this one never
// holds a long song.
void writeSong(const SongShape& shape, const fs::path& path) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            Track track;
            track.samples = RenderSong(shape).audio.samples;
            WriteTrack(track, path, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("cannot write the song " + path.string());
}

const fs::path& songFile() {
    static const fs::path path = [] {
        const fs::path p = fs::temp_directory_path() /
                           ("kestrin-musicalbench-" + std::to_string(::getpid()) + ".wav");
        writeSong(songShape(), p);
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
    // Rendered here, untimed, once the processes have run.
    (void)song();
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

// A scratch folder of this run, removed at the end.
const fs::path& scratch() {
    static const fs::path dir =
        fs::temp_directory_path() / ("kestrin-musicalbench-" + std::to_string(::getpid()));
    return dir;
}

// A 16-bit stereo WAVE of a song of about `minutes` at 120 beats per minute
// (a pass of verse and chorus lasts 32 s), played again pass after pass or
// through-composed. Made once per shape.
const fs::path& longSong(int minutes, bool through) {
    static std::map<std::pair<int, bool>, fs::path> made;
    if (auto it = made.find({minutes, through}); it != made.end())
        return it->second;
    fs::create_directories(scratch());
    const fs::path path = scratch() / ("song-" + std::to_string(minutes) +
                                       (through ? "-through" : "-again") + ".wav");
    SongShape shape;
    shape.beatsPerMinute = 120;
    shape.passes = minutes * 60 / 32;
    shape.throughComposed = through;
    shape.seed = through ? 21 : 22;
    // The tuning drifts a few cents over the song, as in the tests' songs
    // of two passes, not a few cents per pass (two semitones by the end).
    shape.driftCents = 4.0 / shape.passes;
    writeSong(shape, path);
    return made.emplace(std::pair{minutes, through}, path).first->second;
}

// Arguments: the song's minutes and 1 for through-composed.
void BM_FindProcess(benchmark::State& state) {
    const int minutes = static_cast<int>(state.range(0));
    const bool through = state.range(1) != 0;
    const fs::path& file = minutes == 3 && !through ? songFile() : longSong(minutes, through);
    SF_INFO info{};
    SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
    if (sound)
        sf_close(sound);
    const double seconds = static_cast<double>(info.frames) / 44100.0;
    double peak = 0.0;
    bool found = false;
    for (auto _ : state) {
        const kestrin::bench::FindProcess run = kestrin::bench::RunFind(file);
        found = run.exitStatus == 0;
        // 1 is a search that found no natural loop.
        if (run.exitStatus != 0 && run.exitStatus != 1) {
            state.SkipWithError("kestrin-pos find failed");
            break;
        }
        state.SetIterationTime(run.seconds);
        peak = std::max(peak, static_cast<double>(run.usage.ru_maxrss) / 1024.0);
    }
    state.counters["peak_MB"] = peak;
    state.counters["audio_s"] = seconds;
    // 1 where find offered a loop: the songs played again have one, the
    // through-composed none.
    state.counters["loop"] = found ? 1 : 0;
    state.counters["x_realtime"] = benchmark::Counter(
        seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// First, while this process holds no song in memory.
BENCHMARK(BM_FindProcess)
    ->Args({3, 0})
    ->Args({25, 0})
    ->Args({25, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_ExactSearch)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MusicalSearch)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadAndFindAny)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Rendered and written before any timing.
    (void)songFile();
    (void)longSong(25, false);
    (void)longSong(25, true);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove(songFile(), ignored);
    fs::remove_all(scratch(), ignored);
    return 0;
}
