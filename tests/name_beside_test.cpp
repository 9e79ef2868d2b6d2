// SPDX-License-Identifier: GPL-3.0-or-later
// One rule for the case of the name beside a file, both ways between a POS
// file and its audio.
#include "audio/read/audio_files.h"
#include "core/pos_file.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

struct BesideRow {
    const char* name;
    const char* file;
    const char* pos;   // PosFileBeside
    const char* audio; // ExpectedAudioName
};
void PrintTo(const BesideRow& row, std::ostream* os) {
    *os << row.name;
}

class NameBeside : public testing::TestWithParam<BesideRow> {};

TEST_P(NameBeside, TakesTheCaseOfTheExtensionAlike) {
    EXPECT_EQ(kestrin::PosFileBeside(GetParam().file), fs::path(GetParam().pos));
    EXPECT_EQ(kestrin::audio::ExpectedAudioName(GetParam().file), fs::path(GetParam().audio));
}

INSTANTIATE_TEST_SUITE_P(
    PosTool, NameBeside,
    testing::Values(BesideRow{"upper", "/m/BGM.POS", "/m/BGM.POS", "/m/BGM.WAV"},
                    BesideRow{"lower", "/m/bgm.pos", "/m/bgm.pos", "/m/bgm.wav"},
                    BesideRow{"mixed", "/m/BGM.Pos", "/m/BGM.pos", "/m/BGM.wav"},
                    // Nothing after the dot says nothing about case.
                    BesideRow{"bare_dot", "/m/BGM.", "/m/BGM.pos", "/m/BGM.wav"},
                    BesideRow{"none", "/m/BGM", "/m/BGM.pos", "/m/BGM.wav"},
                    BesideRow{"digits_only", "/m/bgm.001", "/m/bgm.POS", "/m/bgm.WAV"},
                    BesideRow{"dot_in_the_folder", "/m.X/bgm", "/m.X/bgm.pos", "/m.X/bgm.wav"}),
    [](const testing::TestParamInfo<BesideRow>& info) { return std::string(info.param.name); });

} // namespace
