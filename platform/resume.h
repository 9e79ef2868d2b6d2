// SPDX-License-Identifier: GPL-3.0-or-later
// The resume-with-next-step error mode of the display procedures.
#pragma once

#include "core/positions.h"

#include <exception>
#include <utility>

namespace kestrin::platform {

// Reports a failure that no display step is meant to raise: always logged,
// and a failed assertion in debug builds.
void reportUnexpectedFailure(const char* what) noexcept;

// Runs one step of a procedure. An overflow abandons the rest of the step
// silently and the caller goes on with its next step; anything else is a
// programming error, reported but still contained, so that one bad step never
// takes the user's unsaved values with it.
template <class Step> void resumeNext(Step&& step) noexcept {
    try {
        std::forward<Step>(step)();
    } catch (const OverflowError&) {
        // Expected: a field holds a number the next form cannot show.
    } catch (const std::exception& e) {
        reportUnexpectedFailure(e.what());
    } catch (...) {
        reportUnexpectedFailure("unknown exception");
    }
}

} // namespace kestrin::platform
