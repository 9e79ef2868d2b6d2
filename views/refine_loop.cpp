// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/refine_loop.h"

#include "editor/editor_window.h"
#include "views/loop_menu.h"
#include "views/waveform_panel.h"

#include <QAction>
#include <QMenu>
#include <QStatusBar>

namespace kestrin::views {

RefineLoopCommand::RefineLoopCommand(EditorWindow& window, LoopMenu& menu,
                                     const FindLoopCommand& find, const WaveformPanel& panel)
    : LoopSearchCommand(window, menu, tr("&Refine Loop Points…")), m_panel(panel) {
    m_action->setObjectName(QStringLiteral("mnuRefineLoopPoints"));
    m_action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    m_action->setStatusTip(
        tr("Looks for the best seamless loop within 2 s of the start and stop being edited"));
    QMenu* loopMenu = window.loopMenu();
    // Right after Find; with Find last, insertAction(nullptr) appends.
    const int at = static_cast<int>(loopMenu->actions().indexOf(find.action()));
    loopMenu->insertAction(loopMenu->actions().value(at + 1), m_action);
}

void RefineLoopCommand::trigger() {
    const sound::CompanionAudio* audio = searchable(
        {tr("Open a POS file to refine its loop."),
         tr("Cannot refine the loop: there is no audio file beside %1. The positions are "
            "unchanged.")});
    if (!audio)
        return;
    // Only plain sample counts: a text Save would round or read in part is
    // not taken as a place to search near.
    const StoredPositions stored = m_window.storedPositions();
    bool startOk = false;
    bool stopOk = false;
    const qint64 start = stored.start.text.toLongLong(&startOk);
    const qint64 stop = stored.stop.text.toLongLong(&stopOk);
    if (!startOk || !stopOk || start < 0 || stop <= start || stop > audio->frames) {
        m_window.statusBar()->showMessage(
            tr("Cannot refine the loop: the start and stop must be sample counts with the stop "
               "after the start and within the audio. The positions are unchanged."));
        return;
    }
    dialog().returnFocusTo(m_panel.seamView());
    dialog().search(*audio, LoopPoints{start, stop});
}

} // namespace kestrin::views
