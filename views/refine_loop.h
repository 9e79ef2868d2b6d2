// SPDX-License-Identifier: GPL-3.0-or-later
// Loop ▸ Refine Loop Points: the best seamless loop near the positions being
// edited, for "I know roughly where; make it seamless".
#pragma once

#include "views/find_loop.h"

namespace kestrin::views {

class WaveformPanel;

// Adds Loop ▸ Refine Loop Points… (Ctrl+R) to the Loop menu, after Find
// Loop Points. It searches within two seconds of the start and stop the
// sample fields hold, exact and musical loops alike, in the Find dialog
// (its progress, Cancel and Use: Use sets both fields through the field
// synchronisation). Fields that make no loop in the audio, no file or no
// audio leave the status bar saying why and change nothing.
class RefineLoopCommand : public LoopSearchCommand {
    Q_OBJECT
public:
    // Places the command in the Loop menu right after `find`'s action.
    // After a Refine the focus goes back to `panel`'s seam view.
    RefineLoopCommand(EditorWindow& window, LoopMenu& menu, const FindLoopCommand& find,
                      const WaveformPanel& panel);

private:
    void trigger() override;

    const WaveformPanel& m_panel;
};

} // namespace kestrin::views
