// SPDX-License-Identifier: GPL-3.0-or-later
// A track long enough for the coarse correlation to go block by block: the
// loop is still found to the sample, and a search refused at any question,
// also between the blocks, ends there.
#include "audio/exact/loop_finder.h"
#include "tests/file_bytes.h"
#include "tests/loop_corpus.h"

#include <gtest/gtest.h>
#include <sndfile.h>

using namespace kestrin;
using namespace kestrin::audio;
using namespace kestrin::testing_support;
namespace fs = std::filesystem;

namespace {

// Seven minutes, mono: a coarse signal of over 2^20 samples.
TrackSpec sevenMinutes() {
    TrackSpec s;
    s.channels = 1;
    s.repeats = 80;
    return s;
}

TEST(LongSearch, BlockCorrelationFindsTheLoopToTheSample) {
    ScratchFolder dir("kestrin-long-search");
    const fs::path file = dir.path() / "long.wav";
    const Track track = RenderTrack(sevenMinutes());
    ASSERT_GT(track.samples.size(), std::size_t{16} << 20);
    WriteTrack(track, file, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

    int asked = 0;
    const LoopSearch found = FindLoops(file, {}, [&](double) {
        ++asked;
        return true;
    });
    ASSERT_FALSE(found.candidates.empty());
    const LoopCandidate& best = found.candidates.front();
    EXPECT_EQ(best.start, track.loopStart);
    EXPECT_EQ(best.stop - best.start, track.loopFrames);
    EXPECT_EQ(best.seam, 0.0);
    EXPECT_TRUE(IsSeamless(best.judged));

    // Refused at questions spread over the whole search.
    for (const int refuseAt : {asked / 10, asked / 5, asked / 3, asked / 2}) {
        int n = 0;
        const LoopSearch stopped = FindLoops(file, {}, [&](double) { return ++n < refuseAt; });
        EXPECT_TRUE(stopped.cancelled) << refuseAt << " of " << asked;
        EXPECT_EQ(n, refuseAt) << "asked again after refusing at " << refuseAt;
    }
}

} // namespace
