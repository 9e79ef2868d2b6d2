// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/temporary_files.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>

#include <limits.h>
#include <signal.h>
#include <unistd.h>

namespace kestrin {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPrefix = ".kestrin-";

// A slot's path is written while it is Filling and read by a handler only
// while it is Live; a handler never allocates or locks.
enum SlotState : int { Free, Filling, Live };
constexpr std::size_t kSlots = 32;
struct Slot {
    std::atomic<int> state{Free};
    char path[PATH_MAX] = {};
};
std::array<Slot, kSlots> g_slots;

std::atomic<bool> g_clearLine{false};

extern "C" void removeTemporariesAndEnd(int signalNumber) {
    const int savedErrno = errno;
    constexpr char kClearLine[] = "\r\x1b[K";
    if (g_clearLine.load())
        (void)!::write(STDERR_FILENO, kClearLine, sizeof kClearLine - 1);
    for (Slot& slot : g_slots) {
        if (slot.state.load() == Live)
            ::unlink(slot.path);
    }
    // Ended as the signal would have ended it, so the caller sees why.
    std::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
    errno = savedErrno;
}

} // namespace

fs::path TemporaryBeside(const fs::path& target, std::string_view suffix) {
    static std::atomic<unsigned> counter{0};
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    RemoveStaleTemporaries(folder);
    return folder / (std::string(kPrefix) + std::to_string(::getpid()) + "-" +
                     std::to_string(counter++) + std::string(suffix));
}

void RemoveStaleTemporaries(const fs::path& folder) {
    // Long enough that a writer of another machine sharing the folder, whose
    // process number means nothing here, would have written to its file.
    constexpr auto kQuietFor = std::chrono::minutes(10);
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, kPrefix.size(), kPrefix) != 0)
            continue;
        const std::size_t dash = name.find('-', kPrefix.size());
        if (dash == std::string::npos || dash == kPrefix.size())
            continue;
        const std::string digits = name.substr(kPrefix.size(), dash - kPrefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue; // alive, or not ours to ask about
        std::error_code statError;
        if (!it->is_regular_file(statError) || statError)
            continue;
        const auto written = it->last_write_time(statError);
        if (statError || fs::file_time_type::clock::now() - written < kQuietFor)
            continue;
        fs::remove(it->path(), statError);
    }
}

RegisteredTemporary::RegisteredTemporary(const fs::path& path) {
    const std::string& text = path.native();
    if (text.size() >= PATH_MAX)
        return;
    for (std::size_t i = 0; i < kSlots; ++i) {
        int expected = Free;
        if (g_slots[i].state.compare_exchange_strong(expected, Filling)) {
            std::memcpy(g_slots[i].path, text.c_str(), text.size() + 1);
            g_slots[i].state.store(Live);
            m_slot = static_cast<int>(i);
            return;
        }
    }
}

RegisteredTemporary::~RegisteredTemporary() {
    if (m_slot >= 0)
        g_slots[static_cast<std::size_t>(m_slot)].state.store(Free);
}

void ClearProgressLineOnSignals(bool on) {
    g_clearLine.store(on);
}

void RemoveTemporariesOnSignals() {
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = removeTemporariesAndEnd;
        sigemptyset(&action.sa_mask);
        // A signal the process was started to ignore (nohup) stays ignored.
        struct sigaction old {};
        if (::sigaction(signalNumber, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signalNumber, &action, nullptr);
    }
}

} // namespace kestrin
