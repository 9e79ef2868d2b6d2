// SPDX-License-Identifier: GPL-3.0-or-later
// The waveform panel's row for Audition Seam: how much it plays on each side
// of the seam.
#pragma once

#include <QWidget>

class QDoubleSpinBox;

namespace kestrin::views {

class LoopMenu;

// Two spin boxes (objectNames "auditionBefore", "auditionAfter"; seconds,
// 0.1 to 30, default 1.5) that set LoopMenu::setAuditionSpan as they change,
// heard from the next pass, and are kept in the settings ("audition/before",
// "audition/after" in Kestrin/Kestrin.conf).
class AuditionControls : public QWidget {
    Q_OBJECT
public:
    AuditionControls(LoopMenu& menu, QWidget* parent);

private:
    void changed();

    LoopMenu& m_menu;
    QDoubleSpinBox* m_before;
    QDoubleSpinBox* m_after;
};

} // namespace kestrin::views
