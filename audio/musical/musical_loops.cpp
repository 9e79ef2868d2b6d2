// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/musical/musical_loops.h"

#include "audio/dsp/autocorrelation.h"
#include "audio/dsp/fft.h"
#include "audio/judge/seam_judge.h"
#include "audio/judge/seam_measure.h"
#include "audio/read/audio_reader.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <numbers>
#include <numeric>
#include <span>

namespace kestrin::audio {

namespace {

// Step 1: 93 ms frames resolve a semitone from 120 Hz up; a 512-sample hop
// places beats to 11.6 ms.
constexpr int kFrame = 4096;
constexpr int kHop = 512;
// Timbre bands: 20 over 40 Hz to 16 kHz, about half an octave each.
constexpr int kBands = 20;
constexpr double kBandLow = 40.0;
constexpr double kBandHigh = 16000.0;
// Chroma: below 100 Hz a bin spans more than a semitone; above 2.5 kHz
// partials of high notes smear across the pitch classes.
constexpr double kChromaLow = 100.0;
constexpr double kChromaHigh = 2500.0;
// Power below this (per frame, after the window) is silence.
constexpr double kPowerFloor = 1e-10;
// Frames read at a time by step 1: 1.5 s, 0.5 MB of stereo floats.
constexpr std::int64_t kReadBlock = 65536;

// Where in its frame a beat falls. The spectral flux of a frame rises most
// as soon as an attack enters it, though the window still weighs it little
// there (a log power rises from the quiet before): so a beat lies near the
// frame's end, not its centre, 40 ms later.
constexpr std::int64_t kBeatInFrame = kFrame - kFrame / 16;

// Step 2: tempi considered, the prior's centre and width in octaves (tempo
// estimates err by octaves, and most music sits near 120), and the second
// over which the onset strength's mean is taken away.
constexpr double kSlowestBpm = 60.0;
constexpr double kFastestBpm = 200.0;
constexpr double kPriorBpm = 120.0;
constexpr double kPriorOctaves = 1.0;
constexpr double kOnsetMeanSeconds = 1.0;

// Step 2's refinement: the autocorrelation's best lag places the period to a
// frame at best, 2.3 % at 120 beats per minute, and where onsets smear (an
// orchestra) its peak may lie a frame or more off; bars found from such a
// period drift a beat away within a minute. The lags of 1 to kCombBeats
// beats (four bars of 4/4) all peak at multiples of the true period, so
// their sum over fractional periods near the first guess settles it to a
// hundredth of a frame: an error that grows with the multiple shows at
// sixteen beats sixteen times over. The search reaches kCombReach either
// side of the guess, beyond the 3 % seen on real songs but short of the
// 6 % at which the sixteenth multiple would reach a neighbouring beat; it
// never changes the octave the prior chose.
constexpr int kCombBeats = 16;
constexpr double kCombReach = 0.04;
constexpr double kCombStep = 0.005;
// Where the onsets keep a beat, it shows at every multiple: there the
// autocorrelation stands over that of onsets falling at random, the square
// of their mean, on real songs with drums or plucked notes by 1.1 to 19
// times. Where it does not (sustained strings, a choir: 0.6 to 0.96), or
// where onsets come only with each phrase, the comb's best is noise: the
// guess stands, or the swell below settles the period.
constexpr double kCombLift = 1.1;
// Music without a beat in its onsets may still swell with its phrases: the
// loudness rises and falls every bar or two. Where the loudness, less its
// mean over kSwellMeanSeconds, correlates with itself at least
// kSwellCorrelation a phrase of kSwellShortest to kSwellLongest seconds
// later (0.6 on such a song, under 0.15 where the loudness only follows the
// melody), the beat is that phrase halved to the octave of the guess, so
// bars line up with the phrases.
constexpr double kSwellMeanSeconds = 3.0;
constexpr double kSwellShortest = 1.5;
constexpr double kSwellLongest = 8.5;
constexpr double kSwellCorrelation = 0.3;
// Phrases over which the swell's period is settled: 32 s of a 4 s phrase
// place it to 0.03 %, 20 ms over a minute, within a loop's grid slack.
constexpr int kSwellPhrases = 8;
// The rise of the loudness is taken over 46 ms, the attack of a bowed or
// blown note.
constexpr std::size_t kRiseFrames = 4;

// Step 3: how strictly beats keep the tempo: a beat 0.5 to 2 periods after
// the one before loses this times (log(interval / period))^2.
constexpr double kTightness = 100.0;

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

// Step 6: four bars of 4/4, the least match and the least share of the gap
// to 1 that a convincing one closes (in a song built from one sound
// throughout, or noise, every beat is like every other, and no pair stands
// out), and the distance under which beats are left out of the typical
// likeness (a beat is like its neighbours).
constexpr int kMatchBeats = 16;
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
// match in the track: where the chorus comes back at 0.96, a verse sharing
// two of its chords at 0.89 is not a loop.
constexpr double kMatchSlack = 0.03;
constexpr int kTypicalFrom = 4;

// Step 7: the repeat extends while the likeness, averaged over this many
// beats, stays over typical + this share of the gap to 1.
constexpr int kExtentBeats = 4;
constexpr double kExtentLift = 0.5;
// A repeat shorter than eight bars of 4/4 is not a section played again:
// in 25 minutes of chords chosen at random, some run of four bars recurs by
// chance (there are hundreds of thousands of pairs of beats), but the bars
// around it differ.
constexpr std::size_t kMinRepeatBeats = 32;
// The second search matches chords alone, and in a song of up to
// kHarmonyPairs pairs of beats (5 minutes at 120 beats per minute) four bars
// whose chords come back in order suffice: among chords chosen at random a
// run of four recurs hardly ever. The chance that some run recurs grows
// with the pairs compared, and each further bar that must agree divides it
// by about ten (two bars of a song share their chord about one time in
// ten): a bar more for every tenfold of pairs beyond.
constexpr std::size_t kMinHarmonyBeats = kMatchBeats;
// Chords change with time more than with the beat counted: a song tracked
// at 160 beats per minute plays four of its bars in 6 s, where the chance
// above holds for bars of 120 (kHarmonyBarSeconds each). So the repeat must
// also last as long as the bars the pairs compared ask for at that tempo,
// counted by the same rule, which goes on below four bars (a tenfold fewer
// pairs, a bar less) and is never under kMinHarmonyBeats.
constexpr double kHarmonyBarSeconds = 2.0;
// Where the bars after a pair's first beat match best is not where the jump
// sounds cleanest: the chords must agree at the jump itself, and a passage
// played again with other instruments agrees at some bars and not at
// others. So when no jump near the best beat passes the judge, the jump is
// tried at this many other places of the same repeat (each kStartBeats
// beats), the bars after each still matching as the repeat's extent asks.
constexpr std::size_t kOtherPlaces = 4;
constexpr double kHarmonyPairs = 180000;
constexpr std::size_t kBeatsPerBar = 4;
// The last search, where the passages found played again give no jump the
// judge passes (a song varied at every return): a jump between two beats a
// whole number of bars apart whose surroundings sound alike, the judge
// deciding. Compared over four bars each side of the jump: over two, pairs
// alike by chance outnumber those the judge passes on real songs (none of
// 24 on a game song whose best four-bar pair passes). Pairs tried, the best
// first, each more than a bar from the others at both ends: the judge
// passed the first or the second on the real songs that have one, and each
// costs a tenth of a second of aligning and judging.
constexpr std::size_t kSeamBeats = 16;
constexpr std::size_t kSeamPairs = 8;

// Step 8: two renditions never share the phases of their tones, so no jump
// between them is free of a phase jump in the sustained parts; a jump just
// before an attack hides it, as the hit masks what went before. So the
// start lies kPreAttack before the attack near a beat, where the attack lies
// wholly after the jump. Starts tried (the beats from the pair's first on),
// the reach of the search for the onset around a beat (beats lie within
// 10 ms of the attack, and humanising moves a note by as much), the blocks
// whose energy rises at an onset, how far before the attack the jump lands,
// and the alignment's reach and windows.
constexpr int kStartBeats = 4;
constexpr std::int64_t kOnsetReach = kFrame / 2;
constexpr std::int64_t kOnsetBlock = 128;
constexpr std::int64_t kOnsetStep = 16;
constexpr std::int64_t kPreAttack = 32;
constexpr double kAlignReachBeats = 0.25;
// How far a loop's length may lie from the beat grid's distance between the
// renditions: a beat of each errs by up to half a hop (6 ms) and by its
// humanised timing (10 ms), far less in the median of 16. A hi-hat grid that
// jumps by 45 ms is heard as a stumble.
constexpr double kGridSlackSeconds = 0.025;
// Alignments of a pair's starts that agree within that slack give the
// distance instead where there are at least this many: two may agree by
// chance on a tone's period, three a beat apart hardly.
constexpr std::size_t kAgreeingAlignments = 3;
// Where the tempo moves (a song played live), the distance between the
// renditions drifts from beat to beat, by up to 20 ms a beat in a recorded
// orchestra, so no one distance holds for the whole repeat: a jump keeps
// the beat when its loop's length is the distance where the jump lies. It
// is measured by the onsets of the 3 s around the start (a bar or two,
// enough beats that single humanised notes average out) lined up with
// those around the stop; centred on the jump, a tempo that rises or falls
// steadily moves the onsets before it as far one way as those after it the
// other. Onsets that correlate under 0.3 at their best show no rhythm to
// line up, and the distance of the whole repeat stands.
constexpr double kLocalSeconds = 3.0;
constexpr double kLocalClarity = 0.3;
constexpr std::int64_t kAlignHalfWindow = 4096;
constexpr int kCoarse = 4;
constexpr std::int64_t kFineReach = 8;
constexpr std::int64_t kJunctionReach = 32;
constexpr std::int64_t kJunctionHalfWindow = 64;
// Shifts of both points tried in turn until the judge passes the seam: within
// 1.5 ms of the attack, where a codec's pre-echo lies.
constexpr std::array<std::int64_t, 6> kJunctionShifts = {0, 16, -16, 32, -32, 64};
// The stop's last move finds where the waveforms cross alike, judged over
// 0.2 ms each side (a few samples of the highest partials that matter at a
// junction): first the aligned stop itself, then, only where no seam there
// passes, within 3 ms, half a cycle of a bass note at 170 Hz, and 10 ms, a
// cycle at 100 Hz (as far as humanising moves a note; the beat grid is
// checked again). Near given points only the aligned stop: it stays at the
// place the user chose.
constexpr std::array<std::int64_t, 3> kSeamReaches = {0, 128, 441};
constexpr std::int64_t kSeamHalfWindow = 8;

// Step 10: pairs refined near given points.
constexpr std::size_t kNearPairs = 3;

double secondsSince(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The per-frame analysis of step 1.
struct Frames {
    std::size_t count = 0;
    std::vector<float> bands;  // kBands per frame, power
    std::vector<float> chroma; // 12 per frame, magnitude
    std::vector<float> onset;  // one per frame
};

// Appends the channels' mean of the interleaved `samples` to `mono`.
void mixInto(const std::vector<float>& samples, int channels, std::vector<float>& mono) {
    const auto ch = static_cast<std::size_t>(channels);
    const std::size_t frames = samples.size() / ch;
    mono.reserve(mono.size() + frames);
    for (std::size_t t = 0; t < frames; ++t) {
        float sum = 0;
        for (std::size_t c = 0; c < ch; ++c)
            sum += samples[t * ch + c];
        mono.push_back(sum / static_cast<float>(ch));
    }
}

// Step 1, reading `source` once in order, a block at a time: only the
// frames' features are kept, never the track. nullopt when cancelled.
std::optional<Frames> analyse(FrameSource& source, int rate, const ProgressCallback& progress) {
    Frames f;
    const std::int64_t total = source.frames();
    if (total < kFrame || source.channels() <= 0)
        return f;
    f.count = static_cast<std::size_t>((total - kFrame) / kHop + 1);
    f.bands.assign(f.count * kBands, 0.0f);
    f.chroma.assign(f.count * 12, 0.0f);
    f.onset.assign(f.count, 0.0f);
    std::vector<int> bandOf(kFrame / 2 + 1, -1);
    std::vector<int> pitchOf(kFrame / 2 + 1, -1);
    for (int k = 1; k <= kFrame / 2; ++k) {
        const double hz = static_cast<double>(k) * rate / kFrame;
        if (hz >= kBandLow && hz < kBandHigh)
            bandOf[static_cast<std::size_t>(k)] =
                std::min(kBands - 1, static_cast<int>(kBands * std::log(hz / kBandLow) /
                                                      std::log(kBandHigh / kBandLow)));
        if (hz >= kChromaLow && hz < kChromaHigh) {
            const long semitone = std::lround(12 * std::log2(hz / 440.0)) + 9 + 12 * 20;
            pitchOf[static_cast<std::size_t>(k)] = static_cast<int>(semitone % 12);
        }
    }
    const std::vector<double> hann = HannWindow(static_cast<std::size_t>(kFrame));
    const std::vector<float> window(hann.begin(), hann.end());
    RealSpectrum plan(static_cast<std::size_t>(kFrame));
    std::array<double, kBands> previous{};
    std::vector<float> mono; // frames [monoFrom, readTo) mixed down
    std::vector<float> block;
    std::int64_t monoFrom = 0;
    std::int64_t readTo = 0;
    for (std::size_t t = 0; t < f.count; ++t) {
        if (progress && t % 2048 == 0 && !progress(0.5 * static_cast<double>(t) / f.count))
            return std::nullopt;
        const auto first = static_cast<std::int64_t>(t) * kHop;
        if (first + kFrame > readTo) {
            mono.erase(mono.begin(), mono.begin() + static_cast<std::ptrdiff_t>(first - monoFrom));
            monoFrom = first;
            while (readTo < first + kFrame) {
                block.clear();
                const std::int64_t got = source.append(readTo, readTo + kReadBlock, block);
                if (got <= 0)
                    break;
                mixInto(block, source.channels(), mono);
                readTo += got;
            }
            // The file held less than it claimed: the frames end here.
            if (first + kFrame > readTo) {
                f.count = t;
                f.bands.resize(f.count * kBands);
                f.chroma.resize(f.count * 12);
                f.onset.resize(f.count);
                break;
            }
        }
        const float* x = mono.data() + (first - monoFrom);
        for (int i = 0; i < kFrame; ++i)
            plan.in()[i] = x[i] * window[static_cast<std::size_t>(i)];
        plan.run();
        float* bands = f.bands.data() + t * kBands;
        float* chroma = f.chroma.data() + t * 12;
        for (int k = 1; k <= kFrame / 2; ++k) {
            const double p = plan.power(static_cast<std::size_t>(k));
            if (const int b = bandOf[static_cast<std::size_t>(k)]; b >= 0)
                bands[b] += static_cast<float>(p);
            if (const int c = pitchOf[static_cast<std::size_t>(k)]; c >= 0)
                chroma[c] += static_cast<float>(std::sqrt(p));
        }
        double flux = 0;
        for (int b = 0; b < kBands; ++b) {
            const double level = std::log(double{bands[b]} + kPowerFloor * kFrame);
            if (t > 0)
                flux += std::max(0.0, level - previous[static_cast<std::size_t>(b)]);
            previous[static_cast<std::size_t>(b)] = level;
        }
        f.onset[t] = static_cast<float>(flux);
    }
    return f;
}

// Step 2's onset strength: less its mean over the surrounding
// kOnsetMeanSeconds, kept where positive, in units of its own standard
// deviation.
std::vector<double> risingOnsets(const Frames& f, double hopSeconds) {
    const std::size_t n = f.count;
    const auto half = static_cast<std::size_t>(kOnsetMeanSeconds / hopSeconds / 2);
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t t = 0; t < n; ++t)
        prefix[t + 1] = prefix[t] + f.onset[t];
    std::vector<double> o(n);
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t a = t > half ? t - half : 0;
        const std::size_t b = std::min(n, t + half + 1);
        o[t] = std::max(0.0, f.onset[t] - (prefix[b] - prefix[a]) / static_cast<double>(b - a));
    }
    const double mean = std::accumulate(o.begin(), o.end(), 0.0) / static_cast<double>(n);
    double var = 0;
    for (double v : o)
        var += (v - mean) * (v - mean);
    const double sd = std::sqrt(var / static_cast<double>(n));
    if (sd > 0)
        for (double& v : o)
            v /= sd;
    return o;
}

// Step 2: the beat period in frames, to a fraction of one, from the onsets'
// autocorrelation over lags [lagMin, lagMax] weighted by the tempo prior.
double beatPeriod(const std::vector<double>& o, double hopSeconds, std::size_t lagMin,
                  std::size_t lagMax) {
    const std::size_t first = std::max<std::size_t>(1, lagMin - 1);
    std::vector<double> weighted(lagMax + 2, 0.0);
    LaggedMeans(o, first, std::span(weighted).subspan(first));
    for (std::size_t lag = first; lag <= lagMax + 1; ++lag) {
        const double bpm = 60.0 / (static_cast<double>(lag) * hopSeconds);
        const double octaves = std::log2(bpm / kPriorBpm) / kPriorOctaves;
        weighted[lag] *= std::exp(-0.5 * octaves * octaves);
    }
    std::size_t best = lagMin;
    for (std::size_t lag = lagMin; lag <= lagMax; ++lag)
        if (weighted[lag] > weighted[best])
            best = lag;
    double period = static_cast<double>(best);
    if (best >= 1 && best + 1 < weighted.size()) {
        const double a = weighted[best - 1];
        const double b = weighted[best];
        const double c = weighted[best + 1];
        const double denominator = a - 2 * b + c;
        if (denominator < 0)
            period += std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5);
    }
    return period;
}

