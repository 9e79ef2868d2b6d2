// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/judge/seam_judge.h"

#include "audio/dsp/autocorrelation.h"
#include "audio/dsp/fft.h"
#include "audio/read/audio_reader.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <numbers>
#include <numeric>
#include <optional>
#include <span>

namespace kestrin::audio {

namespace {

// Stops to each side of a seam that it must score below to be as close as
// the audio repeats.
constexpr std::int64_t kSeamNearbyStops = 8;

// The shortest comparison that counts: 6 ms, a few periods of the bass.
constexpr std::int64_t kMinCopyFrames = 256;

// Steps and prediction errors (RMS, in units of full scale) below -60 dB of
// full scale are not heard: a click of a fraction of a millisecond needs
// about 30 dB SPL to be heard, as the ear sums a short sound's energy over
// some 200 ms, and that is -60 dB of full scale played at 90 dB SPL. With
// kClickKink above it, a click starts 10 dB higher, at about 100 of 32,768.
constexpr double kInaudibleError = 1e-3;

// Band levels (RMS over the bands, as the musical verdict measures them)
// this far apart before the stop and after the start, with no copy to say
// the track itself moves so, are the music starting again at another level
// (a fade to silence, then the loud beginning), not going on: a quarter of
// the loudness. A loop made whole ends in the music it begins with, within
// a few dB.
constexpr double kRestartDb = 12.0;

// Windows of the band levels on either side of the jump over which the
// music's own change is taken: 1.1 s, a beat down to 54 per minute.
constexpr int kRestartWindows = 6;
// Windows are taken every quarter window for that change.
constexpr std::size_t kRestartSteps = 4;

// A loop whose jump comes back this often per second or more is heard as a
// tone of its own, a buzz, unless the jump cannot be heard at all: 20 times
// a second is where the ear fuses repeats into pitch (loops under 50 ms).
constexpr double kBuzzRate = 20.0;

// A copy this close is the same audio: rounding, not a difference.
constexpr double kExactScore = 1e-9;

// Steps of the musical verdict over the largest sample-to-sample change
// nearby that still pass: twice it, as a waveform crossing its own extreme
// slope meets another at a different phase.
constexpr double kMusicalStepFactor = 2.0;

// Frames on each side of the jump whose sample-to-sample changes set the
// step limit: 3 ms, a period of most of the bass.
constexpr std::int64_t kMusicalStepFrames = 128;

// Bands and window of the musical spectra: 24 bands, a third of an octave
// wide, over 186 ms, long enough that a drum hit humanised by 10 ms shifts
// little of its energy out of the window.
constexpr int kMusicalBands = 24;
constexpr std::int64_t kMusicalSpectrumFrames = 8192;

// Band levels within this RMS difference are one passage played again: a
// re-performance (new drum noise, a few cents of tuning, other reverb)
// moves them by 1 to 3 dB, a recorded orchestra playing the passage again
// with other instruments by up to 5.5 dB (16 jumps of real songs that an
// ear of its own calls clean, on their closer side), while two places of
// the same songs taken at random lie 6.4 dB apart or more nine times in ten.
constexpr double kMusicalSpectralDb = 6.0;

// The band levels across a musical jump may change this much more than the
// music's own change where it goes on: twice the loudness of a passage
// swelling by itself, a step a listener hears.
constexpr double kAcrossOverOwnDb = 3.0;

// Peaks of two renditions of one chord correlate at least this much on the
// closer side of the jump: on the test songs 0.7 to 1, in those real songs
// from 0.39 (the melody or the voicing moved over the same chord) to 0.97,
// while random places of the same songs correlate 0.16 at the median and
// under 0.44 nine times in ten, and noise about 0. With the band levels
// above, a random pair hardly passes both.
constexpr double kMusicalTonalLikeness = 0.35;

// The beat across a musical jump may move this far in seconds: two
// humanised notes lie up to 20 ms apart, while a grid that jumps by 45 ms is
// heard as a stumble.
constexpr double kMusicalGridJump = 0.020;

constexpr std::int64_t kWindow = SeamWindowFrames;
// A step or a phase jump shows within the first half millisecond.
constexpr std::int64_t kJumpFrames = 16;
// The predictor of the continuity measure: 16 coefficients follow a few
// partials and the spectral tilt of noise; fitted over 23 ms, shorter than a
// note and longer than the period of the bass.
constexpr int kOrder = 16;
constexpr std::int64_t kFitFrames = 1024;
// Frames after the jump that are predicted: 0.2 ms, in which a step or a kink
// has its say before the predictor has followed it.
constexpr std::int64_t kJunctionFrames = 8;
// Frames whose own prediction error is the audio's variation.
constexpr std::int64_t kOwnFrames = 256;
// Prediction errors are taken as at least the inaudible error's power, so
// that what a listener cannot hear (a fade's last bits, a converter's
// ripple at the start of a file) never makes a click.
constexpr double kErrorFloor = kInaudibleError * kInaudibleError;
// The level just before the jump and just after it, over 12 ms: a sound
// that falls by more than 6 dB from one to the next was cut off, as nothing
// but a gate decays that fast; one that rises has an attack, as music does.
// Below -60 dB of full scale nothing is cut that could be heard.
constexpr std::int64_t kLevelFrames = 512;
constexpr double kCutLevel = 0.25;
constexpr double kAudibleLevel = 1e-6;
// Windows inside the loop that give the noise of its repeat.
constexpr int kNoiseWindows = 4;
// The seam may differ this much more than the loop's own repeat does.
constexpr double kNoiseFactor = 3.0;
// Copies this much apart in level are not one repeat through a codec: the
// gain codec noise lends a window of music stays well below 0.4 dB.
constexpr double kLevelTolerance = 0.05;
// The beat grid across a musical jump: onsets from spectra of 23 ms every
// 5.8 ms (a fifth of the smallest jump that counts), over the 3 s after the
// jump (a bar or two: enough beats that single humanised notes average
// out), offsets sought within 70 ms either way (beyond a 32nd note at 120
// beats per minute the next note would be found instead). Onsets that
// correlate under 0.3 at their best show no rhythm to stumble.
constexpr std::int64_t kGridFft = 1024;
constexpr std::int64_t kGridHop = 256;
constexpr double kGridSeconds = 3.0;
constexpr double kGridReach = 0.070;
constexpr double kGridClarity = 0.3;
// Onsets count only in bands within 80 dB of the span's loudest, above the
// rounding and dither of 16-bit audio under a tone, and a beat is tracked
// only where some band rises by 3 dB from one hop to the next: a note or a
// hit. At 60 dB, the quiet attacks a song's rhythm is also followed by
// were lost.
constexpr double kOnsetDepth = 1e-8;
constexpr double kAudibleOnset = 0.69314718055994531; // ln 2
// The shortest period the music's own rhythm is sought at where neither
// side of a jump can be compared: a second holds a beat of slow music, and
// a shorter period (a hi-hat's eighths) would let a stumble of a whole
// subdivision pass for none.
constexpr double kOwnPeriodShortest = 1.0;

// The frames [from, to) of a track, clipped to it.
struct Span {
    std::vector<float> samples;
    std::int64_t from = 0;
    std::int64_t to = 0;
    int channels = 1;

