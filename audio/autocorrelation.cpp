// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/autocorrelation.h"

#include <cmath>
#include <numeric>

namespace kestrin::audio {

double LaggedMean(std::span<const double> x, std::size_t lag) {
    const std::size_t n = x.size();
    double sum = 0;
    for (std::size_t t = lag; t < n; ++t)
        sum += x[t] * x[t - lag];
    return sum / static_cast<double>(n - lag);
}

std::vector<double> LaggedMeans(std::span<const double> x, std::size_t first, std::size_t last) {
    std::vector<double> r(last + 1, 0.0);
    for (std::size_t lag = first; lag <= last; ++lag)
        r[lag] = LaggedMean(x, lag);
    return r;
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

std::vector<double> TailCorrelations(std::span<const double> x, std::size_t window,
                                     std::size_t first, std::size_t last) {
    std::vector<double> r(last + 1, 0.0);
    const std::span<const double> tail = x.last(window);
    for (std::size_t lag = first; lag <= last; ++lag)
        r[lag] = Correlation(tail, x.subspan(x.size() - window - lag, window));
    return r;
}

} // namespace kestrin::audio
