// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up probe: creates the application and a window, and quits as soon as
// the window is first exposed. Built twice: with the editor window and with
// the least a form of its kind holds (a window with a menu and two line
// edits), to time the two as whole processes side by side.
#include <QApplication>
#include <QEvent>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QTimer>
#include <QVBoxLayout>
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
    QMainWindow window;
    window.menuBar()->addMenu(QStringLiteral("&File"))->addAction(QStringLiteral("E&xit"));
    auto* form = new QWidget(&window);
    auto* layout = new QVBoxLayout(form);
    layout->addWidget(new QLineEdit(form));
    layout->addWidget(new QLineEdit(form));
    window.setCentralWidget(form);
    window.resize(266, 229);
#endif
    QuitOnExpose filter;
    window.winId(); // creates the platform window to watch
    window.windowHandle()->installEventFilter(&filter);
    window.show();
    return QApplication::exec();
}
