// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos find as a whole process on a 2-hour 44.1 kHz stereo WAVE and
// on the same as Ogg Vorbis, each beside the same on 30 seconds: its peak
// memory (the child's ru_maxrss), its time and its real-time factor. The
// search reads the file through once (a lossy one decoded into a scratch
// file) and then only in windows, so two hours have to stay under 300 MB.
// The commands that measure a seam, on a long ADPCM WAVE, beside check.
// And how soon a search stops once it is cancelled: at several moments of a
// 10-minute search, and the longest wait between two questions whether to go
// on over a whole search of the 2-hour WAVE.
#include "audio/exact/loop_finder.h"
#include "bench/find_process.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int kRate = 44100;

// $KESTRIN_BENCH_TRACKS, where the tracks are kept from run to run (a
// 2-hour Ogg takes minutes to encode), so that builds compare on the same
// files.
const char* keptTracks() {
    const char* dir = std::getenv("KESTRIN_BENCH_TRACKS");
    return dir && *dir ? dir : nullptr;
}

// A scratch folder of this run, removed at the end, or the kept tracks'.
const fs::path& scratch() {
    static const fs::path dir =
        keptTracks()
            ? fs::path(keptTracks())
            : fs::temp_directory_path() / ("kestrin-findmembench-" + std::to_string(::getpid()));
    return dir;
}

// A phrase of 7.3 s: three notes a beat over a bed of noise, each beat
// decaying. Made once; the track repeats it after an intro of its own.
std::vector<short> phrase(std::uint32_t seed, std::int64_t frames) {
    std::vector<short> out(static_cast<std::size_t>(frames) * 2);
    std::uint32_t state = seed;
    auto noise = [&] {
        state = state * 1664525U + 1013904223U;
        return static_cast<double>(state >> 8) / static_cast<double>(1U << 24) - 0.5;
    };
    const double notes[] = {220.0, 277.2, 329.6, 392.0, 440.0, 493.9};
    const std::int64_t beat = kRate / 4;
    for (std::int64_t t = 0; t < frames; ++t) {
        const std::int64_t b = t / beat;
        const double decay = std::exp(-3.0 * static_cast<double>(t % beat) / beat);
        const double f = notes[static_cast<std::size_t>((b * 7 + seed) % 6)];
        const double tone = 0.35 * decay * std::sin(2 * M_PI * f * static_cast<double>(t) / kRate);
        for (int c = 0; c < 2; ++c) {
            const double v = tone * (c == 0 ? 1.0 : 0.8) + 0.05 * noise();
            out[static_cast<std::size_t>(t * 2 + c)] = static_cast<short>(std::lround(v * 32767));
        }
    }
    return out;
}

constexpr int kWave = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kVorbis = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
// A WAVE file whose codec cannot seek to the sample, as a POS file's audio.
constexpr int kAdpcm = SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM;

// A stereo track of `seconds` in `format` (kWave or kVorbis): an intro of
// 3 s, then the phrase over and over, the last one cut where the track ends.
// Made once per length and format.
const fs::path& trackOf(std::int64_t seconds, int format = kWave) {
    static std::map<std::pair<std::int64_t, int>, fs::path> made;
    if (auto it = made.find({seconds, format}); it != made.end())
        return it->second;
    fs::create_directories(scratch());
    const fs::path path = scratch() / ("track-" + std::to_string(seconds) +
                                       (format == kVorbis  ? ".ogg"
                                        : format == kAdpcm ? "-adpcm.wav"
                                                           : ".wav"));
    if (keptTracks() && fs::exists(path))
        return made.emplace(std::pair{seconds, format}, path).first->second;
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = format;
    // Written under another name first: a run stopped half-way leaves no
    // kept track cut short.
    const fs::path partial = path.string() + ".part";
    SNDFILE* file = sf_open(partial.c_str(), SFM_WRITE, &info);
    if (!file)
        throw std::runtime_error("cannot write " + path.string() + ": " + sf_strerror(nullptr));
    const std::vector<short> intro = phrase(7, 3 * kRate);
    const std::vector<short> loop = phrase(11, 73 * kRate / 10);
    std::int64_t left = seconds * kRate;
    auto write = [&](const std::vector<short>& part) {
        const std::int64_t n =
            std::min<std::int64_t>(left, static_cast<std::int64_t>(part.size() / 2));
        sf_writef_short(file, part.data(), n);
        left -= n;
    };
    write(intro);
    while (left > 0)
        write(loop);
    sf_close(file);
    fs::rename(partial, path);
    return made.emplace(std::pair{seconds, format}, path).first->second;
}

