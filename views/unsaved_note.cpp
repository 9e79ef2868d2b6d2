// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/unsaved_note.h"

#include "editor/editor_window.h"
#include "views/saved_positions.h"

#include <QFileSystemWatcher>
#include <QStringList>

#include <tuple>

namespace kestrin::views {

UnsavedNote::UnsavedNote(EditorWindow& window, QWidget* parent)
    : QLabel(parent), m_window(window), m_watcher(new QFileSystemWatcher(this)) {
    setObjectName(QStringLiteral("unsavedNote"));
    setAccessibleName(tr("Unsaved changes"));
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(&window, &EditorWindow::sampleFieldsChanged, this, &UnsavedNote::showDifference);
    connect(&window, &EditorWindow::fileOpened, this, &UnsavedNote::readFile);
    connect(&window, &EditorWindow::positionsSaved, this, &UnsavedNote::readFile);
    // Another program (kestrin-pos set, a second editor) may write the file.
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &UnsavedNote::readFile);
    readFile();
}

void UnsavedNote::readFile() {
    const QString path = m_window.currentFile();
    m_saved.reset();
    m_readError.clear();
    if (!m_watcher->files().isEmpty())
        m_watcher->removePaths(m_watcher->files());
    if (!path.isEmpty()) {
        m_saved = readSavedPositions(path, &m_readError);
        // A file replaced by renaming drops out of the watch; watch it again.
        m_watcher->addPath(path);
    }
    showDifference();
}

void UnsavedNote::showDifference() {
    if (m_window.currentFile().isEmpty()) {
        hide();
        return;
    }
    if (!m_saved) {
        setText(tr("cannot compare with the file: %1").arg(m_readError));
        show();
        return;
    }
    QStringList fields;
    QStringList file;
    QStringList unstorable;
    const StoredPositions stored = m_window.storedPositions();
    for (auto [end, value, which] : {std::tuple{LoopEnd::Start, m_saved->start, tr("start")},
                                     std::tuple{LoopEnd::Stop, m_saved->stop, tr("stop")}}) {
        const auto now = stored[end].samples;
        if (!now)
            unstorable << which;
        else if (*now != value)
            fields << which + u' ' + groupedNumber(*now);
        else
            continue;
        file << groupedNumber(value);
    }
    if (file.isEmpty()) {
        hide();
        return;
    }
    QString what = fields.join(tr(" and "));
    if (!unstorable.isEmpty()) {
        if (!what.isEmpty())
            what += tr(", and ");
        what += tr("the %1 field holds no value a POS file can store")
                    .arg(unstorable.join(tr(" and ")));
    }
    setText(tr("not saved: %1; the file holds %2").arg(what, file.join(tr(" and "))));
    show();
}

} // namespace kestrin::views
