// SPDX-License-Identifier: GPL-3.0-or-later
// Renders a tracker module through libopenmpt at 44,100 Hz, to its end and
// through its loop once more, and states the loop the module itself plays:
// the real-music bench's truth for tracker songs.
//
// Usage: render_module MODULE OUT.wav OUT.pos
// Prints one JSON line: the frame where the second pass begins (the true
// stop), the frame where the restart row was first played (the true start),
// and where the two passes actually agree, measured on the rendered audio.
// OUT.pos holds the true start and stop as a POS file does.
#include <libopenmpt/libopenmpt.hpp>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::int32_t Rate = 44100;
// Blocks in which the two passes are compared: 5.8 ms, fine enough to place
// the seamless range, coarse enough to hold a few cycles of a bass note.
constexpr std::int64_t Block = 256;
// Two blocks agree when what differs lies 50 dB under what plays (a tracker's
// second pass differs only where a note of the ending still rings, or where a
// random waveform or a different tempo state plays it otherwise), or when
// both are near silence (under -80 dB of full scale).
constexpr double AgreeRatio = 1e-5;
constexpr double SilencePower = 1e-8;
// The shortest run of agreeing blocks that counts as the loop repeating: a
// second, well past any ring of a note from the ending.
constexpr std::int64_t MinRunFrames = Rate;
// How far the repeat's lag is searched around the nominal loop length, for a
// second pass whose timing starts otherwise: 100 ms each way.
constexpr std::int64_t LagSearch = Rate / 10;

using Row = std::pair<std::int32_t, std::int32_t>; // order, row

std::vector<char> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::unique_ptr<openmpt::module> load(const std::vector<char>& bytes, int repeats) {
    auto mod = std::make_unique<openmpt::module>(bytes);
    mod->select_subsong(0);
    mod->set_repeat_count(repeats);
    return mod;
}

// Power of the stereo frames [a, a + n) minus [b, b + n), and of both.
struct Compare {
    double diff = 0;
    double power = 0;
};

Compare compare(const std::vector<float>& pcm, std::int64_t a, std::int64_t b, std::int64_t n) {
    Compare c;
    for (std::int64_t i = 0; i < n * 2; ++i) {
        const double x = pcm[static_cast<std::size_t>(a * 2 + i)];
        const double y = pcm[static_cast<std::size_t>(b * 2 + i)];
        c.diff += (x - y) * (x - y);
        c.power += 0.5 * (x * x + y * y);
    }
    c.diff /= static_cast<double>(n * 2);
    c.power /= static_cast<double>(n * 2);
    return c;
}

