// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up probe: creates the application and a window, and quits as soon as
// the window is first exposed. Built twice: with the editor window and with
// a bare QWidget, to time the two as whole processes side by side.
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#ifdef KESTRIN_PROBE_EDITOR
#include "editor/editor_window.h"
#include "views/attach_views.h"
#endif

namespace {

class QuitOnExpose : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose)
            // After this event is handled, so the first frame is painted.
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
#ifdef KESTRIN_PROBE_EDITOR
    QApplication::setApplicationName(QStringLiteral("Kestrin"));
    kestrin::EditorWindow window;
    kestrin::views::AttachViews(window);
#else
    QWidget window;
    window.resize(266, 229);
#endif
    QuitOnExpose filter;
    window.winId(); // creates the platform window to watch
    window.windowHandle()->installEventFilter(&filter);
    window.show();
    return QApplication::exec();
}
