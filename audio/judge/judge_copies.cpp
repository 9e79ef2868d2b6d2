// SPDX-License-Identifier: GPL-3.0-or-later
// Step 2 of the seam judge. Takes the frames around start and stop; gives
// the copy scores after and before the jump with the level of each copy,
// the largest jump between them, whether a stop nearby compares lower, and
// the noise the loop's own repeat carries away from the seam.
#include "audio/judge/judge_steps.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrin::audio::judge {

namespace {

// Frames on each side of the seam that the copies compare.
constexpr std::int64_t kWindow = SeamWindowFrames;

// Stops to each side of a seam that it must score below to be as close as
// the audio repeats.
constexpr std::int64_t kSeamNearbyStops = 8;

// The shortest comparison that counts: 6 ms, a few periods of the bass.
constexpr std::int64_t kMinCopyFrames = 256;

// A step or a phase jump shows within the first half millisecond.
constexpr std::int64_t kJumpFrames = 16;

double largestDifference(const float* a, const float* b, std::int64_t frames, int channels) {
    double largest = 0;
    for (std::int64_t i = 0; i < frames * channels; ++i)
        largest = std::max<double>(largest, std::abs(a[i] - b[i]));
    return largest;
}

} // namespace

Seam::Seam(FrameSource& audio, std::int64_t start, std::int64_t stop, bool playsOn)
    : m_n(audio.frames()), m_ch(audio.channels()), m_start(start), m_playsOn(playsOn),
      m_aroundStart(audio, start - std::max(kWindow, kFitFrames), start + kWindow),
      m_aroundStop(audio, stop - std::max(kWindow, kFitFrames) - kSeamNearbyStops,
                   stop + kWindow + kSeamNearbyStops) {}

Seam::Copies Seam::copies(std::int64_t stop, const std::optional<CopySums>& knownAfter,
                          const std::optional<CopySums>& knownBefore) const {
    Copies c;
    const std::int64_t afterFrames = framesAfter(stop);
    std::optional<double> afterJump;
    std::optional<double> beforeJump;
    if (afterFrames >= kMinCopyFrames) {
        const CopySums sums = knownAfter ? *knownAfter
                                         : CopySums(m_aroundStart.at(m_start),
                                                    m_aroundStop.at(stop), afterFrames, m_ch);
        c.after = sums.score();
        c.afterGain = sums.pairs.fittedGain();
        afterJump =
            largestDifference(m_aroundStart.at(m_start), m_aroundStop.at(stop), kJumpFrames, m_ch);
    }
    const std::int64_t beforeFrames = framesBefore(stop);
    if (beforeFrames >= kMinCopyFrames) {
        const CopySums sums =
            knownBefore ? *knownBefore
                        : CopySums(m_aroundStart.at(m_start - beforeFrames),
                                   m_aroundStop.at(stop - beforeFrames), beforeFrames, m_ch);
        c.before = sums.score();
        c.beforeGain = sums.pairs.fittedGain();
        beforeJump = largestDifference(m_aroundStart.at(m_start - kJumpFrames),
                                       m_aroundStop.at(stop - kJumpFrames), kJumpFrames, m_ch);
    }
    if (afterJump && beforeJump)
        c.jump = std::min(*afterJump, *beforeJump);
    else
        c.jump = afterJump.value_or(beforeJump.value_or(0.0));
    return c;
}

bool Seam::lowestNearby(std::int64_t stop, double score) const {
    std::vector<std::int64_t> others;
    for (std::int64_t d = -kSeamNearbyStops; d <= kSeamNearbyStops; ++d) {
        const std::int64_t other = stop + d;
        if (d != 0 && other > m_start && other <= m_n)
            others.push_back(other);
    }
    // In order, kPairLanes stops compared at once where they compare as
    // many frames.
    for (std::size_t i = 0; i < others.size(); i += kPairLanes) {
        Lanes after;
        Lanes before;
        const std::size_t count = std::min(kPairLanes, others.size() - i);
        if (count == kPairLanes) {
            std::array<std::int64_t, kPairLanes> lanes{};
            std::copy_n(others.begin() + static_cast<std::ptrdiff_t>(i), kPairLanes, lanes.begin());
            sumLanes(lanes, after, before);
        }
        for (std::size_t j = 0; j < count; ++j) {
            if (const auto s = copies(others[i + j], after[j], before[j]).best(); s && *s < score)
                return false;
        }
    }
    return true;
}