bool agrees(const Compare& c) {
    return c.power < SilencePower || c.diff <= AgreeRatio * c.power;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: render_module MODULE OUT.wav OUT.pos\n";
        return 2;
    }
    try {
        const std::vector<char> bytes = readAll(argv[1]);
        // Both passes, a frame at a time, so that every row change is pinned
        // to the frame where that row begins to sound.
        auto mod = load(bytes, 1);
        std::vector<float> pcm;
        // libopenmpt's own reckoning of one pass, to the frame its tick
        // timing gives; the second pass begins at the row change there.
        const double passSeconds = mod->get_duration_seconds();
        pcm.reserve(static_cast<std::size_t>(passSeconds * Rate * 2 * 2 + 2 * Rate));
        std::vector<std::pair<std::int64_t, Row>> rows;
        float frame[2];
        for (std::int64_t at = 0;; ++at) {
            if (mod->read_interleaved_stereo(Rate, 1, frame) == 0)
                break;
            const Row now{mod->get_current_order(), mod->get_current_row()};
            if (rows.empty() || rows.back().second != now)
                rows.emplace_back(at, now);
            pcm.push_back(frame[0]);
            pcm.push_back(frame[1]);
        }
        const std::int64_t frames = static_cast<std::int64_t>(pcm.size() / 2);
        const std::int64_t endOfPass = std::llround(passSeconds * Rate);
        // The second pass begins with a jump back (to an earlier order, or to
        // a row not after the last in the same order); of those, the one
        // nearest libopenmpt's reckoning, which can be a row or two off where
        // the last rows are shorter than it assumes. Any row change will do
        // when no jump lies within a second of it.
        std::int64_t pass1 = -1;
        auto nearer = [&](std::int64_t at, std::int64_t than) {
            return than < 0 || std::llabs(at - endOfPass) < std::llabs(than - endOfPass);
        };
        for (std::size_t i = 1; i < rows.size(); ++i) {
            const Row& was = rows[i - 1].second;
            const Row& now = rows[i].second;
            const bool back =
                now.first < was.first || (now.first == was.first && now.second <= was.second);
            if (back && std::llabs(rows[i].first - endOfPass) <= Rate &&
                nearer(rows[i].first, pass1))
                pass1 = rows[i].first;
        }
        if (pass1 < 0)
            for (const auto& change : rows)
                if (nearer(change.first, pass1))
                    pass1 = change.first;
        if (pass1 <= 0 || frames <= pass1)
            throw std::runtime_error("the module does not play a second pass");
        // The row that sounds at the first frame of the second pass, and the
        // frame where it first sounded.
        Row restart{-1, -1};
        for (const auto& [at, row] : rows)
            if (at <= pass1)
                restart = row;
        std::int64_t restartFrame = -1;
        for (const auto& [at, row] : rows)
            if (row == restart) {
                restartFrame = at;
                break;
            }
        const std::int64_t nominal = pass1 - restartFrame;
        const std::int64_t pass2 = frames - pass1;

        // The lag at which the passes agree best over the first seconds past
        // the restart, beyond the ring of the ending.
        const std::int64_t probeFrom = restartFrame + Rate / 2;
        const std::int64_t probeLen =
            std::min<std::int64_t>(4 * Rate, pass2 - Rate / 2 - LagSearch);
        std::int64_t lag = nominal;
        if (probeLen > Block) {
            double best = -1;
            for (std::int64_t d = -LagSearch; d <= LagSearch; ++d) {
                const std::int64_t l = nominal + d;
                if (probeFrom + l + probeLen > frames)
                    continue;
                Compare c{};
                // A coarse look first, every 64th frame, then the exact one.
                for (std::int64_t i = 0; i < probeLen; i += 64) {
                    for (int ch = 0; ch < 2; ++ch) {
                        const double x = pcm[static_cast<std::size_t>((probeFrom + i) * 2 + ch)];
                        const double y =
                            pcm[static_cast<std::size_t>((probeFrom + l + i) * 2 + ch)];
                        c.diff += (x - y) * (x - y);
                        c.power += 0.5 * (x * x + y * y);
                    }
                }
                const double ratio = c.diff / std::max(c.power, 1e-30);
                if (best < 0 || ratio < best ||
                    (ratio == best && std::llabs(d) < std::llabs(lag - nominal))) {
                    best = ratio;
                    lag = l;
                }
            }
        }

        // Runs of blocks that play again unchanged one lag later, each at
        // least MinRunFrames long, over pass one and everything before it:
        // music before the restart row that plays the same at the end of the
        // pass is part of the loop to a listener.
        std::int64_t agreeing = 0;
        std::int64_t counted = 0;
        std::int64_t runStart = -1;
        std::int64_t longest = 0;
        std::vector<std::pair<std::int64_t, std::int64_t>> runs;
        for (std::int64_t at = 0; at + Block + lag <= frames && at < pass1; at += Block) {
            const bool ok = agrees(compare(pcm, at, at + lag, Block));
            if (at >= restartFrame) {
                ++counted;
                agreeing += ok ? 1 : 0;
            }
            if (ok && runStart < 0)
                runStart = at;
            const bool ends = !ok || at + 2 * Block + lag > frames || at + Block >= pass1;
            if (runStart >= 0 && ends) {
                const std::int64_t runEnd = ok ? at + Block : at;
                longest = std::max(longest, runEnd - runStart);
                if (runEnd - runStart >= MinRunFrames)
                    runs.emplace_back(runStart, runEnd);
                runStart = -1;
            }
        }
        // Each run's first frame, to the sample: walk back while each frame
        // still matches its copy within the agreeing tolerance of a block.
        for (auto& run : runs) {
            const std::int64_t floor = std::max<std::int64_t>(0, run.first - Block);
            while (run.first > floor) {
                const std::int64_t f = run.first - 1;
                double d = 0, p = 0;
                for (int ch = 0; ch < 2; ++ch) {
                    const double x = pcm[static_cast<std::size_t>(f * 2 + ch)];
                    const double y = pcm[static_cast<std::size_t>((f + lag) * 2 + ch)];
                    d += (x - y) * (x - y);
                    p += 0.5 * (x * x + y * y);
                }
                if (!(d <= AgreeRatio * std::max(p, SilencePower * 100)))
                    break;
                --run.first;
            }
        }
        // The true loop's seamless range: the run that holds the restart row,
        // or else the first after it. A module plays its loop as its second
        // pass does, so a run before a difference near the restart is not it.
        std::int64_t seamlessFrom = -1;
        std::int64_t seamlessTo = -1;
        for (const auto& run : runs)
            if (run.second > restartFrame) {
                seamlessFrom = run.first;
                seamlessTo = run.second;
                break;
            }
        const double share = counted ? static_cast<double>(agreeing) / counted : 0.0;
        // A module whose passes differ all through (random waveforms,
        // randomised samples or patterns) has no loop to hold it to.
        const bool varies = seamlessFrom < 0 || share < 0.25;
        std::string runList;
        for (const auto& run : runs)
            runList += (runList.empty() ? "[" : ", [") + std::to_string(run.first) + ", " +
                       std::to_string(run.second) + "]";

        SF_INFO info{};
        info.samplerate = Rate;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* out = sf_open(argv[2], SFM_WRITE, &info);
        if (!out)
            throw std::runtime_error(std::string("cannot write ") + argv[2] + ": " +
                                     sf_strerror(nullptr));
        // Plain rounding, no dither: both passes keep the same samples.
        std::vector<std::int16_t> pcm16(pcm.size());
        for (std::size_t i = 0; i < pcm.size(); ++i)
            pcm16[i] = static_cast<std::int16_t>(
                std::clamp<long>(std::lrint(pcm[i] * 32768.0), -32768, 32767));
        const sf_count_t wrote = sf_writef_short(out, pcm16.data(), frames);
        sf_close(out);
        if (wrote != frames)
            throw std::runtime_error(std::string("short write to ") + argv[2]);
        {
            std::ofstream pos(argv[3], std::ios::binary);
            const std::int32_t v[2] = {static_cast<std::int32_t>(restartFrame),
                                       static_cast<std::int32_t>(pass1)};
            for (std::int32_t x : v)
                for (int b = 0; b < 4; ++b)
                    pos.put(static_cast<char>((static_cast<std::uint32_t>(x) >> (8 * b)) & 0xff));
            if (!pos)
                throw std::runtime_error(std::string("cannot write ") + argv[3]);
        }
        std::printf("{\"frames\": %lld, \"pass1\": %lld, \"pass2\": %lld, \"restart_order\": %d, "
                    "\"restart_row\": %d, \"start\": %lld, \"stop\": %lld, \"lag\": %lld, "
                    "\"seamless_from\": %lld, \"seamless_to\": %lld, \"longest_agreement\": %lld, "
                    "\"agree_share\": %.4f, \"varies\": %s, \"runs\": [%s]}\n",
                    static_cast<long long>(frames), static_cast<long long>(pass1),
                    static_cast<long long>(pass2), restart.first, restart.second,
                    static_cast<long long>(restartFrame), static_cast<long long>(pass1),
                    static_cast<long long>(lag), static_cast<long long>(seamlessFrom),
                    static_cast<long long>(seamlessTo), static_cast<long long>(longest), share,
                    varies ? "true" : "false", runList.c_str());
    } catch (const std::exception& e) {
        std::cerr << argv[1] << ": " << e.what() << '\n';
        return 1;
    }
    return 0;
}
