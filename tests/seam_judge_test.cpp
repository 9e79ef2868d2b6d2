// SPDX-License-Identifier: GPL-3.0-or-later
// The seam judge on tracks whose seam is known by construction: loops of the
// whole track with and without a step or a kink, a stop that cuts a note's
// tail, and loops off by a sample.
#include "audio/exact/loop_finder.h"
#include "audio/judge/seam_judge.h"
#include "tests/pos_tool_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
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

double hiss(std::int64_t t) {
    return 0.3 * testing_support::noise(static_cast<int>(t), 0);
}

double fadingOut(std::int64_t t) {
    const double s = static_cast<double>(t) / 44100;
    return std::clamp(4 - s / 1.5, 0.0, 1.0) * (hiss(t) + 0.3 * std::sin(kTau * 220 * s));
}

double bassUnderHighs(std::int64_t t) {
    return 0.3 * std::sin(kTau * static_cast<double>(t) / 10) +
           0.3 * std::sin(kTau * 110 * static_cast<double>(t) / 44100);
}

// A loud bass, and from 2.5 s to 3.5 s a melody note 18 dB under it: either
// side of a jump from 3 s to 1 s copies the bass to within 1 % of its
// energy, without the note.
double bassUnderANote(std::int64_t t) {
    const double s = static_cast<double>(t) / 44100;
    return 0.6 * std::sin(kTau * 80 * s) +
           (s >= 2.5 && s < 3.5 ? 0.08 * std::sin(kTau * 640 * s) : 0);
}

// A 441 Hz tone and hiss with a hit every half second: looped whole, both
// go on, and the beat does where the track ends on a hit.
double hitsOverATone(std::int64_t t) {
    const double s = static_cast<double>(t % 22050) / 44100;
    return 0.2 * std::sin(kTau * static_cast<double>(t) / 100) +
           (0.3 + 0.7 * std::exp(-s / 0.02)) * hiss(t);
}

// A chord over hiss whose partials repeat every 4 s, and a bright note from
// 5 s to `noteEnd` seconds: a jump from 6 s back to 2 s lands in the same
// chord, but cuts the note short unless it ends at the stop.
AudioSamples chordWithANote(double noteEnd) {
    return mono(8 * 44100, [noteEnd](std::int64_t t) {
        const double s = static_cast<double>(t) / 44100;
        double v = 0.05 * testing_support::noise(static_cast<int>(t), 0);
        for (const double hz : {220.0, 275.0, 330.0, 440.0})
            v += 0.1 * std::sin(kTau * hz * s);
        return v + (s >= 5 && s < noteEnd ? 0.02 * std::sin(kTau * 1800 * s) : 0);
    });
}

// Three seconds of intro whose hits fall 28 ms off the grid of the body
// that follows, hitsOverATone: the song ends where it jumps back, after
// `bodyFrames` of the body.
constexpr std::int64_t kIntroFrames = 3 * 44100 + 1234;
AudioSamples introThenBody(std::int64_t bodyFrames) {
    return mono(kIntroFrames + bodyFrames, [](std::int64_t t) {
        return t < kIntroFrames ? hitsOverATone(t + 1234) : hitsOverATone(t - kIntroFrames);
    });
}

// A chord over hiss, 5 dB louder from 2 s and 5 dB softer from 4 s: a jump
// from 5.5 s back to 2 s leaves a passage like the one before 2 s, only
// softer, and lands 10 dB up, where the track itself rises by 5 dB.
double softerThenLouder(std::int64_t t) {
    const double s = static_cast<double>(t) / 44100;
    const double db = s < 2 ? 0 : s < 4 ? 5 : -5;
    double chord = 0;
    for (const double hz : {220.0, 280.0, 330.0, 440.0})
        chord += 0.1 * std::sin(kTau * hz * s);
    return std::pow(10, db / 20) * (chord + 0.01 * testing_support::noise(static_cast<int>(t), 0));
}