// The best of a comb over `x`'s autocorrelation: the period in [low, high]
// frames at which the autocorrelation summed over lags of 1 to `multiples`
// periods is highest, and the least of the autocorrelation at those lags.
struct Comb {
    double period = 0;
    double weakest = 0;
};

// Sums at fractional periods, every kCombStep frames, reading the
// autocorrelation between whole lags linearly. nullopt where `x` is too
// short for two multiples: multiples whose lag spans more than half of `x`
// rest on too few products to weigh like the first, and are left out.
std::optional<Comb> bestComb(const std::vector<double>& x, double low, double high, int multiples) {
    const std::size_t n = x.size();
    multiples = std::min(multiples, static_cast<int>(static_cast<double>(n / 2) / high) - 1);
    if (multiples < 2)
        return std::nullopt;
    const auto maxLag = static_cast<std::size_t>(std::ceil(multiples * high)) + 1;
    // The autocorrelation, worked out only at the lags the comb reads: those
    // near each multiple, which climb with it, so that the lags below
    // `known` are all that are worked out yet.
    std::vector<double> r(maxLag + 1, 0.0);
    std::size_t known = 0;
    for (int k = 1; k <= multiples; ++k) {
        const std::size_t from = std::max(known, static_cast<std::size_t>(std::floor(k * low)));
        const std::size_t to = std::min(maxLag, static_cast<std::size_t>(std::ceil(k * high)) + 1);
        if (from > to)
            continue;
        LaggedMeans(x, from, std::span(r).subspan(from, to - from + 1));
        known = to + 1;
    }
    const auto at = [&](double lag) {
        const auto i = static_cast<std::size_t>(lag);
        const double w = lag - static_cast<double>(i);
        return (1 - w) * r[i] + w * r[std::min(i + 1, maxLag)];
    };
    Comb comb;
    double best = -std::numeric_limits<double>::infinity();
    const auto steps = static_cast<int>(std::ceil((high - low) / kCombStep));
    for (int s = 0; s <= steps; ++s) {
        const double period = low + s * kCombStep;
        double sum = 0;
        for (int k = 1; k <= multiples; ++k)
            sum += at(k * period);
        if (sum > best) {
            best = sum;
            comb.period = period;
        }
    }
    comb.weakest = std::numeric_limits<double>::infinity();
    for (int k = 1; k <= multiples; ++k)
        comb.weakest = std::min(comb.weakest, at(k * comb.period));
    return comb;
}

