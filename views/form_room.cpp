// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/form_room.h"

#include "editor/editor_window.h"

#include <QGridLayout>
#include <QScreen>
#include <QStyle>

#include <algorithm>

namespace kestrin::views {

QGridLayout* GiveRoomAroundForm(EditorWindow& window) {
    // The form's fields keep the focus and tab order they were given.
    QWidget* focused = window.focusWidget();
    QWidget* form = window.centralWidget();
    auto* room = new QWidget(&window);
    room->setObjectName(QStringLiteral("formRoom"));
    // Moved straight from the window into the room: the form is never a
    // window of its own, even for a moment.
    form->setParent(room);
    auto* layout = new QGridLayout(room);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(form, 0, 0, Qt::AlignLeft | Qt::AlignTop);
    layout->setColumnStretch(1, 1);
    // Wider, never taller than the form: the height beyond it goes to the
    // waveform panel below.
    room->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    window.setCentralWidget(room);
    // A new parent hides a widget.
    form->show();
    if (focused)
        focused->setFocus();
    // The soundtrack list beside the form reaches down past the waveform
    // panel, rather than stopping at the form's height.
    window.setCorner(Qt::TopRightCorner, Qt::RightDockWidgetArea);
    window.setCorner(Qt::BottomRightCorner, Qt::RightDockWidgetArea);
    return layout;
}

void KeepOnScreen(QWidget& window) {
    const QScreen* screen = window.screen();
    if (!screen || !window.isVisible())
        return;
    const QRect room = screen->availableGeometry();
    const QRect frame = window.frameGeometry();
    // What the window manager adds around the client area. An X11 window
    // manager frames the window only after it is shown, so a frame not
    // known yet is taken to be at least a title bar and borders: else the title bar
    // would push the status line off the screen's bottom.
    QSize decoration = frame.size() - window.size();
    if (decoration.isNull()) {
        const int border = window.style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
        decoration =
            QSize(2 * border, window.style()->pixelMetric(QStyle::PM_TitleBarHeight) + border);
    }
    if (frame.height() > room.height() || frame.width() > room.width()) {
        const QSize fits = (room.size() - decoration).expandedTo(window.minimumSize());
        window.resize(window.size().boundedTo(fits));
    }
    const QRect now = window.frameGeometry();
    const int left =
        std::clamp(now.left(), room.left(), std::max(room.left(), room.right() - now.width() + 1));
    const int top =
        std::clamp(now.top(), room.top(), std::max(room.top(), room.bottom() - now.height() + 1));
    if (QPoint(left, top) != now.topLeft())
        window.move(left, top);
}

} // namespace kestrin::views
