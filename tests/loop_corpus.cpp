// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/loop_corpus.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

namespace kestrin::testing_support {

namespace {

constexpr double kTau = 2.0 * std::numbers::pi;

// Adds `frames` frames of music to `out` from frame `at`, all from `seed`:
// an eighth-note melody with harmonics, a kick on every beat, hats on the
// eighths, a snare on the back beats, and a quiet noise bed.
void renderMusic(std::vector<float>& out, int channels, int rate, std::int64_t at,
                 std::int64_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double beat = 0.35 + 0.1 * unit(random); // seconds
    const auto eighth = static_cast<std::int64_t>(beat * rate / 2);
    const double root = 180.0 + 120.0 * unit(random);
    const int scale[] = {0, 2, 4, 7, 9, 12, 14, 16};
    auto add = [&](std::int64_t t, double left, double right) {
        float* frame = out.data() + (at + t) * channels;
        if (channels == 1) {
            frame[0] += static_cast<float>(0.5 * (left + right));
        } else {
            frame[0] += static_cast<float>(left);
            frame[1] += static_cast<float>(right);
        }
    };
    for (std::int64_t step = 0; step * eighth < frames; ++step) {
        const std::int64_t begin = step * eighth;
        const std::int64_t end = std::min(frames, begin + 3 * eighth);
        const double pitch = root * std::pow(2.0, scale[random() % 8] / 12.0);
        const double pan = unit(random);
        const double level = 0.12 + 0.06 * unit(random);
        for (std::int64_t t = begin; t < end; ++t) {
            const double s = static_cast<double>(t - begin) / rate;
            const double v = level * std::exp(-4.0 * s) *
                             (std::sin(kTau * pitch * s) + 0.4 * std::sin(kTau * 2 * pitch * s) +
                              0.2 * std::sin(kTau * 3 * pitch * s));
            add(t, v * (1 - pan), v * pan);
        }
        const std::int64_t drumEnd = std::min(frames, begin + eighth);
        const bool kick = step % 2 == 0;
        const bool snare = step % 4 == 2;
        for (std::int64_t t = begin; t < drumEnd; ++t) {
            const double s = static_cast<double>(t - begin) / rate;
            const double hiss = 2 * unit(random) - 1;
            double v = 0.05 * hiss * std::exp(-40 * s);
            if (kick)
                v += 0.35 * std::exp(-12 * s) *
                     std::sin(kTau * (50 * s + 70 * (1 - std::exp(-30 * s)) / 30));
            if (snare)
                v += 0.15 * std::exp(-18 * s) * (hiss + std::sin(kTau * 190 * s));
            add(t, v, v);
        }
    }
    double smooth = 0.0;
    for (std::int64_t t = 0; t < frames; ++t) {
        smooth = 0.95 * smooth + 0.05 * (2 * unit(random) - 1);
        add(t, 0.03 * smooth, 0.03 * (2 * unit(random) - 1) * 0.3 + 0.03 * smooth);
    }
}

// Adds `frames` frames of `sound` to `out` from frame `at`, time counted
// from `at`; the seed varies the tremolo's phase, the accents, the noise and
// the notes. Music has its own renderer.
void renderSound(Sound sound, std::vector<float>& out, int channels, int rate, std::int64_t at,
                 std::int64_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double phase = kTau * unit(random);
    std::array<double, 4> accents{};
    for (double& a : accents)
        a = 0.3 + 0.7 * unit(random);
    std::array<double, 8> pitches{};
    for (double& p : pitches)
        p = 196.0 * std::pow(2.0, static_cast<int>(random() % 12) / 12.0);
    for (std::int64_t t = 0; t < frames; ++t) {
        const double s = static_cast<double>(t) / rate;
        double v = 0.0;
        switch (sound) {
        case Sound::Music:
            break;
        case Sound::Square:
            v = t % 200 < 100 ? 1.0 : -1.0;
            break;
        case Sound::Tremolo:
            v = 0.4 * (1.0 + 0.5 * std::sin(kTau * 5.3 * s + phase)) * std::sin(kTau * 440 * s);
            break;
        case Sound::PatternedTone: {
            const double beat = std::fmod(s, 0.125);
            const double accent = accents[static_cast<std::size_t>(std::fmod(s, 0.5) / 0.125)];
            v = 0.4 * (0.3 + 0.7 * accent * std::exp(-20 * beat)) * std::sin(kTau * 330 * s) +
                0.02 * (2 * unit(random) - 1);
            break;
        }
        case Sound::Plucked:
            // A new note every half second, ringing on under the next.
            for (std::int64_t k = 0; k < 2 && k * rate / 2 <= t; ++k) {
                const std::int64_t note = t / (rate / 2) - k;
                const double since = static_cast<double>(t - note * (rate / 2)) / rate;
                const double pitch = pitches[static_cast<std::size_t>(note % 8)];
                for (int h = 1; h <= 4; ++h)
                    v += 0.3 / h * std::exp(-3.0 * h * since) * std::sin(kTau * h * pitch * since);
            }
            break;
        case Sound::Chord:
            v = 0.2 *
                (std::sin(kTau * 294 * s) + std::sin(kTau * 367.5 * s) + std::sin(kTau * 441 * s));
            break;
        case Sound::Tone:
            v = 0.5 * std::sin(kTau * 440 * s);
            break;
        }
        for (int c = 0; c < channels; ++c)
            out[static_cast<std::size_t>((at + t) * channels + c)] += static_cast<float>(v);
    }
}

void render(const TrackSpec& shape, std::vector<float>& out, std::int64_t at, std::int64_t frames,
            unsigned seed) {
    if (shape.sound == Sound::Music)
        renderMusic(out, shape.channels, shape.sampleRate, at, frames, seed);
    else
        renderSound(shape.sound, out, shape.channels, shape.sampleRate, at, frames, seed);
}

// Adds the intro's last note, decaying, over the first `seconds` of the
// pass at `at`, about `db` below that pass; it stops dead at `seconds`, so
// that the passes are exactly alike from there on.
void addRing(std::vector<float>& out, int channels, int rate, std::int64_t at, double seconds,
             double db, bool steady) {
    const auto frames = static_cast<std::int64_t>(seconds * rate);
    double energy = 0.0;
    for (std::int64_t i = at * channels; i < (at + frames) * channels; ++i)
        energy += double{out[static_cast<std::size_t>(i)]} * out[static_cast<std::size_t>(i)];
    // The note below has a mean square of about a quarter over its span.
    const double level = std::sqrt(energy / static_cast<double>(frames * channels) / 0.25) *
                         std::pow(10.0, -db / 20);
    for (std::int64_t t = 0; t < frames; ++t) {
        const double s = static_cast<double>(t) / rate;
        const double v = level * (steady ? 1.0 : std::exp(-s / 0.4)) *
                         (std::sin(kTau * 247 * s) + 0.5 * std::sin(kTau * 494 * s));
        for (int c = 0; c < channels; ++c)
            out[static_cast<std::size_t>((at + t) * channels + c)] += static_cast<float>(v);
    }
}

// Scales to a peak of 0.8, so that no format clips.
void normalise(std::vector<float>& samples) {
    float peak = 0.0F;
    for (float s : samples)
        peak = std::max(peak, std::abs(s));
    if (peak > 0.0F) {
        for (float& s : samples)
            s *= 0.8F / peak;
    }
}

} // namespace

Track RenderTrack(const TrackSpec& shape) {
    Track track;
    track.channels = shape.channels;
    track.sampleRate = shape.sampleRate;
    const std::int64_t ch = shape.channels;
    const std::int64_t intro = shape.layout == LoopLayout::Whole ? 0 : shape.introFrames;
    const std::int64_t loop = shape.loopFrames;
    const auto overlap = static_cast<std::int64_t>(shape.overlapSeconds * shape.sampleRate);
    std::int64_t frames = intro + loop * shape.repeats;
    if (shape.layout == LoopLayout::Overlap)
        frames = intro + loop + overlap;
    if (shape.layout == LoopLayout::Whole)
        frames = loop;
    const auto introAgain =
        std::min(intro, static_cast<std::int64_t>(shape.introAgainSeconds * shape.sampleRate));
    frames += introAgain;
    track.samples.assign(static_cast<std::size_t>(frames * ch), 0.0F);
    const bool ownLevel =
        shape.sound == Sound::Square || shape.sound == Sound::Chord || shape.sound == Sound::Tone;
    if (shape.layout == LoopLayout::NoRepeat) {
        render(shape, track.samples, 0, frames, shape.seed);
        if (!ownLevel)
            normalise(track.samples);
        return track;
    }
    render(shape, track.samples, 0, intro, shape.seed);
    render(shape, track.samples, intro, loop, shape.seed + 1);
    if (!ownLevel)
        normalise(track.samples);
    const auto first = track.samples.begin() + intro * ch;
    const std::int64_t passesEnd = frames - introAgain;
    for (std::int64_t at = intro + loop; at < passesEnd; at += loop) {
        const std::int64_t n = std::min(loop, passesEnd - at);
        std::copy(first, first + n * ch, track.samples.begin() + at * ch);
    }
    std::copy(track.samples.begin(), track.samples.begin() + introAgain * ch,
              track.samples.begin() + passesEnd * ch);
    // The note, 0.16 s long, ends 0.24 s before the first pass.
    const std::int64_t alikeFrom = intro - std::llround(0.24 * shape.sampleRate);
    const std::int64_t noteFrom = alikeFrom - std::llround(0.16 * shape.sampleRate);
    for (std::int64_t t = std::max<std::int64_t>(
             0, intro - std::llround(shape.endAgainSeconds * shape.sampleRate));
         shape.endAgainSeconds > 0 && t < intro; ++t) {
        if (t < noteFrom || t >= alikeFrom)
            std::copy_n(track.samples.begin() + (t + loop) * ch, ch,
                        track.samples.begin() + t * ch);
    }
    if (shape.laterPassNoise > 0) {
        std::mt19937 random(shape.seed + 98);
        std::uniform_real_distribution<float> unit(-1.0F, 1.0F);
        for (auto s = first + loop * ch; s != track.samples.begin() + passesEnd * ch; ++s)
            *s += static_cast<float>(shape.laterPassNoise) * unit(random);
    }
    if (shape.ringSeconds > 0)
        addRing(track.samples, shape.channels, shape.sampleRate,
                intro + std::llround(shape.ringFrom * shape.sampleRate), shape.ringSeconds,
                shape.ringDb, shape.ringSteady);
    if (shape.layout == LoopLayout::FadeOut) {
        const std::int64_t from = frames - loop;
        for (std::int64_t t = from; t < frames; ++t) {
            const float gain = static_cast<float>(frames - t) / static_cast<float>(loop);
            for (std::int64_t c = 0; c < ch; ++c)
                track.samples[static_cast<std::size_t>(t * ch + c)] *= gain;
        }
    }
    const std::int64_t hitFrom = frames - std::llround(shape.endHitSeconds * shape.sampleRate);
    for (std::int64_t t = std::max<std::int64_t>(0, hitFrom); t < frames; ++t) {
        const auto low =
            static_cast<float>(0.9 * std::sin(2 * std::numbers::pi * 55.0 *
                                              static_cast<double>(t - hitFrom) / shape.sampleRate));
        std::fill_n(track.samples.begin() + t * ch, ch, low);
    }
    if (shape.noise > 0) {
        std::mt19937 random(shape.seed + 99);
        std::uniform_real_distribution<float> unit(-1.0F, 1.0F);
        for (float& s : track.samples)
            s += static_cast<float>(shape.noise) * unit(random);
    }
    // Where a ring that begins the pass ends the passes begin to be alike.
    const double ringing = shape.ringFrom == 0 ? shape.ringSeconds : 0.0;
    track.loopStart = shape.endAgainSeconds > 0
                          ? alikeFrom
                          : intro + static_cast<std::int64_t>(ringing * shape.sampleRate);
    track.loopFrames = loop;
    return track;
}

TrackSpec shape(LoopLayout layout, int channels, int repeats) {
    TrackSpec s;
    s.layout = layout;
    s.channels = channels;
    s.repeats = repeats;
    return s;
}

TrackSpec withOverlap(double seconds, int channels) {
    TrackSpec s = shape(LoopLayout::Overlap, channels, 1);
    s.overlapSeconds = seconds;
    return s;
}

void WriteTrack(const Track& track, const std::filesystem::path& path, int format) {
    SF_INFO info{};
    info.samplerate = track.sampleRate;
    info.channels = track.channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        throw std::runtime_error("cannot write " + path.string() + ": " + sf_strerror(nullptr));
    const auto frames = static_cast<sf_count_t>(track.samples.size()) / track.channels;
    // In pieces: libvorbis crashes analysing half a minute handed over at once.
    constexpr sf_count_t kPiece = 65536;
    sf_count_t written = 0;
    while (written < frames) {
        const sf_count_t got = sf_writef_float(f, track.samples.data() + written * track.channels,
                                               std::min(kPiece, frames - written));
        if (got <= 0)
            break;
        written += got;
    }
    sf_close(f);
    if (written != frames)
        throw std::runtime_error("cannot write " + path.string());
}

} // namespace kestrin::testing_support
