// SPDX-License-Identifier: GPL-3.0-or-later
// How a curve (onset strengths, a loudness, a stretch of samples) repeats
// itself: its correlation with itself some lag later, raw or normalised, at
// a range of lags. The beat tracker finds its period from it, and the judge
// a track's own period and the predictor of its samples. The sums run
// directly, each in order of time, so that a lag's result is the same
// however many lags are asked for at once.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kestrin::audio {

// The sums of x[t] x[t - lag] over t, at the lags from `first` on:
// sums[j] is that of lag first + j. Lags reaching past the start of `x`
// sum nothing.
void LaggedSums(std::span<const double> x, std::size_t first, std::span<double> sums);

// The autocorrelation of `x` at the lags from `first` on: means[j], that of
// lag first + j, is the mean of x[t] x[t - first - j] over the products
// there are. The last lag is below x.size().
void LaggedMeans(std::span<const double> x, std::size_t first, std::span<double> means);

// The correlation, -1 to 1, of `a` and `b` about their means: 1 where they
// rise and fall alike. 0 where either is empty or flat or their sizes differ.
double Correlation(std::span<const double> a, std::span<const double> b);

// The Correlation of the last `window` values of `x` with the `window` values
// `lag` before them, at each lag from `first` to `last`, indexed by the lag:
// last + 1 values, those below `first` 0. window + last is at most x.size().
std::vector<double> TailCorrelations(std::span<const double> x, std::size_t window,
                                     std::size_t first, std::size_t last);

} // namespace kestrin::audio
