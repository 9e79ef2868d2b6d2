// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/settings.h"

namespace kestrin {

QSettings KestrinSettings() {
    return QSettings(QStringLiteral("Kestrin"), QStringLiteral("Kestrin"));
}

} // namespace kestrin
