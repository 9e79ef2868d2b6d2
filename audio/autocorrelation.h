// SPDX-License-Identifier: GPL-3.0-or-later
// How a curve (onset strengths, a loudness) repeats itself: its correlation
// with itself some lag later, raw or normalised, at a range of lags. The
// beat tracker finds its period from it and the judge a track's own period.
// The sums run directly, in one order, so that a result is the same however
// many lags are asked for at once.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kestrin::audio {

// The autocorrelation of `x` at `lag`: the mean of x[t] x[t - lag] over the
// x.size() - lag products. `lag` is below x.size().
double LaggedMean(std::span<const double> x, std::size_t lag);

// LaggedMean of `x` at each lag from `first` to `last`, indexed by the lag:
// last + 1 values, those below `first` 0. `last` is below x.size().
std::vector<double> LaggedMeans(std::span<const double> x, std::size_t first, std::size_t last);

// The correlation, -1 to 1, of `a` and `b` about their means: 1 where they
// rise and fall alike. 0 where either is empty or flat or their sizes differ.
double Correlation(std::span<const double> a, std::span<const double> b);

// The Correlation of the last `window` values of `x` with the `window` values
// `lag` before them, at each lag from `first` to `last`, indexed by the lag:
// last + 1 values, those below `first` 0. window + last is at most x.size().
std::vector<double> TailCorrelations(std::span<const double> x, std::size_t window,
                                     std::size_t first, std::size_t last);

} // namespace kestrin::audio