// Step 2's refinement (see kCombBeats): the period near `guess` frames at
// which the onsets' autocorrelation, summed over 1 to kCombBeats beats, is
// highest. nullopt where the onsets keep no beat (kCombLift) or are too
// short for two beats.
std::optional<double> combPeriod(const std::vector<double>& o, double guess) {
    const std::optional<Comb> comb =
        bestComb(o, guess * (1 - kCombReach), guess * (1 + kCombReach), kCombBeats);
    const double mean = std::accumulate(o.begin(), o.end(), 0.0) / static_cast<double>(o.size());
    if (!comb || !(comb->weakest > kCombLift * mean * mean))
        return std::nullopt;
    return comb->period;
}

// `period` halved until it lies within a factor of the square root of two
// of `guess`.
double halvedTo(double period, double guess) {
    while (period > guess * std::numbers::sqrt2)
        period /= 2;
    return period;
}

// Step 2 where the onsets keep no beat (see kSwellCorrelation): the period
// in frames from the phrase over which the loudness swells, halved until it
// lies within a factor of the square root of two from `guess`. nullopt
// where the loudness swells with no regular phrase.
std::optional<double> swellPeriod(const Frames& f, double hopSeconds, double guess) {
    const std::size_t n = f.count;
    const auto shortest = static_cast<std::size_t>(kSwellShortest / hopSeconds);
    const auto longest = static_cast<std::size_t>(std::ceil(kSwellLongest / hopSeconds));
    if (n < 2 * longest + 2)
        return std::nullopt;
    std::vector<double> level(n);
    for (std::size_t t = 0; t < n; ++t) {
        double power = 0;
        for (int k = 0; k < kBands; ++k)
            power += f.bands[t * kBands + static_cast<std::size_t>(k)];
        level[t] = std::log(power + kPowerFloor * kFrame);
    }
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t t = 0; t < n; ++t)
        prefix[t + 1] = prefix[t] + level[t];
    const auto half = static_cast<std::size_t>(kSwellMeanSeconds / hopSeconds / 2);
    std::vector<double> swell(n);
    double energy = 0;
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t a = t > half ? t - half : 0;
        const std::size_t b = std::min(n, t + half + 1);
        swell[t] = level[t] - (prefix[b] - prefix[a]) / static_cast<double>(b - a);
        energy += swell[t] * swell[t];
    }
    if (!(energy > 0))
        return std::nullopt;
    energy /= static_cast<double>(n);
    std::vector<double> r(longest + 2, 0.0);
    LaggedMeans(swell, shortest - 1, std::span(r).subspan(shortest - 1));
    for (double& v : r)
        v /= energy;
    std::size_t best = 0;
    for (std::size_t lag = shortest; lag <= longest; ++lag)
        if (r[lag] > r[lag - 1] && r[lag] >= r[lag + 1] && (best == 0 || r[lag] > r[best]))
            best = lag;
    if (best == 0 || r[best] < kSwellCorrelation)
        return std::nullopt;
    // The swell's peaks are broad: its peak places the phrase to a frame or
    // two, 0.5 % of four seconds. Where the loudness rises they are sharp, and
    // the phrases after the first settle it as the beats' comb does.
    std::vector<double> rise(n, 0.0);
    for (std::size_t t = kRiseFrames; t < n; ++t)
        rise[t] = std::max(0.0, level[t] - level[t - kRiseFrames]);
    const double mean = std::accumulate(rise.begin(), rise.end(), 0.0) / static_cast<double>(n);
    for (double& v : rise)
        v -= mean;
    const auto phrase = static_cast<double>(best);
    const std::optional<Comb> comb = bestComb(rise, phrase - 2, phrase + 2, kSwellPhrases);
    return halvedTo(comb ? comb->period : phrase, guess);
}

