// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/batch.h"

#include "audio/dsp/fft.h"
#include "audio/read/audio_files.h"
#include "cli/pos_files.h"
#include "core/temporary_files.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace kestrin::cli {

namespace {

// The most the files handled at once may hold together: the bound one long
// search keeps to alone.
constexpr std::int64_t kMemoryBudget = std::int64_t{300} << 20;

} // namespace

unsigned JobsOf(const Arguments& a, std::size_t files) {
    // Past this many threads the machine, not the tool, is the limit.
    constexpr unsigned long kMostJobs = 256;
    unsigned long jobs = std::max(1U, std::thread::hardware_concurrency());
    if (const auto text = a.value("-j")) {
        const bool digits = !text->empty() && text->size() <= 3 &&
                            text->find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoul(*text) == 0 || std::stoul(*text) > kMostJobs)
            throw UsageError("-j: \"" + *text + "\" is not a whole number from 1 to 256");
        jobs = std::stoul(*text);
    }
    // Under a tight address-space limit FFTW must plan with nothing else
    // allocating beside it: one file at a time, as each search keeps to one
    // thread there.
    if (audio::AddressSpaceTight())
        jobs = 1;
    return static_cast<unsigned>(std::clamp<unsigned long>(files, 1, jobs));
}

std::int64_t SearchMemoryOf(const std::string& file) {
    // The peak of kestrin-pos find (ru_maxrss) measured on stereo noise
    // looped at 44.1 kHz: 40 MB for 1 minute, 89 MB for 3, 175 MB for 6, all
    // held as floats (LoopSearchOptions::mostHeldSamples), about 5.4 bytes
    // per sample over a few MB; 28 MB for 12 minutes, read back in windows,
    // where the coarse signal and the musical features grow with the length
    // (under 300 MB for two hours).
    constexpr std::int64_t kFixed = std::int64_t{16} << 20;
    constexpr std::int64_t kHeldPerSample = 6;
    constexpr std::int64_t kHeldSamples = std::int64_t{1} << 25;
    constexpr std::int64_t kWindowedPerFrame = 1;
    std::optional<std::filesystem::path> audio = std::filesystem::path(file);
    if (HasPosExtension(file)) {
        const auto companion = audio::FindCompanionAudio(file);
        audio = companion ? std::optional(companion->path) : std::nullopt;
    }
    if (!audio)
        return 0;
    try {
        const audio::AudioInfo info = audio::ReadAudioInfo(*audio);
        const std::int64_t samples = info.frames * info.channels;
        return kFixed + (samples <= kHeldSamples ? samples * kHeldPerSample
                                                 : info.frames * kWindowedPerFrame);
    } catch (const std::exception&) {
        return 0;
    }
}

std::ostream* ProgressStream(std::ostream& err) {
    return &err == &std::cerr && ::isatty(STDERR_FILENO) ? &err : nullptr;
}

namespace {

// "12 of 200 files, 00:42 left", from the pace so far.
std::string progressText(std::size_t done, std::size_t count,
                         std::chrono::steady_clock::duration spent) {
    std::string text = std::to_string(done) + " of " + std::to_string(count) + " files";
    if (done > 0 && done < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::seconds>(spent / done * (count - done)).count();
        char clock[32];
        std::snprintf(clock, sizeof clock, ", %02lld:%02lld left",
                      static_cast<long long>(left / 60), static_cast<long long>(left % 60));
        text += clock;
    }
    return text;
}

} // namespace

void RunBatch(const BatchPlan& plan, const std::function<void(std::size_t)>& work,
              const std::function<void(std::size_t, std::ostream&)>& report, std::ostream& out) {
    std::mutex mutex; // guards what follows
    std::condition_variable changed;
    std::size_t next = 0;
    std::vector<char> done(plan.count, 0);
    std::int64_t held = 0;
    std::size_t running = 0;
    std::exception_ptr failed;
    bool stop = false;
    const auto memoryOf = [&](std::size_t i) {
        return plan.memory.empty() ? 0 : std::min(plan.memory[i], kMemoryBudget);
    };
    const auto worker = [&] {
        for (;;) {
            std::size_t i = 0;
            {
                std::unique_lock lock(mutex);
                // The next file waits for room rather than being passed: the
                // order of the reports holds back what follows it anyway.
                changed.wait(lock, [&] {
                    return stop || next == plan.count || running == 0 ||
                           held + memoryOf(next) <= kMemoryBudget;
                });
                if (stop || next == plan.count)
                    return;
                i = next++;
                held += memoryOf(i);
                ++running;
            }
            try {
                work(i);
            } catch (...) {
                const std::lock_guard lock(mutex);
                if (!failed)
                    failed = std::current_exception();
                stop = true;
            }
            const std::lock_guard lock(mutex);
            held -= memoryOf(i);
            --running;
            done[i] = 1;
            changed.notify_all();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(plan.jobs);
    for (unsigned t = 0; plan.jobs > 1 && t < plan.jobs; ++t) {
        try {
            threads.emplace_back(worker);
        } catch (const std::system_error&) {
            break; // as many as the system gives
        }
    }
    // One job, or no thread to be had: the calling thread does the work in turn.
    const bool alone = threads.empty();
    const auto began = std::chrono::steady_clock::now();
    const auto showProgress = [&](std::size_t reported) {
        if (plan.progress)
            *plan.progress << '\r'
                           << progressText(reported, plan.count,
                                           std::chrono::steady_clock::now() - began)
                           << "\x1b[K" << std::flush;
    };
    ClearProgressLineOnSignals(plan.progress != nullptr);
    showProgress(0);
    std::ostringstream lines;
    for (std::size_t i = 0; i < plan.count; ++i) {
        if (alone) {
            try {
                work(i);
            } catch (...) {
                failed = std::current_exception();
                break;
            }
        } else {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return done[i] != 0 || failed; });
            if (failed)
                break;
        }
        if (plan.progress)
            *plan.progress << "\r\x1b[K" << std::flush;
        lines.str({});
        // The threads are joined below whatever a report throws.
        try {
            report(i, lines);
        } catch (...) {
            const std::lock_guard lock(mutex);
            failed = std::current_exception();
            break;
        }
        out << lines.str() << std::flush;
        showProgress(i + 1);
    }
    {
        const std::lock_guard lock(mutex);
        stop = true;
        changed.notify_all();
    }
    for (std::thread& thread : threads)
        thread.join();
    if (plan.progress)
        *plan.progress << "\r\x1b[K" << std::flush;
    ClearProgressLineOnSignals(false);
    if (failed)
        std::rethrow_exception(failed);
}

} // namespace kestrin::cli
