// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/ordered_work.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace kestrin {

bool RunInOrder(const OrderedWork& plan, const std::function<void(std::size_t)>& work,
                const std::function<void(std::size_t)>& handOn) {
    const auto cancelled = [&plan] { return plan.cancelled && plan.cancelled(); };
    std::mutex mutex; // guards what follows
    std::condition_variable changed;
    std::size_t next = 0;
    std::vector<char> done(plan.count, 0);
    std::int64_t held = 0;
    std::size_t running = 0;
    std::exception_ptr failed;
    bool stop = false;
    const auto memoryOf = [&](std::size_t i) {
        return plan.memory.empty() ? 0 : std::min(plan.memory[i], plan.memoryBudget);
    };
    const auto worker = [&] {
        for (;;) {
            std::size_t i = 0;
            {
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
    const bool alone = threads.empty();
    std::size_t handed = 0;
    for (; handed < plan.count; ++handed) {
        try {
            if (alone) {
                if (cancelled())
                    break;
                work(handed);
            } else {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return done[handed] != 0 || stop; });
                if (done[handed] == 0 || failed || cancelled())
                    break;
            }
            handOn(handed);
        } catch (...) {
            const std::lock_guard lock(mutex);
            if (!failed)
                failed = std::current_exception();
            break;
        }
    }
    {
        const std::lock_guard lock(mutex);
        stop = true;
        changed.notify_all();
    }
    for (std::thread& thread : threads)
        thread.join();
    if (failed)
        std::rethrow_exception(failed);
    return handed == plan.count;
}

} // namespace kestrin
