// SPDX-License-Identifier: GPL-3.0-or-later
// Temporary files beside a target: gone when a signal ends the process that
// wrote them, and removed by a later run once their process has ended.
#include "core/temporary_files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace kestrin;
using std::chrono::minutes;

// A scratch folder of the test's own.
fs::path scratch() {
    const fs::path dir =
        fs::temp_directory_path() / ("kestrin-temporaries-" + std::to_string(::getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TEST(TemporaryFiles, EachSignalRemovesTheFileBeingWrittenAndEndsTheProcessAsItWould) {
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        const fs::path dir = scratch();
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(watch, dir.c_str(), IN_CLOSE_WRITE), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            RemoveTemporariesOnSignals();
            const fs::path path = TemporaryBeside(dir / "song.wav", "-new.wav");
            const RegisteredTemporary registered(path);
            std::ofstream(path) << "half a file";
            for (;;)
                ::pause();
        }
        // The child has written its file once the folder says so.
        alignas(inotify_event) char events[4096];
        ASSERT_GT(::read(watch, events, sizeof events), 0);
        ::close(watch);
        ASSERT_EQ(::kill(child, signalNumber), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << signalNumber;
        EXPECT_TRUE(fs::is_empty(dir)) << signalNumber;
        fs::remove_all(dir);
    }
}

TEST(TemporaryFiles, ALaterRunRemovesOnlyWhatAnEndedProcessLeftLongAgo) {
    const fs::path dir = scratch();
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    const std::string dead = ".kestrin-" + std::to_string(ended);
    const std::string alive = ".kestrin-" + std::to_string(::getppid());
    const std::pair<std::string, minutes> files[] = {
        {dead + "-0-new.wav", minutes(60)}, // left behind: the only one removed
        {dead + "-1.tmp", minutes(1)},      // maybe still written from elsewhere
        {alive + "-0-new.wav", minutes(60)},
        {".kestrin-notanumber-0.tmp", minutes(60)},
        {"song.wav", minutes(60)}};
    for (const auto& [name, age] : files) {
        std::ofstream(dir / name) << "x";
        fs::last_write_time(dir / name, fs::file_time_type::clock::now() - age);
    }
    const fs::path fresh = TemporaryBeside(dir / "song.wav", "-new.wav");
    EXPECT_EQ(fresh.parent_path(), dir);
    EXPECT_TRUE(
        fresh.filename().string().starts_with(".kestrin-" + std::to_string(::getpid()) + "-"));
    for (const auto& [name, age] : files)
        EXPECT_EQ(fs::exists(dir / name), name != files[0].first) << name;
    fs::remove_all(dir);
}

} // namespace
