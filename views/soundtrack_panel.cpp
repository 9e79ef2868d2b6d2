// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/soundtrack_panel.h"

#include "editor/editor_window.h"
#include "views/loop_menu.h"

#include <QAction>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QStatusBar>
#include <QTreeWidget>

#include <functional>

namespace kestrin::views {

namespace {

constexpr int kPathRole = Qt::UserRole;

// Enter opens the current track; the tree itself would only expand it.
class TrackList : public QTreeWidget {
public:
    using QTreeWidget::QTreeWidget;
    std::function<void(QTreeWidgetItem*)> onEnter;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentItem() &&
            event->modifiers() == Qt::NoModifier) {
            onEnter(currentItem());
            return;
        }
        QTreeWidget::keyPressEvent(event);
    }
};

} // namespace

SoundtrackPanel::SoundtrackPanel(EditorWindow& window, LoopMenu& menu)
    : QObject(&window), m_window(window), m_menu(menu) {
    QMenu* loop = window.loopMenu();
    loop->addSeparator();
    m_next = loop->addAction(tr("&Next Track"), this, [this] { openNeighbour(1); });
    m_next->setObjectName(QStringLiteral("mnuNextTrack"));
    m_next->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_PageDown));
    m_previous = loop->addAction(tr("&Previous Track"), this, [this] { openNeighbour(-1); });
    m_previous->setObjectName(QStringLiteral("mnuPreviousTrack"));
    m_previous->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_PageUp));
    for (QAction* a : {m_next, m_previous})
        a->setStatusTip(tr("Opens the neighbouring POS file of the folder, as Open does"));
    connect(&window, &EditorWindow::fileOpened, this, &SoundtrackPanel::fileOpened);
    connect(&window, &EditorWindow::positionsSaved, this, &SoundtrackPanel::fileSaved);
    // A crossfade written into the companion changes the track's seam too.
    connect(&menu, &LoopMenu::companionRewritten, this, &SoundtrackPanel::fileSaved);
}

void SoundtrackPanel::createDock() {
    m_dock = new QDockWidget(tr("Soundtrack"), &m_window);
    m_dock->setObjectName(QStringLiteral("soundtrackPanel"));
    m_dock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                        QDockWidget::DockWidgetFloatable);
    auto* list = new TrackList(m_dock);
    list->onEnter = [this](QTreeWidgetItem* item) { openItem(item); };
    m_list = list;
    m_list->setObjectName(QStringLiteral("soundtrackList"));
    m_list->setAccessibleName(tr("Soundtrack"));
    m_list->setAccessibleDescription(tr("The POS files of the folder with their seams; Enter "
                                        "opens one"));
    m_list->setRootIsDecorated(false);
    m_list->setHeaderLabels({tr("POS file"), tr("Seam")});
    // The verdict is what the panel is for: a long name gives up its middle
    // (the start and the number at its end tell tracks apart), never the Seam column.
    m_list->setTextElideMode(Qt::ElideMiddle);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    m_list->setUniformRowHeights(true);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { openItem(item); });
    m_dock->setWidget(m_list);
    m_window.addDockWidget(Qt::RightDockWidgetArea, m_dock);
    QAction* toggle = m_dock->toggleViewAction();
    toggle->setText(tr("Show S&oundtrack"));
    toggle->setObjectName(QStringLiteral("mnuShowSoundtrack"));
    m_window.loopMenu()->addAction(toggle);

    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &SoundtrackPanel::relist);
    // Written in place by another program (kestrin-pos set): judged again.
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &SoundtrackPanel::fileChanged);
}

void SoundtrackPanel::fileOpened(const QString& path) {
    if (!m_dock)
        createDock();
    const QString folder = QFileInfo(path).absolutePath();
    if (folder != m_folder) {
        if (!m_watcher->directories().isEmpty())
            m_watcher->removePaths(m_watcher->directories());
        if (!m_watcher->files().isEmpty())
            m_watcher->removePaths(m_watcher->files());
        m_folder = folder;
        m_watcher->addPath(folder);
        m_list->clear();
        m_pending.clear();
        relist();
    }
    if (QTreeWidgetItem* item = itemOf(path))
        m_list->setCurrentItem(item);
}

