// SPDX-License-Identifier: GPL-3.0-or-later
// The musical loop finder on generated songs whose repeats are played again:
// the loop it offers joins one rendition to the same musical place in the
// next, the judge passes it, and music that never repeats gets none.
#include "audio/musical_loops.h"
#include "audio/seam_judge.h"
#include "tests/song_corpus.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace {

using namespace kestrin;
using namespace kestrin::audio;
using kestrin::testing_support::RenderSong;
using kestrin::testing_support::Song;
using kestrin::testing_support::SongSpec;

// Onsets are humanised by up to 10 ms in each rendition, so one note of two
// renditions lies up to 20 ms apart: no alignment can promise the musical
// place closer than that.
constexpr double kPlaceSeconds = 0.020;

struct SongRow {
    const char* name;
    SongSpec spec;
};

SongSpec song(double bpm, int intro, int passes, unsigned seed, bool through = false) {
    SongSpec s;
    s.beatsPerMinute = bpm;
    s.introBars = intro;
    s.passes = passes;
    s.seed = seed;
    s.throughComposed = through;
    return s;
}

class MusicalSong : public ::testing::TestWithParam<SongRow> {};

TEST_P(MusicalSong, LoopsToTheSameMusicalPlace) {
    const Song s = RenderSong(GetParam().spec);
    const MusicalSearch found = FindMusicalLoops(s.audio);
    std::printf("stages %.3f %.3f %.3f %.3f\n", found.seconds.spectra, found.seconds.beats,
                found.seconds.matching, found.seconds.refining);
    std::printf("%s: %.1f bpm, %zu beats, %zu candidates\n", GetParam().name, found.beatsPerMinute,
                found.beats, found.candidates.size());
    for (const LoopCandidate& c : found.candidates)
        std::printf("  %lld %lld (%.4f pass) match %.3f spectra %.2f dB kink %.2f\n",
                    static_cast<long long>(c.start), static_cast<long long>(c.stop),
                    static_cast<double>(c.stop - c.start) / s.passFrames, c.score,
                    c.judged.spectralDb, c.judged.kink);
    if (GetParam().spec.throughComposed) {
        EXPECT_TRUE(found.candidates.empty()) << "no natural loop in through-composed music";
        return;
    }
    ASSERT_FALSE(found.candidates.empty());
    const LoopCandidate& best = found.candidates.front();
    EXPECT_EQ(best.kind, LoopKind::Musical);
    // The same musical place: the loop is a whole number of passes long.
    const double passes = static_cast<double>(best.stop - best.start) / s.passFrames;
    const double off = (best.stop - best.start) - std::round(passes) * s.passFrames;
    EXPECT_GE(std::round(passes), 1);
    EXPECT_LE(std::abs(off) / s.audio.sampleRate, kPlaceSeconds) << off << " frames off";
    EXPECT_GE(best.start, s.passStart - std::llround(s.samplesPerBeat));
    EXPECT_TRUE(IsSeamless(JudgeSeam(s.audio, best.start, best.stop, SeamMode::Musical)));
}

INSTANTIATE_TEST_SUITE_P(Songs, MusicalSong,
                         ::testing::Values(SongRow{"verse_chorus_112", song(112, 2, 2, 1)},
                                           SongRow{"verse_chorus_96", song(96, 4, 2, 2)},
                                           SongRow{"three_passes_128", song(128, 1, 3, 3)},
                                           SongRow{"through_composed", song(112, 2, 2, 4, true)},
                                           SongRow{"through_composed_2", song(100, 2, 2, 5, true)}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