// Step 3: the chain of beats that best follows the onsets `o` at `period`.
std::vector<std::size_t> beatChain(const std::vector<double>& o, double period) {
    const std::size_t n = o.size();
    const auto from = static_cast<std::size_t>(std::max(1.0, std::round(period / 2)));
    const auto to = static_cast<std::size_t>(std::round(2 * period));
    std::vector<double> score(o);
    std::vector<std::ptrdiff_t> back(n, -1);
    for (std::size_t t = from; t < n; ++t) {
        double bestPrior = -1e300;
        std::ptrdiff_t bestAt = -1;
        for (std::size_t d = from; d <= to && d <= t; ++d) {
            const double deviation = std::log(static_cast<double>(d) / period);
            const double s = score[t - d] - kTightness * deviation * deviation;
            if (s > bestPrior) {
                bestPrior = s;
                bestAt = static_cast<std::ptrdiff_t>(t - d);
            }
        }
        if (bestAt >= 0 && bestPrior > 0) {
            score[t] = o[t] + bestPrior;
            back[t] = bestAt;
        }
    }
    const std::size_t tail = n - std::min(n, static_cast<std::size_t>(std::ceil(period)));
    std::size_t last = tail;
    for (std::size_t t = tail; t < n; ++t)
        if (score[t] > score[last])
            last = t;
    std::vector<std::size_t> beats;
    for (std::ptrdiff_t t = static_cast<std::ptrdiff_t>(last); t >= 0;
         t = back[static_cast<std::size_t>(t)])
        beats.push_back(static_cast<std::size_t>(t));
    std::reverse(beats.begin(), beats.end());
    return beats;
}

// Step 3 where the onsets keep no beat and the period comes from the swell:
// a chain would follow the onsets' noise, its beats 0.4 to 0.6 s apart at a
// period of 0.5 s, and bars a minute apart would lie a beat off. The beats
// keep the period strictly instead, at the phase the onsets favour most.
std::vector<std::size_t> beatGrid(const std::vector<double>& o, double period) {
    const auto grid = [&](std::size_t phase) {
        std::vector<std::size_t> beats;
        for (double t = static_cast<double>(phase);; t += period) {
            const auto frame = static_cast<std::size_t>(std::lround(t));
            if (frame >= o.size())
                return beats;
            beats.push_back(frame);
        }
    };
    std::size_t bestPhase = 0;
    double bestSum = -1;
    for (std::size_t phase = 0; static_cast<double>(phase) < period; ++phase) {
        double sum = 0;
        for (const std::size_t t : grid(phase))
            sum += o[t];
        if (sum > bestSum) {
            bestSum = sum;
            bestPhase = phase;
        }
    }
    return grid(bestPhase);
}

// Steps 2 and 3: beat frames and the period in frames.
std::vector<std::size_t> trackBeats(const Frames& f, double hopSeconds, double& period) {
    period = 0;
    if (f.count < 8)
        return {};
    const std::vector<double> o = risingOnsets(f, hopSeconds);
    const auto lagMin = static_cast<std::size_t>(std::floor(60.0 / kFastestBpm / hopSeconds));
    const auto lagMax = static_cast<std::size_t>(std::ceil(60.0 / kSlowestBpm / hopSeconds));
    // At rates so low that a frame spans a third of a second there is no
    // beat to follow.
    if (lagMin < 2 || lagMax + 2 >= f.count)
        return {};
    const double guess = beatPeriod(o, hopSeconds, lagMin, lagMax);
    if (const std::optional<double> comb = combPeriod(o, guess)) {
        period = *comb;
        return beatChain(o, period);
    }
    if (const std::optional<double> swell = swellPeriod(f, hopSeconds, guess)) {
        period = *swell;
        return beatGrid(o, period);
    }
    period = guess;
    return beatChain(o, period);
}

// Step 4.
struct Beat {
    std::int64_t sample = 0; // where the beat falls in the audio
    std::array<float, 12> chroma{};
    std::array<float, kBands> bands{}; // dB
    float loudness = 0;                // dB
};

std::vector<Beat> beatFeatures(const Frames& f, const std::vector<std::size_t>& beatFrames,
                               double period) {
    std::vector<Beat> beats(beatFrames.size());
    for (std::size_t i = 0; i < beatFrames.size(); ++i) {
        const std::size_t a = beatFrames[i];
        const std::size_t b = i + 1 < beatFrames.size()
                                  ? beatFrames[i + 1]
                                  : std::min(f.count, a + static_cast<std::size_t>(period) + 1);
        Beat& beat = beats[i];
        beat.sample = static_cast<std::int64_t>(a) * kHop + kBeatInFrame;
        std::array<double, kBands> power{};
        std::array<double, 12> chroma{};
        const double frames = static_cast<double>(std::max<std::size_t>(1, b - a));
        for (std::size_t t = a; t < b; ++t) {
            for (int k = 0; k < kBands; ++k)
                power[static_cast<std::size_t>(k)] +=
                    f.bands[t * kBands + static_cast<std::size_t>(k)];
            for (int k = 0; k < 12; ++k)
                chroma[static_cast<std::size_t>(k)] +=
                    f.chroma[t * 12 + static_cast<std::size_t>(k)];
        }
        double total = 0;
        for (int k = 0; k < kBands; ++k) {
            const double p = power[static_cast<std::size_t>(k)] / frames;
            total += p;
            beat.bands[static_cast<std::size_t>(k)] =
                static_cast<float>(10 * std::log10(p + kPowerFloor * kFrame));
        }
        beat.loudness = static_cast<float>(10 * std::log10(total + kPowerFloor * kFrame));
        double norm = 0;
        for (double c : chroma)
            norm += c * c;
        norm = std::sqrt(norm);
        for (int k = 0; k < 12; ++k)
            beat.chroma[static_cast<std::size_t>(k)] =
                norm > 0 ? static_cast<float>(chroma[static_cast<std::size_t>(k)] / norm) : 0.0f;
    }
    return beats;
}

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

// The likeness of pairs of beats and the diagonal means of step 6, worked
// out when asked: a matrix of every pair would take 800 MB for two hours.
// With `harmonyOnly`, the likeness is that of the chromas alone (the second
// search of step 7).
class Likeness {
public:
    explicit Likeness(const std::vector<Beat>& beats, bool harmonyOnly = false)
        : m_beats(beats), m_n(beats.size()), m_harmonyOnly(harmonyOnly) {}

    std::size_t size() const { return m_n; }
    float at(std::size_t i, std::size_t j) const {
        return i <= j ? of(m_beats[i], m_beats[j]) : of(m_beats[j], m_beats[i]);
    }

    // The likeness of (k, k + d) for every k with k + d in the track.
    void diagonal(std::size_t d, std::vector<float>& out) const {
        out.resize(m_n > d ? m_n - d : 0);
        for (std::size_t k = 0; k + d < m_n; ++k)
            out[k] = of(m_beats[k], m_beats[k + d]);
    }

