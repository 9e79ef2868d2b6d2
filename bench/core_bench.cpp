// SPDX-License-Identifier: GPL-3.0-or-later
// Text rules and file round trip, each beside the standard-library baseline
// it is measured against in the same run.
#include "core/pos_file.h"
#include "core/positions.h"

#include <benchmark/benchmark.h>

#include <array>
#include <charconv>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const std::vector<double>& sampleValues() {
    static const std::vector<double> values = [] {
        std::vector<double> v;
        for (int i = 0; i < 256; ++i)
            v.push_back((i * 104729 % 26460000) / 44100.0);
        v.push_back(1e20 * 44100.0);
        v.push_back(1 / 44100.0);
        return v;
    }();
    return values;
}

const std::vector<std::string>& sampleTexts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> t;
        for (double v : sampleValues())
            t.push_back(kestrin::FormatNumber(v));
        return t;
    }();
    return texts;
}

void BM_FormatNumber(benchmark::State& state) {
    const auto& values = sampleValues();
    std::size_t i = 0;
    for (auto _ : state) {
        auto text = kestrin::FormatNumber(values[i++ % values.size()]);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_FormatNumber);

void BM_Baseline_ToCharsGeneral15(benchmark::State& state) {
    const auto& values = sampleValues();
    std::size_t i = 0;
    for (auto _ : state) {
        std::array<char, 32> buf{};
        auto res = std::to_chars(buf.data(), buf.data() + buf.size(), values[i++ % values.size()],
                                 std::chars_format::general, 15);
        std::string text(buf.data(), res.ptr);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_Baseline_ToCharsGeneral15);

void BM_ParseNumber(benchmark::State& state) {
    const auto& texts = sampleTexts();
    std::size_t i = 0;
    for (auto _ : state) {
        double v = kestrin::ParseNumber(texts[i++ % texts.size()]);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_ParseNumber);

void BM_Baseline_FromChars(benchmark::State& state) {
    const auto& texts = sampleTexts();
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string& t = texts[i++ % texts.size()];
        double v = 0;
        std::from_chars(t.data(), t.data() + t.size(), v);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_Baseline_FromChars);

void BM_ClockText(benchmark::State& state) {
    std::int32_t p = 0;
    for (auto _ : state) {
        auto text = kestrin::ClockText(p);
        benchmark::DoNotOptimize(text);
        p = (p + 104729) % 26460000;
    }
}
BENCHMARK(BM_ClockText);

void BM_ParseNumber_PastedMegabyte(benchmark::State& state) {
    std::string text(1 << 20, ' ');
    text += "1.5";
    for (auto _ : state)
        benchmark::DoNotOptimize(kestrin::ParseNumber(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseNumber_PastedMegabyte);

void BM_PosFileWriteRead(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("kestrin-bench-" + std::to_string(::getpid()) + ".POS");
    std::int32_t n = 0;
    for (auto _ : state) {
        kestrin::WritePosFile(path, {n, n + 44100});
        auto v = kestrin::ReadPosFile(path);
        benchmark::DoNotOptimize(v);
        ++n;
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_PosFileWriteRead);

} // namespace

BENCHMARK_MAIN();
