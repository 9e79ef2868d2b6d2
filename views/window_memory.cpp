// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/window_memory.h"

#include "editor/editor_window.h"
#include "platform/settings.h"
#include "views/form_room.h"

#include <QChildEvent>
#include <QDockWidget>
#include <QGuiApplication>
#include <QLayout>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace kestrin::views {

namespace {

// The gap between the window's frame and a dock placed beside it.
constexpr int kBesideGap = 8;

QString key(const QDockWidget* dock, const char* what) {
    return dock->objectName() + u'/' + QLatin1String(what);
}

// No display made is wider or taller (16K is 15,360 by 8,640): a saved size
// beyond it is a damaged setting, never one the user gave.
constexpr int kLargestScreenSide = 16384;

// Whether `size` read from the settings can be one the user gave a window;
// a larger screen's size is, and is fitted to this one when shown.
bool plausibleSize(const QSize& size) {
    return size.width() > 0 && size.height() > 0 && size.width() <= kLargestScreenSide &&
           size.height() <= kLargestScreenSide;
}

} // namespace

WindowMemory::WindowMemory(EditorWindow& window) : QObject(&window), m_window(window) {
    QSettings s = KestrinSettings();
    m_window.restoreGeometry(s.value(QStringLiteral("window/geometry")).toByteArray());
    if (const QSize docked = s.value(QStringLiteral("window/dockedSize")).toSize();
        plausibleSize(docked))
        m_dockedSize = docked;
    window.installEventFilter(this);
    for (QDockWidget* dock : window.findChildren<QDockWidget*>(Qt::FindDirectChildrenOnly))
        follow(dock);
}

void WindowMemory::follow(QDockWidget* dock) {
    if (m_docks.contains(dock) || dock->objectName().isEmpty())
        return;
    Floating& f = m_docks[dock];
    QSettings s = KestrinSettings();
    const QVariant offset = s.value(key(dock, "floatingOffset"));
    const QVariant size = s.value(key(dock, "floatingSize"));
    if (offset.isValid() && plausibleSize(size.toSize())) {
        f.offset = offset.toPoint();
        f.size = size.toSize();
        f.known = true;
    }
    f.floatedBefore = f.known;
    dock->installEventFilter(this);
    connect(dock, &QObject::destroyed, this, [this, dock] { m_docks.remove(dock); });
    // Floated for the first time (its button, a double click on its title):
    // beside the window, not over it where it was docked. One dragged out
    // stays where the pointer leaves it.
    connect(dock, &QDockWidget::topLevelChanged, this, [this, dock](bool floating) {
        if (!floating || std::exchange(m_docks[dock].floatedBefore, true))
            return;
        QTimer::singleShot(0, this, [this, dock = QPointer<QDockWidget>(dock)] {
            if (dock && dock->isFloating() && QGuiApplication::mouseButtons() == Qt::NoButton)
                placeFloating(dock, true);
        });
    });
}

void WindowMemory::placeFloating(QDockWidget* dock, bool beside) {
    Floating& f = m_docks[dock];
    f.floatedBefore = true;
    const QRect frame = m_window.frameGeometry();
    QRect wanted;
    if (f.known && !beside) {
        wanted = QRect(frame.topLeft() + f.offset, f.size);
    } else {
        const QSize size = dock->sizeHint().expandedTo(QSize(frame.width(), 0));
        wanted = QRect(QPoint(frame.right() + 1 + kBesideGap, frame.top()), size);
    }
    // Kept on the window's screen, beside it when there is room, below it
    // when there is not.
    if (const QScreen* screen = m_window.screen()) {
        const QRect room = screen->availableGeometry();
        if ((!f.known || beside) && wanted.right() > room.right())
            wanted.moveTopLeft(QPoint(frame.left(), frame.bottom() + 1 + kBesideGap));
        wanted.setSize(wanted.size().boundedTo(room.size()));
        wanted.moveLeft(std::clamp(wanted.left(), room.left(), room.right() - wanted.width() + 1));
        wanted.moveTop(std::clamp(wanted.top(), room.top(), room.bottom() - wanted.height() + 1));
    }
    m_placing = true;
    dock->resize(wanted.size());
    dock->move(wanted.topLeft());
    m_placing = false;
}

void WindowMemory::remember(QDockWidget* dock) {
    if (m_placing || !dock->isFloating() || !dock->isVisible())
        return;
    Floating& f = m_docks[dock];
    f.offset = dock->frameGeometry().topLeft() - m_window.frameGeometry().topLeft();
    f.size = dock->size();
    f.known = true;
}

