// SPDX-License-Identifier: GPL-3.0-or-later
// Saved positions: what the opened POS file holds on disk, read afresh, for
// the views that compare it with the fields or put it back into them. Not
// the unsaved note (views/unsaved_note.h), the line that shows how the
// fields differ from these, nor the kept positions (views/kept_positions.h),
// unsaved ones the settings hold for a file after the window has left it.
#pragma once

#include "core/pos_file.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace kestrin::views {

// The two values of the POS file at `path`, or nullopt with `error` naming
// the file and the reason. Reads 8 bytes at most.
std::optional<PosValues> readSavedPositions(const QString& path, QString* error);

// `n` with its thousands grouped by commas, whatever the locale: 464,600.
QString groupedNumber(std::int64_t n);

} // namespace kestrin::views
