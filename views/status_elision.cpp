// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/status_elision.h"

#include <QEvent>
#include <QPainter>
#include <QStatusBar>
#include <QStyleOption>

#include <algorithm>

namespace kestrin::views {

namespace {

// Where QStatusBar itself begins its message: a few pixels in from the left.
constexpr int kMessageIndent = 6;

QRect messageRect(const QStatusBar& bar) {
    QRect r = bar.contentsRect().adjusted(kMessageIndent, 0, -kMessageIndent, 0);
    // Permanent widgets, and the size grip, keep their place on the right.
    for (const QWidget* w : bar.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (w->isVisible() && w->geometry().left() > r.left())
            r.setRight(std::min(r.right(), w->geometry().left() - kMessageIndent));
    return r;
}

} // namespace

StatusElision::StatusElision(QStatusBar& bar) : QObject(&bar), m_bar(bar) {
    bar.installEventFilter(this);
    connect(&bar, &QStatusBar::messageChanged, this, &StatusElision::updateToolTip);
}

void StatusElision::updateToolTip() {
    const QString text = m_bar.currentMessage();
    const bool cut = m_bar.fontMetrics().horizontalAdvance(text) > messageRect(m_bar).width();
    m_bar.setToolTip(cut ? text : QString());
    m_bar.update();
}

bool StatusElision::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &m_bar)
        return false;
    if (event->type() == QEvent::Resize) {
        updateToolTip();
        return false;
    }
    const QString text = m_bar.currentMessage();
    if (event->type() != QEvent::Paint || text.isEmpty())
        return false;
    // What QStatusBar paints for a message, with the text elided.
    QPainter p(&m_bar);
    QStyleOption option;
    option.initFrom(&m_bar);
    m_bar.style()->drawPrimitive(QStyle::PE_PanelStatusBar, &option, &p, &m_bar);
    const QRect r = messageRect(m_bar);
    p.setPen(m_bar.palette().windowText().color());
    p.drawText(r, Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine,
               m_bar.fontMetrics().elidedText(text, Qt::ElideMiddle, r.width()));
    return true;
}

} // namespace kestrin::views
