// SPDX-License-Identifier: GPL-3.0-or-later
#include "seam_measure.h"

#include "loop_finder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace kestrin::audio {

namespace {

constexpr std::int64_t kWindow = SeamWindowFrames;
// A step or a phase jump shows within the first half millisecond.
constexpr std::int64_t kJumpFrames = 16;
// Frames compared for every stop near the stored one before any is compared in full.
constexpr std::int64_t kHeadFrames = 4;
// SeamScore counts a window this quiet per sample as silence on both sides.
constexpr double kSilence = 2e-10;
// Stops to each side of a seam that it must score below to be the lowest
// nearby.
constexpr std::int64_t kNearby = 8;
// Frames, and the share of their energy that their difference stays under,
// for a stop to be looked at closely as a repeat through codec noise.
constexpr std::int64_t kNoisyHeadFrames = 16;
constexpr double kNoisyHeadShare = 0.25;

// Appends frames [from, to) of `reader` to `out`; returns the frames read.
std::int64_t append(AudioReader& reader, std::int64_t from, std::int64_t to,
                    std::vector<float>& out) {
    const auto ch = static_cast<std::size_t>(reader.info().channels);
    const std::size_t old = out.size();
    out.resize(old + static_cast<std::size_t>(to - from) * ch);
    const std::int64_t got = reader.readFloat(from, to - from, out.data() + old);
    out.resize(old + static_cast<std::size_t>(got) * ch);
    return got;
}

// The frames around both ends of the jump, laid side by side: SeamScore and
// the step on these give what they give on the whole audio, because neither
// looks further than one window from start or stop.
struct SeamFrames {
    AudioSamples audio;
    std::int64_t start = 0;
    std::int64_t stop = 0;
};

// `margin` more frames on each side of stop let SeamScore also measure the
// stops up to `margin` away.
SeamFrames framesAround(AudioReader& reader, std::int64_t start, std::int64_t stop,
                        std::int64_t margin = 0) {
    const std::int64_t n = reader.info().frames;
    SeamFrames f;
    f.audio.sampleRate = reader.info().sampleRate;
    f.audio.channels = reader.info().channels;
    const std::int64_t a0 = std::max<std::int64_t>(0, start - kWindow);
    const std::int64_t a1 = std::min(n, start + kWindow);
    const std::int64_t b0 = std::max<std::int64_t>(0, stop - kWindow - margin);
    const std::int64_t b1 = std::min(n, stop + kWindow + margin);
    f.start = start - a0;
    if (b0 <= a1) { // a short loop: one stretch holds both ends
        append(reader, a0, b1, f.audio.samples);
        f.stop = stop - a0;
    } else {
        const std::int64_t first = append(reader, a0, a1, f.audio.samples);
        append(reader, b0, b1, f.audio.samples);
        f.stop = first + stop - b0;
    }
    return f;
}

// The largest difference over `frames` frames and every channel between
// the frames from `a` and from `b`; nullopt when either has none.
std::optional<double> largestDifference(const AudioSamples& s, std::int64_t a, std::int64_t b,
                                        std::int64_t frames) {
    frames = std::min({frames, s.frames() - a, s.frames() - b});
    if (a < 0 || b < 0 || frames <= 0)
        return std::nullopt;
    const auto ch = static_cast<std::size_t>(s.channels);
    double largest = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(frames) * ch; ++i)
        largest =
            std::max<double>(largest, std::abs(s.samples[static_cast<std::size_t>(a) * ch + i] -
                                               s.samples[static_cast<std::size_t>(b) * ch + i]));
    return largest;
}

double jumpOf(const SeamFrames& f) {
    const auto after = largestDifference(f.audio, f.start, f.stop, kJumpFrames);
    const std::int64_t back = std::min(kJumpFrames, f.start);
    const auto before = largestDifference(f.audio, f.start - back, f.stop - back, back);
    if (after && before)
        return std::min(*after, *before);
    return after.value_or(before.value_or(0.0));
}

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

// The figures of the seam at (start, stop), all but the seamless stop, from
// frames read around it with a margin of kNearby; `frames` is the audio's
// length.
SeamFigures figuresOf(const SeamFrames& f, std::int64_t start, std::int64_t stop,
                      std::int64_t frames) {
    SeamFigures figures;
    figures.score = SeamScore(f.audio, f.start, f.stop, kWindow);
    figures.jump = jumpOf(f);
    if (figures.score < SeamlessScore || figures.score >= NoisySeamlessScore)
        return figures;
    figures.lowestNearby = true;
    for (std::int64_t d = -kNearby; d <= kNearby && figures.lowestNearby; ++d) {
        const std::int64_t other = stop + d;
        if (d != 0 && other > start && other <= frames &&
            SeamScore(f.audio, f.start, f.stop + d, kWindow) < figures.score)
            figures.lowestNearby = false;
    }
    return figures;
}

std::optional<std::int64_t> nearestSeamlessStop(AudioReader& reader, const SeamFrames& seam,
                                                std::int64_t start, std::int64_t stop) {
    const std::int64_t n = reader.info().frames;
    const int ch = reader.info().channels;
    const std::int64_t reach = reader.info().sampleRate > 0 ? reader.info().sampleRate : 44100;
    const std::int64_t lo = std::max(start + 1, stop - reach);
    const std::int64_t hi =
        std::min<std::int64_t>({n, stop + reach, std::numeric_limits<std::int32_t>::max()});
    if (lo > hi)
        return std::nullopt;
    // What follows start, to be found again after the new stop.
    const std::int64_t afterStart = std::min(kWindow, seam.audio.frames() - seam.start);
    const float* s = seam.audio.samples.data() + seam.start * ch;
    const std::vector<double> sEnergy = energySums(s, afterStart, ch);
    std::vector<float> region;
    const std::int64_t got = append(reader, lo, std::min(n, hi + kWindow), region);
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
        if (energy < kSilence * static_cast<double>(len * ch))
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
        return IsSeamless(
            figuresOf(framesAround(reader, start, candidate, kNearby), start, candidate, n));
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
        if (matches(candidate, NoisySeamlessScore) && seamless(candidate))
            return candidate;
    }
    return std::nullopt;
}

} // namespace

std::optional<SeamFigures> MeasureSeam(AudioReader& reader, std::int64_t start, std::int64_t stop,
                                       bool suggest) {
    const std::int64_t n = reader.info().frames;
    if (start < 0 || stop <= start || stop > n || (start == 0 && stop == n))
        return std::nullopt;
    const SeamFrames f = framesAround(reader, start, stop, kNearby);
    SeamFigures figures = figuresOf(f, start, stop, n);
    if (suggest && !IsSeamless(figures))
        figures.seamlessStop = nearestSeamlessStop(reader, f, start, stop);
    return figures;
}

} // namespace kestrin::audio
