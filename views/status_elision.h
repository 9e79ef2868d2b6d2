// SPDX-License-Identifier: GPL-3.0-or-later
// Long status bar messages shown whole in a tooltip and cut with "…" in the
// middle rather than mid-letter at the window's edge, so that the end of
// "<long file name> Loaded..." stays in view.
#pragma once

#include <QObject>

class QStatusBar;

namespace kestrin::views {

// Paints the status bar's message elided to the room it has, and puts the
// whole message in the bar's tooltip while it does not fit. Messages are
// still shown with QStatusBar::showMessage and read with currentMessage().
class StatusElision : public QObject {
    Q_OBJECT
public:
    explicit StatusElision(QStatusBar& bar);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void updateToolTip();

    QStatusBar& m_bar;
};

} // namespace kestrin::views
