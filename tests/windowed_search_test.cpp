// SPDX-License-Identifier: GPL-3.0-or-later
// The loop search of a file, which reads it through once and then only in
// windows, against the search of the same file decoded whole: every figure
// the same, to the last bit. And a search stopped at any question whether to
// go on stops there.
#include "audio/exact/loop_finder.h"
#include "audio/read/audio_reader.h"
#include "tests/file_bytes.h"
#include "tests/loop_corpus.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <vector>

using namespace kestrin;
using namespace kestrin::audio;
using namespace kestrin::testing_support;
namespace fs = std::filesystem;

namespace {

struct WindowedRow {
    const char* name;
    TrackSpec shape;
    int format;
};
void PrintTo(const WindowedRow& row, std::ostream* os) {
    *os << row.name;
}

TrackSpec shaped(LoopLayout layout, int channels, int repeats = 2, double noise = 0.0,
                 Sound sound = Sound::Music) {
    TrackSpec s;
    s.layout = layout;
    s.channels = channels;
    s.repeats = repeats;
    s.noise = noise;
    s.sound = sound;
    return s;
}
TrackSpec ringing() {
    TrackSpec s = shaped(LoopLayout::Repeated, 1);
    s.ringSeconds = 0.6;
    return s;
}
// The file's own rate reaches the judge on both paths, not 44,100.
TrackSpec at48k() {
    TrackSpec s = shaped(LoopLayout::Repeated, 2);
    s.sampleRate = 48000;
    return s;
}
TrackSpec square() {
    TrackSpec s = shaped(LoopLayout::Repeated, 1, 3, 0.0, Sound::Square);
    s.introFrames = 0;
    s.loopFrames = 88200;
    return s;
}

// A 330 Hz tone in a 0.5 s pattern over noise, all of it repeating every
// 0.5 s but the noise, which repeats only at the loop, a whole number of
// patterns that the coarse grid does not favour.
TrackSpec toneUnderNoise(int channels, std::int64_t intro, std::int64_t loop) {
    TrackSpec s = shaped(LoopLayout::Repeated, channels, 2, 0.0, Sound::PatternedTone);
    s.introFrames = intro;
    s.loopFrames = loop;
    return s;
}

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

void expectSame(const SeamFigures& a, const SeamFigures& b, std::size_t i) {
    EXPECT_EQ(a.sound, b.sound) << "candidate " << i;
    EXPECT_EQ(a.compared, b.compared) << "candidate " << i;
    EXPECT_EQ(a.score, b.score) << "candidate " << i;
    EXPECT_EQ(a.jump, b.jump) << "candidate " << i;
    EXPECT_EQ(a.kink, b.kink) << "candidate " << i;
    EXPECT_EQ(a.kinkFromBefore, b.kinkFromBefore) << "candidate " << i;
    EXPECT_EQ(a.noise, b.noise) << "candidate " << i;
}

class WindowedSearch : public testing::TestWithParam<WindowedRow> {};

TEST_P(WindowedSearch, FindsWhatTheWholeTrackGives) {
    const WindowedRow& row = GetParam();
    ScratchFolder dir("kestrin-windowed");
    const fs::path file =
        dir.path() /
        ((row.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC ? "track.flac" : "track.wav");
    WriteTrack(RenderTrack(row.shape), file, row.format);

    const LoopSearch whole = FindLoops(*ReadAudioSamples(file));
    // Held in memory once read through, and read back in windows throughout.
    for (const std::int64_t held : {std::int64_t{1} << 25, std::int64_t{0}}) {
        LoopSearchOptions options;
        options.mostHeldSamples = held;
        const LoopSearch windowed = FindLoops(file, options);
        ASSERT_FALSE(windowed.cancelled);
        ASSERT_EQ(windowed.candidates.size(), whole.candidates.size()) << "held " << held;
        for (std::size_t i = 0; i < whole.candidates.size(); ++i) {
            const LoopCandidate& a = windowed.candidates[i];
            const LoopCandidate& b = whole.candidates[i];
            EXPECT_EQ(a.start, b.start) << "candidate " << i;
            EXPECT_EQ(a.stop, b.stop) << "candidate " << i;
            EXPECT_EQ(a.score, b.score) << "candidate " << i;
            EXPECT_EQ(a.repeatedSeconds, b.repeatedSeconds) << "candidate " << i;
            EXPECT_EQ(a.seam, b.seam) << "candidate " << i;
            expectSame(a.judged, b.judged, i);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, WindowedSearch,
    testing::Values(WindowedRow{"twice_stereo_16bit", shaped(LoopLayout::Repeated, 2), kWav16},
                    WindowedRow{"three_times_mono_24bit", shaped(LoopLayout::Repeated, 1, 3),
                                SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                    WindowedRow{"overlap_stereo_float", shaped(LoopLayout::Overlap, 2, 1),
                                SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                    WindowedRow{"fade_out_stereo_unsigned_8bit", shaped(LoopLayout::FadeOut, 2),
                                SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
                    WindowedRow{"low_noise_stereo_flac", shaped(LoopLayout::Repeated, 2, 2, 0.002),
                                SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                    WindowedRow{"ring_into_loop_mono_16bit", ringing(), kWav16},
                    WindowedRow{"twice_stereo_48k_16bit", at48k(), kWav16},
                    WindowedRow{"square_period_200_16bit", square(), kWav16},
                    WindowedRow{"tone_under_noise_stereo_16bit", toneUnderNoise(2, 100000, 485100),
                                kWav16},
                    WindowedRow{"no_repeat_stereo_16bit", shaped(LoopLayout::NoRepeat, 2), kWav16}),
    [](const testing::TestParamInfo<WindowedRow>& info) { return std::string(info.param.name); });

// A search is asked whether to go on while it reads, not only between its
// steps: refused at any of those questions, in any step, it ends there
// without asking again and offers nothing.
TEST(WindowedSearchCancel, EveryRefusalEndsTheSearch) {
    ScratchFolder dir("kestrin-windowed-cancel");
    const fs::path file = dir.path() / "track.wav";
    const Track track = RenderTrack(shaped(LoopLayout::Repeated, 2));
    WriteTrack(track, file, kWav16);
    const AudioSamples decoded = *ReadAudioSamples(file);

    for (const bool fromFile : {true, false}) {
        auto search = [&](const ProgressCallback& progress) {
            return fromFile ? FindLoops(file, {}, progress) : FindLoops(decoded, {}, progress);
        };
        int total = 0;
        double lastSteps = 0.0; // the fraction at the last question of the search
        int afterSteps = 0;     // questions asked at the same fraction, within a step
        ASSERT_FALSE(search([&](double f) {
                         ++total;
                         afterSteps = f == lastSteps ? afterSteps + 1 : afterSteps;
                         lastSteps = f;
                         return true;
                     }).cancelled);
        // Asked inside the steps too, not only as they advance.
        EXPECT_GT(afterSteps, 20) << (fromFile ? "file" : "decoded");
        for (const int refuseAt :
             {1, 2, 3, total / 8, total / 4, total / 2, total * 3 / 4, total - 1}) {
            int asked = 0;
            const LoopSearch found = search([&](double) { return ++asked < refuseAt; });
            EXPECT_TRUE(found.cancelled) << refuseAt << " of " << total;
            EXPECT_TRUE(found.candidates.empty()) << refuseAt << " of " << total;
            EXPECT_EQ(asked, refuseAt) << "asked again after refusing at " << refuseAt;
        }
    }
}

} // namespace

namespace {

// Notes in a cycle of 4 s, each pass of a 26.5 s loop playing it: every
// multiple of the cycle repeats exactly within a pass.
TrackSpec pluckedCycle(std::int64_t intro = 308700, std::int64_t loop = 1168650) {
    TrackSpec s = shaped(LoopLayout::Repeated, 1, 2, 0.0, Sound::Plucked);
    s.introFrames = intro;
    s.loopFrames = loop;
    s.seed = 5;
    return s;
}

// Loops hidden by a shorter repeat: every multiple of a tone's pattern
// repeats it as closely as the loop does and only the noise tells them
// apart; a cycle of notes repeats exactly at each multiple within a pass.
// The loop is found to the sample, held or read in windows.
TEST(WindowedSearchNearPeriod, TheLoopBeneathAShorterRepeat) {
    ScratchFolder dir("kestrin-windowed-near-period");
    const struct {
        TrackSpec shape;
        int format;
    } rows[] = {{toneUnderNoise(1, 88200, 242550), kWav16},
                {toneUnderNoise(2, 220500, 242550), SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                {toneUnderNoise(1, 57330, 286650), SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                {pluckedCycle(), kWav16},
                // 18.5 s: the coarse lags are its sums with the cycle (22.5 s)
                // and the cycle's multiples; the loop is only their difference.
                {pluckedCycle(132300, 815850), kWav16}};
    for (const auto& row : rows) {
        const fs::path file =
            dir.path() /
            ((row.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC ? "tone.flac" : "tone.wav");
        const Track track = RenderTrack(row.shape);
        WriteTrack(track, file, row.format);
        for (const std::int64_t held : {std::int64_t{1} << 25, std::int64_t{0}}) {
            LoopSearchOptions options;
            options.mostHeldSamples = held;
            const LoopSearch found = FindLoops(file, options);
            ASSERT_FALSE(found.candidates.empty());
            const LoopCandidate& best = found.candidates.front();
            EXPECT_EQ(best.start, track.loopStart) << row.shape.introFrames << ", held " << held;
            EXPECT_EQ(best.stop - best.start, track.loopFrames) << row.shape.introFrames;
            EXPECT_EQ(best.seam, 0.0) << row.shape.introFrames;
        }
    }
}

// A shortest loop of one sample on a pure tone makes every lag divisible by
// tens of thousands of whole numbers: the search still ends, with the
// tone's own period.
TEST(WindowedSearchShortLoop, AToneGivesItsPeriodForAOneSampleShortestLoop) {
    ScratchFolder dir("kestrin-windowed-tone");
    const fs::path file = dir.path() / "tone.wav";
    constexpr int kSeconds = 10;
    std::vector<short> frames(static_cast<std::size_t>(kSeconds) * 44100);
    for (std::size_t t = 0; t < frames.size(); ++t) // 441 Hz: 100 samples a period
        frames[t] = static_cast<short>(std::lround(16000 * std::sin(2 * M_PI * t / 100.0)));
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
    ASSERT_NE(out, nullptr);
    sf_writef_short(out, frames.data(), static_cast<sf_count_t>(frames.size()));
    sf_close(out);

    LoopSearchOptions options;
    options.minLoopFrames = 1;
    const LoopSearch found = FindLoops(file, options);
    ASSERT_FALSE(found.candidates.empty());
    EXPECT_EQ(found.candidates.front().stop - found.candidates.front().start, 100);
    EXPECT_TRUE(IsSeamless(found.candidates.front().judged));
}

} // namespace
