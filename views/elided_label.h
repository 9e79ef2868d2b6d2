// SPDX-License-Identifier: GPL-3.0-or-later
// A one-line label that gives up width rather than wrapping or widening its
// window: the text is cut with "…" and shown whole in the tooltip.
#pragma once

#include <QLabel>

namespace kestrin::views {

// Plain text on one line, elided as `mode` says to the width the layout
// gives it; text() holds the shown (possibly elided) text, fullText() the whole.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(Qt::TextElideMode mode, QWidget* parent = nullptr);

    void setFullText(const QString& text);
    const QString& fullText() const { return m_full; }
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();

    Qt::TextElideMode m_mode;
    QString m_full;
};

} // namespace kestrin::views
