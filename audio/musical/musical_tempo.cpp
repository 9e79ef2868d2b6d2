// SPDX-License-Identifier: GPL-3.0-or-later
// Step 2 of the musical finder: takes step 1's onset strength (and, where
// it keeps no beat, the loudness); gives the beat period in frames, settled
// to a hundredth of a frame.
#include "audio/dsp/autocorrelation.h"
#include "audio/musical/musical_steps.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>
#include <span>

namespace kestrin::audio::musical {

namespace {

// The prior's centre and width in octaves (tempo estimates err by octaves,
// and most music sits near 120), and the second over which the onset
// strength's mean is taken away.
constexpr double kPriorBpm = 120.0;
constexpr double kPriorOctaves = 1.0;
constexpr double kOnsetMeanSeconds = 1.0;

// Step 2's refinement: the autocorrelation's best lag places the period to a
// frame at best, 2.3 % at 120 beats per minute, and where onsets smear (an
// orchestra) its peak may lie a frame or more off; bars found from such a
// period drift a beat away within a minute. The lags of 1 to kCombBeats
// beats (four bars of 4/4) all peak at multiples of the true period, so
// their sum over fractional periods near the first guess settles it to a
// hundredth of a frame: an error that grows with the multiple shows at
// sixteen beats sixteen times over. The search reaches kCombReach either
// side of the guess, beyond the 3 % seen on real songs but short of the
// 6 % at which the sixteenth multiple would reach a neighbouring beat; it
// never changes the octave the prior chose.
constexpr int kCombBeats = static_cast<int>(barsOf(4));
constexpr double kCombReach = 0.04;
constexpr double kCombStep = 0.005;
// Where the onsets keep a beat, it shows at every multiple: there the
// autocorrelation stands over that of onsets falling at random, the square
// of their mean, on real songs with drums or plucked notes by 1.1 to 19
// times. Where it does not (sustained strings, a choir: 0.6 to 0.96), or
// where onsets come only with each phrase, the comb's best is noise: the
// guess stands, or the swell below settles the period.
constexpr double kCombLift = 1.1;
// Music without a beat in its onsets may still swell with its phrases: the
// loudness rises and falls every bar or two. Where the loudness, less its
// mean over kSwellMeanSeconds, correlates with itself at least
// kSwellCorrelation a phrase of kSwellShortest to kSwellLongest seconds
// later (0.6 on such a song, under 0.15 where the loudness only follows the
// melody), the beat is that phrase halved to the octave of the guess, so
// bars line up with the phrases.
constexpr double kSwellMeanSeconds = 3.0;
constexpr double kSwellShortest = 1.5;
constexpr double kSwellLongest = 8.5;
constexpr double kSwellCorrelation = 0.3;
// Phrases over which the swell's period is settled: 32 s of a 4 s phrase
// place it to 0.03 %, 20 ms over a minute, within a loop's grid slack.
constexpr int kSwellPhrases = 8;
// The rise of the loudness is taken over 46 ms, the attack of a bowed or
// blown note.
constexpr std::size_t kRiseFrames = 4;

// The best of a comb over `x`'s autocorrelation: the period in [low, high]
// frames at which the autocorrelation summed over lags of 1 to `multiples`
// periods is highest, and the least of the autocorrelation at those lags.
struct Comb {
    double period = 0;
    double weakest = 0;
};

// Sums at fractional periods, every kCombStep frames, reading the
// autocorrelation between whole lags linearly. nullopt where `x` is too
// short for two multiples: multiples whose lag spans more than half of `x`
// rest on too few products to weigh like the first, and are left out.
std::optional<Comb> bestComb(const std::vector<double>& x, double low, double high, int multiples) {
    const std::size_t n = x.size();
    multiples = std::min(multiples, static_cast<int>(static_cast<double>(n / 2) / high) - 1);
    if (multiples < 2)
        return std::nullopt;
    const auto maxLag = static_cast<std::size_t>(std::ceil(multiples * high)) + 1;
    // The autocorrelation, worked out only at the lags the comb reads: those
    // near each multiple, which climb with it, so that the lags below
    // `known` are all that are worked out yet.
    std::vector<double> r(maxLag + 1, 0.0);
    std::size_t known = 0;
    for (int k = 1; k <= multiples; ++k) {
        const std::size_t from = std::max(known, static_cast<std::size_t>(std::floor(k * low)));
        const std::size_t to = std::min(maxLag, static_cast<std::size_t>(std::ceil(k * high)) + 1);
        if (from > to)
            continue;
        LaggedMeans(x, from, std::span(r).subspan(from, to - from + 1));
        known = to + 1;
    }
    const auto at = [&](double lag) {
        const auto i = static_cast<std::size_t>(lag);
        const double w = lag - static_cast<double>(i);
        return (1 - w) * r[i] + w * r[std::min(i + 1, maxLag)];
    };
    Comb comb;
    double best = -std::numeric_limits<double>::infinity();
    const auto steps = static_cast<int>(std::ceil((high - low) / kCombStep));
    for (int s = 0; s <= steps; ++s) {
        const double period = low + s * kCombStep;
        double sum = 0;
        for (int k = 1; k <= multiples; ++k)
            sum += at(k * period);
        if (sum > best) {
            best = sum;
            comb.period = period;
        }
    }
    comb.weakest = std::numeric_limits<double>::infinity();
    for (int k = 1; k <= multiples; ++k)
        comb.weakest = std::min(comb.weakest, at(k * comb.period));
    return comb;
}

// `period` halved until it lies within a factor of the square root of two
// of `guess`.
double halvedTo(double period, double guess) {
    while (period > guess * std::numbers::sqrt2)
        period /= 2;
    return period;
}

} // namespace

std::vector<double> risingOnsets(const Frames& f, double hopSeconds) {
    const std::size_t n = f.count;
    const auto half = static_cast<std::size_t>(kOnsetMeanSeconds / hopSeconds / 2);
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t t = 0; t < n; ++t)
        prefix[t + 1] = prefix[t] + f.onset[t];
    std::vector<double> o(n);
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t a = t > half ? t - half : 0;
        const std::size_t b = std::min(n, t + half + 1);
        o[t] = std::max(0.0, f.onset[t] - (prefix[b] - prefix[a]) / static_cast<double>(b - a));
    }
    const double mean = std::accumulate(o.begin(), o.end(), 0.0) / static_cast<double>(n);
    double var = 0;
    for (double v : o)
        var += (v - mean) * (v - mean);
    const double sd = std::sqrt(var / static_cast<double>(n));
    if (sd > 0)
        for (double& v : o)
            v /= sd;
    return o;
}