// A note struck every second, sounding from 3,000 frames in to 5 s later, then 20,000 frames of
// digital silence: a song that ends.
constexpr std::int64_t kSongFrom = 3000;
constexpr std::int64_t kSongEnd = kSongFrom + 5 * 44100;
double songThenSilence(std::int64_t t) {
    const double s = static_cast<double>((t - kSongFrom) % 44100) / 44100;
    return t < kSongFrom || t >= kSongEnd ? 0.0
                                          : 0.7 * std::exp(-s / 0.3) * std::cos(kTau * 330 * s);
}

struct JudgeRow {
    const char* name;
    AudioSamples audio;
    std::int64_t start;
    std::int64_t stop; // -1: the end of the audio
    SeamSound sound;
    bool compared;
    SeamMode mode = SeamMode::Exact;
};
void PrintTo(const JudgeRow& row, std::ostream* os) {
    *os << row.name;
}

class SeamJudge : public testing::TestWithParam<JudgeRow> {};

TEST_P(SeamJudge, HearsWhatTheTrackHolds) {
    const JudgeRow& row = GetParam();
    const std::int64_t stop = row.stop < 0 ? row.audio.frames() : row.stop;
    const SeamFigures seam = JudgeSeam(row.audio, row.start, stop, row.mode);
    EXPECT_EQ(SeamSoundWord(seam.sound), std::string(SeamSoundWord(row.sound)))
        << "score " << seam.score << ", kink " << seam.kink << ", noise " << seam.noise << ", jump "
        << seam.jump;
    EXPECT_EQ(seam.compared, row.compared);
    std::cout << row.name << ": " << SeamVerdict(seam) << ", kink " << seam.kink << " from before "
              << seam.kinkFromBefore << "\n";
}

// Wherever in the silence after the song's end the stop lies, the song ends
// and starts again: the silence heard is that before the stop and before
// the start's first sound.
TEST(SeamJudge, AStopInTheSilenceAfterTheSongIsTheMusicRestarting) {
    const AudioSamples audio = mono(kSongEnd + 20000, songThenSilence);
    for (const std::int64_t start : {std::int64_t{0}, kSongFrom, kSongFrom + 44100})
        for (const std::int64_t stop : {kSongEnd + 1, kSongEnd + 256, kSongEnd + 20000}) {
            const SeamFigures seam = JudgeSeam(audio, start, stop);
            EXPECT_TRUE(seam.restarts && !IsSeamless(seam)) << start << " " << stop;
            EXPECT_EQ(seam.silenceSeconds * 44100,
                      stop - kSongEnd + std::max<std::int64_t>(0, kSongFrom - start))
                << SeamVerdict(seam);
        }
    // From the music's end to its first sound the next note comes on the
    // beat, at the level a note starts: the silence after the stop, never
    // played, tells nothing.
    const SeamFigures whole = JudgeSeam(audio, kSongFrom, kSongEnd);
    EXPECT_FALSE(whole.restarts || whole.compared) << SeamVerdict(whole);
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
                 SeamSound::Click, true},
        JudgeRow{"copy_that_drops_a_melody_note", mono(5 * 44100, bassUnderANote), 44100, 3 * 44100,
                 SeamSound::Click, true},
        JudgeRow{"whole_track_ending_on_its_beat", mono(20 * 22050, hitsOverATone), 0, -1,
                 SeamSound::Seamless, false},
        // 59 ms after the last hit: the first comes that much late.
        JudgeRow{"whole_track_ending_off_its_beat", mono(20 * 22050 + 2600, hitsOverATone), 0, -1,
                 SeamSound::Soft, false},
        // The grid leading into the stop goes on after the start, whatever
        // the intro's.
        JudgeRow{"song_ending_on_its_beat_after_an_intro_off_it", introThenBody(20 * 22050),
                 kIntroFrames, -1, SeamSound::Seamless, false},
        JudgeRow{"song_ending_off_its_beat_after_an_intro", introThenBody(20 * 22050 + 2600),
                 kIntroFrames, -1, SeamSound::Soft, false},
        JudgeRow{"bright_note_the_track_holds_on_cut_at_the_jump", chordWithANote(7), 2 * 44100,
                 6 * 44100, SeamSound::Soft, true, SeamMode::Musical},
        JudgeRow{"bright_note_ending_at_the_stop", chordWithANote(6), 2 * 44100, 6 * 44100,
                 SeamSound::Seamless, true, SeamMode::Musical},
        // Hiss and a chord fading to silence over the last 2 s, looped whole.
        JudgeRow{"fade_to_silence_restarts", mono(6 * 44100, fadingOut), 0, -1, SeamSound::Soft,
                 false},
        // 1,000 frames of noise repeated: alike in spectrum, as the windows
        // across the jump overlap, yet a 44 Hz buzz.
        JudgeRow{"short_loop_in_noise_buzzes", mono(3 * 44100, hiss), 44100, 45100,
                 SeamSound::Click, true, SeamMode::Musical},
        // The bass jumps 10 frames of its phase (a step of 0.047) under a
        // 4,410 Hz tone that changes by 0.13 a sample.
        JudgeRow{"small_step_under_loud_highs_as_music", mono(5 * 44100, bassUnderHighs), 44100,
                 3 * 44100 + 10, SeamSound::Seamless, true, SeamMode::Musical},
        JudgeRow{"jump_rises_further_than_the_track_does", mono(7 * 44100, softerThenLouder),
                 2 * 44100, 5 * 44100 + 22050, SeamSound::Soft, true, SeamMode::Musical}),
    [](const testing::TestParamInfo<JudgeRow>& info) { return std::string(info.param.name); });