    // The mean likeness of (i + k, j + k) for k in [from, to), as far as both
    // lie in the track; -1 where none do.
    double mean(std::size_t i, std::size_t j, std::ptrdiff_t from, std::ptrdiff_t to) const {
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

    // The median likeness of the pairs kTypicalFrom or more beats apart (1
    // when there are none): the upper 16 bits of the median's value, then
    // the lower 16, each counted in one pass over the pairs, so that no list
    // of every pair is kept.
    double typical() {
        if (!m_typical)
            m_typical = median();
        return *m_typical;
    }

    bool convincing(double match) {
        return match >= kMinMatch && match - typical() >= kMinLift * (1 - typical());
    }

private:
    // Order-preserving unsigned key of a float.
    static std::uint32_t keyOf(float v) {
        const auto bits = std::bit_cast<std::uint32_t>(v);
        return (bits & 0x80000000U) != 0 ? ~bits : bits | 0x80000000U;
    }
    static float valueOf(std::uint32_t key) {
        return std::bit_cast<float>((key & 0x80000000U) != 0 ? key & 0x7fffffffU : ~key);
    }

    template <class Visit> void forApart(Visit visit) const {
        for (std::size_t i = 0; i < m_n; ++i)
            for (std::size_t j = i + kTypicalFrom; j < m_n; ++j)
                visit(keyOf(of(m_beats[i], m_beats[j])));
    }

    double median() const {
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

    float of(const Beat& a, const Beat& b) const {
        return m_harmonyOnly ? harmonyLikeness(a, b) : likeness(a, b);
    }

    const std::vector<Beat>& m_beats;
    std::size_t m_n;
    bool m_harmonyOnly;
    std::optional<double> m_typical;
};

// A pair of beats whose music matches, before it is placed to the sample.
struct Pair {
    std::size_t i = 0;
    std::size_t j = 0;
    double match = 0;
    double repeatedSeconds = 0;
    // Further first beats at the same distance whose bars still repeat, best
    // match first: where the jump is tried when it is heard at `i`.
    std::vector<std::size_t> elsewhere;
};

// The first beats at distance `d`, other than those from `best` on that its
// alignments try, whose next kMatchBeats beats match at least `floor`: the
// kOtherPlaces that match best, each at least kStartBeats beats from the
// others. `diagonal` is scratch.
std::vector<std::size_t> otherPlaces(const Likeness& like, const std::vector<Beat>& beats,
                                     std::size_t d, std::size_t best, std::int64_t shortest,
                                     double floor, std::vector<float>& diagonal) {
    const std::size_t m = like.size();
    like.diagonal(d, diagonal);
    std::vector<std::pair<double, std::size_t>> places;
    for (std::size_t i = 0; i + d + kMatchBeats <= m; ++i) {
        if (beats[i + d].sample - beats[i].sample < shortest)
            continue;
        double sum = 0;
        for (int k = 0; k < kMatchBeats; ++k)
            sum += diagonal[i + static_cast<std::size_t>(k)];
        if (const double match = sum / kMatchBeats; match >= floor)
            places.emplace_back(match, i);
    }
    std::sort(places.begin(), places.end(), std::greater<>());
    std::vector<std::size_t> chosen{best};
    for (const auto& place : places) {
        if (chosen.size() > kOtherPlaces)
            break;
        const std::size_t i = place.second;
        const bool covered = std::any_of(chosen.begin(), chosen.end(), [&](std::size_t c) {
            const auto span = static_cast<std::size_t>(kStartBeats);
            return i + span > c && c + span > i;
        });
        if (!covered)
            chosen.push_back(i);
    }
    chosen.erase(chosen.begin());
    return chosen;
}

// Step 7: the pairs of natural loops, the one seen to play the most of the
// song first.
std::vector<Pair> naturalPairs(Likeness& like, const std::vector<Beat>& beats,
                               std::int64_t shortest, int rate, std::size_t minRepeatBeats) {
    const std::size_t m = like.size();
    std::vector<Pair> bestOf(m); // by beat distance
    std::vector<double> matchOf(m, -1.0);
    std::vector<float> diagonal;
    for (std::size_t d = 1; d < m; ++d) {
        auto tooShort = [&](std::size_t i) {
            return beats[i + d].sample - beats[i].sample < shortest;
        };
        bool any = false;
        for (std::size_t i = 0; i + d + kMatchBeats <= m && !any; ++i)
            any = !tooShort(i);
        if (!any)
            continue;
        like.diagonal(d, diagonal);
        for (std::size_t i = 0; i + d + kMatchBeats <= m; ++i) {
            if (tooShort(i))
                continue;
            double sum = 0;
            for (int k = 0; k < kMatchBeats; ++k)
                sum += diagonal[i + static_cast<std::size_t>(k)];
            const double match = sum / kMatchBeats;
            if (match > matchOf[d]) {
                matchOf[d] = match;
                bestOf[d] = {i, i + d, match, 0, {}};
            }
        }
    }
    const double extentFloor = like.typical() + kExtentLift * (1 - like.typical());
    const double bestMatch = *std::max_element(matchOf.begin(), matchOf.end());
    std::vector<Pair> pairs;
    for (std::size_t d = 1; d < m; ++d) {
        if (matchOf[d] < 0 || !like.convincing(matchOf[d]) || matchOf[d] < bestMatch - kMatchSlack)
            continue;
        if ((d > 1 && matchOf[d - 1] > matchOf[d]) || (d + 1 < m && matchOf[d + 1] > matchOf[d]))
            continue;
        Pair p = bestOf[d];
        std::size_t first = p.i;
        while (first > 0 && like.mean(first - 1, first - 1 + d, 0, kExtentBeats) >= extentFloor)
            --first;
        std::size_t last = p.i + kMatchBeats;
        while (last + d < m && like.mean(last, last + d, 0, kExtentBeats) >= extentFloor)
            ++last;
        if (last - first < minRepeatBeats)
            continue;
        p.elsewhere = otherPlaces(like, beats, d, p.i, shortest, extentFloor, diagonal);
        double sum = 0;
        for (std::size_t k = first; k < last && k + d < m; ++k)
            sum += like.at(k, k + d);
        p.match = sum / static_cast<double>(last - first);
        const std::size_t end = std::min(last, m - 1 - d);
        p.repeatedSeconds = static_cast<double>(beats[end].sample - beats[first].sample) /
                            static_cast<double>(rate);
        pairs.push_back(p);
    }
    std::sort(pairs.begin(), pairs.end(),
              [&](const Pair& a, const Pair& b) { return a.match > b.match; });
    // The loop seen to play the most of the song first (its repeat, at most
    // one loop's length of it, times its match), the others by match: a
    // longer loop whose repeat is seen only briefly holds less of the song.
    const auto played = [&](const Pair& p) {
        const double loop = static_cast<double>(beats[p.j].sample - beats[p.i].sample) / rate;
        return std::min(p.repeatedSeconds, loop) * p.match;
    };
    auto most = std::max_element(pairs.begin(), pairs.end(), [&](const Pair& a, const Pair& b) {
        return played(a) < played(b);
    });
    if (most != pairs.end())
        std::rotate(pairs.begin(), most, most + 1);
    return pairs;
}

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

// Step 8's last move: the stop within `reach` of `aligned` where the
// waveform just after `start` goes on from the one just before the stop, in
// every channel: the least squared difference, over the kSeamHalfWindow
// frames each side of the junction, between what plays and what would have
// played, the frames nearest the junction weighing most. Two renditions
// never share their phases, so the waveforms around the best alignment of
// whole passages differ; somewhere within a cycle of the bass they cross
// alike, and there the jump has neither step nor kink.
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

// The distance between the renditions by the beat grid: the median of the
// distances between the beats that follow each of the pair, over the beats
// matched. Each beat errs by a frame or so and by its humanised timing; the
// median of many does not.
std::int64_t beatGridLag(const std::vector<Beat>& beats, const Pair& pair) {
    std::vector<std::int64_t> distances;
    for (std::size_t k = 0; k < static_cast<std::size_t>(kMatchBeats) && pair.j + k < beats.size();
         ++k)
        distances.push_back(beats[pair.j + k].sample - beats[pair.i + k].sample);
    std::nth_element(distances.begin(),
                     distances.begin() + static_cast<std::ptrdiff_t>(distances.size() / 2),
                     distances.end());
    return distances[distances.size() / 2];
}

// The distance between the renditions that every loop of a pair must keep
// to within kGridSlackSeconds, where the alignments of the pair's starts
// show it: the median of all of them where they agree with one another
// within that slack, and where they do not, the median of the largest group
// of at least kAgreeingAlignments that do (of two as large, the tighter),
// as long as `gridLag` lies further off it than the slack; nullopt
// otherwise. Alignments a beat apart that agree so closely measure one
// distance over as many places of the music, each to the sample, while the
// tracked beats and onsets lie on a hop and, where the onsets are soft
// (strings, pads), slip by a subdivision from one rendition to the other: a
// tempo tracked a few percent off puts the grid's distance a beat or so
// away, and one alignment caught by a tone's period elsewhere does not
// outvote the others then. Where the grid confirms the group, the grid's
// distance, the median of many beats, stands.
std::optional<std::int64_t> agreedDistance(std::vector<std::int64_t> lags, std::int64_t gridLag,
                                           std::int64_t slack) {
    std::sort(lags.begin(), lags.end());
    std::size_t from = 0;
    std::size_t count = 0;
    for (std::size_t last = 0, first = 0; last < lags.size(); ++last) {
        while (lags[last] - lags[first] > slack)
            ++first;
        const std::size_t n = last - first + 1;
        if (n > count ||
            (n == count && lags[last] - lags[first] < lags[from + count - 1] - lags[from])) {
            from = first;
            count = n;
        }
    }
    if (count < kAgreeingAlignments)
        return std::nullopt;
    const std::int64_t median = lags[from + count / 2];
    if (count < lags.size() && std::abs(gridLag - median) <= slack)
        return std::nullopt;
    return median;
}

// A start of step 8 and the stop aligned with it.
struct Alignment {
    std::int64_t start = 0;
    std::int64_t stop = 0;
    // The renditions' distance where the jump lies (step 8), when the
    // rhythm there shows it.
    std::optional<std::int64_t> local;
    // Which of the pair's first kStartBeats beats the start is at.
    int beat = 0;
};

// Whether the rhythm's distances at the pair's first beats tell one tempo
// that moves: measured at kAgreeingAlignments beats or more, each within
// `slack` a beat of the one before (a played tempo drifts by less). Where
// they scatter further, the passages only share a pulse, and their onsets
// line up by chance at each beat: no distance of theirs keeps the beat.
bool steadyRhythm(const std::vector<Alignment>& alignments, std::int64_t slack) {
    const Alignment* last = nullptr;
    std::size_t measured = 0;
    for (const Alignment& a : alignments) {
        if (!a.local)
            continue;
        if (last && std::abs(*a.local - *last->local) > slack * (a.beat - last->beat))
            return false;
        last = &a;
        ++measured;
    }
    return measured >= kAgreeingAlignments;
}

// The rising onsets of step 2, kept to line up the renditions around each
// jump (step 8).
class Rhythm {
public:
    explicit Rhythm(std::vector<double> onsets) : m_onsets(std::move(onsets)) {}

    // The distance in frames, within `reach` of `guess`, at which the
    // onsets of the kLocalSeconds around `start` best line up with those
    // around `start` + that distance; nullopt where they show no rhythm.
    std::optional<std::int64_t> distanceAt(std::int64_t start, std::int64_t guess,
                                           std::int64_t reach, int rate) const {
        const auto n = static_cast<std::ptrdiff_t>(m_onsets.size());
        const auto frames = static_cast<std::ptrdiff_t>(std::ceil(kLocalSeconds * rate / kHop));
        const auto steps =
            static_cast<std::ptrdiff_t>(std::ceil(static_cast<double>(reach) / kHop));
        const auto frameOf = [](std::int64_t sample) {
            return static_cast<std::ptrdiff_t>(
                std::llround(static_cast<double>(sample - kBeatInFrame) / kHop));
        };
        const std::ptrdiff_t a = frameOf(start) - frames / 2;
        const std::ptrdiff_t b = frameOf(start + guess) - frames / 2;
        if (a < 0 || b - steps < 0 || a + frames > n || b + steps + frames > n)
            return std::nullopt;
        const auto centred = [&](std::ptrdiff_t from) {
            std::vector<double> v(m_onsets.begin() + from, m_onsets.begin() + from + frames);
            const double mean =
                std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(frames);
            for (double& x : v)
                x -= mean;
            return v;
        };
        const std::vector<double> x = centred(a);
        std::vector<double> r;
        for (std::ptrdiff_t lag = -steps; lag <= steps; ++lag) {
            const std::vector<double> y = centred(b + lag);
            double xy = 0;
            double xx = 0;
            double yy = 0;
            for (std::size_t k = 0; k < x.size(); ++k) {
                xy += x[k] * y[k];
                xx += x[k] * x[k];
                yy += y[k] * y[k];
            }
            r.push_back(xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0);
        }
        const auto best =
            static_cast<std::size_t>(std::max_element(r.begin(), r.end()) - r.begin());
        if (r[best] < kLocalClarity)
            return std::nullopt;
        double lag = static_cast<double>(best) - static_cast<double>(steps);
        if (best > 0 && best + 1 < r.size()) {
            const double p = r[best - 1];
            const double q = r[best];
            const double u = r[best + 1];
            if (p - 2 * q + u < 0)
                lag += std::clamp(0.5 * (p - u) / (p - 2 * q + u), -0.5, 0.5);
        }
        return std::llround((static_cast<double>(b - a) + lag) * kHop);
    }

private:
    std::vector<double> m_onsets;
};

// Step 8's first move for each of the first kStartBeats beats of the pair:
// the start before the attack near the beat, the stop aligned with it.
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

// Step 8's last moves and step 9's verdict for one alignment: the first
// junction the judge passes, both points moved together by the shifts and
// the stop to where the waveforms cross alike, as long as the loop keeps
// `distance` within `slack`; nullopt where none passes.
std::optional<LoopCandidate> seamlessJunction(FrameSource& audio, const Alignment& aligned,
                                              std::int64_t distance, std::int64_t slack,
                                              std::int64_t minLoop,
                                              const std::optional<LoopPoints>& near,
                                              std::int64_t reach) {
    for (const std::int64_t seamReach : kSeamReaches) {
        if (near && seamReach != kSeamReaches[0])
            break;
        for (const std::int64_t shift : kJunctionShifts) {
            const std::int64_t from = aligned.start + shift;
            const std::int64_t to = seamStop(audio, from, aligned.stop + shift, seamReach);
            if (from < 0 || to - from < minLoop || to > audio.frames() ||
                std::abs(to - from - distance) > slack)
                continue;
            if (near && (std::abs(from - near->start) > reach || std::abs(to - near->stop) > reach))
                continue;
            const SeamFigures judged = JudgeSeam(audio, from, to, SeamMode::Musical);
            if (!IsSeamless(judged))
                continue;
            LoopCandidate c;
            c.kind = judged.musical ? LoopKind::Musical : LoopKind::Exact;
            c.start = from;
            c.stop = to;
            c.seam = judged.score;
            c.judged = judged;
            return c;
        }
    }
    return std::nullopt;
}

// Step 9's last check: the first of `passed` that check, measuring the file,
// also calls seamless; where a copy of the track's own samples lies a little
// off its stop, the loop becomes the exact one at that copy.
std::optional<LoopCandidate> measuredAsCheck(FrameSource& audio, std::vector<LoopCandidate>& passed,
                                             std::int64_t minLoop) {
    for (LoopCandidate& c : passed) {
        const std::optional<SeamFigures> measured = MeasureSeam(audio, c.start, c.stop);
        if (!measured)
            continue;
        if (IsSeamless(*measured)) {
            c.judged = *measured;
        } else if (measured->seamlessStop && *measured->seamlessStop - c.start >= minLoop) {
            c.stop = *measured->seamlessStop;
            c.judged = JudgeSeam(audio, c.start, c.stop);
            if (!IsSeamless(c.judged))
                continue;
        } else {
            continue;
        }
        c.kind = c.judged.musical ? LoopKind::Musical : LoopKind::Exact;
        c.seam = c.judged.score;
        return c;
    }
    return std::nullopt;
}

// Steps 8 and 9 for one pair: the best seamless candidate, if any.
std::optional<LoopCandidate> refine(FrameSource& audio, int rate, const std::vector<Beat>& beats,
                                    const Rhythm& rhythm, const Pair& pair, double periodSamples,
                                    std::int64_t minLoop, const std::optional<LoopPoints>& near,
                                    std::int64_t reach) {
    std::vector<Alignment> alignments =
        alignStarts(audio, rate, beats, rhythm, pair, periodSamples);
    if (alignments.empty())
        return std::nullopt;
    std::vector<std::int64_t> lags;
    for (const Alignment& a : alignments)
        lags.push_back(a.stop - a.start);
    // The beat grid must go on across the jump: a loop whose length is off
    // the renditions' distance shifts every beat after it, however alike the
    // waveforms at the seam.
    const auto slack = std::llround(kGridSlackSeconds * rate);
    const std::int64_t gridLag = beatGridLag(beats, pair);
    const std::optional<std::int64_t> agreed = agreedDistance(lags, gridLag, slack);
    const std::int64_t distance = agreed.value_or(gridLag);
    // Alignments that disagree may follow a tempo that moves: where the
    // rhythm around its start shows the distance there off the beat grid's
    // by more than the slack, an alignment is taken again within the slack
    // of it (further off, the waveforms' best likeness is a tone's period,
    // not the beat) and keeps that distance. Where the rhythm agrees with
    // the grid, the grid's distance stands: the median of many beats is the
    // closer measure; and where the waveforms align off that grid, they
    // met on a tone's period (an orchestra's sustained chords, its soft
    // onsets): the alignment is taken again within the slack of the grid's.
    const bool steady = steadyRhythm(alignments, slack);
    for (Alignment& a : alignments) {
        const bool rhythmOnGrid = a.local && std::abs(*a.local - distance) <= slack;
        if (agreed || !steady || !a.local || rhythmOnGrid)
            a.local.reset();
        else
            a.stop = alignStop(audio, a.start, a.start + *a.local, slack);
        if (rhythmOnGrid && std::abs(a.stop - a.start - distance) > slack)
            a.stop = alignStop(audio, a.start, a.start + distance, slack);
    }
    // Each seam that passes, and how far its length lies off the distance
    // it keeps.
    std::vector<std::pair<std::int64_t, LoopCandidate>> found;
    for (const Alignment& a : alignments) {
        const std::int64_t here = a.local.value_or(distance);
        if (std::abs(a.stop - a.start - here) > slack)
            continue;
        if (auto c = seamlessJunction(audio, a, here, slack, minLoop, near, reach)) {
            c->score = std::clamp(pair.match, 0.0, 1.0);
            c->repeatedSeconds = pair.repeatedSeconds;
            found.emplace_back(std::abs(c->stop - c->start - here), *c);
        }
    }
    if (found.empty())
        return std::nullopt;
    // Every alignment is off the renditions' distance by its own humanised
    // notes: the seam whose length lies nearest that distance keeps the beat
    // best.
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<LoopCandidate> passed;
    for (auto& f : found)
        passed.push_back(f.second);
    return measuredAsCheck(audio, passed, minLoop);
}

// The first kSeamPairs of `pairs` by match, each more than a bar from those
// kept at both ends.
std::vector<Pair> bestApart(std::vector<Pair>& pairs) {
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair& a, const Pair& b) { return a.match > b.match; });
    const auto close = [](std::size_t a, std::size_t b) {
        return a + kBeatsPerBar > b && b + kBeatsPerBar > a;
    };
    std::vector<Pair> kept;
    for (Pair& p : pairs) {
        if (kept.size() >= kSeamPairs)
            break;
        if (std::none_of(kept.begin(), kept.end(),
                         [&](const Pair& q) { return close(p.i, q.i) || close(p.j, q.j); }))
            kept.push_back(std::move(p));
    }
    return kept;
}