QTreeWidgetItem* SoundtrackPanel::itemOf(const QString& file) const {
    const QString wanted = QFileInfo(file).absoluteFilePath();
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_list->topLevelItem(i);
        if (item->data(0, kPathRole).toString() == wanted)
            return item;
    }
    return nullptr;
}

void SoundtrackPanel::relist() {
    QDir dir(m_folder);
    // Without QDir::CaseSensitive the pattern takes .POS, .pos and .Pos alike.
    const QStringList names = dir.entryList({QStringLiteral("*.pos")}, QDir::Files | QDir::Readable,
                                            QDir::Name | QDir::IgnoreCase);
    QHash<QString, QTreeWidgetItem*> kept;
    while (m_list->topLevelItemCount() > 0) {
        QTreeWidgetItem* item = m_list->takeTopLevelItem(0);
        kept.insert(item->data(0, kPathRole).toString(), item);
    }
    for (const QString& name : names) {
        const QString path = dir.absoluteFilePath(name);
        QTreeWidgetItem* item = kept.take(path);
        if (!item) {
            item = new QTreeWidgetItem({name, tr("judging...")});
            item->setData(0, kPathRole, path);
            item->setToolTip(0, QDir::toNativeSeparators(path));
        }
        // A file written again (renamed into place) may hold new positions.
        m_pending.insert(path);
        m_list->addTopLevelItem(item);
    }
    qDeleteAll(kept);
    const QStringList watched = m_watcher->files();
    QStringList watch;
    for (const QString& name : names)
        if (const QString path = dir.absoluteFilePath(name); !watched.contains(path))
            watch << path;
    if (!watch.isEmpty())
        m_watcher->addPaths(watch);
    if (QTreeWidgetItem* item = itemOf(m_window.currentFile()))
        m_list->setCurrentItem(item);
    judgePending();
}

void SoundtrackPanel::judgePending() {
    sound::SoundEngine* engine = m_menu.engine();
    if (m_pending.isEmpty())
        return;
    if (!engine) {
        for (int i = 0; i < m_list->topLevelItemCount(); ++i)
            m_list->topLevelItem(i)->setText(1, tr("cannot judge: no sound module"));
        return;
    }
    QStringList files;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        const QString path = m_list->topLevelItem(i)->data(0, kPathRole).toString();
        if (m_pending.contains(path))
            files << path;
    }
    QPointer<SoundtrackPanel> self = this;
    engine->judgeTracks(files, [self](const QString& file, const sound::TrackVerdict& verdict) {
        if (self)
            self->showVerdict(file, verdict);
    });
}

void SoundtrackPanel::showVerdict(const QString& file, const sound::TrackVerdict& verdict) {
    m_pending.remove(file);
    if (QTreeWidgetItem* item = itemOf(file)) {
        item->setText(1, verdict.word);
        item->setToolTip(1, verdict.detail);
    }
}

void SoundtrackPanel::fileSaved() {
    if (m_list && !m_window.currentFile().isEmpty())
        fileChanged(QFileInfo(m_window.currentFile()).absoluteFilePath());
}

void SoundtrackPanel::fileChanged(const QString& path) {
    if (QTreeWidgetItem* item = itemOf(path)) {
        item->setText(1, tr("judging..."));
        m_pending.insert(path);
        judgePending();
    }
    // A file replaced by renaming drops out of the watch.
    if (QFileInfo::exists(path) && !m_watcher->files().contains(path))
        m_watcher->addPath(path);
}

void SoundtrackPanel::openItem(QTreeWidgetItem* item) {
    if (item)
        m_window.openPosFile(item->data(0, kPathRole).toString());
}

void SoundtrackPanel::openNeighbour(int step) {
    if (!m_list || m_list->topLevelItemCount() == 0) {
        m_window.statusBar()->showMessage(tr("Open a POS file first: its folder is the "
                                             "soundtrack"),
                                          5000);
        return;
    }
    QTreeWidgetItem* current = itemOf(m_window.currentFile());
    const int at = current ? m_list->indexOfTopLevelItem(current) : (step > 0 ? -1 : 0);
    const int next = at + step;
    if (next < 0 || next >= m_list->topLevelItemCount()) {
        m_window.statusBar()->showMessage(step > 0 ? tr("This is the folder's last POS file")
                                                   : tr("This is the folder's first "
                                                        "POS file"),
                                          5000);
        return;
    }
    openItem(m_list->topLevelItem(next));
}

} // namespace kestrin::views
