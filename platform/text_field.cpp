// SPDX-License-Identifier: GPL-3.0-or-later
#include "text_field.h"

#include "assignment_trace.h"

#include <limits>

namespace kestrin::platform {

TextField::TextField(QWidget* parent) : QLineEdit(parent) {
    // QLineEdit cuts text at 32767 characters by default; a pasted text must
    // reach the reaction whole.
    setMaxLength(std::numeric_limits<int>::max());
    // textChanged covers user edits and setText() alike, but only real changes.
    connect(this, &QLineEdit::textChanged, this, &TextField::changed);
}

void TextField::assign(const QString& text) {
    traceAssignment(*this, text);
    if (text == this->text()) {
        // QLineEdit stays silent for an unchanged text; the reaction must still run.
        emit changed();
        return;
    }
    setText(text);
}

} // namespace kestrin::platform
