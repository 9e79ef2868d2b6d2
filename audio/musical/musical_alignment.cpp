// SPDX-License-Identifier: GPL-3.0-or-later
// Step 8 of the musical finder, its placing to the sample: takes a pair of
// beats and the track's frames, read back a few thousand at a time; gives
// for each of the pair's first beats a start just before the attack near it
// and the stop aligned with that start by cross-correlation, then by the
// waveforms around the junction.
#include "audio/musical/musical_steps.h"

#include <algorithm>
#include <cmath>

namespace kestrin::audio::musical {

namespace {

// Step 8: two renditions never share the phases of their tones, so no jump
// between them is free of a phase jump in the sustained parts; a jump just
// before an attack hides it, as the hit masks what went before. So the
// start lies kPreAttack before the attack near a beat, where the attack lies
// wholly after the jump. The reach of the search for the onset around a
// beat (beats lie within 10 ms of the attack, and humanising moves a note
// by as much), the blocks whose energy rises at an onset, how far before
// the attack the jump lands, and the alignment's reach and windows.
constexpr std::int64_t kOnsetReach = kFrame / 2;
constexpr std::int64_t kOnsetBlock = 128;
constexpr std::int64_t kOnsetStep = 16;
constexpr std::int64_t kPreAttack = 32;
constexpr double kAlignReachBeats = 0.25;
constexpr std::int64_t kAlignHalfWindow = 4096;
constexpr int kCoarse = 4;
constexpr std::int64_t kFineReach = 8;
constexpr std::int64_t kJunctionReach = 32;
constexpr std::int64_t kJunctionHalfWindow = 64;
// The stop's last move finds where the waveforms cross alike, judged over
// 0.2 ms each side (a few samples of the highest partials that matter at a
// junction).
constexpr std::int64_t kSeamHalfWindow = 8;

// Frames [from, to) of the track read back for step 8, and their mix to
// mono: a few thousand frames around a beat, never the track.
class Window {
public:
    Window(FrameSource& source, std::int64_t from, std::int64_t to)
        : m_from(std::max<std::int64_t>(0, from)), m_channels(source.channels()) {
        source.append(m_from, to, m_samples);
        mixInto(m_samples, m_channels, m_mono);
    }
    // Whether frame `t` lies in the window and in the track.
    bool holds(std::int64_t t) const {
        return t >= m_from && t - m_from < static_cast<std::int64_t>(m_mono.size());
    }
    float mono(std::int64_t t) const { return m_mono[static_cast<std::size_t>(t - m_from)]; }
    // The frames held: [from(), end()).
    std::int64_t from() const { return m_from; }
    std::int64_t end() const { return m_from + static_cast<std::int64_t>(m_mono.size()); }
    // The mono frames from from() on.
    const float* mono() const { return m_mono.data(); }
    float sample(std::int64_t t, int c) const {
        return m_samples[static_cast<std::size_t>((t - m_from) * m_channels + c)];
    }

private:
    std::int64_t m_from;
    int m_channels;
    std::vector<float> m_samples;
    std::vector<float> m_mono;
};

// Step 8: the attack nearest `beat`: where the energy of the next block
// rises most over that of the four blocks before.
std::int64_t onsetNear(FrameSource& source, std::int64_t beat) {
    const Window w(source, beat - kOnsetReach - 4 * kOnsetBlock, beat + kOnsetReach + kOnsetBlock);
    auto energy = [&](std::int64_t from, std::int64_t frames) {
        double sum = 0;
        for (std::int64_t t = from; t < from + frames; ++t)
            if (w.holds(t))
                sum += double{w.mono(t)} * w.mono(t);
        return sum;
    };
    std::int64_t best = beat;
    double bestRise = 0;
    for (std::int64_t t = beat - kOnsetReach; t <= beat + kOnsetReach; t += kOnsetStep) {
        const double after = energy(t, kOnsetBlock);
        const double before = energy(t - 4 * kOnsetBlock, 4 * kOnsetBlock) / 4;
        const double rise = after / (before + 1e-9 * kOnsetBlock);
        if (rise > bestRise) {
            bestRise = rise;
            best = t;
        }
    }
    return best;
}

} // namespace

// Step 8: the stop aligned with `start` near `guess`.
std::int64_t alignStop(FrameSource& source, std::int64_t start, std::int64_t guess,
                       std::int64_t reach) {
    constexpr std::int64_t half = std::max(kAlignHalfWindow, kJunctionHalfWindow);
    const Window at(source, start - half, start + half);
    const std::int64_t spread = reach + kFineReach + kJunctionReach + half;
    const Window near(source, guess - spread, guess + spread + 1);
    // Over the frames k in [-kAlignHalfWindow, kAlignHalfWindow), every
    // `step`-th, that both windows hold: one run, as each window holds one.
    auto correlation = [&](std::int64_t stop, int step) {
        std::int64_t from = std::max({-kAlignHalfWindow, at.from() - start, near.from() - stop});
        if (const std::int64_t off = (from + kAlignHalfWindow) % step; off != 0)
            from += step - off;
        const std::int64_t to = std::min({kAlignHalfWindow, at.end() - start, near.end() - stop});
        const float* x = at.mono();
        const float* y = near.mono();
        const std::int64_t xAt = start - at.from();
        const std::int64_t yAt = stop - near.from();
        double xy = 0;
        double xx = 0;
        double yy = 0;
        for (std::int64_t k = from; k < to; k += step) {
            const double a = x[xAt + k];
            const double b = y[yAt + k];
            xy += a * b;
            xx += a * a;
            yy += b * b;
        }
        return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : -1.0;
    };
    std::int64_t best = guess;
    double bestR = -2;
    for (std::int64_t stop = guess - reach; stop <= guess + reach; stop += kCoarse)
        if (const double r = correlation(stop, kCoarse); r > bestR) {
            bestR = r;
            best = stop;
        }
    const std::int64_t coarse = best;
    bestR = -2;
    for (std::int64_t stop = coarse - kFineReach; stop <= coarse + kFineReach; ++stop)
        if (const double r = correlation(stop, 1); r > bestR) {
            bestR = r;
            best = stop;
        }
    const int ch = source.channels();
    const std::int64_t fine = best;
    double bestCost = 1e300;
    for (std::int64_t stop = fine - kJunctionReach; stop <= fine + kJunctionReach; ++stop) {
        double cost = 0;
        for (std::int64_t k = -kJunctionHalfWindow; k < kJunctionHalfWindow; ++k) {
            const std::int64_t a = start + k;
            const std::int64_t b = stop + k;
            if (!at.holds(a) || !near.holds(b))
                continue;
            for (int c = 0; c < ch; ++c) {
                const double d = double{at.sample(a, c)} - near.sample(b, c);
                cost += d * d;
            }
        }
        if (cost < bestCost) {
            bestCost = cost;
            best = stop;
        }
    }
    return best;
}

std::int64_t seamStop(FrameSource& source, std::int64_t start, std::int64_t aligned,
                      std::int64_t reach) {
    const Window at(source, start - kSeamHalfWindow, start + kSeamHalfWindow);
    const Window near(source, aligned - reach - kSeamHalfWindow, aligned + reach + kSeamHalfWindow);
    const int ch = source.channels();
    std::int64_t best = aligned;
    double bestCost = 1e300;
    for (std::int64_t stop = aligned - reach; stop <= aligned + reach; ++stop) {
        double cost = 0;
        for (std::int64_t k = -kSeamHalfWindow; k < kSeamHalfWindow; ++k) {
            const std::int64_t a = start + k;
            const std::int64_t b = stop + k;
            if (!at.holds(a) || !near.holds(b))
                continue;
            // 1 at the junction, falling to a half at the window's ends.
            const double weight =
                1.0 / (1.0 + static_cast<double>(std::abs(2 * k + 1)) / (2 * kSeamHalfWindow));
            for (int c = 0; c < ch; ++c) {
                const double d = double{at.sample(a, c)} - near.sample(b, c);
                cost += weight * d * d;
            }
        }
        if (cost < bestCost) {
            bestCost = cost;
            best = stop;
        }
    }
    return best;
}

std::vector<Alignment> alignStarts(FrameSource& audio, int rate, const std::vector<Beat>& beats,
                                   const Rhythm& rhythm, const Pair& pair, double periodSamples) {
    std::vector<Alignment> alignments;
    const auto alignReach = static_cast<std::int64_t>(kAlignReachBeats * periodSamples);
    for (int b = 0; b < kStartBeats; ++b) {
        const std::size_t i = pair.i + static_cast<std::size_t>(b);
        const std::size_t j = pair.j + static_cast<std::size_t>(b);
        if (j >= beats.size())
            break;
        const std::int64_t start = onsetNear(audio, beats[i].sample) - kPreAttack;
        if (start < 0)
            continue;
        const std::int64_t beatDistance = beats[j].sample - beats[i].sample;
        alignments.push_back({start, alignStop(audio, start, start + beatDistance, alignReach),
                              rhythm.distanceAt(start, beatDistance, alignReach, rate), b});
    }
    return alignments;
}

} // namespace kestrin::audio::musical