double beatPeriod(const std::vector<double>& o, double hopSeconds, std::size_t lagMin,
                  std::size_t lagMax) {
    const std::size_t first = std::max<std::size_t>(1, lagMin - 1);
    std::vector<double> weighted(lagMax + 2, 0.0);
    LaggedMeans(o, first, std::span(weighted).subspan(first));
    for (std::size_t lag = first; lag <= lagMax + 1; ++lag) {
        const double bpm = 60.0 / (static_cast<double>(lag) * hopSeconds);
        const double octaves = std::log2(bpm / kPriorBpm) / kPriorOctaves;
        weighted[lag] *= std::exp(-0.5 * octaves * octaves);
    }
    std::size_t best = lagMin;
    for (std::size_t lag = lagMin; lag <= lagMax; ++lag)
        if (weighted[lag] > weighted[best])
            best = lag;
    double period = static_cast<double>(best);
    if (best >= 1 && best + 1 < weighted.size()) {
        const double a = weighted[best - 1];
        const double b = weighted[best];
        const double c = weighted[best + 1];
        const double denominator = a - 2 * b + c;
        if (denominator < 0)
            period += std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5);
    }
    return period;
}

std::optional<double> combPeriod(const std::vector<double>& o, double guess) {
    const std::optional<Comb> comb =
        bestComb(o, guess * (1 - kCombReach), guess * (1 + kCombReach), kCombBeats);
    const double mean = std::accumulate(o.begin(), o.end(), 0.0) / static_cast<double>(o.size());
    if (!comb || !(comb->weakest > kCombLift * mean * mean))
        return std::nullopt;
    return comb->period;
}

// Step 2 where the onsets keep no beat (see kSwellCorrelation): the period
// in frames from the phrase over which the loudness swells, halved until it
// lies within a factor of the square root of two from `guess`. nullopt
// where the loudness swells with no regular phrase.
std::optional<double> swellPeriod(const Frames& f, double hopSeconds, double guess) {
    const std::size_t n = f.count;
    const auto shortest = static_cast<std::size_t>(kSwellShortest / hopSeconds);
    const auto longest = static_cast<std::size_t>(std::ceil(kSwellLongest / hopSeconds));
    if (n < 2 * longest + 2)
        return std::nullopt;
    std::vector<double> level(n);
    for (std::size_t t = 0; t < n; ++t) {
        double power = 0;
        for (int k = 0; k < kBands; ++k)
            power += f.bands[t * kBands + static_cast<std::size_t>(k)];
        level[t] = std::log(power + kPowerFloor * kFrame);
    }
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t t = 0; t < n; ++t)
        prefix[t + 1] = prefix[t] + level[t];
    const auto half = static_cast<std::size_t>(kSwellMeanSeconds / hopSeconds / 2);
    std::vector<double> swell(n);
    double energy = 0;
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t a = t > half ? t - half : 0;
        const std::size_t b = std::min(n, t + half + 1);
        swell[t] = level[t] - (prefix[b] - prefix[a]) / static_cast<double>(b - a);
        energy += swell[t] * swell[t];
    }
    if (!(energy > 0))
        return std::nullopt;
    energy /= static_cast<double>(n);
    std::vector<double> r(longest + 2, 0.0);
    LaggedMeans(swell, shortest - 1, std::span(r).subspan(shortest - 1));
    for (double& v : r)
        v /= energy;
    std::size_t best = 0;
    for (std::size_t lag = shortest; lag <= longest; ++lag)
        if (r[lag] > r[lag - 1] && r[lag] >= r[lag + 1] && (best == 0 || r[lag] > r[best]))
            best = lag;
    if (best == 0 || r[best] < kSwellCorrelation)
        return std::nullopt;
    // The swell's peaks are broad: its peak places the phrase to a frame or
    // two, 0.5 % of four seconds. Where the loudness rises they are sharp, and
    // the phrases after the first settle it as the beats' comb does.
    std::vector<double> rise(n, 0.0);
    for (std::size_t t = kRiseFrames; t < n; ++t)
        rise[t] = std::max(0.0, level[t] - level[t - kRiseFrames]);
    const double mean = std::accumulate(rise.begin(), rise.end(), 0.0) / static_cast<double>(n);
    for (double& v : rise)
        v -= mean;
    const auto phrase = static_cast<double>(best);
    const std::optional<Comb> comb = bestComb(rise, phrase - 2, phrase + 2, kSwellPhrases);
    return halvedTo(comb ? comb->period : phrase, guess);
}

} // namespace kestrin::audio::musical
