// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/freed_memory.h"

#include <cstdlib> // names the C library: __GLIBC__

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kestrin {

void KeepFreedMemoryForReuse() {
#if defined(__GLIBC__)
    // Blocks above this are still mapped and unmapped alone: a whole track
    // held in memory is used once. 32 MiB is the largest glibc accepts on
    // 64-bit systems.
    constexpr int kLargestKeptBlock = 32 << 20;
    // Setting either also stops glibc from moving its own thresholds.
    constexpr int kMostKeptAtTheTop = 256 << 20;
    mallopt(M_MMAP_THRESHOLD, kLargestKeptBlock);
    mallopt(M_TRIM_THRESHOLD, kMostKeptAtTheTop);
#endif
}

} // namespace kestrin
