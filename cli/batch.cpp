// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/batch.h"

#include "audio/dsp/fft.h"
#include "audio/read/audio_files.h"
#include "cli/pos_files.h"
#include "core/ordered_work.h"
#include "core/temporary_files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
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
    const auto handOn = [&](std::size_t i) {
        if (plan.progress)
            *plan.progress << "\r\x1b[K" << std::flush;
        lines.str({});
        report(i, lines);
        out << lines.str() << std::flush;
        showProgress(i + 1);
    };
    // The progress line goes whatever a report throws.
    const auto clearProgress = [&] {
        if (plan.progress)
            *plan.progress << "\r\x1b[K" << std::flush;
        ClearProgressLineOnSignals(false);
    };
    try {
        RunInOrder({plan.count, plan.jobs, plan.memory, kMemoryBudget, {}}, work, handOn);
    } catch (...) {
        clearProgress();
        throw;
    }
    clearProgress();
}

} // namespace kestrin::cli
