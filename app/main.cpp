// SPDX-License-Identifier: GPL-3.0-or-later
// Starts Kestrin: the editor window is the whole application, and closing it
// ends the run.
#include "attach_views.h"
#include "editor_window.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // The name only: a display name would be appended to the window caption.
    QApplication::setApplicationName(QStringLiteral("Kestrin"));
    // Ties the window to its desktop entry and icon where one is installed.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.kestrin.Kestrin"));
    kestrin::EditorWindow window;
    kestrin::views::AttachViews(window);
    window.show();
    return QApplication::exec();
}
