// SPDX-License-Identifier: GPL-3.0-or-later
// Extending a 3-minute stereo 16-bit track along its loop to 10 minutes of
// WAVE, beside copying the same number of frames unchanged (the baseline),
// so that the cost of going round the loop and fading shows on its own.
// Crossfading a 3-minute track's seam, its length chosen by the judge,
// beside copying the track.
#include "audio/read/audio_files.h"
#include "audio/read/audio_reader.h"
#include "audio/render/crossfade.h"
#include "audio/render/loop_interchange.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace kestrin::audio;

constexpr std::int64_t kRate = 44100;
constexpr std::int64_t kTrack = 3 * 60 * kRate;
constexpr std::int64_t kOut = 10 * 60 * kRate;

fs::path scratch(const char* name) {
    return fs::temp_directory_path() /
           ("kestrin-renderbench-" + std::to_string(::getpid()) + "-" + name);
}

// A track of noise, `frames` long, made once per length.
const fs::path& track(std::int64_t frames) {
    static std::map<std::int64_t, fs::path> made;
    if (auto it = made.find(frames); it != made.end())
        return it->second;
    const fs::path path = scratch(("in-" + std::to_string(frames) + ".wav").c_str());
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    std::minstd_rand noise(3);
    std::vector<short> block(2 * 65536);
    for (std::int64_t left = frames; left > 0;) {
        const std::int64_t n = std::min<std::int64_t>(left, 65536);
        for (auto& s : block)
            s = static_cast<short>(noise() & 0x3FFF);
        sf_writef_short(f, block.data(), n);
        left -= n;
    }
    sf_close(f);
    return made.emplace(frames, path).first->second;
}

void BM_CopyTenMinutes(benchmark::State& state) {
    const fs::path& in = track(kOut);
    const fs::path out = scratch("copy.wav");
    for (auto _ : state)
        WriteSpliced(in, out, 0, kOut, 0, 0, true);
    fs::remove(out);
}

void BM_ExtendToTenMinutes(benchmark::State& state) {
    const fs::path& in = track(kTrack);
    const fs::path out = scratch("extend.wav");
    ExtendPlan plan;
    plan.start = 7 * kRate;
    plan.stop = kTrack - 10 * kRate;
    plan.frames = kOut;
    plan.fadeFrames = 10 * kRate;
    for (auto _ : state)
        RenderExtended(in, out, plan, true);
    fs::remove(out);
}

// A loop of one frame: the render still goes in whole blocks.
void BM_ExtendOneFrameLoopToTenMinutes(benchmark::State& state) {
    const fs::path& in = track(kTrack);
    const fs::path out = scratch("extend1.wav");
    ExtendPlan plan;
    plan.start = 7 * kRate;
    plan.stop = plan.start + 1;
    plan.frames = kOut;
    for (auto _ : state)
        RenderExtended(in, out, plan, true);
    fs::remove(out);
}

void BM_CopyThreeMinutes(benchmark::State& state) {
    const fs::path& in = track(kTrack);
    const fs::path out = scratch("copy3.wav");
    for (auto _ : state)
        WriteSpliced(in, out, 0, kTrack, 0, 0, true);
    fs::remove(out);
}

// Noise needs one of the longer crossfades, so several lengths are judged.
void BM_CrossfadeThreeMinutes(benchmark::State& state) {
    const fs::path& in = track(kTrack);
    const fs::path out = scratch("crossfade.wav");
    for (auto _ : state) {
        AudioReader reader(in);
        ReaderSource source(reader);
        const auto choice = ChooseCrossfade(source, 7 * kRate, kTrack - 10 * kRate, kRate);
        if (!choice) {
            state.SkipWithError("no crossfade made the seam seamless");
            break;
        }
        WriteCrossfaded(in, out, choice->fade, true);
        state.counters["crossfade_ms"] = 1000.0 * static_cast<double>(choice->fade.frames) / kRate;
    }
    fs::remove(out);
}

BENCHMARK(BM_CopyTenMinutes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExtendToTenMinutes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExtendOneFrameLoopToTenMinutes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyThreeMinutes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrossfadeThreeMinutes)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (std::int64_t frames : {kTrack, kOut})
        fs::remove(track(frames));
    return 0;
}
