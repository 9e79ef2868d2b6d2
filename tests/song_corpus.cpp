// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/song_corpus.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace kestrin::testing_support {

namespace {

constexpr int kRate = 44100;
constexpr double kTwoPi = 2 * std::numbers::pi;

// Semitones above A2 (110 Hz) of the chord roots of each section.
constexpr std::array<int, 8> kVerse = {3, 3, 8, 8, 10, 10, 5, 7};  // C C F F G G D E
constexpr std::array<int, 8> kChorus = {8, 10, 3, 0, 8, 10, 3, 3}; // F G C A F G C C

double hz(double semitones, double cents) {
    return 110.0 * std::pow(2.0, (semitones + cents / 100.0) / 12.0);
}

class Renderer {
public:
    Renderer(std::int64_t frames, unsigned seed) : m_left(frames), m_right(frames), m_rng(seed) {}

    double uniform(double a, double b) {
        return std::uniform_real_distribution<double>(a, b)(m_rng);
    }

    // A tone of a few partials from `at` for `seconds`, decaying.
    void tone(double at, double seconds, double frequency, double level, double pan, double decay) {
        const double phase = uniform(0, kTwoPi);
        const auto first = static_cast<std::int64_t>(at * kRate);
        const auto count = static_cast<std::int64_t>(seconds * kRate);
        for (std::int64_t k = 0; k < count; ++k) {
            const std::int64_t t = first + k;
            if (t < 0 || t >= static_cast<std::int64_t>(m_left.size()))
                continue;
            const double s = static_cast<double>(k) / kRate;
            const double attack = std::min(1.0, s / 0.005);
            const double release = std::min(1.0, (seconds - s) / 0.02);
            const double env = attack * release * std::exp(-s / decay) * level;
            double v = 0;
            for (int p = 1; p <= 4; ++p)
                v += std::sin(kTwoPi * frequency * p * s + phase * p) / (p * p);
            add(t, env * v, pan);
        }
    }

    // A drum: a falling sine (kick), or noise through a one-pole filter.
    void drum(double at, int kind, double level) {
        const auto first = static_cast<std::int64_t>(at * kRate);
        const double length = kind == 0 ? 0.25 : kind == 1 ? 0.18 : 0.05;
        double low = 0;
        double previous = 0;
        std::normal_distribution<double> noise(0, 1);
        for (std::int64_t k = 0; k < static_cast<std::int64_t>(length * kRate); ++k) {
            const std::int64_t t = first + k;
            if (t < 0 || t >= static_cast<std::int64_t>(m_left.size()))
                continue;
            const double s = static_cast<double>(k) / kRate;
            double v = 0;
            if (kind == 0) {
                v = std::sin(kTwoPi * (50 * s + 60 * (1 - std::exp(-s * 30)) / 30)) *
                    std::exp(-s / 0.08);
            } else if (kind == 1) {
                const double n = noise(m_rng);
                low += 0.3 * (n - low);
                v = (0.6 * low + 0.3 * std::sin(kTwoPi * 190 * s)) * std::exp(-s / 0.05);
            } else {
                const double n = noise(m_rng);
                v = 0.4 * (n - previous) * std::exp(-s / 0.012);
                previous = n;
            }
            add(t, level * v, kind == 2 ? 0.3 : 0.0);
        }
    }

    kestrin::audio::AudioSamples finish() {
        kestrin::audio::AudioSamples audio;
        audio.sampleRate = kRate;
        audio.channels = 2;
        double peak = 1e-9;
        for (std::size_t t = 0; t < m_left.size(); ++t)
            peak = std::max({peak, std::abs(m_left[t]), std::abs(m_right[t])});
        audio.samples.resize(m_left.size() * 2);
        for (std::size_t t = 0; t < m_left.size(); ++t) {
            audio.samples[2 * t] = static_cast<float>(0.8 * m_left[t] / peak);
            audio.samples[2 * t + 1] = static_cast<float>(0.8 * m_right[t] / peak);
        }
        return audio;
    }

private:
    void add(std::int64_t t, double v, double pan) {
        m_left[static_cast<std::size_t>(t)] += v * (1 - pan);
        m_right[static_cast<std::size_t>(t)] += v * (1 + pan);
    }

    std::vector<double> m_left;
    std::vector<double> m_right;
    std::mt19937 m_rng;
};

// Beat x lasts 1 / (1 + rise x) beats of the first tempo, x from the first
// beat; 0 without a rise, so that the other songs render as they always have.
double riseSeconds(const SongShape& shape, double x) {
    const double rise =
        shape.tempoRise / (4.0 * (shape.introBars + shape.outroBars +
                                  shape.passes * (shape.verseBars + shape.chorusBars)));
    return rise == 0 ? 0 : 60.0 / shape.beatsPerMinute * (std::log1p(rise * x) / rise - x);
}

} // namespace

