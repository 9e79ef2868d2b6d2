// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/elided_label.h"

namespace kestrin::views {

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), m_mode(mode) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& text) {
    m_full = text;
    elide();
}

QSize ElidedLabel::minimumSizeHint() const {
    // A few letters and the "…": the rest of the width is the layout's to give.
    constexpr int kLettersKept = 8;
    return {fontMetrics().averageCharWidth() * kLettersKept, QLabel::minimumSizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide() {
    const QString shown = fontMetrics().elidedText(m_full, m_mode, contentsRect().width());
    setToolTip(shown == m_full ? QString() : m_full);
    if (shown != text())
        setText(shown);
}

} // namespace kestrin::views