    Span(FrameSource& audio, std::int64_t first, std::int64_t last) : channels(audio.channels()) {
        from = std::max<std::int64_t>(0, first);
        to = from + audio.append(from, last, samples);
    }
    // Frames read before frame t and from it on: none where the file held
    // fewer frames than its header said.
    std::int64_t before(std::int64_t t) const {
        return t <= to ? std::max<std::int64_t>(0, t - from) : 0;
    }
    std::int64_t after(std::int64_t t) const {
        return t >= from ? std::max<std::int64_t>(0, to - t) : 0;
    }
    // Frame `t` of the track; t must lie in [from, to).
    const float* at(std::int64_t t) const {
        return samples.data() + static_cast<std::size_t>((t - from) * channels);
    }
};

// How `frames` frames from `a` compare with those from `b`, every channel.
struct CopySums {
    double aa = 0;
    double bb = 0;
    double ab = 0;
    SeamSums sums;

    CopySums(const float* a, const float* b, std::int64_t frames, int channels) {
        for (std::int64_t i = 0; i < frames * channels; ++i) {
            aa += double{a[i]} * a[i];
            bb += double{b[i]} * b[i];
            ab += double{a[i]} * b[i];
        }
        sums = {aa + bb, aa + bb - 2 * ab, frames * channels};
    }
    // From sums made elsewhere in the same order.
    CopySums(double aaSum, double bbSum, double abSum, std::int64_t frames, int channels)
        : aa(aaSum), bb(bbSum),
          ab(abSum), sums{aaSum + bbSum, aaSum + bbSum - 2 * abSum, frames * channels} {}
    double score() const { return sums.score(); }
    // The same once the levels are matched: codec noise stays in it, a
    // difference of level alone (a swell, or a tremolo caught at another
    // phase) does not.
    double unshared() const {
        return sums.silent() || aa <= 0 ? 0.0 : std::max(0.0, bb - ab * ab / aa) / (aa + bb);
    }
    // The level of b relative to a (least squares).
    double gain() const { return aa > 0 ? ab / aa : 1.0; }
};

// Copies compared side by side in copySumsOfFour.
constexpr std::size_t kSideBySide = 4;

// CopySums of the `frames` frames from `a` with those from each of `b`, each
// to the bit as alone: one sum waits on the one before it, so four run at
// once, and the sum of `a` is made once.
std::array<CopySums, kSideBySide> copySumsOfFour(const float* a,
                                                 const std::array<const float*, kSideBySide>& b,
                                                 std::int64_t frames, int channels) {
    // Two doubles to a register (a GCC and Clang extension), each summed as
    // a double alone would be.
    using TwoDoubles = double __attribute__((vector_size(16)));
    double aa = 0;
    TwoDoubles bb01{}, bb23{}, ab01{}, ab23{};
    for (std::int64_t i = 0; i < frames * channels; ++i) {
        const double x = a[i];
        const TwoDoubles xx{x, x};
        const TwoDoubles y01{b[0][i], b[1][i]};
        const TwoDoubles y23{b[2][i], b[3][i]};
        aa += x * x;
        bb01 += y01 * y01;
        bb23 += y23 * y23;
        ab01 += xx * y01;
        ab23 += xx * y23;
    }
    return {CopySums(aa, bb01[0], ab01[0], frames, channels),
            CopySums(aa, bb01[1], ab01[1], frames, channels),
            CopySums(aa, bb23[0], ab23[0], frames, channels),
            CopySums(aa, bb23[1], ab23[1], frames, channels)};
}

double largestDifference(const float* a, const float* b, std::int64_t frames, int channels) {
    double largest = 0;
    for (std::int64_t i = 0; i < frames * channels; ++i)
        largest = std::max<double>(largest, std::abs(a[i] - b[i]));
    return largest;
}

// Coefficients a[1..kOrder] (a[0] unused) that predict x[t] as the sum of
// a[k] x[t - k]: Levinson-Durbin on the autocorrelation of x under a Hann
// window, which keeps the predictor stable.
std::vector<double> predictor(const std::vector<double>& x) {
    const std::size_t n = x.size();
    std::vector<double> w = HannWindow(n);
    for (std::size_t i = 0; i < n; ++i)
        w[i] *= x[i];
    std::array<double, kOrder + 1> r{};
    LaggedSums(w, 0, r);
    std::vector<double> a(kOrder + 1, 0.0);
    // A little white noise keeps a pure tone's equations solvable.
    double error = r[0] * (1 + 1e-9) + 1e-20;
    for (int i = 1; i <= kOrder; ++i) {
        double acc = r[static_cast<std::size_t>(i)];
        for (int j = 1; j < i; ++j)
            acc -= a[static_cast<std::size_t>(j)] * r[static_cast<std::size_t>(i - j)];
        const double k = acc / error;
        std::vector<double> next = a;
        next[static_cast<std::size_t>(i)] = k;
        for (int j = 1; j < i; ++j)
            next[static_cast<std::size_t>(j)] -= k * a[static_cast<std::size_t>(i - j)];
        a = std::move(next);
        error *= std::max(1e-12, 1 - k * k);
    }
    return a;
}

// The mean squared error of predicting x[from, to) from the samples before
// each; from must be at least kOrder.
double predictionError(const std::vector<double>& x, const std::vector<double>& a,
                       std::int64_t from, std::int64_t to) {
    double sum = 0;
    for (std::int64_t t = from; t < to; ++t) {
        double guess = 0;
        for (int k = 1; k <= kOrder; ++k)
            guess += a[static_cast<std::size_t>(k)] * x[static_cast<std::size_t>(t - k)];
        const double e = x[static_cast<std::size_t>(t)] - guess;
        sum += e * e;
    }
    return sum / static_cast<double>(std::max<std::int64_t>(1, to - from));
}

// The frames around start and around stop, with a margin for the stops
// nearby, and what the track's length allows to compare.
class Seam {
public:
    // `playsOn`: the track holds music after the stop to compare with what
    // follows the start; not where only silence follows it to the end.
    Seam(FrameSource& audio, std::int64_t start, std::int64_t stop, bool playsOn)
        : m_n(audio.frames()), m_ch(audio.channels()), m_start(start), m_playsOn(playsOn),
          m_aroundStart(audio, start - std::max(kWindow, kFitFrames), start + kWindow),
          m_aroundStop(audio, stop - std::max(kWindow, kFitFrames) - kSeamNearbyStops,
                       stop + kWindow + kSeamNearbyStops) {}

    // The copy comparisons of the seam at (start, stop): after the jump and
    // before it, each when it has enough frames.
    struct Copies {
        std::optional<double> after;
        std::optional<double> before;
        double afterGain = 1;
        double beforeGain = 1;
        double jump = 0;
        // The level of the better copy against what plays, 1 for the same.
        double gain() const {
            if (after && before)
                return *after <= *before ? afterGain : beforeGain;
            return after ? afterGain : beforeGain;
        }
        std::optional<double> best() const {
            if (after && before)
                return std::min(*after, *before);
            return after ? after : before;
        }
    };

