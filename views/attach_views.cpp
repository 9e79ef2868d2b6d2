// SPDX-License-Identifier: GPL-3.0-or-later
#include "attach_views.h"

#include "loop_menu.h"

namespace kestrin::views {

void AttachViews(EditorWindow& window) {
    new LoopMenu(&window);
}

} // namespace kestrin::views
