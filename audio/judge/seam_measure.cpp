// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/judge/seam_measure.h"

#include "core/positions.h"

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

// The stops within a second of a stored one, read once, and how each
// compares with the start: the search behind MeasureSeam's suggestion.
class StopSearch {
public:
    StopSearch(FrameSource& source, std::int64_t start, std::int64_t stop)
        : m_source(source), m_start(start), m_n(source.frames()), m_ch(source.channels()),
          m_reach(source.sampleRate() > 0 ? source.sampleRate() : SamplesPerSecond),
          m_lo(std::max(start + 1, stop - m_reach)),
          m_hi(std::min<std::int64_t>(
              {m_n, stop + m_reach, std::numeric_limits<std::int32_t>::max()})) {
        if (empty())
            return;
        m_afterStart = source.append(start, start + kWindow, m_following);
        m_followingEnergy = energySums(m_following.data(), m_afterStart, m_ch);
        m_got = source.append(m_lo, std::min(m_n, m_hi + kWindow), m_region);
        m_regionEnergy = energySums(m_region.data(), m_got, m_ch);
    }

    // No stop lies after the start within the reach.
    bool empty() const { return m_lo > m_hi; }
    bool holds(std::int64_t candidate) const { return candidate >= m_lo && candidate <= m_hi; }
    std::int64_t lo() const { return m_lo; }
    std::int64_t hi() const { return m_hi; }
    std::int64_t reach() const { return m_reach; }

    // Whether what follows `candidate` scores under `score` against what
    // follows the start (SeamSums), given up as soon as the difference
    // reaches it. `headShare`, when given, gets the difference over the first
    // frames as a share of their energy.
    bool matches(std::int64_t candidate, double score, double* headShare = nullptr) const {
        const std::int64_t at = candidate - m_lo;
        const std::int64_t len = std::min({kWindow, m_n - candidate, m_afterStart, m_got - at});
        if (len <= 0)
            return candidate == m_n; // only the frames before can tell: the judge measures them
        const SeamSums sums{energyOver(at, len), 0.0, len * m_ch};
        if (sums.silent())
            return true;
        const double limit = sums.differenceAt(score);
        const float* r = m_region.data() + at * m_ch;
        // The first frames in full, without a branch to mispredict: they alone
        // rule out nearly every stop.
        const std::int64_t head = std::min(kHeadFrames, len) * m_ch;
        double difference = differenceOver(r, head);
        if (headShare)
            *headShare = difference / energyOver(at, head / m_ch);
        if (difference >= limit)
            return false;
        const float* f = m_following.data();
        for (std::int64_t i = head; i < len * m_ch; ++i) {
            const double d = static_cast<double>(f[i]) - r[i];
            difference += d * d;
            if (difference >= limit)
                return false;
        }
        return true;
    }

    // Whether the first frames differ by little enough for a repeat through
    // codec noise: unrelated audio differs by about its own energy. Only a
    // stop whose first few frames passed (`headShare`) is measured further.
    bool mayRepeatNoisily(std::int64_t candidate, double headShare) const {
        if (!(headShare < kNoisyHeadShare))
            return false;
        const std::int64_t at = candidate - m_lo;
        const std::int64_t len =
            std::min({kNoisyHeadFrames, m_n - candidate, m_afterStart, m_got - at});
        const double difference = differenceOver(m_region.data() + at * m_ch, len * m_ch);
        return difference < kNoisyHeadShare * energyOver(at, len);
    }

    bool seamless(std::int64_t candidate) const {
        return IsSeamless(JudgeSeam(m_source, m_start, candidate));
    }

private:
    // The energy of the first `frames` frames after the start and of those
    // from `at` in the region.
    double energyOver(std::int64_t at, std::int64_t frames) const {
        return m_followingEnergy[static_cast<std::size_t>(frames)] +
               m_regionEnergy[static_cast<std::size_t>(at + frames)] -
               m_regionEnergy[static_cast<std::size_t>(at)];
    }
    // The squared difference of the first `samples` samples after the start
    // and those at `r`.
    double differenceOver(const float* r, std::int64_t samples) const {
        double difference = 0.0;
        for (std::int64_t i = 0; i < samples; ++i) {
            const double d = static_cast<double>(m_following[static_cast<std::size_t>(i)]) - r[i];
            difference += d * d;
        }
        return difference;
    }

    FrameSource& m_source;
    std::int64_t m_start;
    std::int64_t m_n;
    int m_ch;
    std::int64_t m_reach;
    std::int64_t m_lo;
    std::int64_t m_hi;
    std::vector<float> m_following; // what follows start, to be found again
    std::int64_t m_afterStart = 0;
    std::vector<double> m_followingEnergy;
    std::vector<float> m_region; // the stops within reach and the frames after them
    std::int64_t m_got = 0;
    std::vector<double> m_regionEnergy;
};

// The stop nearest `stop` within a second whose seam is seamless: exact
// repeats first, which is fast; the stops that may repeat through codec
// noise are kept, nearest first, for when there are none.
std::optional<std::int64_t> nearestSeamlessStop(FrameSource& source, std::int64_t start,
                                                std::int64_t stop) {
    const StopSearch search(source, start, stop);
    if (search.empty())
        return std::nullopt;
    std::vector<std::int64_t> noisy;
    for (std::int64_t d = 1; d <= search.reach(); ++d) {
        for (const std::int64_t candidate : {stop - d, stop + d}) {
            if (!search.holds(candidate))
                continue;
            double headShare = 1.0;
            if (search.matches(candidate, SeamlessScore, &headShare) && search.seamless(candidate))
                return candidate;
            if (search.mayRepeatNoisily(candidate, headShare))
                noisy.push_back(candidate);
        }
        if (stop - d < search.lo() && stop + d > search.hi())
            break;
    }
    for (const std::int64_t candidate : noisy) {
        if (search.matches(candidate, kCodecCeiling) && search.seamless(candidate))
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
