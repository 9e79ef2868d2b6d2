// SPDX-License-Identifier: GPL-3.0-or-later
// A slider that tells user movements apart from values set by code.
#pragma once

#include <QSlider>

namespace kestrin::platform {

// scrolled() is emitted for every movement by the user that changes the value:
// each position while dragging, clicks on the track, keys and the wheel. A
// value set with assign() emits nothing.
class Slider : public QSlider {
    Q_OBJECT
public:
    explicit Slider(QWidget* parent = nullptr);

    // Sets the value from code. A value outside the range moves the slider to
    // the nearer end.
    void assign(int value);

signals:
    void scrolled();

private:
    bool m_assigning = false;
};

} // namespace kestrin::platform
