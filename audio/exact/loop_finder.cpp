// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/exact/loop_finder.h"

#include "audio/dsp/fft.h"
#include "audio/exact/exact_finder_steps.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace kestrin::audio {

namespace fs = std::filesystem;

namespace exact {
namespace {

// The whole search.
// Threads that run the steps' work side by side: the machines it runs on
// have two cores or more, and one more thread than cores only waits.
constexpr int kThreads = 2;
// kThreads unless a caller running several searches at once asked for fewer.
std::atomic<int> g_threads{kThreads};
// Mean square, about -90 dBFS.
constexpr double kSilentLevel = 1e-9;
// -50 dB below the track's mean square.
constexpr double kRelativeSilence = 1e-5;
// Of the progress: the coarse signal done, and the coarse lags done.
constexpr double kSeedsProgress = 0.2;
// The same for a lossy file, which is decoded in the pass.
constexpr double kDecodedSeedsProgress = 0.5;
constexpr double kCheckProgress = 0.6;
// The lags followed, before the differences of exact lags are, where needed.
constexpr double kFollowedProgress = 0.9;

// Of its loop, the least the best candidate's repeat must be seen over for
// the differences of exact lags to be left untried: a loop seen repeating
// over nearly all of itself is the track's, whatever a file cut a little
// short of a second pass leaves unseen; a lag that is a loop plus a cycle of
// notes is seen over the loop less the cycle (18.5 s of 22.5 s with a 4 s
// cycle).
constexpr double kSeenWholeShare = 0.9;

// Whether the candidate ranked first was seen repeating over nearly all of its loop.
bool bestSeenWhole(const Found& found, double rate, std::int64_t frames) {
    const std::vector<LoopCandidate> best = rankedCandidates(found, rate, frames, 1);
    for (std::size_t i = 0; i < found.candidates.size() && !best.empty(); ++i) {
        const LoopCandidate& c = found.candidates[i];
        if (c.start == best[0].start && c.stop == best[0].stop)
            return found.seen[i] >= kSeenWholeShare * static_cast<double>(c.stop - c.start);
    }
    return false;
}

// ---- the search ------------------------------------------------------------------------

// FindLoops, reporting progress to `callback`.
LoopSearch searchSteps(Track& audio, const LoopSearchOptions& options,
                       const ProgressCallback& callback) {
    LoopSearch result;
    if (audio.channels <= 0 || audio.sampleRate <= 0 || audio.frames() == 0)
        return result;
    const std::int64_t minLoop =
        options.minLoopFrames > 0 ? options.minLoopFrames : std::int64_t{2} * audio.sampleRate;
    if (!ReportProgress(callback, 0.0)) {
        result.cancelled = true;
        return result;
    }
    const double seedsFrom = audio.decodedInPass() ? kDecodedSeedsProgress : kSeedsProgress;
    // Planning the transform of step 2 takes a third as long as the pass
    // over a one-minute track, and needs none of it: another thread plans it
    // while the pass reads the audio, and its plans come to this thread for
    // step 2.
    PlannedAhead planned(coarseTransformSize(audio.sampleRate, audio.frames()));
    Pass pass = passOver(audio, ProgressPart(callback, 0.0, seedsFrom));
    planned.takePlans();
    if (pass.cancelled) {
        result.cancelled = true;
        return result;
    }
    Coarse& coarse = pass.coarse;
    const double silence = std::max(kSilentLevel, kRelativeSilence * pass.meanSquare);
    bool cancelled = false;
    const std::vector<Seed> seeds = coarseSeeds(
        audio, coarse, minLoop, ProgressPart(callback, seedsFrom, kCheckProgress), cancelled);
    if (cancelled) {
        result.cancelled = true;
        return result;
    }
    std::vector<Lag> lags = exactLags(audio, seeds, coarse, minLoop);
    const ProgressCallback again = ProgressPart(callback, kCheckProgress, kCheckProgress);
    if (!addLagsBesidePeriod(audio, coarse, minLoop, lags, again) ||
        !addLagsBeneathNearPeriod(audio, minLoop, lags, again)) {
        result.cancelled = true;
        return result;
    }
    const std::size_t seedLags = lags.size();
    const std::vector<Lag> seedsFound = lags;
    addDividedLags(audio, minLoop, seedLags, lags);
    const ShortPeriod shortPeriod = addCommonPeriodLag(audio, minLoop, seedLags, lags);
    const ProgressCallback checking = ProgressPart(callback, kCheckProgress, kFollowedProgress);
    std::optional<Found> found =
        followLags(audio, distinctLags(lags), shortPeriod, silence, checking);
    // The differences of exact lags are looked at only where the best loop
    // was not seen repeating whole: they are seldom wanted, and each one
    // kept costs a walk through the track.
    if (found && !bestSeenWhole(*found, audio.sampleRate, audio.frames()) &&
        addDifferenceLags(audio, minLoop, seedsFound, lags))
        found = followLags(audio, distinctLags(std::move(lags)), shortPeriod, silence,
                           ProgressPart(callback, kFollowedProgress, 1.0));
    if (!found) {
        result.cancelled = true;
        return result;
    }
    result.candidates =
        rankedCandidates(*found, audio.sampleRate, audio.frames(), options.maxCandidates);
    result.wholeTrack = wholeTrackLoop(audio, pass.coarse, minLoop, silence, pass.meanSquare);
    result.playedToTheEnd =
        playedToTheEnd(audio, minLoop, silence, pass.meanSquare, result.wholeTrack);
    if (result.candidates.empty() && result.wholeTrack)
        result.candidates.push_back(*result.wholeTrack);
    if (!ReportProgress(callback, 1.0))
        result.cancelled = true;
    return result;
}

// searchSteps, which the caller may stop at any window read: between
// reports of progress the search asks again at the fraction last reported.
LoopSearch searchLoops(Track& audio, const LoopSearchOptions& options,
                       const ProgressCallback& callback) {
    double reported = 0.0;
    const ProgressCallback tracked = [&](double fraction) {
        reported = fraction;
        return !callback || callback(fraction);
    };
    if (callback)
        audio.watch([&] { return callback(reported); });
    try {
        LoopSearch result = searchSteps(audio, options, tracked);
        audio.watch({});
        return result;
    } catch (const SearchCancelled&) {
        audio.watch({});
        LoopSearch cancelled;
        cancelled.cancelled = true;
        return cancelled;
    }
}

} // namespace

namespace {

// What parallelFor's threads share: all but `stopping` under `mutex`.
struct SharedWork {
    // Spelled out: clang does not build an aggregate from parentheses, as
    // std::optional::emplace asks.
    SharedWork(const std::function<void(Track&, std::size_t)>& work, std::size_t count,
               const AudioSamples& whole)
        : work(work), count(count), whole(whole) {}

