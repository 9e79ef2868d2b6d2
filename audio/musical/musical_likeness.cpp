// SPDX-License-Identifier: GPL-3.0-or-later
// Step 5 of the musical finder: takes step 4's beats; gives the likeness of
// any two (harmony, timbre and loudness weighed together, or harmony alone)
// and the track's typical likeness, against which step 6 measures a match.
#include "audio/musical/musical_steps.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace kestrin::audio::musical {

namespace {

// Step 5: the weights of harmony, timbre and loudness, and the differences
// in dB at which the last two fall to 1/e. Harmony decides most, as the same
// drums and instruments sound in every bar; timbre and loudness tell a verse
// from a chorus over the same chords. Through new drum noise, a few cents of
// tuning and humanised onsets two renditions of a beat stay above 0.9.
constexpr double kChromaWeight = 0.6;
constexpr double kTimbreWeight = 0.25;
constexpr double kLoudWeight = 0.15;
constexpr double kTimbreDb = 6.0;
constexpr double kLoudDb = 6.0;

// Step 6: the least match and the least share of the gap to 1 that a
// convincing one closes (in a song built from one sound throughout, or
// noise, every beat is like every other, and no pair stands out), and the
// distance under which beats are left out of the typical likeness (a beat
// is like its neighbours).
// The lift is measured from single beats, not from the best match of each
// distance: where chords are alike throughout, that best lies near 0.9 at
// most distances; a repeat heard as one stood 1.4 to 5 interquartile ranges
// above their median, peaks of chance 0.5 to 1.2: too close for a cut.
// Nor does a repeat played as a variation (other instruments, a few dB
// apart) stand out by matching better at its own distance than one or two
// bars off: in orchestral songs the chords change so slowly that those bars
// match nearly as well (by 0.03 to 0.15 less, at four such repeats), while
// pairs of chance stand out by up to 0.28 in songs that never repeat and
// 0.26 in a through-composed one; the notes moving within each beat gave no
// wider gap.
constexpr double kMinMatch = 0.9;
constexpr double kMinLift = 0.6;
// A loop is convincing only as long as it matches within this of the best
constexpr int kTypicalFrom = 4;

// Step 5: the cosine of the chromas.
double chromaCosine(const Beat& a, const Beat& b) {
    double chroma = 0;
    for (std::size_t k = 0; k < 12; ++k)
        chroma += double{a.chroma[k]} * b.chroma[k];
    return chroma;
}

// The likeness in harmony alone.
float harmonyLikeness(const Beat& a, const Beat& b) {
    return static_cast<float>(chromaCosine(a, b));
}

float likeness(const Beat& a, const Beat& b) {
    const double chroma = chromaCosine(a, b);
    double timbre = 0;
    for (std::size_t k = 0; k < kBands; ++k) {
        const double d = double{a.bands[k]} - b.bands[k];
        timbre += d * d;
    }
    timbre = std::sqrt(timbre / kBands);
    const double loud = std::abs(double{a.loudness} - b.loudness);
    return static_cast<float>(kChromaWeight * chroma +
                              kTimbreWeight * std::exp(-timbre / kTimbreDb) +
                              kLoudWeight * std::exp(-loud / kLoudDb));
}

// Order-preserving unsigned key of a float.
std::uint32_t keyOf(float v) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    return (bits & 0x80000000U) != 0 ? ~bits : bits | 0x80000000U;
}

float valueOf(std::uint32_t key) {
    return std::bit_cast<float>((key & 0x80000000U) != 0 ? key & 0x7fffffffU : ~key);
}

} // namespace

float Likeness::at(std::size_t i, std::size_t j) const {
    return i <= j ? of(m_beats[i], m_beats[j]) : of(m_beats[j], m_beats[i]);
}

void Likeness::diagonal(std::size_t d, std::vector<float>& out) const {
    out.resize(m_n > d ? m_n - d : 0);
    for (std::size_t k = 0; k + d < m_n; ++k)
        out[k] = of(m_beats[k], m_beats[k + d]);
}

double Likeness::mean(std::size_t i, std::size_t j, std::ptrdiff_t from, std::ptrdiff_t to) const {
    double sum = 0;
    int count = 0;
    for (std::ptrdiff_t k = from; k < to; ++k) {
        const std::ptrdiff_t a = static_cast<std::ptrdiff_t>(i) + k;
        const std::ptrdiff_t b = static_cast<std::ptrdiff_t>(j) + k;
        if (a < 0 || b < 0 || a >= static_cast<std::ptrdiff_t>(m_n) ||
            b >= static_cast<std::ptrdiff_t>(m_n))
            continue;
        sum += at(static_cast<std::size_t>(a), static_cast<std::size_t>(b));
        ++count;
    }
    return count > 0 ? sum / count : -1.0;
}

// The median's upper 16 bits, then its lower 16, each counted in one pass
// over the pairs, so that no list of every pair is kept.
double Likeness::typical() {
    if (!m_typical)
        m_typical = median();
    return *m_typical;
}

bool Likeness::convincing(double match) {
    return match >= kMinMatch && match - typical() >= kMinLift * (1 - typical());
}

template <class Visit> void Likeness::forApart(Visit visit) const {
    for (std::size_t i = 0; i < m_n; ++i)
        for (std::size_t j = i + kTypicalFrom; j < m_n; ++j)
            visit(keyOf(of(m_beats[i], m_beats[j])));
}

double Likeness::median() const {
    std::vector<std::uint64_t> counts(65536, 0);
    std::uint64_t total = 0;
    forApart([&](std::uint32_t key) {
        ++counts[key >> 16];
        ++total;
    });
    if (total == 0)
        return 1.0;
    std::uint64_t rank = total / 2; // as nth_element at size() / 2
    std::uint32_t high = 0;
    while (rank >= counts[high])
        rank -= counts[high++];
    std::fill(counts.begin(), counts.end(), 0);
    forApart([&](std::uint32_t key) {
        if (key >> 16 == high)
            ++counts[key & 0xffffU];
    });
    std::uint32_t low = 0;
    while (rank >= counts[low])
        rank -= counts[low++];
    return valueOf(high << 16 | low);
}

float Likeness::of(const Beat& a, const Beat& b) const {
    return m_harmonyOnly ? harmonyLikeness(a, b) : likeness(a, b);
}

} // namespace kestrin::audio::musical
