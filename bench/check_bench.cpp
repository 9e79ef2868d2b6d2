// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos check over a folder of 1,000 POS/WAVE pairs. It reads headers
// only, so the audio length should not matter.
#include "pos_file.h"
#include "pos_tool.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

fs::path makeFolder(int pairs, int framesEach) {
    const fs::path dir =
        fs::temp_directory_path() /
        ("kestrin-checkbench-" + std::to_string(::getpid()) + "-" + std::to_string(framesEach));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<short> silence(static_cast<std::size_t>(framesEach) * 2);
    for (int i = 0; i < pairs; ++i) {
        const std::string base = "BGM" + std::to_string(1000 + i);
        kestrin::WritePosFile(dir / (base + ".POS"), {0, framesEach / 2});
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((dir / (base + ".WAV")).c_str(), SFM_WRITE, &info);
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

} // namespace

BENCHMARK_MAIN();