    const std::function<void(Track&, std::size_t)>& work;
    const std::size_t count;
    const AudioSamples& whole;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0; // the next i to take
    std::size_t done = 0;
    bool stop = false;
    std::exception_ptr failed;
    std::atomic<bool> stopping{false}; // `stop`, for the threads' windows to ask

    // One thread's part: the next i until none is left or the work stops,
    // with a Track of its own over the shared frames. What the work throws
    // stops the others and is kept for the caller.
    void run() {
        try {
            Track own(whole);
            own.watch([&] { return !stopping.load(); });
            for (;;) {
                std::size_t i = 0;
                {
                    const std::lock_guard lock(mutex);
                    if (stop || next == count)
                        return;
                    i = next++;
                }
                work(own, i);
                const std::lock_guard lock(mutex);
                ++done;
                changed.notify_all();
            }
        } catch (...) {
            const std::lock_guard lock(mutex);
            if (!failed)
                failed = std::current_exception();
            stop = true;
            stopping = true;
            changed.notify_all();
        }
    }

    // Stops the threads at their next window and waits until they end.
    void end(std::vector<std::thread>& threads) {
        {
            const std::lock_guard lock(mutex);
            stop = true;
            stopping = true;
        }
        for (std::thread& thread : threads)
            thread.join();
    }
};

// Up to `wanted` threads running `shared`, as many as the system gives.
std::vector<std::thread> startThreads(SharedWork& shared, int wanted) {
    std::vector<std::thread> threads;
    // Room for all first: a thread started is never left unjoined.
    threads.reserve(static_cast<std::size_t>(wanted));
    for (int t = 0; t < wanted; ++t) {
        try {
            threads.emplace_back([&shared] { shared.run(); });
        } catch (const std::system_error&) {
            break; // as many as there are
        }
    }
    return threads;
}

} // namespace

bool parallelFor(Track& audio, std::size_t count,
                 const std::function<void(Track&, std::size_t)>& work,
                 const ProgressCallback& progress) {
    const auto share = [&](std::size_t i) {
        return static_cast<double>(i) / static_cast<double>(count);
    };
    const AudioSamples* whole = audio.heldWhole();
    const int wanted = g_threads.load();
    const bool besides = whole && count > 1 && wanted > 1 && !AddressSpaceTight();
    std::optional<SharedWork> shared;
    std::vector<std::thread> threads;
    if (besides) {
        shared.emplace(work, count, *whole);
        threads = startThreads(*shared, wanted);
    }
    if (threads.empty()) {
        for (std::size_t i = 0; i < count; ++i) {
            if (!ReportProgress(progress, share(i)))
                return false;
            work(audio, i);
        }
        return true;
    }
    try {
        for (std::size_t asked = 0; asked < count; ++asked) {
            if (!ReportProgress(progress, share(asked))) {
                shared->end(threads);
                return false;
            }
            audio.poll();
            std::unique_lock lock(shared->mutex);
            shared->changed.wait(lock, [&] { return shared->done > asked || shared->failed; });
            if (shared->failed)
                break;
        }
    } catch (...) {
        shared->end(threads);
        throw;
    }
    for (std::thread& thread : threads)
        thread.join();
    if (shared->failed)
        std::rethrow_exception(shared->failed);
    return true;
}

} // namespace exact

void LimitSearchThreads(int threads) {
    exact::g_threads.store(std::clamp(threads, 1, exact::kThreads));
}

LoopSearch FindLoops(const AudioSamples& audio, const LoopSearchOptions& options,
                     const ProgressCallback& progress) {
    exact::Track track(audio);
    return exact::searchLoops(track, options, progress);
}

LoopSearch FindLoops(AudioReader& reader, const LoopSearchOptions& options,
                     const ProgressCallback& progress) {
    // A lossy file decodes again from its beginning at every jump back: the
    // pass over it decodes it once, in order, into a scratch file, from
    // which the windows are then read back.
    reader.keepDecodedInScratch();
    const std::int64_t frames = reader.info().frames;
    LoopSearch found;
    {
        // Let go before a search again, which holds the frames anew.
        exact::Track track(reader, frames, options.mostHeldSamples);
        found = exact::searchLoops(track, options, progress);
    }
    // A lossy file whose decoding ended before its header's end holds what
    // decoded: the search is made again on that.
    if (!found.cancelled && reader.info().frames != frames) {
        exact::Track decoded(reader, reader.info().frames, options.mostHeldSamples);
        found = exact::searchLoops(decoded, options, progress);
    }
    return found;
}

LoopSearch FindLoops(const fs::path& file, const LoopSearchOptions& options,
                     const ProgressCallback& progress) {
    AudioReader reader(file);
    return FindLoops(reader, options, progress);
}

} // namespace kestrin::audio