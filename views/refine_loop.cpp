// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/refine_loop.h"

#include "editor/editor_window.h"
#include "views/find_loop.h"
#include "views/loop_menu.h"

#include <QAction>
#include <QFileInfo>
#include <QMenu>
#include <QStatusBar>

namespace kestrin::views {

RefineLoopCommand::RefineLoopCommand(EditorWindow& window, LoopMenu& menu,
                                     const FindLoopCommand& find)
    : QObject(&window), m_window(window), m_menu(menu),
      m_action(new QAction(tr("&Refine Loop Points…"), this)) {
    m_action->setObjectName(QStringLiteral("mnuRefineLoopPoints"));
    m_action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    m_action->setStatusTip(
        tr("Looks for the best seamless loop within 2 s of the start and stop being edited"));
    QMenu* loopMenu = window.loopMenu();
    // Right after Find; with Find last, insertAction(nullptr) appends.
    const int at = static_cast<int>(loopMenu->actions().indexOf(find.action()));
    loopMenu->insertAction(loopMenu->actions().value(at + 1), m_action);
    connect(m_action, &QAction::triggered, this, &RefineLoopCommand::trigger);
    // Candidates belong to the audio they were found in.
    connect(&menu, &LoopMenu::audioChanged, this, [this] {
        if (m_dialog)
            m_dialog->reject();
    });
}

void RefineLoopCommand::trigger() {
    if (m_window.currentFile().isEmpty()) {
        m_window.statusBar()->showMessage(tr("Open a POS file to refine its loop."));
        return;
    }
    if (!m_menu.audio() || !m_menu.engine()) {
        m_window.statusBar()->showMessage(
            tr("Cannot refine the loop: there is no audio file beside %1. The positions are "
               "unchanged.")
                .arg(QFileInfo(m_window.currentFile()).fileName()));
        return;
    }
    // Only plain sample counts: a text Save would round or read in part is
    // not taken as a place to search near.
    const StoredPositions stored = m_window.storedPositions();
    bool startOk = false;
    bool stopOk = false;
    const qint64 start = stored.start.text.toLongLong(&startOk);
    const qint64 stop = stored.stop.text.toLongLong(&stopOk);
    if (!startOk || !stopOk || start < 0 || stop <= start || stop > m_menu.audio()->frames) {
        m_window.statusBar()->showMessage(
            tr("Cannot refine the loop: the start and stop must be sample counts with the stop "
               "after the start and within the audio. The positions are unchanged."));
        return;
    }
    if (!m_dialog)
        m_dialog = new FindLoopDialog(m_window, m_menu);
    m_dialog->search(*m_menu.audio(), LoopPoints{start, stop});
}

} // namespace kestrin::views