std::int64_t Seam::framesAfter(std::int64_t stop) const {
    if (!m_playsOn)
        return 0;
    return std::min({kWindow, m_aroundStop.after(stop), m_aroundStart.after(m_start)});
}

std::int64_t Seam::framesBefore(std::int64_t stop) const {
    return std::min({kWindow, m_aroundStart.before(m_start), m_aroundStop.before(stop)});
}

void Seam::sumLanes(const std::array<std::int64_t, kPairLanes>& stops, Lanes& after,
                    Lanes& before) const {
    const auto alike = [&](auto framesOf) {
        const std::int64_t frames = framesOf(stops[0]);
        for (const std::int64_t stop : stops) {
            if (framesOf(stop) != frames)
                return std::int64_t{0};
        }
        return frames;
    };
    // The sums of the frames from `first` against those of each lane's from
    // `others`, each to the bit as CopySums alone.
    const auto sum = [this](const float* first, const std::array<const float*, kPairLanes>& others,
                            std::int64_t frames, Lanes& into) {
        const auto ch = static_cast<std::size_t>(m_ch);
        const std::array<PairSums, kPairLanes> sums =
            SumLanesFromOne(first, others, static_cast<std::size_t>(frames), ch, ch);
        for (std::size_t j = 0; j < kPairLanes; ++j)
            into[j] = CopySums(sums[j], frames, m_ch);
    };
    std::array<const float*, kPairLanes> b{};
    if (const std::int64_t frames = alike([this](std::int64_t stop) { return framesAfter(stop); });
        frames >= kMinCopyFrames) {
        for (std::size_t j = 0; j < kPairLanes; ++j)
            b[j] = m_aroundStop.at(stops[j]);
        sum(m_aroundStart.at(m_start), b, frames, after);
    }
    if (const std::int64_t frames = alike([this](std::int64_t stop) { return framesBefore(stop); });
        frames >= kMinCopyFrames) {
        for (std::size_t j = 0; j < kPairLanes; ++j)
            b[j] = m_aroundStop.at(stops[j] - frames);
        sum(m_aroundStart.at(m_start - frames), b, frames, before);
    }
}

// Windows inside the loop that give the noise of its repeat.
constexpr int kNoiseWindows = 4;

// The seam score of the loop's repeat away from the seam: frames t and t +
// (stop - start) in windows spread over the loop, past the seam's own
// window; negative when the audio after the loop is too short to hold any.
double repeatNoise(FrameSource& audio, std::int64_t start, std::int64_t stop) {
    const std::int64_t length = stop - start;
    const std::int64_t first = start + kWindow;
    const std::int64_t last = std::min(stop, audio.frames() - length) - kWindow;
    if (last < first)
        return -1.0;
    std::vector<double> scores;
    const int windows =
        static_cast<int>(std::min<std::int64_t>(kNoiseWindows, 1 + (last - first) / kWindow));
    for (int k = 0; k < windows; ++k) {
        const std::int64_t t = windows == 1 ? first : first + (last - first) * k / (windows - 1);
        const Span a(audio, t, t + kWindow);
        const Span b(audio, t + length, t + length + kWindow);
        const std::int64_t frames = std::min(a.to - a.from, b.to - b.from);
        if (frames < kMinCopyFrames)
            continue;
        scores.push_back(CopySums(a.at(t), b.at(t + length), frames, audio.channels()).unshared());
    }
    if (scores.empty())
        return -1.0;
    std::sort(scores.begin(), scores.end());
    return scores[scores.size() / 2];
}

} // namespace kestrin::audio::judge
