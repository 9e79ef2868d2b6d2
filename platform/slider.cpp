// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/slider.h"

#include "platform/assignment_trace.h"

#include <QScopedValueRollback>

namespace kestrin::platform {

Slider::Slider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    connect(this, &QAbstractSlider::valueChanged, this, [this] {
        if (!m_assigning)
            emit scrolled();
    });
}

void Slider::assign(int value) {
    traceAssignment(*this, QString::number(value));
    // Restored on the way out, so a nested assign() keeps the outer one silent too.
    QScopedValueRollback guard(m_assigning, true);
    setValue(value);
}

} // namespace kestrin::platform
