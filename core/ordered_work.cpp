// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/ordered_work.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kestrin {

namespace {

using Item = std::function<void(std::size_t)>;

// What the workers and the calling thread share, all of it guarded by
// `mutex`: the workers take the items in order as memory allows and mark
// each done; the calling thread waits for each in turn to hand it on.
struct Shared {
    explicit Shared(const OrderedWork& given) : plan(given), done(given.count, 0) {}

    bool cancelled() const { return plan.cancelled && plan.cancelled(); }
    std::int64_t memoryOf(std::size_t i) const {
        return plan.memory.empty() ? 0 : std::min(plan.memory[i], plan.memoryBudget);
    }
    // Keeps the first failure only; called with the lock held.
    void keep(std::exception_ptr failure) {
        if (!failed)
            failed = std::move(failure);
    }

    // The next item for a worker, once it fits in the memory beside those
    // running; nullopt once all stops or every item is taken.
    std::optional<std::size_t> take() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] {
            return stop || next == plan.count || running == 0 ||
                   held + memoryOf(next) <= plan.memoryBudget;
        });
        if (!stop && cancelled()) {
            stop = true;
            changed.notify_all();
        }
        if (stop || next == plan.count)
            return std::nullopt;
        const std::size_t i = next++;
        held += memoryOf(i);
        ++running;
        return i;
    }

    // A worker thread's life: items taken and worked on until none is left;
    // a failure stops every thread.
    void workOn(const Item& work) {
        while (const std::optional<std::size_t> i = take()) {
            try {
                work(*i);
            } catch (...) {
                const std::lock_guard lock(mutex);
                keep(std::current_exception());
                stop = true;
            }
            const std::lock_guard lock(mutex);
            held -= memoryOf(*i);
            --running;
            done[*i] = 1;
            changed.notify_all();
        }
    }

    // Waits on the calling thread for item `i`; false when it is not to be
    // handed on: all stopped first, something failed, or the work was
    // cancelled.
    bool waitFor(std::size_t i) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return done[i] != 0 || stop; });
        return done[i] != 0 && !failed && !cancelled();
    }

    void stopAll() {
        const std::lock_guard lock(mutex);
        stop = true;
        changed.notify_all();
    }

    const OrderedWork& plan;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0;
    std::vector<char> done;
    std::int64_t held = 0;
    std::size_t running = 0;
    std::exception_ptr failed;
    bool stop = false;
};

// Up to plan.jobs worker threads, as many as the system gives; none for one
// job.
std::vector<std::thread> startWorkers(Shared& shared, const Item& work) {
    std::vector<std::thread> threads;
    threads.reserve(shared.plan.jobs);
    for (unsigned t = 0; shared.plan.jobs > 1 && t < shared.plan.jobs; ++t) {
        try {
            threads.emplace_back([&shared, &work] { shared.workOn(work); });
        } catch (const std::system_error&) {
            break;
        }
    }
    return threads;
}

// Hands each item on in order on the calling thread, once the workers are
// done with it, or working on it here where there are none (`alone`); the
// count handed on before a cancel or a failure stopped it.
std::size_t handOnInOrder(Shared& shared, bool alone, const Item& work, const Item& handOn) {
    std::size_t handed = 0;
    for (; handed < shared.plan.count; ++handed) {
        try {
            if (alone) {
                if (shared.cancelled())
                    break;
                work(handed);
            } else if (!shared.waitFor(handed)) {
                break;
            }
            handOn(handed);
        } catch (...) {
            const std::lock_guard lock(shared.mutex);
            shared.keep(std::current_exception());
            break;
        }
    }
    return handed;
}

} // namespace

bool RunInOrder(const OrderedWork& plan, const Item& work, const Item& handOn) {
    Shared shared(plan);
    std::vector<std::thread> threads = startWorkers(shared, work);
    const std::size_t handed = handOnInOrder(shared, threads.empty(), work, handOn);
    shared.stopAll();
    for (std::thread& thread : threads)
        thread.join();
    if (shared.failed)
        std::rethrow_exception(shared.failed);
    return handed == plan.count;
}

} // namespace kestrin
