// SPDX-License-Identifier: GPL-3.0-or-later
// The real-music bench's own ear: judges a loop's jump by measures that owe
// nothing to Kestrin's seam judge, so that the bench can tell whether what
// find offers is clean.
//
// Usage: seam_listen FILE START STOP [START STOP...]
// Prints one JSON line per pair. The measures, all on the audio as it is:
//  - bands: 1/3-octave band levels (63 Hz to 16 kHz) of 100 ms windows, their
//    RMS difference in dB. "across" compares the 100 ms before the stop with
//    the 100 ms after the start (what is heard across the jump); "own" is the
//    same difference where the music goes on by itself, at the stop and at
//    the start; "pre" compares the 100 ms before the stop with those before
//    the start, "post" the 100 ms after the start with those after the stop
//    (the contexts of the jump both ways; absent past either end).
//    "copy_db" is the waveform's difference over the same 100 ms after the
//    start and after the stop, for telling how exact a copy is; it is not
//    part of "clean".
//  - step: the jump of each channel from the last sample before the stop to
//    the start's sample, against the largest sample-to-sample change the
//    music itself makes within 10 ms of the stop and of the start.
//  - grid: the beat grid from onsets (the rise of each frequency bin's
//    level), its period from the whole track (the shortest strong pulse),
//    its phase over the 6 s before the stop and the 6 s after the start;
//    "grid_ms" is how far the grid jumps at the seam, less how far it seems
//    to move where the music goes on by itself across the same windows (at
//    the stop, or at the start when nothing follows the stop).
// Clean: across <= max(6 dB, own + 3 dB); pre or post <= 6 dB where either
// is present (the jump matches the music on at least one side); the step no
// larger than the music's own change, or under -70 dB of full scale; and the
// grid jumping by at most 20 ms where the music has a clear beat (phase
// strength at least 0.15 on both sides).
#include <fftw3.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int Rate = 44100;
constexpr std::int64_t Window = Rate / 10;      // 100 ms
constexpr std::int64_t StepWindow = Rate / 100; // 10 ms
constexpr int BandFft = 8192;
constexpr int OnsetFft = 1024;
constexpr int Hop = 256;
constexpr double GridSeconds = 6.0;
// The thresholds of "clean", stated above.
constexpr double BandsClean = 6.0;
constexpr double BandsOverOwn = 3.0;
constexpr double StepFloor = 0.000316; // -70 dB of full scale
constexpr double GridCleanMs = 20.0;
constexpr double ClearBeat = 0.15;

struct Audio {
    int channels = 0;
    std::int64_t frames = 0;
    std::vector<float> pcm;  // interleaved
    std::vector<float> mono; // channel mean
};

Audio load(const char* path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path, SFM_READ, &info);
    if (!f)
        throw std::runtime_error(std::string("cannot read ") + path + ": " + sf_strerror(nullptr));
    Audio a;
    a.channels = info.channels;
    a.pcm.resize(static_cast<std::size_t>(info.frames * info.channels));
    a.frames = sf_readf_float(f, a.pcm.data(), info.frames);
    sf_close(f);
    a.pcm.resize(static_cast<std::size_t>(a.frames * a.channels));
    a.mono.resize(static_cast<std::size_t>(a.frames));
    for (std::int64_t i = 0; i < a.frames; ++i) {
        float sum = 0;
        for (int c = 0; c < a.channels; ++c)
            sum += a.pcm[static_cast<std::size_t>(i * a.channels + c)];
        a.mono[static_cast<std::size_t>(i)] = sum / static_cast<float>(a.channels);
    }
    return a;
}

class Bands {
public:
    Bands() {
        in_ = fftwf_alloc_real(BandFft);
        out_ = fftwf_alloc_complex(BandFft / 2 + 1);
        plan_ = fftwf_plan_dft_r2c_1d(BandFft, in_, out_, FFTW_ESTIMATE);
        for (double fc = 63.0; fc <= 16001.0; fc *= std::pow(2.0, 1.0 / 3.0))
            centres_.push_back(fc);
    }
    ~Bands() {
        fftwf_destroy_plan(plan_);
        fftwf_free(in_);
        fftwf_free(out_);
    }
    Bands(const Bands&) = delete;
    Bands& operator=(const Bands&) = delete;