    // The copy comparisons with the stop at `stop`; `known` sums, where
    // given, are those the comparisons after and before the jump make.
    Copies copies(std::int64_t stop, const std::optional<CopySums>& knownAfter = std::nullopt,
                  const std::optional<CopySums>& knownBefore = std::nullopt) const {
        Copies c;
        const std::int64_t afterFrames = framesAfter(stop);
        std::optional<double> afterJump;
        std::optional<double> beforeJump;
        if (afterFrames >= kMinCopyFrames) {
            const CopySums sums = knownAfter ? *knownAfter
                                             : CopySums(m_aroundStart.at(m_start),
                                                        m_aroundStop.at(stop), afterFrames, m_ch);
            c.after = sums.score();
            c.afterGain = sums.gain();
            afterJump = largestDifference(m_aroundStart.at(m_start), m_aroundStop.at(stop),
                                          kJumpFrames, m_ch);
        }
        const std::int64_t beforeFrames = framesBefore(stop);
        if (beforeFrames >= kMinCopyFrames) {
            const CopySums sums =
                knownBefore ? *knownBefore
                            : CopySums(m_aroundStart.at(m_start - beforeFrames),
                                       m_aroundStop.at(stop - beforeFrames), beforeFrames, m_ch);
            c.before = sums.score();
            c.beforeGain = sums.gain();
            beforeJump = largestDifference(m_aroundStart.at(m_start - kJumpFrames),
                                           m_aroundStop.at(stop - kJumpFrames), kJumpFrames, m_ch);
        }
        if (afterJump && beforeJump)
            c.jump = std::min(*afterJump, *beforeJump);
        else
            c.jump = afterJump.value_or(beforeJump.value_or(0.0));
        return c;
    }

    // The kink of the header, and the step of the first frame after the jump
    // from where the two before it were heading.
    struct Continuity {
        double kink = 0;
        double kinkFromBefore = 0;
        double step = 0;
        // The RMS of the junction's prediction error: the step from where
        // the audio was heading.
        double junction = 0;
        bool cut = false; // the sound before the jump stops short
    };
    Continuity continuity(std::int64_t stop) const {
        const std::int64_t left = std::min(kFitFrames, m_aroundStop.before(stop));
        const std::int64_t right = std::min(kFitFrames, m_aroundStart.after(m_start));
        Continuity result;
        double& step = result.step;
        if (left >= 2 && right >= 1) {
            const float* x1 = m_aroundStop.at(stop - 1);
            const float* x2 = m_aroundStop.at(stop - 2);
            const float* y = m_aroundStart.at(m_start);
            for (int c = 0; c < m_ch; ++c)
                step = std::max<double>(step, std::abs(y[c] - 2.0 * x1[c] + x2[c]));
        }
        if (left < kOrder + kJunctionFrames || right < kOrder + kJunctionFrames)
            return result;
        const std::int64_t levelFrames = std::min({kLevelFrames, left, right});
        const double levelBefore = CopySums(m_aroundStop.at(stop - levelFrames),
                                            m_aroundStop.at(stop - levelFrames), levelFrames, m_ch)
                                       .aa;
        const double levelAfter =
            CopySums(m_aroundStart.at(m_start), m_aroundStart.at(m_start), levelFrames, m_ch).aa;
        result.cut = levelBefore > kAudibleLevel * static_cast<double>(levelFrames * m_ch) &&
                     levelAfter < kCutLevel * levelBefore;
        for (int c = 0; c < m_ch; ++c) {
            std::vector<double> before(static_cast<std::size_t>(left));
            std::vector<double> after(static_cast<std::size_t>(right));
            for (std::int64_t i = 0; i < left; ++i)
                before[static_cast<std::size_t>(i)] = m_aroundStop.at(stop - left + i)[c];
            for (std::int64_t i = 0; i < right; ++i)
                after[static_cast<std::size_t>(i)] = m_aroundStart.at(m_start + i)[c];
            std::vector<double> heard = before;
            heard.insert(heard.end(), after.begin(), after.begin() + kJunctionFrames);
            const std::vector<double> ahead = predictor(before);
            const double junction = predictionError(heard, ahead, left, left + kJunctionFrames);
            const double ownBefore =
                std::max(kErrorFloor,
                         predictionError(before, ahead,
                                         std::max<std::int64_t>(kOrder, left - kOwnFrames), left));
            const double ownAfter = predictionError(after, predictor(after), kOrder,
                                                    std::min(right, kOrder + kOwnFrames));
            result.kink = std::max(result.kink, junction / std::max(ownBefore, ownAfter));
            result.kinkFromBefore = std::max(result.kinkFromBefore, junction / ownBefore);
            result.junction = std::max(result.junction, std::sqrt(junction));
        }
        return result;
    }

    // Whether a stop within kSeamNearbyStops of `stop` compares lower.
    bool lowestNearby(std::int64_t stop, double score) const {
        std::vector<std::int64_t> others;
        for (std::int64_t d = -kSeamNearbyStops; d <= kSeamNearbyStops; ++d) {
            const std::int64_t other = stop + d;
            if (d != 0 && other > m_start && other <= m_n)
                others.push_back(other);
        }
        // In order, four stops compared at once where they compare as many
        // frames.
        for (std::size_t i = 0; i < others.size(); i += kSideBySide) {
            std::array<std::optional<CopySums>, kSideBySide> after;
            std::array<std::optional<CopySums>, kSideBySide> before;
            const std::size_t count = std::min(kSideBySide, others.size() - i);
            if (count == kSideBySide) {
                std::array<std::int64_t, kSideBySide> four{};
                std::copy_n(others.begin() + static_cast<std::ptrdiff_t>(i), kSideBySide,
                            four.begin());
                sumFour(four, after, before);
            }
            for (std::size_t j = 0; j < count; ++j) {
                if (const auto s = copies(others[i + j], after[j], before[j]).best();
                    s && *s < score)
                    return false;
            }
        }
        return true;
    }

private:
    // The frames compared after the jump and before it for a stop at `stop`.
    std::int64_t framesAfter(std::int64_t stop) const {
        if (!m_playsOn)
            return 0;
        return std::min({kWindow, m_aroundStop.after(stop), m_aroundStart.after(m_start)});
    }
    std::int64_t framesBefore(std::int64_t stop) const {
        return std::min({kWindow, m_aroundStart.before(m_start), m_aroundStop.before(stop)});
    }

    // The sums copies() makes for each of `stops`, on each side where all
    // four compare as many frames; left empty elsewhere.
    void sumFour(const std::array<std::int64_t, kSideBySide>& stops,
                 std::array<std::optional<CopySums>, kSideBySide>& after,
                 std::array<std::optional<CopySums>, kSideBySide>& before) const {
        const auto alike = [&](auto framesOf) {
            const std::int64_t frames = framesOf(stops[0]);
            for (const std::int64_t stop : stops) {
                if (framesOf(stop) != frames)
                    return std::int64_t{0};
            }
            return frames;
        };
        const auto keep = [](const std::array<CopySums, kSideBySide>& sums,
                             std::array<std::optional<CopySums>, kSideBySide>& into) {
            for (std::size_t j = 0; j < kSideBySide; ++j)
                into[j] = sums[j];
        };
        std::array<const float*, kSideBySide> b{};
        if (const std::int64_t frames =
                alike([this](std::int64_t stop) { return framesAfter(stop); });
            frames >= kMinCopyFrames) {
            for (std::size_t j = 0; j < kSideBySide; ++j)
                b[j] = m_aroundStop.at(stops[j]);
            keep(copySumsOfFour(m_aroundStart.at(m_start), b, frames, m_ch), after);
        }
        if (const std::int64_t frames =
                alike([this](std::int64_t stop) { return framesBefore(stop); });
            frames >= kMinCopyFrames) {
            for (std::size_t j = 0; j < kSideBySide; ++j)
                b[j] = m_aroundStop.at(stops[j] - frames);
            keep(copySumsOfFour(m_aroundStart.at(m_start - frames), b, frames, m_ch), before);
        }
    }

