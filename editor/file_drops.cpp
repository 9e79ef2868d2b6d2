// SPDX-License-Identifier: GPL-3.0-or-later
// A POS file dropped anywhere on the window opens as Open would open it. The
// text fields would otherwise take the drop and paste the file's URL, which
// silently replaces a position with text that is not a number.
#include "editor/editor_window.h"

#include "platform/text_field.h"

#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace kestrin {

namespace {

// The URLs a drag carries: its URL list, or a text that is one file URL
// (dragged from a terminal, say).
QList<QUrl> draggedUrls(const QMimeData* data) {
    if (!data)
        return {};
    if (data->hasUrls())
        return data->urls();
    const QString text = data->text().trimmed();
    if (text.startsWith(QStringLiteral("file:"), Qt::CaseInsensitive) && !text.contains(u'\n'))
        return {QUrl(text)};
    return {};
}

// The first local file among `urls`; empty when there is none.
QString firstLocalFile(const QList<QUrl>& urls) {
    for (const QUrl& url : urls) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            return url.toLocalFile();
    }
    return {};
}

// Accepts a drag that carries a local file. The file is only read, so Copy
// (or else Link) is taken: accepting a Move would let the source delete it.
bool acceptFileDrag(QDropEvent& event) {
    if (firstLocalFile(draggedUrls(event.mimeData())).isEmpty())
        return false;
    const Qt::DropActions offered = event.possibleActions();
    if (offered & Qt::CopyAction)
        event.setDropAction(Qt::CopyAction);
    else if (offered & Qt::LinkAction)
        event.setDropAction(Qt::LinkAction);
    else
        return false;
    event.accept();
    return true;
}

} // namespace

void EditorWindow::enableFileDrops() {
    setAcceptDrops(true);
    for (auto* field : findChildren<platform::TextField*>())
        field->installEventFilter(this);
}

void EditorWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!acceptFileDrag(*event))
        event->ignore();
}

void EditorWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (!acceptFileDrag(*event))
        event->ignore();
}

void EditorWindow::dropEvent(QDropEvent* event) {
    if (!acceptFileDrag(*event)) {
        event->ignore();
        return;
    }
    // Opened once the drop has finished: a failure message is modal, and the
    // source of the drag would wait for it.
    QMetaObject::invokeMethod(
        this, [this, file = firstLocalFile(draggedUrls(event->mimeData()))] { openPosFile(file); },
        Qt::QueuedConnection);
}

bool EditorWindow::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        // Plain text (a typed number) is still the field's to take.
        if (draggedUrls(drop->mimeData()).isEmpty())
            break;
        if (event->type() == QEvent::Drop)
            dropEvent(drop);
        else if (!acceptFileDrag(*drop))
            drop->ignore();
        return true;
    }
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace kestrin