    // Band levels in dB of the window [from, from + Window), or nothing when
    // it does not lie inside the audio.
    std::optional<std::vector<double>> levels(const Audio& a, std::int64_t from) {
        if (from < 0 || from + Window > a.frames)
            return std::nullopt;
        double wsum = 0;
        for (int i = 0; i < BandFft; ++i) {
            float v = 0;
            if (i < Window) {
                const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / (Window - 1));
                v = static_cast<float>(w * a.mono[static_cast<std::size_t>(from + i)]);
                wsum += w * w;
            }
            in_[i] = v;
        }
        fftwf_execute(plan_);
        std::vector<double> out;
        const double binHz = static_cast<double>(Rate) / BandFft;
        for (double fc : centres_) {
            const int lo = static_cast<int>(std::ceil(fc * std::pow(2.0, -1.0 / 6.0) / binHz));
            const int hi = static_cast<int>(std::floor(fc * std::pow(2.0, 1.0 / 6.0) / binHz));
            double e = 0;
            for (int k = lo; k <= std::min(hi, BandFft / 2); ++k)
                e += std::norm(std::complex<double>(out_[k][0], out_[k][1]));
            // Mean square of the band's share of the signal.
            e = 2.0 * e / (wsum * BandFft);
            out.push_back(10.0 * std::log10(e + 1e-15));
        }
        return out;
    }

private:
    float* in_;
    fftwf_complex* out_;
    fftwf_plan plan_;
    std::vector<double> centres_;
};

// RMS difference in dB of two band level sets, each held no lower than 60 dB
// under the louder's loudest band (and -100 dB), over the bands either plays.
std::optional<double> distance(const std::optional<std::vector<double>>& a,
                               const std::optional<std::vector<double>>& b) {
    if (!a || !b)
        return std::nullopt;
    double top = -100;
    for (std::size_t i = 0; i < a->size(); ++i)
        top = std::max({top, (*a)[i], (*b)[i]});
    const double floor = std::max(-100.0, top - 60.0);
    double sum = 0;
    int n = 0;
    for (std::size_t i = 0; i < a->size(); ++i) {
        const double x = std::max((*a)[i], floor);
        const double y = std::max((*b)[i], floor);
        if (x > floor || y > floor) {
            sum += (x - y) * (x - y);
            ++n;
        }
    }
    return n ? std::sqrt(sum / n) : 0.0;
}

// Onset strength every Hop frames: the rise of log magnitude, summed over bins.
std::vector<double> onsets(const Audio& a) {
    float* in = fftwf_alloc_real(OnsetFft);
    fftwf_complex* out = fftwf_alloc_complex(OnsetFft / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(OnsetFft, in, out, FFTW_ESTIMATE);
    std::vector<double> prev(OnsetFft / 2 + 1, 0.0), env;
    for (std::int64_t at = 0; at + OnsetFft <= a.frames; at += Hop) {
        for (int i = 0; i < OnsetFft; ++i)
            in[i] = static_cast<float>((0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / OnsetFft)) *
                                       a.mono[static_cast<std::size_t>(at + i)]);
        fftwf_execute(plan);
        double flux = 0;
        for (int k = 1; k <= OnsetFft / 2; ++k) {
            const double m = std::log1p(
                1000.0 * std::abs(std::complex<double>(out[k][0], out[k][1])) / OnsetFft);
            flux += std::max(0.0, m - prev[static_cast<std::size_t>(k)]);
            prev[static_cast<std::size_t>(k)] = m;
        }
        env.push_back(flux);
    }
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
    // Less the running mean over half a second: what stands out as an attack.
    const int half = Rate / Hop / 4;
    std::vector<double> sharp(env.size());
    double run = 0;
    std::vector<double> cum(env.size() + 1, 0.0);
    for (std::size_t i = 0; i < env.size(); ++i)
        cum[i + 1] = cum[i] + env[i];
    for (std::size_t i = 0; i < env.size(); ++i) {
        const std::size_t lo = i > static_cast<std::size_t>(half) ? i - half : 0;
        const std::size_t hi = std::min(env.size(), i + half + 1);
        run = (cum[hi] - cum[lo]) / static_cast<double>(hi - lo);
        sharp[i] = std::max(0.0, env[i] - run);
    }
    return sharp;
}

