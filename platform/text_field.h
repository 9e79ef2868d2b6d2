// SPDX-License-Identifier: GPL-3.0-or-later
// A single-line text field with the change semantics the editor is built on.
#pragma once

#include <QLineEdit>

namespace kestrin::platform {

// changed() is emitted exactly once for every change of the text: after each
// edit by the user (typing, paste, cut, undo, drag and drop) and, synchronously
// inside assign(), for every assignment by code, also one that leaves the text
// as it was. Reactions connected to it run to their end before assign()
// returns. Nothing filters or limits what is typed. A text assigned by code
// is shown from its first character, as a fresh text is, so a long number
// never hides its whole part; only an assignment made while the user's own
// edit of this field is being handled leaves the cursor where typing put it.
class TextField : public QLineEdit {
    Q_OBJECT
public:
    explicit TextField(QWidget* parent = nullptr);

    // Replaces the text; changed() has been handled when this returns.
    void assign(const QString& text);

signals:
    void changed();

private:
    bool m_assigning = false;
    bool m_handlingUserEdit = false;
};

} // namespace kestrin::platform
