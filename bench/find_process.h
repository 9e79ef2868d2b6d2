// SPDX-License-Identifier: GPL-3.0-or-later
// kestrin-pos find run as a process of its own, for the figures of the whole
// program: its peak memory, its processor time and its wall time.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrin::bench {

// The child's own resource use (ru_maxrss in KiB), its wall time in seconds
// and its exit status; -1 when it did not run or did not exit.
struct FindProcess {
    rusage usage{};
    double seconds = 0.0;
    int exitStatus = -1;
};

// This build's kestrin-pos. The build names it relative to the benchmark's
// own folder, so that the compile line, free of the clone's path, is one the
// compiler cache shares between clones.
inline std::string ThisBuildsPosTool() {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / KESTRIN_POS_PROGRAM)
        .lexically_normal()
        .string();
}

// Runs `kestrin-pos ARGS...` with its output thrown away: `program` where
// given, else $KESTRIN_POS (another build's program on the same tracks, to
// compare the two), else this build's.
inline FindProcess RunPosProcess(std::vector<std::string> args, std::string program = {}) {
    FindProcess run;
    const char* other = std::getenv("KESTRIN_POS");
    if (program.empty())
        program = other && *other ? other : ThisBuildsPosTool();
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto begin = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return run;
    int status = 0;
    // wait4 gives this child's own figures, whatever ran before it.
    while (::wait4(pid, &status, 0, &run.usage) < 0 && errno == EINTR) {
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (WIFEXITED(status))
        run.exitStatus = WEXITSTATUS(status);
    return run;
}

// Runs `kestrin-pos COMMAND FILE` (find unless said otherwise), as above.
inline FindProcess RunFind(const std::filesystem::path& file, const std::string& command = "find",
                           std::string program = {}) {
    return RunPosProcess({command, file.string()}, std::move(program));
}

} // namespace kestrin::bench