using testing_support::PosToolTest;
using testing_support::ToolRun;
using namespace kestrin::cli;

// The plain cases as check and set meet them in files.
TEST_F(PosToolTest, CheckHearsWhatAListenerHears) {
    // 4,410 periods, the quieter one dithered to 16 bits: a tone has no beat.
    for (const std::string sine :
         {"sine.wav' synth 10 sine 441", "quiet.wav' synth 10 sine 441 vol 0.5"})
        ASSERT_EQ(std::system(("sox -n -r 44100 '" + at(sine)).c_str()), 0);
    wav("ends.wav", 44100, 1, SF_FORMAT_PCM_16, kSongEnd + 20000,
        [](int n, int) { return songThenSilence(n); });
    wav("noise.wav", 44100, 1, SF_FORMAT_PCM_16, 3 * 44100, [](int n, int) { return hiss(n); });
    wav("fade.wav", 44100, 1, SF_FORMAT_PCM_16, 6 * 44100, [](int n, int) { return fadingOut(n); });
    const std::vector<std::tuple<const char*, int, int, std::string>> rows{
        {"sine.pos", 0, 441000, ": ok\n"},
        {"quiet.pos", 0, 441000, ": ok\n"},
        {"ends.pos", 0, kSongEnd + 20000, "the music ends and restarts after 0.52 s of silence"},
        {"noise.pos", 44100, 45100, "buzzes at 44 Hz"},
        {"fade.pos", 0, 6 * 44100, ": the music restarts, band levels "}};
    for (const auto& [name, start, stop, says] : rows) {
        pos(name, start, stop);
        const ToolRun r = run({"check", at(name)});
        EXPECT_NE(r.out.find(says), std::string::npos) << r.out;
        EXPECT_EQ(r.status, says == ": ok\n" ? ExitOk : ExitProblem) << r.out;
    }
    for (const char* name : {"sine.pos", "quiet.pos"})
        EXPECT_NE(run({"set", "--stop", "seamless", at(name)}).out.find("441000 (unchanged)"),
                  std::string::npos);
    // No stop in the silence is seamless, nor one at the music's end.
    EXPECT_NE(run({"set", "--stop", "seamless", at("ends.pos")}).err.find("nothing written"),
              std::string::npos);
}

} // namespace