// The grid's period in frames: the shortest lag between 0.1 s and 1.5 s at
// which the onsets' autocorrelation peaks within 60 % of its highest peak
// (the pulse the drums and notes keep, so that onsets on every subdivision
// add up in phase), refined between hops.
double beatPeriod(const std::vector<double>& env) {
    const int lo = Rate / Hop / 10, hi = Rate * 3 / Hop / 2;
    std::vector<double> ac(static_cast<std::size_t>(hi + 2), 0.0);
    for (int lag = lo - 1; lag <= hi + 1; ++lag)
        for (std::size_t i = static_cast<std::size_t>(lag); i < env.size(); ++i)
            ac[static_cast<std::size_t>(lag)] += env[i] * env[i - static_cast<std::size_t>(lag)];
    auto peak = [&](int lag) {
        return ac[static_cast<std::size_t>(lag)] >= ac[static_cast<std::size_t>(lag - 1)] &&
               ac[static_cast<std::size_t>(lag)] >= ac[static_cast<std::size_t>(lag + 1)];
    };
    double top = 0;
    for (int lag = lo; lag <= hi; ++lag)
        if (peak(lag))
            top = std::max(top, ac[static_cast<std::size_t>(lag)]);
    int best = lo;
    for (int lag = lo; lag <= hi; ++lag)
        if (peak(lag) && ac[static_cast<std::size_t>(lag)] >= 0.6 * top) {
            best = lag;
            break;
        }
    const double y0 = ac[static_cast<std::size_t>(best - 1)],
                 y1 = ac[static_cast<std::size_t>(best)],
                 y2 = ac[static_cast<std::size_t>(best + 1)];
    const double den = y0 - 2 * y1 + y2;
    const double shift = den < 0 ? 0.5 * (y0 - y2) / den : 0.0;
    return (best + shift) * Hop;
}

// The grid's phase (radians) in the onsets of [from, to) frames, measured
// from the frame `origin`, and how clearly the onsets keep to it (0 to 1).
std::pair<double, double> phase(const std::vector<double>& env, double period, std::int64_t origin,
                                std::int64_t from, std::int64_t to) {
    std::complex<double> sum = 0;
    double total = 0;
    for (std::int64_t h = std::max<std::int64_t>(0, from / Hop);
         h < std::min<std::int64_t>(static_cast<std::int64_t>(env.size()), to / Hop); ++h) {
        // An onset window's attack sits near its middle.
        const double at = static_cast<double>(h * Hop + OnsetFft / 2 - origin);
        sum +=
            env[static_cast<std::size_t>(h)] * std::polar(1.0, -2 * std::numbers::pi * at / period);
        total += env[static_cast<std::size_t>(h)];
    }
    return {std::arg(sum), total > 0 ? std::abs(sum) / total : 0.0};
}

