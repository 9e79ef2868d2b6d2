// SPDX-License-Identifier: GPL-3.0-or-later
// Many items worked on side by side and handed on in the order given: the
// files of `kestrin-pos check -j`, `find -j` and `export -j`, and the tracks
// the editor's soundtrack panel judges. Only the standard library's threads,
// so the command line and the editor's sound module share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kestrin {

// How RunInOrder shares the work.
struct OrderedWork {
    std::size_t count = 0;
    unsigned jobs = 1;
    // Bytes each item may hold at once; an item starts only while those
    // running hold no more than `memoryBudget` together (one always runs,
    // and none counts for more than the budget). Empty: no bound.
    std::vector<std::int64_t> memory;
    std::int64_t memoryBudget = 0;
    // Asked from any thread between items; once it says true no item starts
    // and none more is handed on. Empty: never.
    std::function<bool()> cancelled;
};

// Runs work(i) for every i below plan.count on up to plan.jobs threads (on
// the calling thread alone for one job, or when no thread can be had), and
// handOn(i) on the calling thread for each i in order, as soon as it and
// those before it are done. An item waiting for memory is not passed: the
// order of handing on holds back what follows it anyway. Returns false when
// cancelled before every item was handed on. What work or handOn throws
// stops the rest and is rethrown here once the threads have ended.
bool RunInOrder(const OrderedWork& plan, const std::function<void(std::size_t i)>& work,
                const std::function<void(std::size_t i)>& handOn);

} // namespace kestrin
