// SPDX-License-Identifier: GPL-3.0-or-later
// Where the beats land: our tracker (onset strength and dynamic programming
// on FFTW, the musical search's steps 1 to 3) beside aubio's tempo tracker,
// on the generated songs of the musical loop tests, against the beats the
// songs were rendered on. Counters: f70, the F-measure of beats found within
// 70 ms of a true one (the usual tolerance of beat tracking evaluations);
// f25, the same within 25 ms; off_ms, the mean distance of those within 70
// ms; bias_ms, their mean signed distance (late is positive); and the time
// of each on the same songs.
#include "audio/musical/musical_loops.h"
#include "tests/song_corpus.h"

#include <aubio/aubio.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using namespace kestrin::audio;
using namespace kestrin::testing_support;

struct Rendered {
    Song song;
    std::vector<double> truth; // frames of the nominal beats under drums
};

// The songs of the musical loop tests: played again, a Vorbis row's shape,
// and two through-composed.
const std::vector<Rendered>& songs() {
    static const std::vector<Rendered> all = [] {
        struct Row {
            double bpm;
            int intro;
            int passes;
            unsigned seed;
            bool through;
        };
        const Row rows[] = {{112, 2, 2, 1, false}, {96, 4, 2, 2, false}, {128, 1, 3, 3, false},
                            {104, 2, 2, 6, false}, {112, 2, 2, 4, true}, {100, 2, 2, 5, true}};
        std::vector<Rendered> out;
        for (const Row& row : rows) {
            SongShape shape;
            shape.beatsPerMinute = row.bpm;
            shape.introBars = row.intro;
            shape.passes = row.passes;
            shape.seed = row.seed;
            shape.throughComposed = row.through;
            Rendered r;
            r.song = RenderSong(shape);
            const int drumBars =
                shape.introBars + shape.passes * (shape.verseBars + shape.chorusBars);
            for (int b = 0; b < 4 * drumBars; ++b)
                r.truth.push_back(b * r.song.samplesPerBeat);
            out.push_back(std::move(r));
        }
        return out;
    }();
    return all;
}

struct Placement {
    double hits70 = 0, hits25 = 0, found = 0, truths = 0, offset = 0, bias = 0;
};

// Adds how well `found` (frames) places the beats of `truth`. Beats found
// after the last true one and its tolerance (the fading outro) are left out.
void score(const std::vector<double>& truth, const std::vector<std::int64_t>& found, Placement& p) {
    constexpr double tol70 = 0.070 * 44100;
    constexpr double tol25 = 0.025 * 44100;
    p.truths += static_cast<double>(truth.size());
    for (const std::int64_t f : found) {
        if (static_cast<double>(f) > truth.back() + tol70)
            continue;
        ++p.found;
        const auto it = std::lower_bound(truth.begin(), truth.end(), static_cast<double>(f));
        double late = -1e300; // found less the nearest true beat
        if (it != truth.end())
            late = static_cast<double>(f) - *it;
        if (it != truth.begin() && static_cast<double>(f) - *(it - 1) < -late)
            late = static_cast<double>(f) - *(it - 1);
        const double d = std::abs(late);
        if (d <= tol70) {
            ++p.hits70;
            p.offset += d;
            p.bias += late;
        }
        if (d <= tol25)
            ++p.hits25;
    }
}

void report(benchmark::State& state, const Placement& p) {
    auto f = [&](double hits) {
        const double precision = hits / std::max(1.0, p.found);
        const double recall = std::min(1.0, hits / std::max(1.0, p.truths));
        return precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0.0;
    };
    state.counters["f70"] = f(p.hits70);
    state.counters["f25"] = f(p.hits25);
    state.counters["off_ms"] = 1000.0 * p.offset / std::max(1.0, p.hits70) / 44100;
    state.counters["bias_ms"] = 1000.0 * p.bias / std::max(1.0, p.hits70) / 44100;
}

// aubio's tempo tracker ("default" onset method, 1024-sample window, hop of
// 512 as ours) on the channels' mean.
std::vector<std::int64_t> aubioBeats(const AudioSamples& audio) {
    constexpr uint_t hop = 512;
    aubio_tempo_t* tempo =
        new_aubio_tempo("default", 1024, hop, static_cast<uint_t>(audio.sampleRate));
    fvec_t* in = new_fvec(hop);
    fvec_t* out = new_fvec(1);
    std::vector<std::int64_t> beats;
    const auto ch = static_cast<std::size_t>(audio.channels);
    const auto frames = static_cast<std::size_t>(audio.frames());
    for (std::size_t t = 0; t + hop <= frames; t += hop) {
        for (std::size_t k = 0; k < hop; ++k) {
            float sum = 0;
            for (std::size_t c = 0; c < ch; ++c)
                sum += audio.samples[(t + k) * ch + c];
            in->data[k] = sum / static_cast<float>(ch);
        }
        aubio_tempo_do(tempo, in, out);
        if (out->data[0] != 0)
            beats.push_back(static_cast<std::int64_t>(aubio_tempo_get_last(tempo)));
    }
    del_fvec(out);
    del_fvec(in);
    del_aubio_tempo(tempo);
    return beats;
}

void BM_BeatsOurs(benchmark::State& state) {
    Placement p;
    for (auto _ : state) {
        p = {};
        for (const Rendered& r : songs())
            score(r.truth, FindBeats(r.song.audio), p);
    }
    report(state, p);
}

void BM_BeatsAubio(benchmark::State& state) {
    Placement p;
    for (auto _ : state) {
        p = {};
        for (const Rendered& r : songs())
            score(r.truth, aubioBeats(r.song.audio), p);
    }
    report(state, p);
}

BENCHMARK(BM_BeatsOurs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BeatsAubio)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    (void)songs(); // rendered before any timing
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    aubio_cleanup();
    return 0;
}
