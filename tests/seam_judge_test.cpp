// SPDX-License-Identifier: GPL-3.0-or-later
// The seam judge on tracks whose seam is known by construction: loops of the
// whole track with and without a step or a kink, a stop that cuts a note's
// tail, and loops off by a sample.
#include "audio/loop_finder.h"
#include "audio/seam_judge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <iostream>
#include <numbers>

using namespace kestrin;
using namespace kestrin::audio;

namespace {

constexpr double kTau = 2 * std::numbers::pi;

// `frames` mono frames of f(t).
AudioSamples mono(std::int64_t frames, const std::function<double(std::int64_t)>& f) {
    AudioSamples audio{44100, 1, {}};
    for (std::int64_t t = 0; t < frames; ++t)
        audio.samples.push_back(static_cast<float>(f(t)));
    return audio;
}

// A plucked 330 Hz note every second, still ringing at -29 dB when the next
// comes.
double plucks(std::int64_t t) {
    const double s = static_cast<double>(t % 44100) / 44100;
    return 0.7 * std::exp(-s / 0.3) * std::sin(kTau * 330 * s);
}

struct JudgeRow {
    const char* name;
    AudioSamples audio;
    std::int64_t start;
    std::int64_t stop; // -1: the end of the audio
    SeamSound sound;
    bool compared;
};
void PrintTo(const JudgeRow& row, std::ostream* os) {
    *os << row.name;
}

class SeamJudge : public testing::TestWithParam<JudgeRow> {};

TEST_P(SeamJudge, HearsWhatTheTrackHolds) {
    const JudgeRow& row = GetParam();
    const std::int64_t stop = row.stop < 0 ? row.audio.frames() : row.stop;
    const SeamFigures seam = JudgeSeam(row.audio, row.start, stop);
    EXPECT_EQ(SeamSoundWord(seam.sound), std::string(SeamSoundWord(row.sound)))
        << "score " << seam.score << ", kink " << seam.kink << ", noise " << seam.noise << ", jump "
        << seam.jump;
    EXPECT_EQ(seam.compared, row.compared);
    std::cout << row.name << " kink " << seam.kink << " from before " << seam.kinkFromBefore
              << "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Seams, SeamJudge,
    testing::Values(
        JudgeRow{"whole_track_of_whole_periods",
                 mono(88200, [](std::int64_t t) { return 0.6 * std::sin(kTau * t / 100); }), 0, -1,
                 SeamSound::Seamless, false},
        JudgeRow{
            "whole_track_ending_at_its_crest",
            mono(88226,
                 [](std::int64_t t) { return 0.6 * std::cos(kTau * 440 * (t - 88199) / 44100); }),
            0, -1, SeamSound::Click, false},
        // Ends on a zero crossing going down, starts on one going up.
        JudgeRow{"whole_track_with_a_kink",
                 mono(88250, [](std::int64_t t) { return 0.6 * std::sin(kTau * t / 100); }), 0, -1,
                 SeamSound::Click, false},
        // Loud hiss at the end, quiet at the start: no step stands out of
        // noise, but the hiss stops short.
        JudgeRow{"whole_track_of_hiss_that_stops_short",
                 mono(88200,
                      [](std::int64_t t) {
                          const double hiss = std::sin(static_cast<double>(t * t % 7919));
                          return (t < 44100 ? 0.03 : 0.3) * hiss;
                      }),
                 0, -1, SeamSound::Soft, false},
        JudgeRow{"plucks_looped_on_the_beat", mono(5 * 44100, plucks), 44100, 3 * 44100,
                 SeamSound::Seamless, true},
        JudgeRow{"stop_cuts_the_tail_of_a_pluck", mono(5 * 44100, plucks), 44100, 3 * 44100 - 9000,
                 SeamSound::Click, true},
        JudgeRow{"plucks_one_sample_long", mono(5 * 44100, plucks), 44100, 3 * 44100 + 1,
                 SeamSound::Click, true}),
    [](const testing::TestParamInfo<JudgeRow>& info) { return std::string(info.param.name); });

} // namespace