// Step 7's last search: the kSeamPairs pairs of beats a whole number of
// bars apart, at least `shortest` apart, whose kSeamBeats beats each side
// match best. Their match is that likeness; their repeat, the beats
// compared. Only the best of each distance are kept while searching, so
// that a long song's millions of pairs are never held at once.
std::vector<Pair> seamPairs(const Likeness& like, const std::vector<Beat>& beats,
                            std::int64_t shortest, int rate) {
    const std::size_t m = like.size();
    std::vector<Pair> best;
    std::vector<Pair> atDistance;
    std::vector<float> diagonal;
    for (std::size_t d = kBeatsPerBar; d < m; d += kBeatsPerBar) {
        like.diagonal(d, diagonal);
        atDistance.clear();
        for (std::size_t i = kSeamBeats; i + d + kSeamBeats <= m; ++i) {
            if (beats[i + d].sample - beats[i].sample < shortest)
                continue;
            const auto from = diagonal.begin() + static_cast<std::ptrdiff_t>(i - kSeamBeats);
            const double sum = std::accumulate(from, from + 2 * kSeamBeats, 0.0);
            const double seconds =
                static_cast<double>(beats[i + kSeamBeats].sample - beats[i - kSeamBeats].sample) /
                rate;
            atDistance.push_back({i, i + d, sum / (2 * kSeamBeats), seconds, {}});
        }
        for (Pair& p : bestApart(atDistance))
            best.push_back(std::move(p));
    }
    return bestApart(best);
}

