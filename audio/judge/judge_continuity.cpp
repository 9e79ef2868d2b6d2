// SPDX-License-Identifier: GPL-3.0-or-later
// Step 3 of the seam judge. Takes the frames around the junction; gives the
// kink (how much worse the frames after the jump are predicted than the
// audio's own), the step across it and whether the sound is cut off there.
#include "audio/judge/judge_steps.h"

#include "audio/dsp/autocorrelation.h"
#include "audio/dsp/fft.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace kestrin::audio::judge {

namespace {

// The predictor of the continuity measure: 16 coefficients follow a few
// partials and the spectral tilt of noise, fitted over kFitFrames.
constexpr int kOrder = 16;
// Frames after the jump that are predicted: 0.2 ms, in which a step or a kink
// has its say before the predictor has followed it.
constexpr std::int64_t kJunctionFrames = 8;
// Frames whose own prediction error is the audio's variation.
constexpr std::int64_t kOwnFrames = 256;
// Prediction errors are taken as at least the inaudible error's power, so
// that what a listener cannot hear (a fade's last bits, a converter's
// ripple at the start of a file) never makes a click.
constexpr double kErrorFloor = kInaudibleError * kInaudibleError;

// Coefficients a[1..kOrder] (a[0] unused) that predict x[t] as the sum of
// a[k] x[t - k]: Levinson-Durbin on the autocorrelation of x under a Hann
// window, which keeps the predictor stable.
std::vector<double> predictor(const std::vector<double>& x) {
    const std::size_t n = x.size();
    std::vector<double> w = HannWindow(n);
    for (std::size_t i = 0; i < n; ++i)
        w[i] *= x[i];
    std::array<double, kOrder + 1> r{};
    LaggedSums(w, 0, r);
    std::vector<double> a(kOrder + 1, 0.0);
    // A little white noise keeps a pure tone's equations solvable.
    double error = r[0] * (1 + 1e-9) + 1e-20;
    for (int i = 1; i <= kOrder; ++i) {
        double acc = r[static_cast<std::size_t>(i)];
        for (int j = 1; j < i; ++j)
            acc -= a[static_cast<std::size_t>(j)] * r[static_cast<std::size_t>(i - j)];
        const double k = acc / error;
        std::vector<double> next = a;
        next[static_cast<std::size_t>(i)] = k;
        for (int j = 1; j < i; ++j)
            next[static_cast<std::size_t>(j)] -= k * a[static_cast<std::size_t>(i - j)];
        a = std::move(next);
        error *= std::max(1e-12, 1 - k * k);
    }
    return a;
}

// The mean squared error of predicting x[from, to) from the samples before
// each; from must be at least kOrder.
double predictionError(const std::vector<double>& x, const std::vector<double>& a,
                       std::int64_t from, std::int64_t to) {
    double sum = 0;
    for (std::int64_t t = from; t < to; ++t) {
        double guess = 0;
        for (int k = 1; k <= kOrder; ++k)
            guess += a[static_cast<std::size_t>(k)] * x[static_cast<std::size_t>(t - k)];
        const double e = x[static_cast<std::size_t>(t)] - guess;
        sum += e * e;
    }
    return sum / static_cast<double>(std::max<std::int64_t>(1, to - from));
}

} // namespace

// The level just before the jump and just after it, over 12 ms: a sound
// that falls by more than 6 dB from one to the next was cut off, as nothing
// but a gate decays that fast; one that rises has an attack, as music does.
// Below -60 dB of full scale nothing is cut that could be heard.
constexpr std::int64_t kLevelFrames = 512;
constexpr double kCutLevel = 0.25;
constexpr double kAudibleLevel = 1e-6;

bool Seam::cutAt(std::int64_t stop, std::int64_t left, std::int64_t right) const {
    const std::int64_t levelFrames = std::min({kLevelFrames, left, right});
    const double levelBefore = CopySums(m_aroundStop.at(stop - levelFrames),
                                        m_aroundStop.at(stop - levelFrames), levelFrames, m_ch)
                                   .pairs.aa;
    const double levelAfter =
        CopySums(m_aroundStart.at(m_start), m_aroundStart.at(m_start), levelFrames, m_ch).pairs.aa;
    return levelBefore > kAudibleLevel * static_cast<double>(levelFrames * m_ch) &&
           levelAfter < kCutLevel * levelBefore;
}

Seam::Continuity Seam::continuity(std::int64_t stop) const {
    const std::int64_t left = std::min(kFitFrames, m_aroundStop.before(stop));
    const std::int64_t right = std::min(kFitFrames, m_aroundStart.after(m_start));
    Continuity result;
    double& step = result.step;
    if (left >= 2 && right >= 1) {
        const float* x1 = m_aroundStop.at(stop - 1);
        const float* x2 = m_aroundStop.at(stop - 2);
        const float* y = m_aroundStart.at(m_start);
        for (int c = 0; c < m_ch; ++c)
            step = std::max<double>(step, std::abs(y[c] - 2.0 * x1[c] + x2[c]));
    }
    if (left < kOrder + kJunctionFrames || right < kOrder + kJunctionFrames)
        return result;
    result.cut = cutAt(stop, left, right);
    for (int c = 0; c < m_ch; ++c) {
        std::vector<double> before(static_cast<std::size_t>(left));
        std::vector<double> after(static_cast<std::size_t>(right));
        for (std::int64_t i = 0; i < left; ++i)
            before[static_cast<std::size_t>(i)] = m_aroundStop.at(stop - left + i)[c];
        for (std::int64_t i = 0; i < right; ++i)
            after[static_cast<std::size_t>(i)] = m_aroundStart.at(m_start + i)[c];
        std::vector<double> heard = before;
        heard.insert(heard.end(), after.begin(), after.begin() + kJunctionFrames);
        const std::vector<double> ahead = predictor(before);
        const double junction = predictionError(heard, ahead, left, left + kJunctionFrames);
        const double ownBefore = std::max(
            kErrorFloor, predictionError(before, ahead,
                                         std::max<std::int64_t>(kOrder, left - kOwnFrames), left));
        const double ownAfter =
            predictionError(after, predictor(after), kOrder, std::min(right, kOrder + kOwnFrames));
        result.kink = std::max(result.kink, junction / std::max(ownBefore, ownAfter));
        result.kinkFromBefore = std::max(result.kinkFromBefore, junction / ownBefore);
        result.junction = std::max(result.junction, std::sqrt(junction));
    }
    return result;
}

} // namespace kestrin::audio::judge
