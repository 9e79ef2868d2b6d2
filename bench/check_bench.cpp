// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos check over a folder of 1,000 POS/WAVE pairs. It reads headers
// and the frames around each seam only, so the audio length should not
// matter. A second case names every audio file in the wrong case, so that
// each one is found only through the folder's listing, which check reads
// once per folder. A third judges the seams of 3-minute tracks of noise:
// seamless ones, clicks with a seamless stop close by, and clicks that send
// the search through the whole second on each side.
#include "cli/pos_tool.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

fs::path makeFolder(int pairs, int framesEach, const std::string& audioExtension = ".WAV") {
    const fs::path dir =
        fs::temp_directory_path() / ("kestrin-checkbench-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(pairs) + "-" + std::to_string(framesEach));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<short> silence(static_cast<std::size_t>(framesEach) * 2);
    for (int i = 0; i < pairs; ++i) {
        const std::string base = "BGM" + std::to_string(1000 + i);
        // Plain writes: WritePosFile's flush to the device would dominate the set-up.
        const std::uint32_t stop = static_cast<std::uint32_t>(framesEach / 2);
        const char record[8] = {0,
                                0,
                                0,
                                0,
                                static_cast<char>(stop),
                                static_cast<char>(stop >> 8),
                                static_cast<char>(stop >> 16),
                                static_cast<char>(stop >> 24)};
        std::ofstream(dir / (base + ".POS"), std::ios::binary).write(record, sizeof record);
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((dir / (base + audioExtension)).c_str(), SFM_WRITE, &info);
        sf_writef_short(f, silence.data(), framesEach);
        sf_close(f);
    }
    return dir;
}

void BM_CheckThousandPairs(benchmark::State& state) {
    const fs::path dir = makeFolder(1000, static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::ostringstream out;
        std::ostringstream err;
        const int status = kestrin::cli::RunPosTool({"check", "-r", dir.string()}, out, err);
        if (status != 0)
            state.SkipWithError("check reported problems");
        benchmark::DoNotOptimize(out);
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_CheckThousandPairs)->Arg(4410)->Arg(441000)->Unit(benchmark::kMillisecond);

void BM_CheckAudioFoundOnlyIgnoringCase(benchmark::State& state) {
    const fs::path dir = makeFolder(static_cast<int>(state.range(0)), 441, ".wav");
    for (auto _ : state) {
        std::ostringstream out;
        std::ostringstream err;
        // Every file has the one case problem, so the status is 1.
        const int status = kestrin::cli::RunPosTool({"check", "-r", dir.string()}, out, err);
        if (status != 1 || out.str().find(": ok") != std::string::npos)
            state.SkipWithError("check did not report exactly the case problems");
        benchmark::DoNotOptimize(out);
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_CheckAudioFoundOnlyIgnoringCase)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// 1,000 POS files beside hard links to one 3-minute track of stereo noise
// that repeats every 30 s: a third of the stops lie on a repetition, a third
// up to 500 frames after one, a third 2 s after one, out of the search's reach.
fs::path makeSeamFolder() {
    constexpr std::int64_t kFrames = 3 * 60 * 44100;
    constexpr std::int64_t kPeriod = 30 * 44100;
    const fs::path dir =
        fs::temp_directory_path() / ("kestrin-seambench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<short> samples(static_cast<std::size_t>(kFrames) * 2);
    for (std::int64_t n = 0; n < kFrames; ++n)
        for (int c = 0; c < 2; ++c) {
            std::uint32_t x = static_cast<std::uint32_t>(n % kPeriod) * 2654435761u + c * 40503u;
            x ^= x >> 15;
            x *= 0x2c1b3c6du;
            x ^= x >> 12;
            samples[static_cast<std::size_t>(n * 2 + c)] = static_cast<short>(x % 20001) - 10000;
        }
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const fs::path track = dir / "track.data";
    SNDFILE* f = sf_open(track.c_str(), SFM_WRITE, &info);
    sf_writef_short(f, samples.data(), kFrames);
    sf_close(f);
    for (int i = 0; i < 1000; ++i) {
        const std::string base = "BGM" + std::to_string(1000 + i);
        const std::int32_t start = 44100 + (i * 1237) % 441000;
        const std::int32_t stop = static_cast<std::int32_t>(start + kPeriod +
                                                            (i % 3 == 0   ? 0
                                                             : i % 3 == 1 ? 1 + i % 500
                                                                          : 2 * 44100));
        std::ofstream(dir / (base + ".POS"), std::ios::binary)
            .write(reinterpret_cast<const char*>(&start), 4)
            .write(reinterpret_cast<const char*>(&stop), 4);
        fs::create_hard_link(track, dir / (base + ".WAV"));
    }
    return dir;
}

void BM_CheckSeamsOfThousandThreeMinuteTracks(benchmark::State& state) {
    const fs::path dir = makeSeamFolder();
    for (auto _ : state) {
        std::ostringstream out;
        std::ostringstream err;
        const int status = kestrin::cli::RunPosTool({"check", "-r", "-q", dir.string()}, out, err);
        if (status != 1 || out.str().find("666 with problems") == std::string::npos)
            state.SkipWithError("check did not report exactly the clicks");
        benchmark::DoNotOptimize(out);
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_CheckSeamsOfThousandThreeMinuteTracks)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
