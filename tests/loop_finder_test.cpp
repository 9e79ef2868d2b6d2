// SPDX-License-Identifier: GPL-3.0-or-later
// The loop finder against tracks whose loop is known, one row per layout and
// format.
#include "audio/exact/exact_finder_steps.h"
#include "audio/exact/loop_finder.h"
#include "audio/judge/seam_measure.h"
#include "tests/file_bytes.h"
#include "tests/loop_corpus.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <tuple>

using namespace kestrin;
using namespace kestrin::audio;
using namespace kestrin::testing_support;
namespace fs = std::filesystem;

namespace {

struct CorpusRow {
    const char* name;
    TrackSpec shape;
    int format;
    std::int64_t tolerance; // samples the start and length may be off
    int storedAgainAs = 0;  // decoded and written again in this format, as users do
    // Samples more the start may lie early: a ring no further above the
    // noise than the loop's own copies differ cannot be told from the loop.
    std::int64_t early = 0;
};
void PrintTo(const CorpusRow& row, std::ostream* os) {
    *os << row.name;
}

// A Vorbis copy of this one comes out exact in most places, as its loop is a
// whole number of the codec's short blocks, but not near the start.
TrackSpec blockAligned() {
    TrackSpec s = withOverlap(3.8, 2);
    s.introFrames = 106301;
    s.loopFrames = 188032;
    s.seed = 8049;
    return s;
}
// Through MP3 the last 16 samples of this intro differ clearly from the end
// of the loop, the 20 before them only a little: a split by means alone
// stops 37 samples early.
TrackSpec faintThenClearIntroEnd() {
    TrackSpec s = shape(LoopLayout::Repeated, 1);
    s.introFrames = 56655;
    s.loopFrames = 316686;
    s.seed = 8210;
    return s;
}
TrackSpec withSeed(TrackSpec s, unsigned seed) {
    s.seed = seed;
    return s;
}
TrackSpec withNoise(TrackSpec s, double noise) {
    s.noise = noise;
    return s;
}
// The intro's last note rings 0.6 s into the first pass: the passes are
// exactly alike only from there on.
TrackSpec ringing(int channels, double noise = 0.0, double db = 28) {
    TrackSpec s = withNoise(shape(LoopLayout::Repeated, channels), noise);
    s.ringSeconds = 0.6;
    s.ringDb = db;
    return s;
}
// A first pass that plays otherwise, 40 dB down, for 5 s of a 20 s loop.
TrackSpec longFaintRing() {
    TrackSpec s = ringing(2, 0, 40);
    s.ringSeconds = 5.0;
    s.loopFrames = 20 * 44100;
    return s;
}
// A first pass 40 dB apart from the second for 10 s at its start (a
// module's before its restart row), or for 8 s in its middle, 25 dB apart.
TrackSpec steadyRing(double from, double seconds, double db) {
    TrackSpec s = ringing(2, 0, db);
    std::tie(s.ringFrom, s.ringSeconds, s.ringSteady, s.loopFrames) =
        std::tuple(from, seconds, true, 20 * 44100);
    return s;
}
// The passes alike but for a render's noise, and the intro's first second
// copied exactly after them: a closer copy of another passage.
TrackSpec closerCopyElsewhere() {
    TrackSpec s = shape(LoopLayout::Repeated, 2, 3);
    s.laterPassNoise = 0.005;
    s.introAgainSeconds = 1.0;
    return s;
}
// The intro ends as the loop does for 2.6 s but for a note 0.16 s long:
// the loop begins after it, not where the copies first agree.
TrackSpec loudEndAfterOverlap() {
    TrackSpec s = withOverlap(2.5, 2);
    s.endHitSeconds = 0.2;
    return s;
}
// Through Vorbis a loop of whole long blocks decodes to the same samples
// in both passes once the ring has ended: the copies are bit-exact there.
auto ringingBlockAligned(int channels) {
    auto s = ringing(channels);
    s.loopFrames = 114 * 2048;
    return s;
}
// Through MP3 a loop of whole granules, half a frame over whole frames,
// decodes to the same samples in a third of the places once the ring has
// ended (a tracker song through MP3, in half of them).
auto ringingGranuleAligned(int channels) {
    auto s = ringing(channels);
    s.loopFrames = 203 * 1152 + 576;
    return s;
}
TrackSpec introEndsAsTheLoop() {
    TrackSpec s = shape(LoopLayout::Repeated, 2);
    s.endAgainSeconds = 2.6;
    return s;
}
TrackSpec sound(Sound sound, std::int64_t intro, std::int64_t loop, int repeats = 2,
                LoopLayout layout = LoopLayout::Repeated) {
    TrackSpec s = shape(layout, 1, repeats);
    s.sound = sound;
    s.introFrames = intro;
    s.loopFrames = loop;
    return s;
}

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kWav24 = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
constexpr int kVorbis = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
constexpr int kMp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;

class LoopCorpus : public testing::TestWithParam<CorpusRow> {};

TEST_P(LoopCorpus, FindsTheKnownLoop) {
    const CorpusRow& row = GetParam();
    ScratchFolder dir("kestrin-loops");
    const fs::path file = dir.path() / (row.format == kVorbis ? "track.ogg"
                                        : row.format == kMp3  ? "track.mp3"
                                                              : "track.wav");
    const Track track = RenderTrack(row.shape);
    WriteTrack(track, file, row.format);
    fs::path searched = file;
    if (row.storedAgainAs != 0) {
        const AudioSamples decoded = *ReadAudioSamples(file);
        Track again = track;
        again.samples = decoded.samples;
        fs::remove(file);
        searched = dir.path() / "decoded.wav";
        WriteTrack(again, searched, row.storedAgainAs);
    }

    const LoopSearch found = FindLoops(searched);
    ASSERT_FALSE(found.cancelled);
    if (row.shape.layout == LoopLayout::NoRepeat) {
        EXPECT_TRUE(found.candidates.empty()) << "start " << found.candidates.front().start
                                              << " stop " << found.candidates.front().stop;
        return;
    }
    ASSERT_FALSE(found.candidates.empty());
    const LoopCandidate& best = found.candidates.front();
    EXPECT_LE(std::abs(best.stop - best.start - track.loopFrames), row.tolerance)
        << "length " << best.stop - best.start << ", period " << track.loopFrames;
    EXPECT_LE(best.start - track.loopStart, row.tolerance)
        << "start " << best.start << ", loop begins at " << track.loopStart;
    EXPECT_LE(track.loopStart - best.start, row.tolerance + row.early)
        << "start " << best.start << ", loop begins at " << track.loopStart;
    EXPECT_GT(best.score, 0.9);
    EXPECT_LT(best.seam, 0.05);
    // Others are distinct loops, not near copies of the best one or its
    // multiples, and as exact: in clean lossless audio, bit-exact at the seam
    for (std::size_t i = 1; i < found.candidates.size(); ++i) {
        if (row.tolerance == 0) {
            EXPECT_EQ(found.candidates[i].seam, 0.0) << "candidate " << i + 1;
        }
        const std::int64_t length = found.candidates[i].stop - found.candidates[i].start;
        const std::int64_t passes = (length + track.loopFrames / 2) / track.loopFrames;
        EXPECT_GT(std::abs(length - passes * track.loopFrames), track.sampleRate / 10)
            << "candidate " << i + 1 << " length " << length;
    }
    // check agrees with every loop find offers, reading the file as it does
    AudioReader reader(searched);
    for (std::size_t i = 0; i < found.candidates.size(); ++i) {
        const LoopCandidate& c = found.candidates[i];
        const auto judged = MeasureSeam(reader, c.start, c.stop, false);
        ASSERT_TRUE(judged.has_value());
        EXPECT_TRUE(IsSeamless(*judged)) << "candidate " << i + 1 << ": " << SeamVerdict(*judged);
    }
    if (row.shape.layout == LoopLayout::Whole)
        return; // the whole track has no loop one sample longer

    // check and the panel judge the true loop seamless, codec noise and all,
    // and the loop one sample longer not
    const std::int64_t stop = track.loopStart + track.loopFrames;
    const auto seam = MeasureSeam(reader, track.loopStart, stop);
    ASSERT_TRUE(seam.has_value());
    EXPECT_TRUE(IsSeamless(*seam)) << "seam score " << seam->score;
    const auto longer = MeasureSeam(reader, track.loopStart, stop + 1);
    ASSERT_TRUE(longer.has_value());
    EXPECT_FALSE(IsSeamless(*longer)) << "seam score " << longer->score;
    EXPECT_EQ(longer->seamlessStop, stop);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LoopCorpus,
    testing::Values(
        CorpusRow{"twice_stereo_16bit", shape(LoopLayout::Repeated, 2), kWav16, 0},
        CorpusRow{"three_times_mono_24bit", shape(LoopLayout::Repeated, 1, 3), kWav24, 0},
        CorpusRow{"overlap_1s_stereo_16bit", withOverlap(1.0, 2), kWav16, 0},
        CorpusRow{"overlap_3s_mono_float", withOverlap(3.0, 1), kWavFloat, 0},
        CorpusRow{"fade_out_stereo_16bit", shape(LoopLayout::FadeOut, 2), kWav16, 0},
        CorpusRow{"fade_out_three_times_mono_float", shape(LoopLayout::FadeOut, 1, 3), kWavFloat,
                  0},
        CorpusRow{"low_noise_stereo_16bit", withNoise(shape(LoopLayout::Repeated, 2), 0.002),
                  kWav16, 1},
        CorpusRow{"low_noise_overlap_mono_24bit", withNoise(withOverlap(2.0, 1), 0.001), kWav24, 1},
        CorpusRow{"vorbis_stereo", shape(LoopLayout::Repeated, 2), kVorbis, 1},
        CorpusRow{"vorbis_overlap_2s_stereo", withOverlap(2.0, 2), kVorbis, 1},
        CorpusRow{"vorbis_decoded_to_16bit", blockAligned(), kVorbis, 1, kWav16},
        CorpusRow{"mp3_intro_end_faint_then_clear", faintThenClearIntroEnd(), kMp3, 1},
        CorpusRow{"mp3_decoded_to_16bit", faintThenClearIntroEnd(), kMp3, 1, kWav16},
        CorpusRow{"no_repeat_stereo_16bit", shape(LoopLayout::NoRepeat, 2), kWav16, 0},
        CorpusRow{"no_repeat_mono_float", shape(LoopLayout::NoRepeat, 1, 3), kWavFloat, 0},
        CorpusRow{"closer_copy_of_another_passage_16bit", closerCopyElsewhere(), kWav16, 0},
        CorpusRow{"ring_into_loop_mono_16bit", ringing(1), kWav16, 0},
        CorpusRow{"intro_ends_as_the_loop_but_a_note_16bit", introEndsAsTheLoop(), kWav16, 0},
        CorpusRow{"overlap_then_a_loud_end_of_its_own_16bit", loudEndAfterOverlap(), kWav16, 0},
        CorpusRow{"ring_into_loop_stereo_float", ringing(2), kWavFloat, 0},
        CorpusRow{"ring_into_loop_low_noise_stereo_24bit", ringing(2, 0.001), kWav24, 1},
        // A first pass that plays otherwise, faintly, for seconds (a module
        // before its restart row): the loop begins where the copies agree.
        CorpusRow{"long_faint_ring_into_loop_stereo_float", longFaintRing(), kWavFloat, 1},
        CorpusRow{"steady_faint_ring_10s_16bit", steadyRing(0, 10, 40), kWav16, 0},
        CorpusRow{"first_pass_otherwise_8s_in_16bit", steadyRing(6, 8, 25), kWav16, 0},
        // Louder rings stand out of what Vorbis typically changes: the start
        // lies within ms of where they stop (it lay 0.28 s and 0.6 s early).
        CorpusRow{"ring_18db_into_loop_vorbis_stereo", ringing(2, 0, 18), kVorbis, 1, 0, 441},
        CorpusRow{"ring_22db_into_loop_vorbis_stereo", ringing(2, 0, 22), kVorbis, 1, 0, 1323},
        // The ring stays within what Vorbis changes between the loop's
        // copies: no measure tells it from the loop.
        CorpusRow{"ring_into_loop_vorbis_stereo", ringing(2), kVorbis, 1, 0, 26460},
        CorpusRow{"ring_into_loop_vorbis_decoded_to_16bit", ringing(1), kVorbis, 1, kWav16, 26460},
        // Ten passes: coarse peaks at two passes and more outrank the one at one.
        CorpusRow{"short_block_ten_times_mono_16bit", sound(Sound::Music, 44100, 99225, 10), kWav16,
                  0},
        CorpusRow{"square_period_200_full_scale_16bit", sound(Sound::Square, 0, 88200, 3), kWav16,
                  0},
        CorpusRow{"tremolo_tone_16bit", sound(Sound::Tremolo, 44100, 176400), kWav16, 0},
        CorpusRow{"patterned_tone_over_noise_16bit", sound(Sound::PatternedTone, 57330, 132300),
                  kWav16, 0},
        CorpusRow{"plucked_notes_16bit", sound(Sound::Plucked, 30000, 176400), kWav16, 0},
        // Four notes of the last pass come again two seconds later: a loop
        // of its own, not a reason to leave out its double, the true loop.
        CorpusRow{"plucked_notes_three_times_float",
                  withSeed(sound(Sound::Plucked, 30000, 176400, 3), 3), kWavFloat, 0},
        CorpusRow{"patterned_tone_three_times_16bit", sound(Sound::PatternedTone, 40000, 132300, 3),
                  kWav16, 0},
        CorpusRow{"chord_made_to_loop_whole_16bit",
                  sound(Sound::Chord, 0, 184 * 600, 1, LoopLayout::Whole), kWav16, 0},
        CorpusRow{"tone_ending_at_its_crest_16bit",
                  sound(Sound::Tone, 0, 110176, 1, LoopLayout::NoRepeat), kWav16, 0},
        // Bit-exact copies in a lossy file: the start lies where they begin,
        // within the codec's long block after the ring, not before the ring
        // (it lay 0.6 s early, as in tracker songs through Vorbis and MP3).
        CorpusRow{"ring_into_block_aligned_loop_vorbis_stereo", ringingBlockAligned(2), kVorbis,
                  2048},
        // Exact in fewer places than not: the start lies where they begin,
        // not 0.23 s before, in the ring.
        CorpusRow{"ring_into_granule_aligned_loop_mp3_stereo", ringingGranuleAligned(2), kMp3,
                  2048},
        // Bit-exact but for 2 s played otherwise midway, in 431 long blocks: the
        // start lies before them, not 8 s late.
        CorpusRow{"played_otherwise_in_block_aligned_loop_vorbis_stereo",
                  [] {
                      auto s = steadyRing(6, 2, 6);
                      s.loopFrames = 431 * 2048;
                      return s;
                  }(),
                  kVorbis, 4 * 2048}),
    [](const testing::TestParamInfo<CorpusRow>& info) { return std::string(info.param.name); });

AudioSamples samplesOf(const Track& track) {
    return AudioSamples{track.sampleRate, track.channels, track.samples};
}

TEST(LoopFinder, CancelledByProgress) {
    const AudioSamples audio = samplesOf(RenderTrack(shape(LoopLayout::Repeated, 2)));
    int calls = 0;
    const LoopSearch found = FindLoops(audio, {}, [&](double) { return ++calls < 3; });
    EXPECT_TRUE(found.cancelled);
    EXPECT_TRUE(found.candidates.empty());
}

TEST(LoopFinder, TooShortOrSilentAudioHasNoLoop) {
    for (const std::int64_t frames : {0, 1, 100, 3 * 44100}) {
        const AudioSamples silence{44100, 2,
                                   std::vector<float>(static_cast<std::size_t>(frames) * 2)};
        EXPECT_TRUE(FindLoops(silence).candidates.empty()) << frames;
    }
    // The first three seconds of a track, before its loop comes round again.
    Track track = RenderTrack(shape(LoopLayout::Repeated, 1, 3));
    track.samples.resize(3 * 44100);
    EXPECT_TRUE(FindLoops(samplesOf(track)).candidates.empty());
}

TEST(LoopFinder, MinimumLoopLongerThanThePeriodLeavesOnlyMultiples) {
    TrackSpec s = shape(LoopLayout::Repeated, 1, 3);
    const Track track = RenderTrack(s);
    LoopSearchOptions options;
    options.minLoopFrames = track.loopFrames + 1;
    const LoopSearch found = FindLoops(samplesOf(track), options);
    ASSERT_FALSE(found.candidates.empty());
    EXPECT_EQ(found.candidates.front().stop - found.candidates.front().start, 2 * track.loopFrames);
}

TEST(LoopFinder, SeamScoreOfTheLoopOffByOneAndOfUnrelatedPoints) {
    const Track track = RenderTrack(shape(LoopLayout::Repeated, 2));
    const AudioSamples audio = samplesOf(track);
    exact::Track frames(audio);
    const auto seam = [&](std::int64_t from, std::int64_t to) {
        return exact::seamScore(frames, from, to);
    };
    const std::int64_t start = track.loopStart + 5000;
    EXPECT_EQ(seam(start, start + track.loopFrames), 0.0);
    EXPECT_GT(seam(start, start + track.loopFrames + 1), 0.0);
    EXPECT_GT(seam(start, start + track.loopFrames + 100), 0.05);
    EXPECT_GT(seam(1000, 250000), 0.3);
    // At the end of the audio only the frames before both positions are compared.
    EXPECT_EQ(seam(track.loopStart + track.loopFrames, audio.frames()), 0.0);
    EXPECT_EQ(seam(-1, 10), 1.0);
    EXPECT_EQ(seam(0, audio.frames() + 1), 1.0);
}

} // namespace
