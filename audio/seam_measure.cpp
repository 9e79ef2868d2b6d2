// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/seam_measure.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace kestrin::audio {

namespace {

constexpr std::int64_t kWindow = SeamWindowFrames;
// Frames compared for every stop near the stored one before any is compared in full.
constexpr std::int64_t kHeadFrames = 4;
// Frames, and the share of their energy that their difference stays under,
// for a stop to be looked at closely as a repeat through codec noise.
constexpr std::int64_t kNoisyHeadFrames = 16;
constexpr double kNoisyHeadShare = 0.25;

// Per-frame energy summed from the first frame: sums[k] covers frames [0, k).
std::vector<double> energySums(const float* samples, std::int64_t frames, int channels) {
    std::vector<double> sums(static_cast<std::size_t>(frames) + 1, 0.0);
    const auto ch = static_cast<std::size_t>(channels);
    for (std::size_t t = 0; t < static_cast<std::size_t>(frames); ++t) {
        double e = 0.0;
        for (std::size_t c = 0; c < ch; ++c)
            e += static_cast<double>(samples[t * ch + c]) * samples[t * ch + c];
        sums[t + 1] = sums[t] + e;
    }
    return sums;
}

std::optional<std::int64_t> nearestSeamlessStop(FrameSource& source, std::int64_t start,
                                                std::int64_t stop) {
    const std::int64_t n = source.frames();
    const int ch = source.channels();
    const std::int64_t reach = source.sampleRate() > 0 ? source.sampleRate() : 44100;
    const std::int64_t lo = std::max(start + 1, stop - reach);
    const std::int64_t hi =
        std::min<std::int64_t>({n, stop + reach, std::numeric_limits<std::int32_t>::max()});
    if (lo > hi)
        return std::nullopt;
    // What follows start, to be found again after the new stop.
    std::vector<float> following;
    const std::int64_t afterStart = source.append(start, start + kWindow, following);
    const float* s = following.data();
    const std::vector<double> sEnergy = energySums(s, afterStart, ch);
    std::vector<float> region;
    const std::int64_t got = source.append(lo, std::min(n, hi + kWindow), region);
    const std::vector<double> rEnergy = energySums(region.data(), got, ch);
    // The squared difference of the first `samples` samples after start and
    // those at `r`.
    auto differenceOver = [&](const float* r, std::int64_t samples) {
        double difference = 0.0;
        for (std::int64_t i = 0; i < samples; ++i) {
            const double d = static_cast<double>(s[i]) - r[i];
            difference += d * d;
        }
        return difference;
    };
    // SeamScore's comparison of what follows start and stop, given up as soon
    // as the difference passes `score` times the energy. `headShare`, when
    // given, gets the difference over the first frames as a share of their
    // energy.
    auto matches = [&](std::int64_t candidate, double score, double* headShare = nullptr) {
        const std::int64_t at = candidate - lo;
        const std::int64_t len = std::min({kWindow, n - candidate, afterStart, got - at});
        if (len <= 0)
            return candidate == n; // only the frames before can tell: measured below
        const double energy = sEnergy[static_cast<std::size_t>(len)] +
                              rEnergy[static_cast<std::size_t>(at + len)] -
                              rEnergy[static_cast<std::size_t>(at)];
        if (energy < 2 * SeamSilence * static_cast<double>(len * ch))
            return true;
        const double limit = score * energy;
        const float* r = region.data() + at * ch;
        // The first frames in full, without a branch to mispredict: they alone
        // rule out nearly every stop.
        const std::int64_t head = std::min(kHeadFrames, len) * ch;
        double difference = differenceOver(r, head);
        if (headShare) {
            const auto h = static_cast<std::size_t>(head / ch);
            *headShare = difference / (sEnergy[h] + rEnergy[static_cast<std::size_t>(at) + h] -
                                       rEnergy[static_cast<std::size_t>(at)]);
        }
        if (difference >= limit)
            return false;
        for (std::int64_t i = head; i < len * ch; ++i) {
            const double d = static_cast<double>(s[i]) - r[i];
            difference += d * d;
            if (difference >= limit)
                return false;
        }
        return true;
    };
    // Whether the first frames differ by little enough for a repeat through
    // codec noise: unrelated audio differs by about its own energy. Only a
    // stop whose first few frames passed (`headShare`) is measured further.
    auto mayRepeatNoisily = [&](std::int64_t candidate, double headShare) {
        if (!(headShare < kNoisyHeadShare))
            return false;
        const std::int64_t at = candidate - lo;
        const std::int64_t len = std::min({kNoisyHeadFrames, n - candidate, afterStart, got - at});
        const double difference = differenceOver(region.data() + at * ch, len * ch);
        return difference < kNoisyHeadShare * (sEnergy[static_cast<std::size_t>(len)] +
                                               rEnergy[static_cast<std::size_t>(at + len)] -
                                               rEnergy[static_cast<std::size_t>(at)]);
    };
    auto seamless = [&](std::int64_t candidate) {
        return IsSeamless(JudgeSeam(source, start, candidate));
    };
    // Exact repeats first, which is fast; the stops that may repeat through
    // codec noise are kept, nearest first, for when there are none.
    std::vector<std::int64_t> noisy;
    for (std::int64_t d = 1; d <= reach; ++d) {
        for (const std::int64_t candidate : {stop - d, stop + d}) {
            if (candidate < lo || candidate > hi)
                continue;
            double headShare = 1.0;
            if (matches(candidate, SeamlessScore, &headShare) && seamless(candidate))
                return candidate;
            if (mayRepeatNoisily(candidate, headShare))
                noisy.push_back(candidate);
        }
        if (stop - d < lo && stop + d > hi)
            break;
    }
    for (const std::int64_t candidate : noisy) {
        if (matches(candidate, kCodecCeiling) && seamless(candidate))
            return candidate;
    }
    return std::nullopt;
}

} // namespace