    std::int64_t m_n;
    int m_ch;
    std::int64_t m_start;
    bool m_playsOn;
    Span m_aroundStart;
    Span m_aroundStop;
};

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

// The spectrum of the frames [from, from + kMusicalSpectrumFrames), every
// channel's power summed: band levels in dB (kMusicalBands, see the header)
// and the peaks of the fine spectrum between kPeaksLow and kPeaksHigh (each
// bin's level in dB, smoothed over 3 bins, less its mean over a third of an
// octave around it, where above it): where the tones are, whatever the
// overall tilt; the floor between them, noise anyway, is left at 0.
struct Spectrum {
    std::vector<double> bands;
    std::vector<double> peaks;
};

// Band levels are taken no lower than the floor of 24-bit audio (6.02 dB a
// bit, in dB of full scale), below any sample it can hold: digital silence
// lies there, so that no figure claims more than 24-bit audio can show.
constexpr double kSilenceFloorDb = -144.5;

// The power of each bin of the `n` frames of `span` from `from` under a Hann
// window, every channel's summed.
std::vector<double> windowPower(const Span& span, std::int64_t from, std::int64_t n) {
    RealSpectrum fft(static_cast<std::size_t>(n));
    const std::vector<double> window = HannWindow(static_cast<std::size_t>(n));
    std::vector<double> power(static_cast<std::size_t>(n / 2 + 1), 0.0);
    for (int c = 0; c < span.channels; ++c) {
        for (std::int64_t i = 0; i < n; ++i)
            fft.in()[i] =
                static_cast<float>(window[static_cast<std::size_t>(i)] * span.at(from + i)[c]);
        fft.run();
        for (std::size_t k = 0; k < power.size(); ++k)
            power[k] += fft.power(k);
    }
    return power;
}

// The tones of music lie here: the bass's partials up to the melody's.
constexpr double kPeaksLow = 100.0;
constexpr double kPeaksHigh = 5000.0;

// The spectrum of the kMusicalSpectrumFrames from `from`; its peaks only
// when `withPeaks`, as the likeness of tones alone needs them.
std::optional<Spectrum> spectrumAt(FrameSource& audio, std::int64_t from, bool withPeaks = true) {
    constexpr std::int64_t n = kMusicalSpectrumFrames;
    if (from < 0 || from + n > audio.frames())
        return std::nullopt;
    const Span span(audio, from, from + n);
    if (span.to - span.from < n)
        return std::nullopt;
    const std::vector<double> power = windowPower(span, from, n);
    // Bin k lies at k / n of the rate; the track's rate is not known here,
    // so 44,100 is taken: at 48,000 the bands shift by 9 %, alike on both
    // sides of the jump.
    constexpr double kRate = 44100.0;
    constexpr double kLow = 50.0;
    constexpr double kHigh = 16000.0;
    auto hz = [](std::size_t k) { return static_cast<double>(k) * kRate / static_cast<double>(n); };
    // The band of each bin, -1 outside them: the same for every spectrum,
    // and a logarithm per bin costs as much as the transform.
    static const std::vector<int> bandOf = [&] {
        std::vector<int> bands(power.size(), -1);
        for (std::size_t k = 1; k < bands.size(); ++k) {
            if (hz(k) < kLow || hz(k) >= kHigh)
                continue;
            const auto b = static_cast<std::size_t>(kMusicalBands * std::log(hz(k) / kLow) /
                                                    std::log(kHigh / kLow));
            bands[k] = static_cast<int>(std::min<std::size_t>(b, kMusicalBands - 1));
        }
        return bands;
    }();
    Spectrum spectrum;
    spectrum.bands.assign(kMusicalBands, 0.0);
    for (std::size_t k = 1; k < power.size(); ++k) {
        if (bandOf[k] >= 0)
            spectrum.bands[static_cast<std::size_t>(bandOf[k])] += power[k];
    }
    // In dB of a full-scale sine, whose power a Hann window of n frames
    // spreads over three bins, 3 n^2 / 32 in all; silence sits at the floor.
    constexpr double kFullScaleBand = 3.0 * n * n / 32.0;
    for (double& b : spectrum.bands)
        b = std::max(kSilenceFloorDb, 10 * std::log10(b / kFullScaleBand + 1e-30));
    if (!withPeaks)
        return spectrum;
    // The peaks' means reach a sixth of an octave past kPeaksHigh: the bins
    // above are never summed.
    std::size_t summed = 1;
    for (std::size_t k = 1; k + 1 < power.size(); ++k) {
        if (hz(k) >= kPeaksLow && hz(k) < kPeaksHigh)
            summed =
                std::max(summed, std::min(power.size(), k + std::max<std::size_t>(4, k / 8) + 1));
    }
    std::vector<double> prefix(power.size() + 1, 0.0);
    for (std::size_t k = 0; k < summed; ++k)
        prefix[k + 1] = prefix[k] + 10 * std::log10(power[k] + 1e-12);
    auto mean = [&](std::size_t a, std::size_t b) {
        b = std::min(b, power.size());
        return (prefix[b] - prefix[a]) / static_cast<double>(b - a);
    };
    for (std::size_t k = 1; k + 1 < power.size(); ++k) {
        if (hz(k) < kPeaksLow || hz(k) >= kPeaksHigh)
            continue;
        const auto half = std::max<std::size_t>(4, k / 8);
        spectrum.peaks.push_back(
            std::max(0.0, mean(k - 1, k + 2) - mean(k > half ? k - half : 0, k + half + 1)));
    }
    return spectrum;
}

// The RMS difference in dB of two band level lists over the bands within 60
// dB of the loudest; negative when all is silent. At most the floor's depth,
// as silence lies at the floor.
double spectralDistance(const std::vector<double>& a, const std::vector<double>& b) {
    double loudest = kSilenceFloorDb;
    for (std::size_t i = 0; i < a.size(); ++i)
        loudest = std::max({loudest, a[i], b[i]});
    if (loudest <= kSilenceFloorDb)
        return -1.0;
    double sum = 0;
    int count = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::max(a[i], b[i]) < loudest - 60.0)
            continue;
        const double d = a[i] - b[i];
        sum += d * d;
        ++count;
    }
    return count > 0 ? std::sqrt(sum / count) : -1.0;
}

