// SPDX-License-Identifier: GPL-3.0-or-later
// What the opened POS file holds on disk, for the views that compare it with
// the fields or put it back into them.
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
