// SPDX-License-Identifier: GPL-3.0-or-later
// The program never calls into a sound module built for other types: a
// module from another build is refused with a message naming both builds.
#include "sound/sound_engine.h"

#include <QString>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// One load per process: LoadSoundEngine keeps its answer.
TEST(SoundLoader, RefusesAModuleFromAnotherBuildAndSaysSoEveryTime) {
    // Named beside this program, not by the clone's path, so that the compile
    // line is one the compiler cache shares between clones.
    const std::string other =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / OTHER_SOUND_MODULE)
            .string();
    ::setenv("KESTRIN_SOUND_MODULE", other.c_str(), 1);
    for (int call = 0; call < 2; ++call) {
        QString error;
        EXPECT_EQ(kestrin::sound::LoadSoundEngine(&error), nullptr);
        EXPECT_EQ(error.toStdString(), "The sound module " + other +
                                           " belongs to another build of Kestrin "
                                           "(0.0.0-another-build; this program is " +
                                           KESTRIN_SOUND_INTERFACE +
                                           "): install both from one build");
    }
}

} // namespace
