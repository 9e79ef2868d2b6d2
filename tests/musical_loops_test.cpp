// SPDX-License-Identifier: GPL-3.0-or-later
// Musical loops on generated songs whose repeats are played again: find
// offers a loop from one rendition to the same musical place in the next,
// the judge passes it, --near finds it again from rough points, and music
// that never repeats gets "no natural loop".
#include "audio/judge/seam_judge.h"
#include "audio/musical/musical_loops.h"
#include "cli/pos_tool.h"
#include "tests/file_bytes.h"
#include "tests/loop_corpus.h"
#include "tests/song_corpus.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <cmath>
#include <numbers>
#include <random>
#include <sstream>

namespace {

using namespace kestrin;
using namespace kestrin::audio;
using namespace kestrin::testing_support;

// Onsets are humanised by up to 10 ms in each rendition, so one note of two
// renditions can lie 20 ms apart; aligned over the whole passage, the jump
// still lands within 10 ms of the true place (3 to 8 ms on these songs).
constexpr double kPlaceSeconds = 0.010;

struct SongRow {
    const char* name;
    SongShape shape;
    bool vorbis = false; // stored through a lossy codec, as songs are shared
};

SongShape song(double bpm, int intro, int passes, unsigned seed, bool through = false) {
    SongShape s;
    s.beatsPerMinute = bpm;
    s.introBars = intro;
    s.passes = passes;
    s.seed = seed;
    s.throughComposed = through;
    return s;
}

SongShape fuller(double bpm, int passes, unsigned seed) {
    SongShape s = song(bpm, 2, passes, seed);
    s.fullerAgain = true;
    return s;
}

SongShape chorusBreak(double bpm, unsigned seed) {
    SongShape s = song(bpm, 2, 2, seed);
    s.breakAgain = true;
    return s;
}

// Pushing: the tempo rises by 2 % over the song, so the second pass comes
// 5 ms a beat nearer the first, 80 ms over the four bars a repeat is told by.
SongShape pushing(double bpm, unsigned seed) {
    SongShape s = song(bpm, 2, 2, seed);
    s.tempoRise = 0.02;
    return s;
}

SongShape withoutDrums(double bpm, unsigned seed) {
    SongShape s = song(bpm, 2, 2, seed);
    s.drums = false;
    return s;
}

nlohmann::json findJson(const std::vector<std::string>& args, int& status) {
    std::ostringstream out;
    std::ostringstream err;
    std::vector<std::string> command{"find", "--json"};
    command.insert(command.end(), args.begin(), args.end());
    status = cli::RunPosTool(command, out, err);
    return nlohmann::json::parse(out.str());
}

class MusicalSong : public ::testing::TestWithParam<SongRow> {
protected:
    void SetUp() override {
        m_song = RenderSong(GetParam().shape);
        Track track;
        track.samples = m_song.audio.samples;
        if (GetParam().vorbis)
            m_wav.replace_extension(".ogg");
        WriteTrack(track, m_wav,
                   GetParam().vorbis ? SF_FORMAT_OGG | SF_FORMAT_VORBIS
                                     : SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    }

    // Frames the loop (start, stop) is off a whole number of passes (at
    // least one) as played, and that it starts in the song's passes.
    void expectSamePlace(std::int64_t start, std::int64_t stop) const {
        const auto passes =
            static_cast<int>(std::lround(static_cast<double>(stop - start) / m_song.passFrames));
        const std::int64_t off = stop - PassesLater(GetParam().shape, start, passes);
        EXPECT_GE(passes, 1);
        EXPECT_LE(std::abs(off) / static_cast<double>(m_song.audio.sampleRate), kPlaceSeconds)
            << off << " frames off";
        // The intro's last bar plays the chord and drums that end every pass:
        // a loop may begin there.
        EXPECT_GE(start, m_song.passStart - std::llround(4 * m_song.samplesPerBeat));
    }

    Song m_song;
    ScratchFolder m_dir{"kestrin-musical"};
    std::filesystem::path m_wav = m_dir.path() / "song.wav";
};

TEST_P(MusicalSong, FindLoopsToTheSameMusicalPlaceOrSaysThereIsNone) {
    int status = 0;
    const nlohmann::json found = findJson({m_wav.string()}, status);
    const nlohmann::json& candidates = found["candidates"];
    if (GetParam().shape.throughComposed) {
        EXPECT_EQ(status, 1);
        EXPECT_TRUE(candidates.empty()) << found.dump();
        std::ostringstream out;
        std::ostringstream err;
        cli::RunPosTool({"find", m_wav.string()}, out, err);
        EXPECT_NE(out.str().find("no natural loop"), std::string::npos) << out.str();
        return;
    }
    ASSERT_EQ(status, 0);
    ASSERT_FALSE(candidates.empty());
    const nlohmann::json& best = candidates[0];
    EXPECT_EQ(best["kind"], "musical");
    EXPECT_EQ(best["verdict"], "seamless");
    // Read back from the file, as a player would.
    const AudioSamples audio = *ReadAudioSamples(m_wav);
    const auto start = best["start"].get<std::int64_t>();
    const auto stop = best["stop"].get<std::int64_t>();
    expectSamePlace(start, stop);
    const SeamFigures judged = JudgeSeam(audio, start, stop, SeamMode::Musical);
    EXPECT_TRUE(IsSeamless(judged)) << SeamVerdict(judged);
    EXPECT_TRUE(judged.musical);
}

// The songs with a natural loop.
class MusicalNear : public MusicalSong {};

TEST_P(MusicalNear, NearFindsTheTruePairFromRoughPoints) {
    // The chorus of the first pass and of the second, 1.5 s off each way.
    const double beat = m_song.samplesPerBeat;
    const auto start = m_song.passStart + std::llround(beat * 4 * 9);
    const auto stop = start + m_song.passFrames;
    for (const auto& [dStart, dStop] : {std::pair{1.5, -1.5}, std::pair{-1.5, 1.5}}) {
        const auto roughStart = start + std::llround(dStart * 44100);
        const auto roughStop = stop + std::llround(dStop * 44100);
        int status = 0;
        const nlohmann::json found = findJson(
            {"--near", std::to_string(roughStart), std::to_string(roughStop), m_wav.string()},
            status);
        ASSERT_EQ(status, 0) << found.dump();
        const auto s = found["candidates"][0]["start"].get<std::int64_t>();
        const auto e = found["candidates"][0]["stop"].get<std::int64_t>();
        EXPECT_LE(std::abs(s - roughStart), 2 * 44100);
        EXPECT_LE(std::abs(e - roughStop), 2 * 44100);
        expectSamePlace(s, e);
    }
}

TEST_P(MusicalNear, ALoopOffTheBeatGridIsNotSeamlessAndNearMendsIt) {
    // Just before the chorus's first attack, and a stop 46 ms short of the
    // pass: the hi-hats after the jump come 46 ms early, and the jump lands
    // in the snare's hit before the stop.
    const AudioSamples audio = *ReadAudioSamples(m_wav);
    const auto start = m_song.passStart + std::llround(m_song.samplesPerBeat * 4 * 9) - 32;
    const auto stop = start + m_song.passFrames - std::llround(0.046 * 44100);
    const SeamFigures judged = JudgeSeam(audio, start, stop, SeamMode::Musical);
    EXPECT_FALSE(IsSeamless(judged)) << SeamVerdict(judged);
    int status = 0;
    const nlohmann::json found =
        findJson({"--near", std::to_string(start), std::to_string(stop), m_wav.string()}, status);
    ASSERT_EQ(status, 0) << found.dump();
    expectSamePlace(found["candidates"][0]["start"].get<std::int64_t>(),
                    found["candidates"][0]["stop"].get<std::int64_t>());
}

INSTANTIATE_TEST_SUITE_P(Songs, MusicalSong,
                         ::testing::Values(SongRow{"verse_chorus_112", song(112, 2, 2, 1)},
                                           SongRow{"verse_chorus_96", song(96, 4, 2, 2)},
                                           SongRow{"three_passes_128", song(128, 1, 3, 3)},
                                           SongRow{"vorbis_104", song(104, 2, 2, 6), true},
                                           SongRow{"fuller_again_108", fuller(108, 2, 7)},
                                           SongRow{"without_drums_100", withoutDrums(100, 8)},
                                           SongRow{"through_composed", song(112, 2, 2, 4, true)},
                                           SongRow{"chorus_break_108", chorusBreak(108, 16)},
                                           SongRow{"tempo_rises_108", pushing(108, 9)},
                                           SongRow{"through_composed_100",
                                                   song(100, 2, 2, 5, true)}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Songs, MusicalNear,
                         ::testing::Values(SongRow{"verse_chorus_112", song(112, 2, 2, 1)},
                                           SongRow{"three_passes_128", song(128, 1, 3, 3)},
                                           SongRow{"vorbis_104", song(104, 2, 2, 6), true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The tempo to a fraction of a percent, whatever the period in hops: two
// minutes of notes humanised by up to 5 ms, a bar's first beat accented; or,
// with no attack at all, a chord swelling at every second bar (eight beats).
struct TempoRow {
    const char* name;
    double bpm;
    bool swelling = false;
};

class BeatTempo : public ::testing::TestWithParam<TempoRow> {};

TEST_P(BeatTempo, FoundToATenthOfAPercentAndBarsStayOnTheNotes) {
    constexpr int rate = 44100;
    const double beat = 60.0 * rate / GetParam().bpm;
    AudioSamples audio{rate, 1, std::vector<float>(120 * rate), false};
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(-0.005 * rate, 0.005 * rate);
    std::vector<double> notes;
    for (double at = beat / 2; at < 120.0 * rate; at += beat)
        notes.push_back(at + (GetParam().swelling ? 0 : jitter(random)));
    for (std::size_t t = 0; t < audio.samples.size(); ++t) {
        const double s = static_cast<double>(t) / rate;
        const double swell =
            std::fmod(static_cast<double>(t) - notes[0] + 8e9 * beat, 8 * beat) / rate;
        audio.samples[t] = static_cast<float>(
            GetParam().swelling
                ? (0.1 + 0.2 * std::exp(-swell)) * (std::sin(2 * std::numbers::pi * 220 * s) +
                                                    std::sin(2 * std::numbers::pi * 277 * s))
                : 0.002 * std::sin(2 * std::numbers::pi * 110 * s));
    }
    if (!GetParam().swelling)
        for (std::size_t k = 0; k < notes.size(); ++k)
            for (int i = 0; i < rate / 10 && notes[k] + i < 120.0 * rate; ++i)
                audio.samples[static_cast<std::size_t>(notes[k]) + static_cast<std::size_t>(i)] +=
                    static_cast<float>((k % 4 == 0 ? 0.6 : 0.3) * std::exp(-i / 400.0) *
                                       std::sin(2 * std::numbers::pi * 1500 * i / rate));
    MusicalSearchOptions options;
    options.maxCandidates = 0;
    const double found = FindMusicalLoops(audio, options).beatsPerMinute;
    // A swell shows the phrase, not which of its halvings is the beat.
    const double octave =
        GetParam().swelling ? std::exp2(std::round(std::log2(found / GetParam().bpm))) : 1;
    EXPECT_NEAR(found / octave, GetParam().bpm, 0.001 * GetParam().bpm);
    if (GetParam().swelling)
        return;
    // Beats lie within half a hop (6 ms) and the humanising of their note.
    const std::vector<std::int64_t> beats = FindBeats(audio);
    ASSERT_GT(beats.size(), 100U);
    for (std::size_t k = beats.size() - 16; k < beats.size(); ++k) {
        const auto near = std::min_element(notes.begin(), notes.end(), [&](double a, double b) {
            return std::abs(a - beats[k]) < std::abs(b - beats[k]);
        });
        EXPECT_LE(std::abs(*near - beats[k]), 0.012 * rate) << "beat " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Tempi, BeatTempo,
                         ::testing::Values(TempoRow{"notes_117", 117.0},
                                           TempoRow{"notes_93_3", 93.3},
                                           TempoRow{"notes_141_7", 141.7},
                                           TempoRow{"swelling_120", 120.0, true},
                                           TempoRow{"swelling_105", 105.0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