// Step 10: the pairs near the given points, best match first.
std::vector<Pair> nearPairs(const Likeness& like, const std::vector<Beat>& beats,
                            const LoopPoints& near, std::int64_t reach, std::int64_t shortest) {
    std::vector<Pair> pairs;
    for (std::size_t i = 0; i < beats.size(); ++i) {
        if (std::abs(beats[i].sample - near.start) > reach)
            continue;
        for (std::size_t j = i + 1; j < beats.size(); ++j) {
            if (std::abs(beats[j].sample - near.stop) > reach ||
                beats[j].sample - beats[i].sample < shortest)
                continue;
            const double match = like.mean(i, j, -kMatchBeats / 2, kMatchBeats / 2);
            pairs.push_back({i, j, match, 0, {}});
        }
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair& a, const Pair& b) { return a.match > b.match; });
    if (pairs.size() > kNearPairs)
        pairs.resize(kNearPairs);
    return pairs;
}

// The search: step 1 reads `stream` once in order, steps 8 and 9 read
// windows of `audio` back (the same track).
MusicalSearch searchMusical(FrameSource& stream, FrameSource& audio, int sampleRate,
                            const MusicalSearchOptions& options, const ProgressCallback& progress) {
    MusicalSearch result;
    const int rate = sampleRate > 0 ? sampleRate : 44100;
    if (audio.channels() <= 0 || audio.frames() < kFrame)
        return result;
    auto clock = std::chrono::steady_clock::now();
    const std::optional<Frames> frames = analyse(stream, rate, progress);
    if (!frames) {
        result.cancelled = true;
        return result;
    }
    result.seconds.spectra = secondsSince(clock);
    clock = std::chrono::steady_clock::now();
    const double hopSeconds = static_cast<double>(kHop) / rate;
    double period = 0;
    const std::vector<std::size_t> beatFrames = trackBeats(*frames, hopSeconds, period);
    const std::vector<Beat> beats = beatFeatures(*frames, beatFrames, period);
    result.beats = beats.size();
    if (period > 0)
        result.beatsPerMinute = 60.0 / (period * hopSeconds);
    result.seconds.beats = secondsSince(clock);
    if (progress && !progress(0.6)) {
        result.cancelled = true;
        return result;
    }
    if (beats.size() < 2)
        return result;
    clock = std::chrono::steady_clock::now();
    const std::int64_t minLoop = options.minLoopFrames > 0 ? options.minLoopFrames : 2 * rate;
    Likeness like(beats);
    std::vector<Pair> pairs;
    const std::int64_t reach = options.nearFrames > 0 ? options.nearFrames : 2 * rate;
    const auto share = static_cast<std::int64_t>(
        std::ceil(std::clamp(options.minShare, 0.0, 1.0) * static_cast<double>(audio.frames())));
    if (options.near)
        pairs = nearPairs(like, beats, *options.near, reach, minLoop);
    else
        pairs = naturalPairs(like, beats, std::max(minLoop, share), rate, kMinRepeatBeats);
    result.seconds.matching = secondsSince(clock);
    clock = std::chrono::steady_clock::now();
    const double periodSamples = period * kHop;
    const Rhythm rhythm(risingOnsets(*frames, hopSeconds));
    // Steps 8 and 9 for `pairs`, their progress from `from` to `to`; false
    // when cancelled. Where none of them gives a loop at its best beats,
    // their other places are tried in a second round: a song with a loop
    // there pays nothing for them.
    const auto admit = [&](const std::vector<Pair>& found, double from, double to) {
        const double half = from + (to - from) / 2;
        const std::vector<std::size_t> none;
        for (int round = 0; round < 2; ++round) {
            if (round == 1 && !result.candidates.empty())
                break;
            const double a = round == 0 ? from : half;
            const double b = round == 0 ? half : to;
            for (std::size_t k = 0; k < found.size(); ++k) {
                if (result.candidates.size() >= options.maxCandidates)
                    break;
                if (progress && !progress(a + (b - a) * static_cast<double>(k) / found.size()))
                    return false;
                std::optional<LoopCandidate> c;
                if (round == 0)
                    c = refine(audio, rate, beats, rhythm, found[k], periodSamples, minLoop,
                               options.near, reach);
                for (std::size_t i : round == 1 ? found[k].elsewhere : none) {
                    if (c)
                        break;
                    Pair there = found[k];
                    there.j = i + (there.j - there.i);
                    there.i = i;
                    c = refine(audio, rate, beats, rhythm, there, periodSamples, minLoop,
                               options.near, reach);
                }
                // Pairs a beat apart may settle on one loop: it is listed once.
                const bool listed =
                    c &&
                    std::any_of(result.candidates.begin(), result.candidates.end(),
                                [&](const LoopCandidate& other) {
                                    return std::abs(other.start - c->start) < periodSamples / 2 &&
                                           std::abs(other.stop - c->stop) < periodSamples / 2;
                                });
                if (c && !listed)
                    result.candidates.push_back(*c);
            }
        }
        return true;
    };
    if (!admit(pairs, 0.6, options.near ? 1.0 : 0.8)) {
        result.cancelled = true;
        return result;
    }
    // Step 7's second search: where no section comes back sounding as it
    // did (an orchestra plays the theme again with other instruments, a
    // recording moves its levels), a passage whose chords come back over
    // four bars is still the same musical place; the judge tells whether the
    // sound across the jump goes on.
    bool comesBack = !pairs.empty();
    if (!options.near && result.candidates.empty()) {
        clock = std::chrono::steady_clock::now();
        Likeness harmony(beats, true);
        const double pairsCompared =
            0.5 * static_cast<double>(beats.size()) * static_cast<double>(beats.size());
        const double tenfolds = std::ceil(std::log10(std::max(1.0, pairsCompared / kHarmonyPairs)));
        const double bars = static_cast<double>(kMinHarmonyBeats / kBeatsPerBar) +
                            std::log10(pairsCompared / kHarmonyPairs);
        const auto timed = static_cast<std::size_t>(
            std::ceil(std::max(0.0, bars) * kHarmonyBarSeconds * result.beatsPerMinute / 60.0));
        const std::size_t minBeats =
            std::max(kMinHarmonyBeats + kBeatsPerBar * static_cast<std::size_t>(tenfolds), timed);
        const std::vector<Pair> harmonic =
            naturalPairs(harmony, beats, std::max(minLoop, share), rate, minBeats);
        comesBack = comesBack || !harmonic.empty();
        result.seconds.matching += secondsSince(clock);
        if (!admit(harmonic, 0.8, 0.9)) {
            result.cancelled = true;
            return result;
        }
    }
    // Its last: where the song's passages come back (their chords at
    // least) but no jump between them passes the judge (played again at
    // another level, or on other instruments), bars that sound alike
    // around a jump elsewhere still make a loop the listener does not
    // notice. Music that never comes back gets none: its bars are alike
    // only by chance.
    if (!options.near && result.candidates.empty() && comesBack) {
        clock = std::chrono::steady_clock::now();
        const std::vector<Pair> seams = seamPairs(like, beats, std::max(minLoop, share), rate);
        result.seconds.matching += secondsSince(clock);
        if (!admit(seams, 0.9, 1.0)) {
            result.cancelled = true;
            return result;
        }
    }
    if (options.near)
        std::stable_sort(result.candidates.begin(), result.candidates.end(),
                         [](const LoopCandidate& a, const LoopCandidate& b) {
                             const double da = a.judged.musical ? a.judged.spectralDb : -1.0;
                             const double db = b.judged.musical ? b.judged.spectralDb : -1.0;
                             return da < db;
                         });
    result.seconds.refining = secondsSince(clock);
    return result;
}

} // namespace

