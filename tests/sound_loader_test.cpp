// SPDX-License-Identifier: GPL-3.0-or-later
// The program never calls into a sound module built for other types: a
// module from another build is refused with a message naming both builds.
#include "sound/sound_engine.h"

#include <QString>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// One load per process: LoadSoundEngine keeps its answer.
TEST(SoundLoader, RefusesAModuleFromAnotherBuildAndSaysSoEveryTime) {
    ::setenv("KESTRIN_SOUND_MODULE", OTHER_SOUND_MODULE, 1);
    for (int call = 0; call < 2; ++call) {
        QString error;
        EXPECT_EQ(kestrin::sound::LoadSoundEngine(&error), nullptr);
        EXPECT_EQ(error.toStdString(), std::string("The sound module ") + OTHER_SOUND_MODULE +
                                           " belongs to another build of Kestrin "
                                           "(0.0.0-another-build; this program is " +
                                           KESTRIN_SOUND_INTERFACE +
                                           "): install both from one build");
    }
}

} // namespace
