// SPDX-License-Identifier: GPL-3.0-or-later
// Where the editor keeps what it remembers between runs.
#pragma once

#include <QSettings>

namespace kestrin {

// The editor's settings (organisation and application "Kestrin"): every
// remembered setting goes through here, so that all land in one file.
QSettings KestrinSettings();

} // namespace kestrin