// The onset strength of the track every kGridHop frames over [from, from +
// frames): the rise of each band's log power from one hop to the next,
// summed over the bands where it rises (a drum hit and a new note both
// raise it), from spectra of kGridFft frames of the channels' mean, in the
// kMusicalBands bands of the spectral likeness. Empty where the frames do
// not lie wholly in the track.
std::vector<double> onsetsAt(FrameSource& audio, std::int64_t from, std::int64_t frames) {
    if (from < 0 || from + frames + kGridFft > audio.frames())
        return {};
    const Span span(audio, from, from + frames + kGridFft);
    if (span.to - span.from < frames + kGridFft)
        return {};
    const int ch = span.channels;
    constexpr std::size_t bins = kGridFft / 2 + 1;
    RealSpectrum fft(static_cast<std::size_t>(kGridFft));
    const std::vector<double> window = HannWindow(static_cast<std::size_t>(kGridFft));
    // Bin k lies at k / kGridFft of the rate, taken as 44,100 as for the
    // spectral likeness.
    std::vector<int> bandOf(bins, -1);
    for (std::size_t k = 1; k < bins; ++k) {
        const double hz = static_cast<double>(k) * 44100.0 / kGridFft;
        if (hz >= 50.0 && hz < 16000.0)
            bandOf[k] =
                std::min(kMusicalBands - 1, static_cast<int>(kMusicalBands * std::log(hz / 50.0) /
                                                             std::log(16000.0 / 50.0)));
    }
    std::vector<double> levels; // each hop's band powers, one after another
    double loudest = 0;
    for (std::int64_t t = 0; t <= frames; t += kGridHop) {
        for (std::int64_t i = 0; i < kGridFft; ++i) {
            const float* frame = span.at(from + t + i);
            double mono = 0;
            for (int c = 0; c < ch; ++c)
                mono += frame[c];
            fft.in()[i] = static_cast<float>(window[static_cast<std::size_t>(i)] * mono / ch);
        }
        fft.run();
        const std::size_t first = levels.size();
        levels.resize(first + kMusicalBands, 0.0);
        for (std::size_t k = 1; k < bins; ++k)
            if (bandOf[k] >= 0)
                levels[first + static_cast<std::size_t>(bandOf[k])] += fft.power(k);
        loudest =
            std::max(loudest, *std::max_element(levels.begin() + static_cast<std::ptrdiff_t>(first),
                                                levels.end()));
    }
    // What lies far under the loudest band is not heard, and its level
    // wanders with rounding: a steady tone's quantisation noise, taken in
    // at every phase of its period, would beat a rhythm of its own.
    const double floor = loudest * kOnsetDepth + 1e-10;
    std::vector<double> onsets;
    double strongest = 0;
    for (std::size_t at = kMusicalBands; at < levels.size(); at += kMusicalBands) {
        double flux = 0;
        for (std::size_t b = 0; b < kMusicalBands; ++b)
            flux += std::max(0.0, std::log(std::max(levels[at + b], floor)) -
                                      std::log(std::max(levels[at - kMusicalBands + b], floor)));
        onsets.push_back(flux);
        strongest = std::max(strongest, flux);
    }
    // No note or hit stands out: a held tone or silence has no beat to track.
    if (strongest < kAudibleOnset)
        return {};
    return onsets;
}

// Where between its neighbours the peak of `r` at `best` lies, in
// samples of `r` (-0.5 to 0.5), by the parabola through the three; 0 where
// they make no peak. `best` has a neighbour on either side.
double peakFraction(const std::vector<double>& r, std::size_t best) {
    const double p = r[best - 1];
    const double q = r[best];
    const double u = r[best + 1];
    return p - 2 * q + u < 0 ? std::clamp(0.5 * (p - u) / (p - 2 * q + u), -0.5, 0.5) : 0.0;
}

// How far in seconds the onsets of `a` lie after those of `b`, within
// kGridReach either way, and how clearly: the normalised cross-correlation
// at its peak, refined by the parabola through its neighbours. nullopt
// where either is empty or flat.
struct GridOffset {
    double seconds = 0;
    double clarity = 0;
};
std::optional<GridOffset> gridOffset(const std::vector<double>& a, const std::vector<double>& b,
                                     int rate) {
    if (a.empty() || a.size() != b.size())
        return std::nullopt;
    const auto centred = [](std::vector<double> v) {
        const double mean =
            std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
        for (double& x : v)
            x -= mean;
        return v;
    };
    const std::vector<double> x = centred(a);
    const std::vector<double> y = centred(b);
    const auto reach = static_cast<std::ptrdiff_t>(std::ceil(kGridReach * rate / kGridHop));
    const auto n = static_cast<std::ptrdiff_t>(x.size());
    std::vector<double> r(static_cast<std::size_t>(2 * reach + 1), 0.0);
    for (std::ptrdiff_t lag = -reach; lag <= reach; ++lag) {
        double xy = 0;
        double xx = 0;
        double yy = 0;
        for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(0, -lag); i < n && i + lag < n; ++i) {
            xy += x[static_cast<std::size_t>(i + lag)] * y[static_cast<std::size_t>(i)];
            xx += x[static_cast<std::size_t>(i + lag)] * x[static_cast<std::size_t>(i + lag)];
            yy += y[static_cast<std::size_t>(i)] * y[static_cast<std::size_t>(i)];
        }
        r[static_cast<std::size_t>(lag + reach)] = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
    }
    const auto best = static_cast<std::ptrdiff_t>(std::max_element(r.begin(), r.end()) - r.begin());
    double lag = static_cast<double>(best - reach);
    if (best > 0 && best + 1 < static_cast<std::ptrdiff_t>(r.size()))
        lag += peakFraction(r, static_cast<std::size_t>(best));
    if (r[static_cast<std::size_t>(best)] <= 0)
        return std::nullopt;
    return GridOffset{lag * kGridHop / rate, r[static_cast<std::size_t>(best)]};
}

// Where nothing follows the stop to compare (the loop of the whole track,
// a song that ends where it jumps back), what would have played after the
// stop is taken from the music's own period:
// the lag between kOwnPeriodShortest and kGridSeconds at which the onsets
// of the kGridSeconds before the stop best repeat those before them. The
// onsets after the start are held against those one period before the
// stop, less the spectrum's frames so that both lie wholly in the track.
// nullopt where the audio is too short or the onsets show no period.
std::optional<GridOffset> ownPeriodOffset(FrameSource& audio, std::int64_t start, std::int64_t stop,
                                          int rate) {
    const auto span = static_cast<std::int64_t>(kGridSeconds * rate) / kGridHop * kGridHop;
    const std::vector<double> o = onsetsAt(audio, stop - 2 * span - kGridFft, 2 * span);
    if (o.empty())
        return std::nullopt;
    const auto n = static_cast<std::ptrdiff_t>(o.size());
    const auto window = static_cast<std::ptrdiff_t>(span / kGridHop);
    const auto shortest =
        static_cast<std::ptrdiff_t>(std::ceil(kOwnPeriodShortest * rate / kGridHop));
    const std::ptrdiff_t last = std::min(window, n - window);
    if (last < shortest)
        return std::nullopt;
    std::vector<double> r(static_cast<std::size_t>(window + 1), 0.0);
    TailCorrelations(o, static_cast<std::size_t>(window), static_cast<std::size_t>(shortest - 1),
                     std::span(r).subspan(static_cast<std::size_t>(shortest - 1),
                                          static_cast<std::size_t>(last - shortest + 2)));
    std::ptrdiff_t best = shortest;
    for (std::ptrdiff_t lag = shortest + 1; lag <= last; ++lag)
        if (r[static_cast<std::size_t>(lag)] > r[static_cast<std::size_t>(best)])
            best = lag;
    if (r[static_cast<std::size_t>(best)] < kGridClarity)
        return std::nullopt;
    double lag = static_cast<double>(best);
    if (best + 1 <= window)
        lag += peakFraction(r, static_cast<std::size_t>(best));
    const std::int64_t period = std::llround(lag * kGridHop);
    const std::int64_t frames = (period - kGridFft) / kGridHop * kGridHop;
    if (frames < kGridHop)
        return std::nullopt;
    return gridOffset(onsetsAt(audio, start, frames), onsetsAt(audio, stop - period, frames), rate);
}