std::string number(const std::optional<double>& v) {
    if (!v)
        return "null";
    char t[32];
    std::snprintf(t, sizeof t, "%.2f", *v);
    return t;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc % 2 != 0) {
        std::cerr << "usage: seam_listen FILE START STOP [START STOP...]\n";
        return 2;
    }
    try {
        const Audio a = load(argv[1]);
        Bands bands;
        const std::vector<double> env = onsets(a);
        const double period = beatPeriod(env);
        for (int i = 2; i + 1 < argc; i += 2) {
            const std::int64_t s = std::atoll(argv[i]);
            const std::int64_t t = std::atoll(argv[i + 1]);
            if (s < 0 || t <= s || t > a.frames) {
                std::printf("{\"start\": %lld, \"stop\": %lld, \"error\": \"outside the audio\"}\n",
                            static_cast<long long>(s), static_cast<long long>(t));
                continue;
            }
            const auto beforeStop = bands.levels(a, t - Window);
            const auto afterStop = bands.levels(a, t);
            const auto beforeStart = bands.levels(a, s - Window);
            const auto afterStart = bands.levels(a, s);
            const auto across = distance(beforeStop, afterStart);
            std::optional<double> own;
            for (const auto& d :
                 {distance(beforeStop, afterStop), distance(beforeStart, afterStart)})
                if (d)
                    own = std::max(own.value_or(0.0), *d);
            const auto pre = distance(beforeStop, beforeStart);
            const auto post = distance(afterStart, afterStop);
            // How closely the samples after the start copy those after the
            // stop (not part of "clean": a musical loop never copies them).
            std::optional<double> copy;
            if (t + Window <= a.frames) {
                double diff = 0, power = 0;
                for (std::int64_t f = 0; f < Window * a.channels; ++f) {
                    const double x = a.pcm[static_cast<std::size_t>(s * a.channels + f)];
                    const double y = a.pcm[static_cast<std::size_t>(t * a.channels + f)];
                    diff += (x - y) * (x - y);
                    power += 0.5 * (x * x + y * y);
                }
                copy = 10.0 * std::log10((diff + 1e-20) / (power + 1e-20));
            }

            double step = 0, ownChange = 0;
            for (int c = 0; c < a.channels; ++c) {
                auto x = [&](std::int64_t f) {
                    return a.pcm[static_cast<std::size_t>(f * a.channels + c)];
                };
                step = std::max(step, static_cast<double>(std::fabs(x(s) - x(t - 1))));
                for (std::int64_t centre : {s, t})
                    for (std::int64_t f = std::max<std::int64_t>(1, centre - StepWindow);
                         f < std::min(a.frames, centre + StepWindow); ++f)
                        if (f != t && f != s)
                            ownChange = std::max(ownChange,
                                                 static_cast<double>(std::fabs(x(f) - x(f - 1))));
            }

            const auto grid = static_cast<std::int64_t>(GridSeconds * Rate);
            const auto [before, strengthBefore] = phase(env, period, t, t - grid, t);
            const auto [after, strengthAfter] = phase(env, period, s, s, s + grid);
            // The same two windows where the music goes on by itself show
            // how far the measure drifts (the period is not exact); what the
            // jump adds to that is its own.
            auto wrapped = [](double radians) {
                double turn = radians / (2 * std::numbers::pi);
                return turn - std::round(turn);
            };
            // Where the stop has audio after it, that is what the jump stands
            // in for; else the start's own past.
            double drift = 0;
            if (t + grid <= a.frames)
                drift = wrapped(phase(env, period, t, t, t + grid).first - before);
            else if (s - grid >= 0)
                drift = wrapped(after - phase(env, period, s, s - grid, s).first);
            const double turn = wrapped((after - before) - 2 * std::numbers::pi * drift);
            const double gridMs = turn * period * 1000.0 / Rate;
            const bool clearBeat = strengthBefore >= ClearBeat && strengthAfter >= ClearBeat;

            std::string why;
            auto fail = [&](const char* what) {
                why += why.empty() ? what : std::string(", ") + what;
            };
            if (across && *across > std::max(BandsClean, own.value_or(0.0) + BandsOverOwn))
                fail("bands across");
            // One matching side suffices: a loop may take over from the
            // stop what followed the start, or lead into the start as the
            // stop was led into.
            if ((pre || post) && std::min(pre.value_or(1e9), post.value_or(1e9)) > BandsClean)
                fail("bands around");
            if (step > ownChange && step >= StepFloor)
                fail("step");
            if (clearBeat && std::fabs(gridMs) > GridCleanMs)
                fail("grid");
            std::printf("{\"start\": %lld, \"stop\": %lld, \"across_db\": %s, \"own_db\": %s, "
                        "\"pre_db\": %s, \"post_db\": %s, \"copy_db\": %s, \"step\": %.0f, "
                        "\"own_step\": %.0f, "
                        "\"period_ms\": %.1f, \"grid_ms\": %s, \"beat\": [%.2f, %.2f], "
                        "\"clean\": %s, \"why\": \"%s\"}\n",
                        static_cast<long long>(s), static_cast<long long>(t),
                        number(across).c_str(), number(own).c_str(), number(pre).c_str(),
                        number(post).c_str(), number(copy).c_str(), step * 32768, ownChange * 32768,
                        period * 1000.0 / Rate, clearBeat ? number(gridMs).c_str() : "null",
                        strengthBefore, strengthAfter, why.empty() ? "true" : "false", why.c_str());
        }
    } catch (const std::exception& e) {
        std::cerr << argv[1] << ": " << e.what() << '\n';
        return 1;
    }
    return 0;
}
