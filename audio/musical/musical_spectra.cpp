// SPDX-License-Identifier: GPL-3.0-or-later
// Step 1 of the musical finder: takes the track, read once in order a block
// at a time with its channels averaged; gives each hop's band levels
// (timbre), chroma (harmony) and onset strength (spectral flux).
#include "audio/dsp/fft.h"
#include "audio/musical/musical_steps.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace kestrin::audio::musical {

namespace {

// The timbre bands span 40 Hz to 16 kHz.
constexpr double kBandLow = 40.0;
constexpr double kBandHigh = 16000.0;
// Chroma: below 100 Hz a bin spans more than a semitone; above 2.5 kHz
// partials of high notes smear across the pitch classes.
constexpr double kChromaLow = 100.0;
constexpr double kChromaHigh = 2500.0;
// Frames read at a time by step 1: 1.5 s, 0.5 MB of stereo floats.
constexpr std::int64_t kReadBlock = 65536;

} // namespace

void mixInto(const std::vector<float>& samples, int channels, std::vector<float>& mono) {
    const auto ch = static_cast<std::size_t>(channels);
    const std::size_t frames = samples.size() / ch;
    mono.reserve(mono.size() + frames);
    for (std::size_t t = 0; t < frames; ++t) {
        float sum = 0;
        for (std::size_t c = 0; c < ch; ++c)
            sum += samples[t * ch + c];
        mono.push_back(sum / static_cast<float>(ch));
    }
}

std::optional<Frames> analyse(FrameSource& source, int rate, const ProgressCallback& progress) {
    Frames f;
    const std::int64_t total = source.frames();
    if (total < kFrame || source.channels() <= 0)
        return f;
    f.count = static_cast<std::size_t>((total - kFrame) / kHop + 1);
    f.bands.assign(f.count * kBands, 0.0f);
    f.chroma.assign(f.count * 12, 0.0f);
    f.onset.assign(f.count, 0.0f);
    std::vector<int> bandOf(kFrame / 2 + 1, -1);
    std::vector<int> pitchOf(kFrame / 2 + 1, -1);
    for (int k = 1; k <= kFrame / 2; ++k) {
        const double hz = static_cast<double>(k) * rate / kFrame;
        if (hz >= kBandLow && hz < kBandHigh)
            bandOf[static_cast<std::size_t>(k)] =
                std::min(kBands - 1, static_cast<int>(kBands * std::log(hz / kBandLow) /
                                                      std::log(kBandHigh / kBandLow)));
        if (hz >= kChromaLow && hz < kChromaHigh) {
            const long semitone = std::lround(12 * std::log2(hz / 440.0)) + 9 + 12 * 20;
            pitchOf[static_cast<std::size_t>(k)] = static_cast<int>(semitone % 12);
        }
    }
    const std::vector<double> hann = HannWindow(static_cast<std::size_t>(kFrame));
    const std::vector<float> window(hann.begin(), hann.end());
    RealSpectrum plan(static_cast<std::size_t>(kFrame));
    std::array<double, kBands> previous{};
    std::vector<float> mono; // frames [monoFrom, readTo) mixed down
    std::vector<float> block;
    std::int64_t monoFrom = 0;
    std::int64_t readTo = 0;
    for (std::size_t t = 0; t < f.count; ++t) {
        if (progress && t % 2048 == 0 && !progress(0.5 * static_cast<double>(t) / f.count))
            return std::nullopt;
        const auto first = static_cast<std::int64_t>(t) * kHop;
        if (first + kFrame > readTo) {
            mono.erase(mono.begin(), mono.begin() + static_cast<std::ptrdiff_t>(first - monoFrom));
            monoFrom = first;
            while (readTo < first + kFrame) {
                block.clear();
                const std::int64_t got = source.append(readTo, readTo + kReadBlock, block);
                if (got <= 0)
                    break;
                mixInto(block, source.channels(), mono);
                readTo += got;
            }
            // The file held less than it claimed: the frames end here.
            if (first + kFrame > readTo) {
                f.count = t;
                f.bands.resize(f.count * kBands);
                f.chroma.resize(f.count * 12);
                f.onset.resize(f.count);
                break;
            }
        }
        const float* x = mono.data() + (first - monoFrom);
        for (int i = 0; i < kFrame; ++i)
            plan.in()[i] = x[i] * window[static_cast<std::size_t>(i)];
        plan.run();
        float* bands = f.bands.data() + t * kBands;
        float* chroma = f.chroma.data() + t * 12;
        for (int k = 1; k <= kFrame / 2; ++k) {
            const double p = plan.power(static_cast<std::size_t>(k));
            if (const int b = bandOf[static_cast<std::size_t>(k)]; b >= 0)
                bands[b] += static_cast<float>(p);
            if (const int c = pitchOf[static_cast<std::size_t>(k)]; c >= 0)
                chroma[c] += static_cast<float>(std::sqrt(p));
        }
        double flux = 0;
        for (int b = 0; b < kBands; ++b) {
            const double level = std::log(double{bands[b]} + kPowerFloor * kFrame);
            if (t > 0)
                flux += std::max(0.0, level - previous[static_cast<std::size_t>(b)]);
            previous[static_cast<std::size_t>(b)] = level;
        }
        f.onset[t] = static_cast<float>(flux);
    }
    return f;
}

} // namespace kestrin::audio::musical
