// SPDX-License-Identifier: GPL-3.0-or-later
// Step 4 of the seam judge. Takes windows either side of the jump; gives
// their band levels and tonal peaks, and the verdicts made of them: whether
// a copy keeps the bands of what it copies, whether the music restarts at
// another level, and the frequency of a held note the jump cuts.
#include "audio/judge/judge_steps.h"

#include "audio/dsp/autocorrelation.h"

#include "audio/dsp/fft.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrin::audio::judge {

// The musical bands span the music's fundamentals and partials: 50 Hz to
// 16 kHz, above which lossy codecs cut.
constexpr double kBandsLowHz = 50.0;
constexpr double kBandsHighHz = 16000.0;

int musicalBand(double hz) {
    if (hz < kBandsLowHz || hz >= kBandsHighHz)
        return -1;
    const auto b = static_cast<std::size_t>(kMusicalBands * std::log(hz / kBandsLowHz) /
                                            std::log(kBandsHighHz / kBandsLowHz));
    return static_cast<int>(std::min<std::size_t>(b, kMusicalBands - 1));
}

// Band levels are taken no lower than the floor of 24-bit audio (6.02 dB a
// bit, in dB of full scale), below any sample it can hold: digital silence
// lies there, so that no figure claims more than 24-bit audio can show.
constexpr double kSilenceFloorDb = -144.5;

namespace {

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

} // namespace

// The tones of music lie here: the bass's partials up to the melody's.
constexpr double kPeaksLow = 100.0;
constexpr double kPeaksHigh = 5000.0;

// The spectrum of the frames [from, from + kMusicalSpectrumFrames), every
// channel's power summed: band levels in dB (kMusicalBands, see the header)
// and the peaks of the fine spectrum between kPeaksLow and kPeaksHigh (each
// bin's level in dB, smoothed over 3 bins, less its mean over a third of an
// octave around it, where above it): where the tones are, whatever the
// overall tilt; the floor between them, noise anyway, is left at 0.
// Its peaks only when `withPeaks`, as the likeness of tones alone needs
// them.
std::optional<Spectrum> spectrumAt(FrameSource& audio, std::int64_t from, bool withPeaks) {
    constexpr std::int64_t n = kMusicalSpectrumFrames;
    if (from < 0 || from + n > audio.frames())
        return std::nullopt;
    const Span span(audio, from, from + n);
    if (span.to - span.from < n)
        return std::nullopt;
    const std::vector<double> power = windowPower(span, from, n);
    auto hz = [](std::size_t k) { return binHz(k, n); };
    // The band of each bin, -1 outside them: the same for every spectrum,
    // and a logarithm per bin costs as much as the transform.
    static const std::vector<int> bandOf = [&] {
        std::vector<int> bands(power.size(), -1);
        for (std::size_t k = 1; k < bands.size(); ++k)
            bands[k] = musicalBand(hz(k));
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

namespace {

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

} // namespace

// The frequency of a note held into the stop, carried on by the track past
// it, that stops dead after the start; nullopt where none does.
std::optional<double> cutHeldNote(FrameSource& audio, std::int64_t start, std::int64_t stop) {
    const std::vector<double> before = fineLevels(audio, stop - kHeldFrames);
    const std::vector<double> on = fineLevels(audio, stop);
    const std::vector<double> after = fineLevels(audio, start);
    if (before.empty() || on.empty() || after.empty())
        return std::nullopt;
    const int rate = rateOf(audio);
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

} // namespace kestrin::audio::judge
