// SPDX-License-Identifier: GPL-3.0-or-later
// FFTW's planner keeps global state: every plan in the program is made and
// destroyed under this one lock. Executing a plan needs none.
#pragma once

#include <mutex>

namespace kestrin::audio {

// The lock held while a plan is made or destroyed.
std::mutex& FftwPlannerMutex();

} // namespace kestrin::audio
