// SPDX-License-Identifier: GPL-3.0-or-later
// Step 6 of the seam judge, for a seam that passed the others. Takes the
// onsets after start and after stop (or where the track ends there, the
// music's own period before it); gives how far the beat jumps at the seam.
#include "audio/judge/judge_steps.h"

#include "audio/dsp/autocorrelation.h"
#include "audio/dsp/fft.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

namespace kestrin::audio::judge {

namespace {

// The beat across a musical jump may move this far in seconds: two
// humanised notes lie up to 20 ms apart, while a grid that jumps by 45 ms is
// heard as a stumble.
constexpr double kMusicalGridJump = 0.020;

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
    std::vector<int> bandOf(bins, -1);
    for (std::size_t k = 1; k < bins; ++k)
        bandOf[k] = musicalBand(binHz(k, kGridFft));
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
    const int rate = rateOf(audio);
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

} // namespace

void checkBeat(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamFigures& figures) {
    if (const std::optional<double> jump = gridJump(audio, start, stop)) {
        figures.gridJump = *jump;
        if (std::abs(*jump) > kMusicalGridJump) {
            figures.sound = SeamSound::Soft;
            figures.stumbles = true;
        }
    }
}

} // namespace kestrin::audio::judge