std::int64_t PassesLater(const SongShape& shape, std::int64_t frame, int passes) {
    const double beat = 60 / shape.beatsPerMinute;
    double x = 0; // the beat played at `frame`: the rise moves it a little each step
    for (int k = 0; k < 8; ++k)
        x = (static_cast<double>(frame) / kRate - riseSeconds(shape, x)) / beat;
    x += 4.0 * passes * (shape.verseBars + shape.chorusBars);
    return std::llround((x * beat + riseSeconds(shape, x)) * kRate);
}

Song RenderSong(const SongShape& shape) {
    const double beat = 60.0 / shape.beatsPerMinute;
    const double bar = 4 * beat;
    std::mt19937 chooser(shape.seed * 7919u + 1);
    // Each bar: its root, minor or not, and the cents it is tuned by.
    struct Bar {
        int root = 0;
        bool minor = false;
        double cents = 0;
        bool drums = true;
        bool chords = true;
        bool fuller = false;
        bool seventh = false;
    };
    std::vector<Bar> bars;
    for (int b = 0; b < shape.introBars; ++b)
        bars.push_back({kVerse[0], false, 0, true, b + 1 == shape.introBars});
    const int sectionBars = shape.verseBars + shape.chorusBars;
    for (int pass = 0; pass < shape.passes; ++pass) {
        for (int b = 0; b < sectionBars; ++b) {
            Bar bar;
            if (shape.throughComposed) {
                bar.root = std::uniform_int_distribution<int>(0, 11)(chooser);
                bar.minor = std::uniform_int_distribution<int>(0, 1)(chooser) == 1;
            } else {
                const bool verse = b < shape.verseBars;
                const auto& section = verse ? kVerse : kChorus;
                const int index = verse ? b : b - shape.verseBars;
                bar.root = section[static_cast<std::size_t>(index) % section.size()];
                bar.minor = bar.root == 0 || bar.root == 7;
            }
            bar.cents = pass * shape.driftCents;
            const bool breaks = shape.breakAgain && pass > 0 && b >= shape.verseBars;
            bar.seventh = shape.breakAgain && pass > 0 && !breaks;
            bar.fuller = (shape.fullerAgain && pass > 0) || breaks;
            bar.drums = !breaks;
            bars.push_back(bar);
        }
    }
    for (int b = 0; b < shape.outroBars; ++b)
        bars.push_back({kVerse[0], false, 0, false, true});

    Song song;
    song.samplesPerBeat = beat * kRate;
    song.passStart = std::llround(shape.introBars * bar * kRate);
    song.passFrames = shape.throughComposed ? 0 : std::llround(sectionBars * bar * kRate);
    const auto frames =
        static_cast<std::int64_t>((static_cast<double>(bars.size()) * bar + 1.5) * kRate);
    Renderer r(frames, shape.seed);
    auto when = [&](double nominal) {
        return nominal + r.uniform(-shape.humanise, shape.humanise);
    };
    for (std::size_t b = 0; b < bars.size(); ++b) {
        const Bar& now = bars[b];
        const double first = 4.0 * static_cast<double>(b); // its first beat
        const double at = static_cast<double>(b) * bar + riseSeconds(shape, first);
        const bool last = b + static_cast<std::size_t>(shape.outroBars) >= bars.size();
        if (now.chords) {
            const std::array<int, 4> triad = {now.root + 12, now.root + 12 + (now.minor ? 3 : 4),
                                              now.root + 19, now.root + 22};
            for (int octave = 0; octave <= (now.fuller ? 1 : 0); ++octave)
                for (int n = 0; n < (now.seventh ? 4 : 3); ++n)
                    r.tone(when(at), bar,
                           hz(triad[static_cast<std::size_t>(n)] + 12 * octave, now.cents), 0.12,
                           -0.4 + 0.4 * n, last ? 1.5 : 3.0);
        }
        if (!now.drums)
            continue;
        for (int k = 0; k < 4; ++k) {
            const double steady = static_cast<double>(b) * bar + k * beat;
            const double t = steady + riseSeconds(shape, first + k);
            if (now.chords)
                r.tone(when(t), beat, hz(now.root - 12 + (k == 3 ? 7 : 0), now.cents), 0.3, 0.0,
                       0.6);
            if (!shape.drums)
                continue;
            r.drum(when(t), k % 2 == 0 ? 0 : 1, k % 2 == 0 ? 0.7 : 0.35);
            r.drum(when(t), 2, 0.15);
            r.drum(when(steady + beat / 2 + riseSeconds(shape, first + k + 0.5)), 2, 0.1);
        }
    }
    song.audio = r.finish();
    return song;
}

} // namespace kestrin::testing_support
