// SPDX-License-Identifier: GPL-3.0-or-later
#include "audio/search/refine_figures.h"

#include "audio/read/audio_reader.h"

namespace kestrin::audio {

namespace {

// The share of the progress the Refine's own search takes: about as long
// as Find's, which follows it only where needed.
constexpr double kRefineShare = 0.5;

} // namespace

LoopSearch RefineLoops(AudioReader& reader, const LoopSearchOptions& options,
                       const LoopPoints& near, const ProgressCallback& progress) {
    LoopSearch refined =
        FindAnyLoops(reader, options, near, ProgressPart(progress, 0, kRefineShare));
    // Only the given loop, listed first, is scored by its seam: the exact
    // ones carry the exact finder's match already.
    const bool givenMusical = !refined.cancelled && !refined.candidates.empty() &&
                              refined.candidates.front().start == near.start &&
                              refined.candidates.front().stop == near.stop &&
                              refined.candidates.front().kind == LoopKind::Musical;
    if (!givenMusical)
        return refined;
    const LoopSearch found =
        FindAnyLoops(reader, options, std::nullopt, ProgressPart(progress, kRefineShare, 1.0));
    refined.cancelled = found.cancelled;
    for (LoopCandidate& c : refined.candidates) {
        for (const LoopCandidate& f : found.candidates) {
            if (f.start == c.start && f.stop == c.stop) {
                c.score = f.score;
                c.repeatedSeconds = f.repeatedSeconds;
                break;
            }
        }
    }
    return refined;
}

} // namespace kestrin::audio
