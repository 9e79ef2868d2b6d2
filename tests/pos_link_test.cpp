// SPDX-License-Identifier: GPL-3.0-or-later
// A POS name that is a symbolic link to a sound file: the refusal names the
// file the link leads to and the POS file beside that one, never the link's
// own name twice.
#include "core/pos_file.h"
#include "tests/file_bytes.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace kestrin;
using namespace kestrin::testing_support;
namespace fs = std::filesystem;

namespace {

struct LinkRow {
    const char* name;
    const char* link;   // the POS name, in the scratch folder
    const char* target; // what it links to, relative to the folder
    const char* audio;  // the sound file the links end at
    const char* pos;    // the POS file beside it
};
void PrintTo(const LinkRow& row, std::ostream* os) {
    *os << row.name;
}

class PosLink : public testing::TestWithParam<LinkRow> {};

TEST_P(PosLink, NamesTheLinkedFileAndItsPosFile) {
    const LinkRow& row = GetParam();
    ScratchFolder dir("kestrin-poslink");
    fs::create_directories(dir.path() / "music");
    {
        std::ofstream wave(dir.path() / "music" / "song.wav", std::ios::binary);
        const char head[] = "RIFF\x24\0\0\0WAVEfmt ";
        wave << std::string(head, sizeof head - 1) << std::string(28, '\0');
    }
    if (std::string(row.target) != "music/song.wav")
        fs::create_symlink("music/song.wav", dir.path() / row.target);
    fs::create_symlink(row.target, dir.path() / row.link);
    const fs::path audio = fs::canonical(dir.path() / row.audio);
    const fs::path link = dir.path() / row.link;
    try {
        (void)ReadPosFile(link);
        ADD_FAILURE() << "read a WAVE file as positions";
    } catch (const NotAPosFileError& e) {
        EXPECT_EQ(e.posFile(), audio.parent_path() / row.pos);
        EXPECT_EQ(std::string(e.what()),
                  link.string() + " links to " + audio.string() +
                      ", which is in WAVE format, not a POS file; the POS file beside it would "
                      "be " +
                      (audio.parent_path() / row.pos).string());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Links, PosLink,
    testing::Values(
        LinkRow{"lower_case_link", "t.pos", "music/song.wav", "music/song.wav", "song.pos"},
        LinkRow{"upper_case_link", "T.POS", "music/song.wav", "music/song.wav", "song.pos"},
        LinkRow{"link_to_a_link", "t.pos", "alias.wav", "music/song.wav", "song.pos"}),
    [](const testing::TestParamInfo<LinkRow>& info) { return std::string(info.param.name); });

} // namespace
