// SPDX-License-Identifier: GPL-3.0-or-later
// The soundtrack panel: every POS file in the opened file's folder with the
// verdict on its seam, to move from track to track.
#pragma once

#include "sound/sound_engine.h"

#include <QObject>
#include <QSet>
#include <QString>

class QAction;
class QDockWidget;
class QFileSystemWatcher;
class QTreeWidget;
class QTreeWidgetItem;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

class LoopMenu;

// A dock (objectName "soundtrackPanel", list "soundtrackList") made on the
// first Open: the POS files of the opened file's folder (any case of .pos),
// by name, the opened one selected, each with check's verdict in a word
// (seamless, soft, click, no audio, a problem; the details in its tooltip).
// The list shows at once; the verdicts are filled in by the sound module
// off the UI thread, and judged again as files are saved (here or by
// another program), added or removed, or the opened file's audio replaced.
// Enter or a double click opens a track exactly as File ▸ Open does; Loop ▸
// Next Track (Ctrl+Page Down) and Previous Track (Ctrl+Page Up) open the
// neighbours of the opened file.
class SoundtrackPanel : public QObject {
    Q_OBJECT
public:
    SoundtrackPanel(EditorWindow& window, LoopMenu& menu);

    // Opens the track `step` places after (or before, when negative) the
    // opened one; at either end the status bar says so.
    void openNeighbour(int step);

private:
    void fileOpened(const QString& path);
    void createDock();
    // Reads the folder again, keeping the verdicts of files still there.
    void relist();
    // Asks for the verdicts of the files that have none.
    void judgePending();
    void showVerdict(const QString& file, const sound::TrackVerdict& verdict);
    void fileSaved();
    void fileChanged(const QString& path);
    void openItem(QTreeWidgetItem* item);
    QTreeWidgetItem* itemOf(const QString& file) const;

    EditorWindow& m_window;
    LoopMenu& m_menu;
    QDockWidget* m_dock = nullptr;
    QTreeWidget* m_list = nullptr;
    QFileSystemWatcher* m_watcher = nullptr;
    QAction* m_next;
    QAction* m_previous;
    QString m_folder;
    QSet<QString> m_pending; // files whose verdict is still to come
};

} // namespace kestrin::views
