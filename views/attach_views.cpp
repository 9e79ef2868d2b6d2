// SPDX-License-Identifier: GPL-3.0-or-later
#include "attach_views.h"

#include "find_loop.h"
#include "loop_menu.h"
#include "waveform_panel.h"

namespace kestrin::views {

void AttachViews(EditorWindow& window) {
    auto* menu = new LoopMenu(&window);
    new WaveformPanel(window, *menu);
    new FindLoopCommand(window, *menu);
}

} // namespace kestrin::views
