// SPDX-License-Identifier: GPL-3.0-or-later
// The editor window as the program shows it, for the window benchmarks.
#pragma once

#include "editor/editor_window.h"
#include "views/attach_views.h"

#include <QApplication>
#include <QTest>

#include <benchmark/benchmark.h>

#include <memory>

namespace kestrin::bench {

// A shown, active editor window with the views the program attaches.
inline std::unique_ptr<EditorWindow> showEditor() {
    auto window = std::make_unique<EditorWindow>();
    views::AttachViews(*window);
    window->show();
    window->activateWindow();
    (void)QTest::qWaitForWindowActive(window.get());
    return window;
}

// The main() of a window benchmark: an offscreen application (unless a
// platform is chosen), then the benchmarks. `prepare` runs once the
// application exists.
template <class Prepare> int RunWindowBenchmarks(int argc, char** argv, Prepare prepare) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrin"));
    prepare();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace kestrin::bench