std::vector<std::int64_t> FindBeats(const AudioSamples& audio) {
    SamplesSource source(audio);
    const int rate = audio.sampleRate > 0 ? audio.sampleRate : 44100;
    const std::optional<Frames> frames = analyse(source, rate, {});
    double period = 0;
    const std::vector<std::size_t> beatFrames =
        trackBeats(*frames, static_cast<double>(kHop) / rate, period);
    std::vector<std::int64_t> out;
    out.reserve(beatFrames.size());
    for (const std::size_t t : beatFrames) // as beatFeatures places them
        out.push_back(static_cast<std::int64_t>(t) * kHop + kBeatInFrame);
    return out;
}

MusicalSearch FindMusicalLoops(const AudioSamples& audio, const MusicalSearchOptions& options,
                               const ProgressCallback& progress) {
    SamplesSource source(audio);
    return searchMusical(source, source, audio.sampleRate, options, progress);
}

MusicalSearch FindMusicalLoops(AudioReader& reader, const MusicalSearchOptions& options,
                               const ProgressCallback& progress) {
    // Step 1 reads the file through in order, keeping nothing; the windows
    // of steps 8 and 9 are read back after it, from what a lossy file then
    // keeps decoded.
    ReaderSource stream(reader, ReaderSource::Keep::Never);
    ReaderSource windows(reader, ReaderSource::Keep::OnFirstRead);
    return searchMusical(stream, windows, reader.info().sampleRate, options, progress);
}

} // namespace kestrin::audio
