// SPDX-License-Identifier: GPL-3.0-or-later
// The positions as the editor window's sample fields hold them, in the types
// the views are given instead of the fields themselves.
#pragma once

#include "core/positions.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace kestrin {

// Which of the two positions of a loop.
enum class LoopEnd { Start, Stop };

// One sample field read as Save reads it.
struct StoredPosition {
    QString text; // as typed, unparsed
    // The sample count Save writes; nullopt when the text stands for a count
    // outside the signed 32-bit range of a POS file.
    std::optional<std::int32_t> samples;
};

// Both sample fields read at one moment: the positions Save would write.
struct StoredPositions {
    StoredPosition start;
    StoredPosition stop;

    // The field of `end`.
    const StoredPosition& operator[](LoopEnd end) const {
        return end == LoopEnd::Start ? start : stop;
    }
    // Both counts, when both fields hold one a POS file can store.
    std::optional<PosValues> values() const {
        if (!start.samples || !stop.samples)
            return std::nullopt;
        return PosValues{*start.samples, *stop.samples};
    }
};

} // namespace kestrin