// How far the beat jumps at the seam: the onsets of the kGridSeconds after
// start against those after stop (what would have played, another rendition
// where the loop joins two), or where the track does not go on that long
// past the stop, against the grid that leads into the stop carried on by
// its own period. Never the frames before the start: they lead into it only
// the first time through, and an intro keeps a grid of its own. nullopt
// where the onsets show no clear rhythm.
std::optional<double> gridJump(FrameSource& audio, std::int64_t start, std::int64_t stop) {
    const int rate = audio.sampleRate() > 0 ? audio.sampleRate() : 44100;
    const auto frames = static_cast<std::int64_t>(kGridSeconds * rate);
    std::optional<GridOffset> best;
    const auto side = [&](std::int64_t a, std::int64_t b) {
        const std::optional<GridOffset> o =
            gridOffset(onsetsAt(audio, a, frames), onsetsAt(audio, b, frames), rate);
        if (o && (!best || o->clarity > best->clarity))
            best = o;
    };
    side(start, stop);
    if (!best)
        best = ownPeriodOffset(audio, start, stop, rate);
    if (!best || best->clarity < kGridClarity)
        return std::nullopt;
    return best->seconds;
}

// A seamless seam whose beat jumps by more than kMusicalGridJump is soft:
// it stumbles.
void checkBeat(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamFigures& figures) {
    if (const std::optional<double> jump = gridJump(audio, start, stop)) {
        figures.gridJump = *jump;
        if (std::abs(*jump) > kMusicalGridJump) {
            figures.sound = SeamSound::Soft;
            figures.stumbles = true;
        }
    }
}

// The largest sample-to-sample change among the kMusicalStepFrames frames
// before `stop` and after `start`, their RMS (the music's own change), and
// the step across the jump.
struct Steps {
    double nearby = 0;
    double typical = 0;
    double jump = 0;
};

Steps musicalSteps(FrameSource& audio, std::int64_t start, std::int64_t stop) {
    Steps steps;
    const Span before(audio, stop - kMusicalStepFrames, stop);
    const Span after(audio, start, start + kMusicalStepFrames);
    const int ch = audio.channels();
    double squares = 0;
    std::int64_t changes = 0;
    auto largestChange = [&](const Span& s) {
        double largest = 0;
        for (std::int64_t t = s.from + 1; t < s.to; ++t)
            for (int c = 0; c < ch; ++c) {
                const double d = std::abs(s.at(t)[c] - s.at(t - 1)[c]);
                largest = std::max(largest, d);
                squares += d * d;
                ++changes;
            }
        return largest;
    };
    steps.nearby = std::max(largestChange(before), largestChange(after));
    steps.typical = changes > 0 ? std::sqrt(squares / static_cast<double>(changes)) : 0.0;
    if (before.to > before.from && after.to > after.from)
        for (int c = 0; c < ch; ++c)
            steps.jump =
                std::max<double>(steps.jump, std::abs(after.at(start)[c] - before.at(stop - 1)[c]));
    return steps;
}

// Whether the band levels change across the musical jump (the frames
// before the stop against those after the start) by kAcrossOverOwnDb more
// than the music changes by itself over the same windows at the stop or at
// the start: either side may sound like the other's passage while the jump
// itself leaps from a loud bar into a soft one, heard as the music starting
// again. Sets the figures' restarts and spectralDb when it does.
bool changesAcross(FrameSource& audio, std::int64_t start, std::int64_t stop,
                   SeamFigures& figures) {
    const auto before = spectrumAt(audio, stop - kMusicalSpectrumFrames, false);
    const auto after = spectrumAt(audio, start, false);
    if (!before || !after)
        return false;
    const double across = spectralDistance(before->bands, after->bands);
    double own = 0;
    if (const auto next = spectrumAt(audio, stop, false))
        own = spectralDistance(before->bands, next->bands);
    if (const auto previous = spectrumAt(audio, start - kMusicalSpectrumFrames, false))
        own = std::max(own, spectralDistance(previous->bands, after->bands));
    if (across <= std::max(kMusicalSpectralDb, own + kAcrossOverOwnDb))
        return false;
    figures.restarts = true;
    figures.spectralDb = across;
    return true;
}

// Held notes across a musical jump: the fine spectra of the kHeldFrames
// before the stop, after the stop (where the track carries a note on) and
// after the start, in dB of a full-scale sine. A tone is held where it
// stands kHeldPeakDb above the bins around it, within kHeldBrightDb of the
// loudest bin before the stop, and the track plays it on past the stop
// within kHeldOnDb; it is cut where after the start it lies kHeldCutDb
// under its level before the stop: the note stops dead at the jump. 46 ms
// resolve tones 22 Hz apart; a cut of 20 dB is a quarter of the loudness.
constexpr std::int64_t kHeldFrames = 2048;
constexpr double kHeldPeakDb = 12.0;
constexpr double kHeldBrightDb = 30.0;
constexpr double kHeldOnDb = 6.0;
constexpr double kHeldCutDb = 20.0;
// Held notes are sought from the bass's partials up to the brightest a
// melody reaches.
constexpr double kHeldLowHz = 100.0;
constexpr double kHeldHighHz = 8000.0;

// Each bin's level over the kHeldFrames from `from`, every channel's power
// summed; empty where they do not lie wholly in the track.
std::vector<double> fineLevels(FrameSource& audio, std::int64_t from) {
    constexpr std::int64_t n = kHeldFrames;
    const Span span(audio, from, from + n);
    if (from < 0 || span.to - span.from < n)
        return {};
    std::vector<double> power = windowPower(span, from, n);
    constexpr double kFullScaleBin = 1.0 * n * n / 16.0; // a Hann window's peak for a full sine
    for (double& p : power)
        p = std::max(kSilenceFloorDb, 10 * std::log10(p / kFullScaleBin + 1e-30));
    return power;
}

