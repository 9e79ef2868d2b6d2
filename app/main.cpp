// SPDX-License-Identifier: GPL-3.0-or-later
// Starts Kestrin: the editor window is the whole application, and closing it
// ends the run.
#include "app/command_line.h"
#include "core/temporary_files.h"
#include "editor/editor_window.h"
#include "views/attach_views.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

int run(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Qt has removed its own options from the arguments by now.
    const kestrin::app::StartRequest request =
        kestrin::app::ParseStartArguments(QApplication::arguments().mid(1));
    if (!request.error.isEmpty()) {
        std::cerr << "kestrin: " << request.error.toStdString() << "\nTry \"kestrin --help\".\n";
        return 2;
    }
    // The name only: a display name would be appended to the window caption.
    QApplication::setApplicationName(QStringLiteral("Kestrin"));
    // Ties the window to its desktop entry and icon where one is installed.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.kestrin.Kestrin"));
    kestrin::EditorWindow window;
    kestrin::views::AttachViews(window);
    window.show();
    if (!request.file.isEmpty())
        window.openPosFile(request.file);
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[]) {
    // Before Qt starts: help and version need no display.
    if (const auto answered = kestrin::app::AnswerInformationOptions(argc, argv, std::cout))
        return *answered;
    kestrin::RemoveTemporariesOnSignals();
    const int status = run(argc, argv);
    // The application has closed its window, its files and its sound by
    // now. What is left are the libraries' own statics, among them Qt's
    // PulseAudio connection, which closes itself without the lock its
    // thread holds and may abort or hang the process: the run ends here.
    std::cout.flush();
    std::fflush(nullptr);
    std::_Exit(status);
}
