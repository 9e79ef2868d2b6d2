// SPDX-License-Identifier: GPL-3.0-or-later
// Steps 3 and 4 of the musical finder: take step 2's onset strength and
// period; give the beats (the chain of onsets that best keeps the tempo, or
// a strict grid where the period came from the swell), then each beat's
// frames averaged into its chroma, band levels and loudness.
#include "audio/musical/musical_steps.h"

#include <algorithm>
#include <cmath>

namespace kestrin::audio::musical {

namespace {

// Step 2's tempi considered: the lags the autocorrelation is read over.
constexpr double kSlowestBpm = 60.0;
constexpr double kFastestBpm = 200.0;

// Step 3: how strictly beats keep the tempo: a beat 0.5 to 2 periods after
// the one before loses this times (log(interval / period))^2.
constexpr double kTightness = 100.0;

// Step 3: the chain of beats that best follows the onsets `o` at `period`.
std::vector<std::size_t> beatChain(const std::vector<double>& o, double period) {
    const std::size_t n = o.size();
    const auto from = static_cast<std::size_t>(std::max(1.0, std::round(period / 2)));
    const auto to = static_cast<std::size_t>(std::round(2 * period));
    std::vector<double> score(o);
    std::vector<std::ptrdiff_t> back(n, -1);
    for (std::size_t t = from; t < n; ++t) {
        double bestPrior = -1e300;
        std::ptrdiff_t bestAt = -1;
        for (std::size_t d = from; d <= to && d <= t; ++d) {
            const double deviation = std::log(static_cast<double>(d) / period);
            const double s = score[t - d] - kTightness * deviation * deviation;
            if (s > bestPrior) {
                bestPrior = s;
                bestAt = static_cast<std::ptrdiff_t>(t - d);
            }
        }
        if (bestAt >= 0 && bestPrior > 0) {
            score[t] = o[t] + bestPrior;
            back[t] = bestAt;
        }
    }
    const std::size_t tail = n - std::min(n, static_cast<std::size_t>(std::ceil(period)));
    std::size_t last = tail;
    for (std::size_t t = tail; t < n; ++t)
        if (score[t] > score[last])
            last = t;
    std::vector<std::size_t> beats;
    for (std::ptrdiff_t t = static_cast<std::ptrdiff_t>(last); t >= 0;
         t = back[static_cast<std::size_t>(t)])
        beats.push_back(static_cast<std::size_t>(t));
    std::reverse(beats.begin(), beats.end());
    return beats;
}

// Step 3 where the onsets keep no beat and the period comes from the swell:
// a chain would follow the onsets' noise, its beats 0.4 to 0.6 s apart at a
// period of 0.5 s, and bars a minute apart would lie a beat off. The beats
// keep the period strictly instead, at the phase the onsets favour most.
std::vector<std::size_t> beatGrid(const std::vector<double>& o, double period) {
    const auto grid = [&](std::size_t phase) {
        std::vector<std::size_t> beats;
        for (double t = static_cast<double>(phase);; t += period) {
            const auto frame = static_cast<std::size_t>(std::lround(t));
            if (frame >= o.size())
                return beats;
            beats.push_back(frame);
        }
    };
    std::size_t bestPhase = 0;
    double bestSum = -1;
    for (std::size_t phase = 0; static_cast<double>(phase) < period; ++phase) {
        double sum = 0;
        for (const std::size_t t : grid(phase))
            sum += o[t];
        if (sum > bestSum) {
            bestSum = sum;
            bestPhase = phase;
        }
    }
    return grid(bestPhase);
}

} // namespace

// Steps 2 and 3: beat frames and the period in frames.
std::vector<std::size_t> trackBeats(const Frames& f, double hopSeconds, double& period) {
    period = 0;
    if (f.count < 8)
        return {};
    const std::vector<double> o = risingOnsets(f, hopSeconds);
    const auto lagMin = static_cast<std::size_t>(std::floor(60.0 / kFastestBpm / hopSeconds));
    const auto lagMax = static_cast<std::size_t>(std::ceil(60.0 / kSlowestBpm / hopSeconds));
    // At rates so low that a frame spans a third of a second there is no
    // beat to follow.
    if (lagMin < 2 || lagMax + 2 >= f.count)
        return {};
    const double guess = beatPeriod(o, hopSeconds, lagMin, lagMax);
    if (const std::optional<double> comb = combPeriod(o, guess)) {
        period = *comb;
        return beatChain(o, period);
    }
    if (const std::optional<double> swell = swellPeriod(f, hopSeconds, guess)) {
        period = *swell;
        return beatGrid(o, period);
    }
    period = guess;
    return beatChain(o, period);
}

std::vector<Beat> beatFeatures(const Frames& f, const std::vector<std::size_t>& beatFrames,
                               double period) {
    std::vector<Beat> beats(beatFrames.size());
    for (std::size_t i = 0; i < beatFrames.size(); ++i) {
        const std::size_t a = beatFrames[i];
        const std::size_t b = i + 1 < beatFrames.size()
                                  ? beatFrames[i + 1]
                                  : std::min(f.count, a + static_cast<std::size_t>(period) + 1);
        Beat& beat = beats[i];
        beat.sample = static_cast<std::int64_t>(a) * kHop + kBeatInFrame;
        std::array<double, kBands> power{};
        std::array<double, 12> chroma{};
        const double frames = static_cast<double>(std::max<std::size_t>(1, b - a));
        for (std::size_t t = a; t < b; ++t) {
            for (int k = 0; k < kBands; ++k)
                power[static_cast<std::size_t>(k)] +=
                    f.bands[t * kBands + static_cast<std::size_t>(k)];
            for (int k = 0; k < 12; ++k)
                chroma[static_cast<std::size_t>(k)] +=
                    f.chroma[t * 12 + static_cast<std::size_t>(k)];
        }
        double total = 0;
        for (int k = 0; k < kBands; ++k) {
            const double p = power[static_cast<std::size_t>(k)] / frames;
            total += p;
            beat.bands[static_cast<std::size_t>(k)] =
                static_cast<float>(10 * std::log10(p + kPowerFloor * kFrame));
        }
        beat.loudness = static_cast<float>(10 * std::log10(total + kPowerFloor * kFrame));
        double norm = 0;
        for (double c : chroma)
            norm += c * c;
        norm = std::sqrt(norm);
        for (int k = 0; k < 12; ++k)
            beat.chroma[static_cast<std::size_t>(k)] =
                norm > 0 ? static_cast<float>(chroma[static_cast<std::size_t>(k)] / norm) : 0.0f;
    }
    return beats;
}

} // namespace kestrin::audio::musical
