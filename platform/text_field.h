// SPDX-License-Identifier: GPL-3.0-or-later
// A single-line text field with the change semantics the editor is built on.
#pragma once

#include <QLineEdit>

namespace kestrin::platform {

// changed() is emitted exactly once for every change of the text: after each
// edit by the user (typing, paste, cut, undo, drag and drop) and, synchronously
// inside assign(), for every assignment by code, also one that leaves the text
// as it was. Reactions connected to it run to their end before assign()
// returns. Nothing filters or limits what is typed.
class TextField : public QLineEdit {
    Q_OBJECT
public:
    explicit TextField(QWidget* parent = nullptr);

    // Replaces the text; changed() has been handled when this returns.
    void assign(const QString& text);

signals:
    void changed();
};

} // namespace kestrin::platform
