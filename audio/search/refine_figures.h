// SPDX-License-Identifier: GPL-3.0-or-later
// Refine's figures as Find gives them. A loop the user took from Find's list
// comes back first from a Refine, but scored by its seam alone, where Find
// scored it by how much of the song its passes play alike: the same loop
// showed 0.945 in one dialog and 0.467 in the other.
#pragma once

#include "audio/search/loop_search.h"

namespace kestrin::audio {

// FindAnyLoops near `near` (Refine); where the given loop comes back first
// as a musical loop, Find's search is made too, and each candidate Find also
// lists (the same start and stop) takes Find's match and repeated seconds.
// `progress` sees 0 to 1 over both searches.
LoopSearch RefineLoops(AudioReader& reader, const LoopSearchOptions& options,
                       const LoopPoints& near, const ProgressCallback& progress = {});

} // namespace kestrin::audio