// The frequency of a note held into the stop, carried on by the track past
// it, that stops dead after the start; nullopt where none does.
std::optional<double> cutHeldNote(FrameSource& audio, std::int64_t start, std::int64_t stop) {
    const std::vector<double> before = fineLevels(audio, stop - kHeldFrames);
    const std::vector<double> on = fineLevels(audio, stop);
    const std::vector<double> after = fineLevels(audio, start);
    if (before.empty() || on.empty() || after.empty())
        return std::nullopt;
    const int rate = audio.sampleRate() > 0 ? audio.sampleRate() : 44100;
    const double binHz = static_cast<double>(rate) / kHeldFrames;
    const double loudest = *std::max_element(before.begin(), before.end());
    const auto near = [](const std::vector<double>& v, std::size_t k) {
        return std::max({v[k - 1], v[k], v[k + 1]});
    };
    constexpr std::size_t around = 8; // bins either side: the floor a tone stands on
    const auto first = static_cast<std::size_t>(std::ceil(kHeldLowHz / binHz));
    const auto last =
        std::min(before.size() - around - 1, static_cast<std::size_t>(kHeldHighHz / binHz));
    for (std::size_t k = std::max(first, around); k <= last; ++k) {
        if (before[k] < before[k - 1] || before[k] < before[k + 1] ||
            before[k] < loudest - kHeldBrightDb)
            continue;
        const double floor = std::min(before[k - around], before[k + around]);
        if (before[k] - floor < kHeldPeakDb || near(on, k) < before[k] - kHeldOnDb ||
            near(after, k) > before[k] - kHeldCutDb)
            continue;
        return static_cast<double>(k) * binHz;
    }
    return std::nullopt;
}

// The musical verdict of the header, for a seam whose copy is not exact.
void judgeMusically(FrameSource& audio, std::int64_t start, std::int64_t stop,
                    const Seam::Continuity& continuity, SeamFigures& figures) {
    figures.musical = true;
    const Steps steps = musicalSteps(audio, start, stop);
    figures.jump = steps.jump;
    if (steps.jump >= kInaudibleError && steps.jump > kMusicalStepFactor * steps.nearby) {
        figures.sound = SeamSound::Click;
        return;
    }
    // A junction the predictor cannot follow is no click when the spectrum
    // goes on (below) and its step is one the music takes itself there: its
    // step from where the music was heading no larger than the music's RMS
    // change from sample to sample, or the step across the jump no larger
    // than the largest change the music makes on either side. Two renditions
    // never meet in phase, and a predictor fitted to the tones before the
    // jump amplifies that into a kink; loud, bright music hides a step no
    // larger than its own.
    const bool buried = continuity.junction <= steps.typical || steps.jump <= steps.nearby;
    if (figures.kink >= kClickKink && !buried) {
        figures.sound = SeamSound::Click;
        return;
    }
    // After the jump and before it: a side that passes both measures makes
    // the seam seamless (the one whose tones are most alike is reported);
    // with none, the side whose levels are closer is.
    figures.spectralDb = -1.0;
    figures.tonalLikeness = -1.0;
    bool passes = false;
    for (const std::int64_t back : {std::int64_t{0}, kMusicalSpectrumFrames}) {
        const auto a = spectrumAt(audio, start - back);
        const auto b = spectrumAt(audio, stop - back);
        if (!a || !b)
            continue;
        const double db = spectralDistance(a->bands, b->bands);
        if (db < 0)
            continue;
        const double tonal = Correlation(a->peaks, b->peaks);
        const bool pass = db <= kMusicalSpectralDb && tonal >= kMusicalTonalLikeness;
        const bool better = pass ? !passes || tonal > figures.tonalLikeness
                                 : !passes && (figures.spectralDb < 0 || db < figures.spectralDb);
        if (better) {
            figures.spectralDb = db;
            figures.tonalLikeness = tonal;
            passes = passes || pass;
        }
    }
    if (figures.kink >= kClickKink && !passes) {
        figures.sound = SeamSound::Click;
        return;
    }
    figures.sound = !continuity.cut && passes ? SeamSound::Seamless : SeamSound::Soft;
    if (figures.sound == SeamSound::Seamless && changesAcross(audio, start, stop, figures))
        figures.sound = SeamSound::Soft;
    // Alike spectra weigh a note as one band among many: a bright one the
    // track holds on past the stop, gone after the start, is heard to stop.
    if (figures.sound == SeamSound::Seamless) {
        if (const std::optional<double> hz = cutHeldNote(audio, start, stop)) {
            figures.sound = SeamSound::Soft;
            figures.cutNoteHz = *hz;
        }
    }
    // The beat must go on across the jump: music that sounds alike but
    // comes in early or late stumbles.
    if (figures.sound == SeamSound::Seamless)
        checkBeat(audio, start, stop, figures);
}

// Samples no larger than one step of 24-bit audio are digital silence.
constexpr float kDigitalSilence = 1.0F / (1 << 23);
// Digital silence this long that runs to the end of the track is the music
// over, not a rest it holds before going on: 0.2 s, longer than the gap
// between the rows of any tempo a song keeps.
constexpr double kEndedSeconds = 0.2;
// Frames read at a time when walking through silence.
constexpr std::int64_t kSilenceChunk = 16384;

bool audible(const float* frame, int channels) {
    return std::any_of(frame, frame + channels,
                       [](float x) { return std::abs(x) > kDigitalSilence; });
}

// The first audible frame in [from, to), or `to` when all is silent.
std::int64_t firstAudible(FrameSource& audio, std::int64_t from, std::int64_t to) {
    const int ch = audio.channels();
    for (std::int64_t at = from; at < to; at += kSilenceChunk) {
        const Span span(audio, at, std::min(to, at + kSilenceChunk));
        for (std::int64_t t = span.from; t < span.to; ++t)
            if (audible(span.at(t), ch))
                return t;
        if (span.to < std::min(to, at + kSilenceChunk))
            break; // the file ends early: nothing more to hear
    }
    return to;
}

// The frame after the last audible one in [from, to), or `from` when all is
// silent.
std::int64_t audibleEnd(FrameSource& audio, std::int64_t from, std::int64_t to) {
    const int ch = audio.channels();
    for (std::int64_t at = to; at > from; at -= kSilenceChunk) {
        const Span span(audio, std::max(from, at - kSilenceChunk), at);
        for (std::int64_t t = span.to; t > span.from; --t)
            if (audible(span.at(t - 1), ch))
                return t;
    }
    return from;
}

// Where digital silence runs from the stop to the end of the track and
// began at least kEndedSeconds before it, the music is over: wherever in
// that silence the stop lies, or at its edge when the start lies in silence
// before the music, the loop plays the song's end, silence and the music
// again. The frames of silence heard at the jump (those before the stop and
// those before the start's first sound); nullopt where the music goes on
// after the stop, where no silence is heard or the loop holds no sound.
// Requires that nothing audible follows the stop.
std::optional<std::int64_t> silenceOfTheEnd(FrameSource& audio, std::int64_t start,
                                            std::int64_t stop) {
    const std::int64_t n = audio.frames();
    const int rate = audio.sampleRate() > 0 ? audio.sampleRate() : 44100;
    const auto ended = static_cast<std::int64_t>(kEndedSeconds * rate);
    const std::int64_t end = audibleEnd(audio, start, stop);
    if (end == start || n - end < ended)
        return std::nullopt;
    const std::int64_t silence = stop - end + firstAudible(audio, start, end) - start;
    return silence > 0 ? std::optional(silence) : std::nullopt;
}

