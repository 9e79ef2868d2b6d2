// SPDX-License-Identifier: GPL-3.0-or-later
// How a batch process keeps the memory it frees for its next allocations.
#pragma once

namespace kestrin {

// Keeps freed blocks up to 32 MiB, and up to 256 MiB free at the heap's top,
// in the process for reuse, where the C library would hand each back to the
// kernel. A search allocates and frees buffers of a few megabytes stage
// after stage, and every page handed back is faulted in and zeroed again by
// the next stage: a tenth of find's time on a one-minute track. For
// processes that search and exit (the command line); a window that stays
// open keeps the default, which returns memory between searches. Does
// nothing where the C library offers no such setting.
void KeepFreedMemoryForReuse();

} // namespace kestrin
