// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/assignment_trace.h"

#include <utility>

namespace kestrin::platform {

namespace {
AssignmentObserver& observer() {
    static AssignmentObserver instance;
    return instance;
}
} // namespace

AssignmentObserver setAssignmentObserver(AssignmentObserver next) {
    return std::exchange(observer(), std::move(next));
}

void traceAssignment(const QWidget& control, const QString& value) {
    if (const auto& o = observer())
        o(control, value);
}

} // namespace kestrin::platform