// The band levels of the frames before `stop` and after `start` apart by
// kRestartDb or more, and by kAcrossOverOwnDb more than the music changes by
// itself from one window to the next where the loop plays it on: over the
// kRestartWindows leading into the stop, from before the start into it, and
// over those after it. A hit on the start's beat lies far from the decay
// before the stop, as every hit does from the decay before it; a fade to
// silence, then the loud beginning, changes more than the fade does. The
// music starts again at another level. Sets the figures' spectralDb to the
// distance when it does.
bool restarts(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamFigures& figures) {
    constexpr std::int64_t w = kMusicalSpectrumFrames;
    const auto before = spectrumAt(audio, stop - w, false);
    const auto after = spectrumAt(audio, start, false);
    if (!before || !after)
        return false;
    const double db = spectralDistance(before->bands, after->bands);
    if (db < kRestartDb)
        return false;
    double own = 0;
    // The changes from each window to the next over `windows` windows from
    // `from`, the windows taken every quarter window: a hit changes the
    // levels as much wherever it falls between two windows.
    const auto changes = [&](std::int64_t from, int windows) {
        constexpr std::int64_t hop = w / kRestartSteps;
        std::vector<std::optional<Spectrum>> spectra;
        for (std::int64_t t = from; t + w <= from + windows * w; t += hop) {
            spectra.push_back(spectrumAt(audio, t, false));
            const std::size_t k = spectra.size() - 1;
            if (k >= kRestartSteps && spectra[k] && spectra[k - kRestartSteps])
                own = std::max(
                    own, spectralDistance(spectra[k - kRestartSteps]->bands, spectra[k]->bands));
        }
    };
    changes(std::max(start, stop - kRestartWindows * w), kRestartWindows);
    changes(start - w,
            1 + static_cast<int>(std::min<std::int64_t>(kRestartWindows, (stop - start) / w)));
    if (db <= own + kAcrossOverOwnDb)
        return false;
    figures.restarts = true;
    figures.spectralDb = db;
    return true;
}

// Whether the copy that scores best keeps the band levels of what it copies:
// the seam score weighs the loudest band most, so a copy that matches the
// bass to within codec noise may still lack a melody note 20 dB quieter.
// Codec noise follows the music's spectrum and moves no band far, so the
// band levels of a copy lie at least as close as two renditions of one
// passage do (kMusicalSpectralDb). Where the track holds too few frames for
// the spectra, the score alone tells.
bool copyBandsAlike(FrameSource& audio, std::int64_t start, std::int64_t stop,
                    const Seam::Copies& copies) {
    const bool after = copies.after && (!copies.before || *copies.after <= *copies.before);
    const std::int64_t back = after ? 0 : kMusicalSpectrumFrames;
    const auto a = spectrumAt(audio, start - back, false);
    const auto b = spectrumAt(audio, stop - back, false);
    if (!a || !b)
        return true;
    return spectralDistance(a->bands, b->bands) <= kMusicalSpectralDb;
}

SeamFigures judge(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamMode mode) {
    SeamFigures figures;
    // Only silence after the stop: the music is over there, and the silence
    // says nothing of how the jump sounds. It is judged as the stop at the
    // end of the track is.
    const bool playsOn = firstAudible(audio, stop, audio.frames()) < audio.frames();
    // Silence after the song's end copies the silence before its start,
    // and no junction stands out of it: the song still ends and begins again.
    if (const std::optional<std::int64_t> silence =
            playsOn ? std::nullopt : silenceOfTheEnd(audio, start, stop)) {
        figures.compared = false;
        figures.restarts = true;
        figures.sound = SeamSound::Soft;
        figures.silenceSeconds =
            static_cast<double>(*silence) / (audio.sampleRate() > 0 ? audio.sampleRate() : 44100);
        return figures;
    }
    const Seam seam(audio, start, stop, playsOn);
    const Seam::Copies copies = seam.copies(stop);
    const Seam::Continuity continuity = seam.continuity(stop);
    const double kink = continuity.kink;
    const double step = continuity.step;
    figures.kink = kink;
    figures.kinkFromBefore = continuity.kinkFromBefore;
    const std::optional<double> best = copies.best();
    figures.compared = best.has_value();
    figures.score = best.value_or(1.0);
    figures.jump = best ? copies.jump : step;
    if (best && *best < kExactScore) {
        figures.sound = SeamSound::Seamless;
        return figures;
    }
    // Codec noise is not correlated with the music; copies at another level
    // (a tremolo caught at another phase) are.
    if (best && *best < kCodecCeiling && std::abs(copies.gain() - 1) <= kLevelTolerance) {
        figures.noise = repeatNoise(audio, start, stop);
        const double limit = figures.noise < 0 ? NoisySeamlessScore
                                               : std::clamp(kNoiseFactor * figures.noise,
                                                            SeamlessScore, kCodecCeiling);
        // Two renditions can meet as closely as codec noise where a drum
        // hit repeats, yet jump between their tones: as music, a kink
        // decides. Nor does codec noise stop a bright note the track holds.
        if (*best < limit && (mode == SeamMode::Exact || kink < kClickKink) &&
            copyBandsAlike(audio, start, stop, copies) && !cutHeldNote(audio, start, stop)) {
            figures.lowestNearby = seam.lowestNearby(stop, *best);
            if (figures.lowestNearby) {
                figures.sound = SeamSound::Seamless;
                return figures;
            }
        }
    }
    if (mode == SeamMode::Musical && playsOn) {
        judgeMusically(audio, start, stop, continuity, figures);
        return figures;
    }
    if (!copies.after) {
        // Nothing after the stop to say what would have played: the junction
        // alone tells. Asked as music, it is music's verdict: no copy vouched.
        figures.musical = mode == SeamMode::Musical;
        figures.compared = false;
        figures.score = 1.0;
        figures.jump = step;
        // After a fade to silence the predictor knows nothing of the music
        // that comes back: the jump is heard as the music restarting.
        if (restarts(audio, start, stop, figures))
            figures.sound = SeamSound::Soft;
        else if (kink >= kClickKink)
            figures.sound = SeamSound::Click;
        else if (continuity.cut)
            figures.sound = SeamSound::Soft;
        else
            figures.sound = SeamSound::Seamless;
        // Nor does the predictor know the beat: a track that ends off its
        // own bar comes back early or late.
        if (figures.sound == SeamSound::Seamless)
            checkBeat(audio, start, stop, figures);
        return figures;
    }
    figures.sound = kink < kClickKink ? SeamSound::Soft : SeamSound::Click;
    return figures;
}

} // namespace

SeamFigures JudgeSeam(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamMode mode) {
    SeamFigures figures;
    if (start < 0 || stop <= start || stop > audio.frames() || audio.channels() <= 0)
        return figures;
    // Spectra of windows that overlap across the jump are alike whatever
    // the seam: a loop shorter than them is judged as a copy.
    if (stop - start < kMusicalSpectrumFrames)
        mode = SeamMode::Exact;
    figures = judge(audio, start, stop, mode);
    const double repeats = audio.sampleRate() / static_cast<double>(stop - start);
    if (!IsSeamless(figures) && repeats >= kBuzzRate) {
        figures.sound = SeamSound::Click;
        figures.buzzHz = repeats;
    }
    return figures;
}

SeamFigures JudgeSeam(const AudioSamples& audio, std::int64_t start, std::int64_t stop,
                      SeamMode mode) {
    SamplesSource source(audio);
    return JudgeSeam(source, start, stop, mode);
}

} // namespace kestrin::audio
