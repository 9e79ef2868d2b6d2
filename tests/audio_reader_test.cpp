// SPDX-License-Identifier: GPL-3.0-or-later
// The windowed audio reader against whole decodes of the same file.
#include "audio/exact/loop_finder.h"
#include "audio/read/audio_reader.h"
#include "tests/file_bytes.h"
#include "tests/loop_corpus.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <utility>
#include <vector>

using namespace kestrin::audio;
using namespace kestrin::testing_support;
namespace fs = std::filesystem;

namespace {

constexpr int kVorbis = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
constexpr int kMp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;

// The codecs' own seeks land up to a block away from the frame asked for:
// every window, after jumps back and forth, is what decoding from the start
// gives there.
TEST(AudioReader, LossyWindowsAreTheFramesDecodedFromTheStart) {
    ScratchFolder dir("kestrin-seek");
    const Track track = RenderTrack({.layout = LoopLayout::NoRepeat, .channels = 2});
    for (const auto& [name, format] : {std::pair{"t.ogg", kVorbis}, std::pair{"t.mp3", kMp3}}) {
        const fs::path file = dir.path() / name;
        WriteTrack(track, file, format);
        const AudioSamples whole = *ReadAudioSamples(file);
        AudioReader reader(file);
        for (const std::int64_t at : {300000, 50000, 226148, 7000, 100000}) {
            std::vector<float> window(2048 * 2);
            ASSERT_EQ(reader.readFloat(at, 2048, window.data()), 2048);
            EXPECT_TRUE(std::equal(window.begin(), window.end(), whole.samples.begin() + at * 2))
                << name << " at " << at;
        }
    }
}

} // namespace
