// SPDX-License-Identifier: GPL-3.0-or-later
// Many files handled side by side, their reports printed in the order given.
#pragma once

#include "cli/arguments.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace kestrin::cli {

// The help text of -j, shared by the commands that take it: a literal, to
// be joined to theirs.
#define KESTRIN_JOBS_HELP                                                                          \
    "  -j N            handle N files side by side (default: one per core);\n"                     \
    "                  the reports still come in the order given, and files\n"                     \
    "                  start only while the memory they may hold together\n"                       \
    "                  stays within 300 MB; a progress line shows on a terminal\n"

// The number of files handled at once that -j asks for (the number of cores
// without it), never more than `files`, and one where the address space is
// tight. Throws UsageError for a value that
// is no whole number from 1 to 256.
unsigned JobsOf(const Arguments& a, std::size_t files);

// The memory a search of the audio beside `file` may hold at its peak,
// from the header alone; 0 when the header cannot be read (the search then
// fails early and holds next to nothing).
std::int64_t SearchMemoryOf(const std::string& file);

// How RunBatch shares the work and shows it.
struct BatchPlan {
    std::size_t count = 0;
    unsigned jobs = 1;
    // Bytes each item may hold at once; items start only while what runs
    // stays within the budget (one always runs). Empty: no bound.
    std::vector<std::int64_t> memory;
    // Where the progress line goes ("12 of 200 files, 00:42 left"), on a
    // terminal only: nullptr for none.
    std::ostream* progress = nullptr;
};

// Runs work(i) for every i below plan.count on up to plan.jobs threads, and
// report(i, out) on the calling thread for each i in order as soon as it and
// those before it are done (RunInOrder, within a 300 MB budget). What report
// writes goes to `out` at once with the lines of one item, so that an
// interruption never cuts a line. What work throws is rethrown here once the
// threads have ended.
void RunBatch(const BatchPlan& plan, const std::function<void(std::size_t i)>& work,
              const std::function<void(std::size_t i, std::ostream& out)>& report,
              std::ostream& out);

// The stream for the progress line: `err` when it is the process's standard
// error and that is a terminal, else nullptr.
std::ostream* ProgressStream(std::ostream& err);

} // namespace kestrin::cli
