// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/attach_views.h"

#include "editor/editor_window.h"
#include "platform/twips.h"

#include "views/crossfade_seam.h"
#include "views/find_loop.h"
#include "views/form_room.h"
#include "views/kept_positions.h"
#include "views/loop_history.h"
#include "views/loop_interchange_actions.h"
#include "views/loop_menu.h"
#include "views/refine_loop.h"
#include "views/soundtrack_panel.h"
#include "views/status_elision.h"
#include "views/waveform_panel.h"
#include "views/window_memory.h"

#include <QGridLayout>
#include <QStatusBar>

namespace kestrin::views {

void AttachViews(EditorWindow& window) {
    QGridLayout* room = GiveRoomAroundForm(window);
    // Below the form, so that it is offered for files without audio too.
    auto* kept = new KeptPositionsOffer(window, room->parentWidget());
    kept->setMaximumWidth(room->itemAtPosition(0, 0)->widget()->width());
    // Lined up with the form's own left edge (120 twips), and as far off
    // what follows.
    const int edge = platform::twipsToPixels(120, window.logicalDpiX());
    kept->setContentsMargins(edge, 0, edge, edge);
    room->addWidget(kept, 1, 0);
    auto* menu = new LoopMenu(&window);
    auto* waveform = new WaveformPanel(window, *menu);
    auto* find = new FindLoopCommand(window, *menu);
    new LoopHistory(window);
    new SoundtrackPanel(window, *menu);
    new WindowMemory(window);
    new KeptPositionsKeeper(window);
    new LoopInterchangeActions(window, *menu, *waveform);
    new RefineLoopCommand(window, *menu, *find, *waveform);
    new CrossfadeSeamCommand(window, *menu);
    new StatusElision(*window.statusBar());
    // A message about unsaved positions is over once they are saved.
    QObject::connect(&window, &EditorWindow::positionsSaved, window.statusBar(),
                     &QStatusBar::clearMessage);
}

} // namespace kestrin::views
