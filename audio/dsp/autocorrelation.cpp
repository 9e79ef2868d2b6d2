// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/dsp/autocorrelation.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace kestrin::audio {

void LaggedSums(std::span<const double> x, std::size_t first, std::span<double> sums) {
    std::fill(sums.begin(), sums.end(), 0.0);
    // The sums side by side, one time step at a time: each still adds its
    // products in order of time, as one loop per lag would, but they do not
    // wait on each other.
    for (std::size_t t = first; t < x.size(); ++t) {
        const std::size_t lags = std::min(sums.size(), t - first + 1);
        const double now = x[t];
        const double* back = x.data() + (t - first);
        for (std::size_t j = 0; j < lags; ++j)
            sums[j] += now * *(back - j);
    }
}

void LaggedMeans(std::span<const double> x, std::size_t first, std::span<double> means) {
    LaggedSums(x, first, means);
    for (std::size_t j = 0; j < means.size(); ++j)
        means[j] /= static_cast<double>(x.size() - first - j);
}

double Correlation(std::span<const double> a, std::span<const double> b) {
    if (a.empty() || a.size() != b.size())
        return 0.0;
    const auto n = static_cast<double>(a.size());
    const double ma = std::accumulate(a.begin(), a.end(), 0.0) / n;
    const double mb = std::accumulate(b.begin(), b.end(), 0.0) / n;
    double ab = 0;
    double aa = 0;
    double bb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ab += (a[i] - ma) * (b[i] - mb);
        aa += (a[i] - ma) * (a[i] - ma);
        bb += (b[i] - mb) * (b[i] - mb);
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

void TailCorrelations(std::span<const double> x, std::size_t window, std::size_t first,
                      std::span<double> correlations) {
    const std::span<const double> tail = x.last(window);
    for (std::size_t j = 0; j < correlations.size(); ++j)
        correlations[j] = Correlation(tail, x.subspan(x.size() - window - first - j, window));
}

} // namespace kestrin::audio