double secondsOf(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// The argument is the track's length in seconds.
template <int Format> void BM_FindProcess(benchmark::State& state) {
    const std::int64_t seconds = state.range(0);
    const fs::path& file = trackOf(seconds, Format);
    double peak = 0.0;
    double cpu = 0.0;
    for (auto _ : state) {
        const kestrin::bench::FindProcess run = kestrin::bench::RunFind(file);
        if (run.exitStatus != 0) {
            state.SkipWithError("kestrin-pos find failed");
            break;
        }
        state.SetIterationTime(run.seconds);
        peak = std::max(peak, static_cast<double>(run.usage.ru_maxrss) / 1024.0);
        cpu += secondsOf(run.usage.ru_utime) + secondsOf(run.usage.ru_stime);
    }
    state.counters["peak_MB"] = peak;
    state.counters["cpu_s"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
    // Seconds of audio per second of the process: the real-time factor.
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(seconds) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FindProcess<kWave>)
    ->Name("BM_FindProcess/wave")
    ->Arg(30)
    ->Arg(2 * 60 * 60)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_FindProcess<kVorbis>)
    ->Name("BM_FindProcess/vorbis")
    ->Arg(30)
    ->Arg(2 * 60 * 60)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// The commands that measure a seam as whole processes, on an ADPCM WAVE
// whose loop stops 10 minutes in: check, the baseline, then set --stop
// seamless and render --crossfade. A lossy file seeks by decoding from its
// start, and each keeps what it decodes in a scratch file, so that its peak
// memory stays near check's wherever the loop lies.
void BM_LossySeamProcess(benchmark::State& state) {
    const fs::path& audio = trackOf(11 * 60, kAdpcm);
    const fs::path pos = fs::path(audio).replace_extension(".pos");
    const std::int32_t loop[2] = {3 * kRate, 600 * kRate + 123};
    std::FILE* f = std::fopen(pos.c_str(), "wb");
    if (!f || std::fwrite(loop, sizeof loop, 1, f) != 1 || std::fclose(f) != 0) {
        state.SkipWithError("cannot write the POS file");
        return;
    }
    const fs::path out = scratch() / "crossfaded.wav";
    const std::vector<std::vector<std::string>> commands = {
        {"check", pos.string()},
        {"set", "--dry-run", "--stop", "seamless", pos.string()},
        {"render", pos.string(), "--crossfade", "0.05", "-o", out.string(), "--force"}};
    const std::vector<std::string>& args = commands[static_cast<std::size_t>(state.range(0))];
    double peak = 0.0;
    for (auto _ : state) {
        const kestrin::bench::FindProcess run = kestrin::bench::RunPosProcess(args);
        // check's exit status says whether it found a problem.
        if (run.exitStatus < 0 || (run.exitStatus != 0 && args[0] != "check")) {
            state.SkipWithError(("kestrin-pos " + args[0] + " failed").c_str());
            break;
        }
        state.SetIterationTime(run.seconds);
        peak = std::max(peak, static_cast<double>(run.usage.ru_maxrss) / 1024.0);
    }
    state.SetLabel(args[0]);
    state.counters["peak_MB"] = peak;
    std::error_code ignored;
    fs::remove(out, ignored);
}
BENCHMARK(BM_LossySeamProcess)
    ->DenseRange(0, 2)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// A search of `file` that asks `goOn` whether to go on; whether it was
// cancelled, and when it returned.
struct Search {
    bool cancelled = false;
    std::chrono::steady_clock::time_point returned;
};

Search search(const fs::path& file, const std::atomic<bool>& goOn) {
    Search s;
    s.cancelled =
        kestrin::audio::FindLoops(file, {}, [&](double) { return goOn.load(); }).cancelled;
    s.returned = std::chrono::steady_clock::now();
    return s;
}

// The 10-minute search left to finish, once: the moments of the cancels
// below are shares of it.
std::chrono::duration<double> wholeSearch() {
    static const std::chrono::duration<double> whole = [] {
        const fs::path& file = trackOf(10 * 60);
        const std::atomic<bool> goOn{true};
        const auto begin = std::chrono::steady_clock::now();
        return search(file, goOn).returned - begin;
    }();
    return whole;
}

// From a cancel to the search's return, for a cancel `state.range(0)`
// percent into a search of a 10-minute file; 0 is the search left to
// finish, the baseline.
void BM_CancelLatency(benchmark::State& state) {
    const fs::path& file = trackOf(10 * 60);
    const double share = static_cast<double>(state.range(0)) / 100.0;
    const auto after =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(wholeSearch() * share);
    double worst = 0.0;
    double sum = 0.0;
    for (auto _ : state) {
        std::atomic<bool> goOn{true};
        Search done;
        const auto begin = std::chrono::steady_clock::now();
        std::thread worker([&] { done = search(file, goOn); });
        auto cancelAt = begin;
        if (share > 0) {
            std::this_thread::sleep_until(begin + after);
            cancelAt = std::chrono::steady_clock::now();
            goOn = false;
        }
        worker.join();
        if (share > 0 && !done.cancelled) {
            state.SkipWithError("the search finished before it was cancelled");
            break;
        }
        const double ms =
            std::chrono::duration<double, std::milli>(done.returned - cancelAt).count();
        state.SetIterationTime(ms / 1000.0);
        worst = std::max(worst, ms);
        sum += ms;
    }
    state.counters["worst_ms"] = worst;
    state.counters["mean_ms"] =
        sum / static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
}
BENCHMARK(BM_CancelLatency)
    ->Arg(0)
    ->Arg(5)
    ->Arg(25)
    ->Arg(50)
    ->Arg(75)
    ->Arg(90)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The longest a cancel can wait: over a whole search of a track of
// `state.range(0)` seconds, the longest time between two questions whether
// to go on (or from the last one to the search's end, the file closed). The
// 30-second track is the baseline.
template <int Format> void BM_CancelWorstCase(benchmark::State& state) {
    const fs::path& file = trackOf(state.range(0), Format);
    double worst = 0.0;
    double total = 0.0;
    for (auto _ : state) {
        using Clock = std::chrono::steady_clock;
        const auto begin = Clock::now();
        auto last = begin;
        double longest = 0.0;
        kestrin::audio::FindLoops(file, {}, [&](double) {
            const auto now = Clock::now();
            longest =
                std::max(longest, std::chrono::duration<double, std::milli>(now - last).count());
            last = now;
            return true;
        });
        const auto end = Clock::now();
        longest = std::max(longest, std::chrono::duration<double, std::milli>(end - last).count());
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
        worst = std::max(worst, longest);
        total += std::chrono::duration<double>(end - begin).count();
    }
    state.counters["worst_ms"] = worst;
    state.counters["search_s"] = total;
}
BENCHMARK(BM_CancelWorstCase<kWave>)
    ->Name("BM_CancelWorstCase/wave")
    ->Arg(30)
    ->Arg(2 * 60 * 60)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_CancelWorstCase<kVorbis>)
    ->Name("BM_CancelWorstCase/vorbis")
    ->Arg(30)
    ->Arg(2 * 60 * 60)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    if (!keptTracks())
        fs::remove_all(scratch(), ignored);
    return 0;
}
