// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/unsaved_note.h"

#include "editor/editor_window.h"
#include "views/saved_positions.h"

#include <QAction>
#include <QFileSystemWatcher>
#include <QLineEdit>
#include <QStringList>

#include <tuple>

namespace kestrin::views {

UnsavedNote::UnsavedNote(EditorWindow& window, QWidget* parent)
    : QLabel(parent), m_window(window),
      m_startField(window.findChild<QLineEdit*>(QStringLiteral("txtStartTime"))),
      m_stopField(window.findChild<QLineEdit*>(QStringLiteral("txtStopTime"))),
      m_watcher(new QFileSystemWatcher(this)) {
    setObjectName(QStringLiteral("unsavedNote"));
    setAccessibleName(tr("Unsaved changes"));
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(m_startField, &QLineEdit::textChanged, this, &UnsavedNote::showDifference);
    connect(m_stopField, &QLineEdit::textChanged, this, &UnsavedNote::showDifference);
    connect(&window, &EditorWindow::fileOpened, this, &UnsavedNote::readFile);
    // Connected after the window's own reaction, so the file is written by then.
    if (auto* save = window.findChild<QAction*>(QStringLiteral("mnuSavePOSFile")))
        connect(save, &QAction::triggered, this, &UnsavedNote::readFile);
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
    for (auto [field, value, which] : {std::tuple{m_startField, m_saved->start, tr("start")},
                                       std::tuple{m_stopField, m_saved->stop, tr("stop")}}) {
        const auto now = savedValueOf(*field);
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
