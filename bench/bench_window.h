// SPDX-License-Identifier: GPL-3.0-or-later
// The editor window as the program shows it, for the window benchmarks.
#pragma once

#include "attach_views.h"
#include "editor_window.h"

#include <QTest>

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

} // namespace kestrin::bench
