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
// some lag before them, at the lags from `first` on: correlations[j] is that
// of lag first + j. window plus the last lag is at most x.size().
void TailCorrelations(std::span<const double> x, std::size_t window, std::size_t first,
                      std::span<double> correlations);

} // namespace kestrin::audio
