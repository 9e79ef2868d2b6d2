// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/kept_positions.h"

#include "editor/editor_window.h"
#include "views/saved_positions.h"

#include <QCryptographicHash>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>

namespace kestrin::views {

namespace {

QSettings settings() {
    return QSettings(QStringLiteral("Kestrin"), QStringLiteral("Kestrin"));
}

// The settings group of `path`: a hash, as a path holds characters a key
// cannot.
QString groupOf(const QString& path) {
    const QByteArray absolute = QFileInfo(path).absoluteFilePath().toUtf8();
    return QStringLiteral("keptPositions/") +
           QString::fromLatin1(
               QCryptographicHash::hash(absolute, QCryptographicHash::Sha1).toHex());
}

// What tells a file changed since the positions were kept.
QString stampOf(const QString& path) {
    const QFileInfo info(path);
    return QStringLiteral("%1 %2").arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch());
}

} // namespace

KeptPositions::KeptPositions(EditorWindow& window, QWidget* parent)
    : QWidget(parent), m_window(window), m_text(new QLabel(this)),
      m_restore(new QPushButton(tr("&Restore"), this)) {
    setObjectName(QStringLiteral("keptPositions"));
    m_text->setTextFormat(Qt::PlainText);
    m_text->setWordWrap(true);
    m_restore->setObjectName(QStringLiteral("restoreKeptPositions"));
    m_restore->setToolTip(tr("Puts the positions back into the fields; nothing is saved"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_text, 1);
    layout->addWidget(m_restore);
    hide();
    connect(m_restore, &QPushButton::clicked, this, &KeptPositions::restore);
    connect(&window, &EditorWindow::fileOpened, this, &KeptPositions::offer);
    connect(&window, &EditorWindow::positionsSaved, this, &KeptPositions::forget);
}

void KeptPositions::offer() {
    hide();
    const QString path = m_window.currentFile();
    if (path.isEmpty())
        return;
    QSettings s = settings();
    s.beginGroup(groupOf(path));
    if (!s.contains(QStringLiteral("start")))
        return;
    if (s.value(QStringLiteral("stamp")).toString() != stampOf(path)) {
        // Changed since: the kept positions belong to another version of it.
        s.remove(QString());
        return;
    }
    m_start = s.value(QStringLiteral("start")).toLongLong();
    m_stop = s.value(QStringLiteral("stop")).toLongLong();
    m_text->setText(tr("not saved when Kestrin last closed: start %1, stop %2 —")
                        .arg(groupedNumber(m_start), groupedNumber(m_stop)));
    show();
}

void KeptPositions::restore() {
    m_window.setPositionFromView(LoopEnd::Start, static_cast<std::int32_t>(m_start));
    m_window.setPositionFromView(LoopEnd::Stop, static_cast<std::int32_t>(m_stop));
    m_window.statusBar()->showMessage(
        tr("Restored start %1 and stop %2, not saved yet.").arg(m_start).arg(m_stop));
    forget();
}

void KeptPositions::forget() {
    hide();
    ForgetKeptPositions(m_window.currentFile());
}

void ForgetKeptPositions(const QString& path) {
    if (path.isEmpty())
        return;
    QSettings s = settings();
    // Only what is there is removed: an exit without edits rewrites nothing.
    if (s.contains(groupOf(path) + QStringLiteral("/start")))
        s.remove(groupOf(path));
}

PositionKeeper::PositionKeeper(EditorWindow& window) : QObject(&window), m_window(window) {
    window.installEventFilter(this);
}

bool PositionKeeper::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &m_window && event->type() == QEvent::Close)
        keep();
    return false;
}

void PositionKeeper::keep() {
    const QString path = m_window.currentFile();
    if (path.isEmpty())
        return;
    const auto fields = m_window.storedPositions().values();
    QString error;
    const auto file = readSavedPositions(path, &error);
    if (!fields || !file || *fields == *file) {
        ForgetKeptPositions(path);
        return;
    }
    QSettings s = settings();
    s.beginGroup(groupOf(path));
    s.setValue(QStringLiteral("path"), QFileInfo(path).absoluteFilePath());
    s.setValue(QStringLiteral("start"), fields->start);
    s.setValue(QStringLiteral("stop"), fields->stop);
    s.setValue(QStringLiteral("stamp"), stampOf(path));
}

} // namespace kestrin::views
