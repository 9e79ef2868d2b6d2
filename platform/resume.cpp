// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/resume.h"

#include <QtGlobal>

namespace kestrin::platform {

void reportUnexpectedFailure(const char* what) noexcept {
    qCritical("kestrin: unexpected failure in a display step: %s", what);
    Q_ASSERT_X(false, "resumeNext", what);
}

} // namespace kestrin::platform