std::optional<SeamFigures> MeasureSeam(AudioReader& reader, std::int64_t start, std::int64_t stop,
                                       bool suggest) {
    ReaderSource source(reader);
    return MeasureSeam(source, start, stop, suggest);
}

std::optional<SeamFigures> MeasureSeam(FrameSource& source, std::int64_t start, std::int64_t stop,
                                       bool suggest) {
    const std::int64_t n = source.frames();
    if (start < 0 || stop <= start || stop > n)
        return std::nullopt;
    // A file that holds fewer frames than its header says may end before
    // the positions: then there is no seam to hear.
    std::vector<float> probe;
    if (source.append(start, start + 1, probe) == 0 || source.append(stop - 1, stop, probe) == 0)
        return std::nullopt;
    SeamFigures figures = JudgeSeam(source, start, stop);
    if (IsSeamless(figures))
        return figures;
    // The same verdict as below, in the cheaper order when no stop is to be
    // suggested: the search for a stop nearby (two seconds read, each stop
    // tried) only decides between a seamless musical verdict and the copy's.
    if (!suggest) {
        const SeamFigures musical = JudgeSeam(source, start, stop, SeamMode::Musical);
        if (!IsSeamless(musical))
            return figures;
        return figures.noise >= kCodecCeiling || !nearestSeamlessStop(source, start, stop)
                   ? musical
                   : figures;
    }
    // A loop whose own copies differ by more than any codec's noise does not
    // repeat the track's samples: a stop a sample away that meets a closer
    // copy is no better heard, and the loop is judged as music first, as
    // find judges it.
    if (figures.noise >= kCodecCeiling) {
        const SeamFigures musical = JudgeSeam(source, start, stop, SeamMode::Musical);
        if (IsSeamless(musical))
            return musical;
    }
    // A copy within a second says the loop repeats the track's own samples
    // and the stop is off: that verdict stands. Without one, the loop may
    // join two renditions of a passage, which never repeat each other's
    // samples, and is judged as music (find offers such loops).
    const std::optional<std::int64_t> seamlessStop = nearestSeamlessStop(source, start, stop);
    if (!seamlessStop) {
        const SeamFigures musical = JudgeSeam(source, start, stop, SeamMode::Musical);
        if (IsSeamless(musical))
            return musical;
    }
    figures.seamlessStop = seamlessStop;
    return figures;
}

} // namespace kestrin::audio
