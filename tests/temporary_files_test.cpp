// SPDX-License-Identifier: GPL-3.0-or-later
// Temporary files beside a target: gone when a signal ends the process that
// wrote them, and removed by a later run once their process has ended.
#include "core/temporary_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>

#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace kestrin;

namespace {

class TemporaryFiles : public testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("kestrin-temporaries-" + std::to_string(::getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    fs::path m_dir;
};

class EndedBy : public TemporaryFiles, public testing::WithParamInterface<int> {};

TEST_P(EndedBy, TheSignalRemovesTheFileBeingWrittenAndEndsTheProcessAsItWould) {
    const int signalNumber = GetParam();
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, m_dir.c_str(), IN_CLOSE_WRITE), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        RemoveTemporariesOnSignals();
        const fs::path path = TemporaryBeside(m_dir / "song.wav", "-new.wav");
        const RegisteredTemporary registered(path);
        std::ofstream(path) << "half a file";
        for (;;)
            ::pause();
    }
    // Waits for the child to have written its file, then ends it.
    alignas(inotify_event) char events[4096];
    ASSERT_GT(::read(watch, events, sizeof events), 0);
    ::close(watch);
    ASSERT_EQ(::kill(child, signalNumber), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
    EXPECT_TRUE(fs::is_empty(m_dir));
}

INSTANTIATE_TEST_SUITE_P(Signals, EndedBy, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT    ? "SIGINT"
                                                : info.param == SIGTERM ? "SIGTERM"
                                                                        : "SIGHUP");
                         });

TEST_F(TemporaryFiles, ALaterRunRemovesOnlyWhatAnEndedProcessLeftLongAgo) {
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    const std::string dead = std::to_string(ended);
    const std::string alive = std::to_string(::getppid());
    const auto make = [&](const std::string& name, std::chrono::minutes age) {
        std::ofstream(m_dir / name) << "x";
        fs::last_write_time(m_dir / name, fs::file_time_type::clock::now() - age);
    };
    using std::chrono::minutes;
    make(".kestrin-" + dead + "-0-new.wav", minutes(60));  // left behind: removed
    make(".kestrin-" + dead + "-1.tmp", minutes(1));       // maybe still written elsewhere
    make(".kestrin-" + alive + "-0-new.wav", minutes(60)); // its process runs
    make(".kestrin-notanumber-0.tmp", minutes(60));
    make("song.wav", minutes(60));

    const fs::path fresh = TemporaryBeside(m_dir / "song.wav", "-new.wav");
    EXPECT_EQ(fresh.parent_path(), m_dir);
    EXPECT_EQ(fresh.filename().string().rfind(".kestrin-" + std::to_string(::getpid()) + "-", 0),
              0u);
    EXPECT_FALSE(fs::exists(m_dir / (".kestrin-" + dead + "-0-new.wav")));
    for (const std::string& kept :
         {".kestrin-" + dead + "-1.tmp", ".kestrin-" + alive + "-0-new.wav",
          std::string(".kestrin-notanumber-0.tmp"), std::string("song.wav")})
        EXPECT_TRUE(fs::exists(m_dir / kept)) << kept;
}

} // namespace
