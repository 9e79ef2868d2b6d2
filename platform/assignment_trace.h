// SPDX-License-Identifier: GPL-3.0-or-later
// A hook that sees every value the program assigns to a field or slider, in
// order. Tests use it to check the order of nested updates; it costs one
// branch when nobody listens.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace kestrin::platform {

// Called with the control and the text (or the slider value as text) just
// before the assignment takes effect.
using AssignmentObserver = std::function<void(const QWidget& control, const QString& value)>;

// Installs `observer` (an empty function removes it) and returns the previous one.
AssignmentObserver setAssignmentObserver(AssignmentObserver observer);

// Reports an assignment to the installed observer, if any.
void traceAssignment(const QWidget& control, const QString& value);

} // namespace kestrin::platform