bool WindowMemory::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &m_window) {
        if (event->type() == QEvent::ChildPolished) {
            // Docks are made on the first Open and polished before they show,
            // named by then.
            if (auto* dock = qobject_cast<QDockWidget*>(static_cast<QChildEvent*>(event)->child()))
                follow(dock);
        } else if (event->type() == QEvent::Close) {
            save();
        } else if (event->type() == QEvent::Move && !m_framed) {
            // A window manager places a window as it maps it, for the size
            // it has then: openbox may centre the form alone and keep that
            // corner once the panels have grown the window, past the
            // screen's bottom. Until the frame is there, each placement is
            // checked.
            m_framed = m_window.frameGeometry().size() != m_window.size();
            QTimer::singleShot(0, this, [this] { KeepOnScreen(m_window); });
        } else if (event->type() == QEvent::Resize) {
            // Until the remembered size is back, the sizes the layout passes
            // through on the way are not the user's.
            if (m_sizeRestored && m_window.isVisible() &&
                m_window.layout()->sizeConstraint() != QLayout::SetFixedSize)
                m_dockedSize = m_window.size();
        }
        return false;
    }
    auto* dock = qobject_cast<QDockWidget*>(watched);
    if (!dock || !m_docks.contains(dock))
        return false;
    switch (event->type()) {
    case QEvent::Show:
        // Only the first showing of a run is placed: later, wherever the user
        // floats or drops it is where it stays.
        if (m_docks[dock].placed)
            break;
        m_docks[dock].placed = true;
        if (dock->isFloating()) {
            placeFloating(dock);
        } else if (!m_sizeRestored) {
            // After the panel has let the window grow for the dock.
            QTimer::singleShot(0, this, [this] {
                if (m_sizeRestored)
                    return;
                // The size the user gave it, or the first time the room the
                // panels ask for.
                if (m_window.layout()->sizeConstraint() != QLayout::SetFixedSize)
                    m_window.resize((m_dockedSize.isValid() ? m_dockedSize : wantedSize())
                                        .expandedTo(m_window.minimumSize()));
                // A size kept from a larger screen (or a smaller scale) fits this one.
                KeepOnScreen(m_window);
                m_sizeRestored = true;
            });
        }
        break;
    case QEvent::Move:
    case QEvent::Resize:
        remember(dock);
        break;
    default:
        break;
    }
    return false;
}

QSize WindowMemory::wantedSize() const {
    // The middle column holds the form and the panels above and below it;
    // the side panels stand beside it at their own widths.
    int column = m_window.centralWidget() ? m_window.centralWidget()->sizeHint().width() : 0;
    int sides = 0;
    int taller = 0;
    const int separator =
        m_window.style()->pixelMetric(QStyle::PM_DockWidgetSeparatorExtent, nullptr, &m_window);
    for (QDockWidget* dock : m_window.findChildren<QDockWidget*>(Qt::FindDirectChildrenOnly)) {
        // One just added is shown by the layout a moment later; only one
        // hidden on purpose takes no room.
        if (dock->isFloating() ||
            (dock->isHidden() && dock->testAttribute(Qt::WA_WState_ExplicitShowHide)))
            continue;
        const QSize hint = dock->sizeHint();
        const Qt::DockWidgetArea area = m_window.dockWidgetArea(dock);
        if (area == Qt::LeftDockWidgetArea || area == Qt::RightDockWidgetArea) {
            sides += std::max(hint.width(), dock->width()) + separator;
        } else {
            column = std::max(column, hint.width());
            taller += std::max(0, hint.height() - dock->height());
        }
    }
    return QSize(std::max(m_window.width(), column + sides), m_window.height() + taller);
}

void WindowMemory::save() {
    QSettings s = KestrinSettings();
    // Only what changed is written: an unchanged window costs no rewrite of
    // the settings file (with its lock and rename) on every exit.
    auto keep = [&s](const QString& key, const QVariant& value) {
        if (s.value(key) != value)
            s.setValue(key, value);
    };
    keep(QStringLiteral("window/geometry"), m_window.saveGeometry());
    if (m_dockedSize.isValid())
        keep(QStringLiteral("window/dockedSize"), m_dockedSize);
    for (auto it = m_docks.cbegin(); it != m_docks.cend(); ++it) {
        if (!it->known)
            continue;
        keep(key(it.key(), "floatingOffset"), it->offset);
        keep(key(it.key(), "floatingSize"), it->size);
    }
}

} // namespace kestrin::views
