// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/text_field.h"

#include "platform/assignment_trace.h"

#include <QScopedValueRollback>

#include <limits>

namespace kestrin::platform {

TextField::TextField(QWidget* parent) : QLineEdit(parent) {
    // QLineEdit cuts text at 32767 characters by default; a pasted text must
    // reach the reaction whole.
    setMaxLength(std::numeric_limits<int>::max());
    // textChanged covers user edits and setText() alike, but only real changes.
    connect(this, &QLineEdit::textChanged, this, [this] {
        // A change that assign() did not make is the user's own edit.
        QScopedValueRollback editing(m_handlingUserEdit, m_handlingUserEdit || !m_assigning);
        emit changed();
    });
}

void TextField::assign(const QString& text) {
    traceAssignment(*this, text);
    const bool typing = m_handlingUserEdit;
    {
        QScopedValueRollback assigning(m_assigning, true);
        if (text == this->text()) {
            // QLineEdit stays silent for an unchanged text; the reaction must still run.
            emit changed();
        } else {
            setText(text);
        }
    }
    if (!typing)
        setCursorPosition(0);
}

} // namespace kestrin::platform
