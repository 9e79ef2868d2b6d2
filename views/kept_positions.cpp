// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/kept_positions.h"

#include "editor/editor_window.h"
#include "platform/settings.h"
#include "views/elided_label.h"
#include "views/saved_positions.h"

#include <QCloseEvent>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>

#include <algorithm>
#include <utility>
#include <vector>

namespace kestrin::views {

namespace {

const QString kGroup = QStringLiteral("keptPositions");
// The keys of one kept entry, as written and as carried over by pruning.
const QStringList kKeys = {QStringLiteral("path"), QStringLiteral("start"), QStringLiteral("stop"),
                           QStringLiteral("stamp"), QStringLiteral("time")};

// The settings group of `path`: a hash, as a path holds characters a key
// cannot.
QString groupOf(const QString& path) {
    const QByteArray absolute = QFileInfo(path).absoluteFilePath().toUtf8();
    return kGroup + u'/' +
           QString::fromLatin1(
               QCryptographicHash::hash(absolute, QCryptographicHash::Sha1).toHex());
}

// What tells a file changed since the positions were kept.
QString stampOf(const QString& path) {
    const QFileInfo info(path);
    return QStringLiteral("%1 %2").arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch());
}

// A kept count read back, refused unless a POS file can hold it: the
// settings file is text anyone may edit.
std::optional<std::int32_t> keptCount(const QVariant& value) {
    bool ok = false;
    const qlonglong n = value.toLongLong(&ok);
    if (!ok || !std::in_range<std::int32_t>(n))
        return std::nullopt;
    return static_cast<std::int32_t>(n);
}

// False when the settings could not be written, and so still hold them.
bool forgetKept(const QString& path) {
    QSettings s = KestrinSettings();
    // Only what is there is removed: nothing else is rewritten.
    if (path.isEmpty() || !s.contains(groupOf(path) + QStringLiteral("/start")))
        return true;
    s.remove(groupOf(path));
    s.sync();
    return s.status() == QSettings::NoError;
}

// Drops all but the MostKeptFiles entries kept last. The group is removed
// and the survivors written back at once: removing entries one by one costs
// a pass over the whole file each.
void pruneKept(QSettings& s) {
    // Entries are only ever in the user's own file: each look-up would
    // otherwise search the organisation's and the system's files too.
    s.setFallbacksEnabled(false);
    s.beginGroup(kGroup);
    const QStringList groups = s.childGroups();
    if (groups.size() > MostKeptFiles) {
        std::vector<std::pair<qlonglong, QString>> byTime;
        byTime.reserve(static_cast<std::size_t>(groups.size()));
        for (const QString& group : groups)
            byTime.emplace_back(s.value(group + QStringLiteral("/time")).toLongLong(), group);
        const auto kept = byTime.begin() + MostKeptFiles;
        std::nth_element(byTime.begin(), kept, byTime.end(), std::greater<>());
        std::vector<std::pair<QString, QVariant>> survivors;
        for (auto entry = byTime.begin(); entry != kept; ++entry)
            for (const QString& key : kKeys)
                if (const QString name = entry->second + u'/' + key; s.contains(name))
                    survivors.emplace_back(name, s.value(name));
        s.remove(QString());
        for (const auto& [name, value] : survivors)
            s.setValue(name, value);
    }
    s.endGroup();
}

} // namespace

KeptPositionsOffer::KeptPositionsOffer(EditorWindow& window, QWidget* parent)
    : QWidget(parent), m_window(window), m_text(new ElidedLabel(Qt::ElideRight, this)) {
    setObjectName(QStringLiteral("keptPositions"));
    m_text->setObjectName(QStringLiteral("keptPositionsText"));
    auto* restore = new QPushButton(tr("&Restore"), this);
    restore->setObjectName(QStringLiteral("restoreKeptPositions"));
    restore->setToolTip(tr("Puts the positions back into the fields; nothing is saved"));
    auto* discard = new QPushButton(tr("&Discard"), this);
    discard->setObjectName(QStringLiteral("discardKeptPositions"));
    discard->setToolTip(tr("Forgets these positions; the fields and the file stay as they are"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_text, 1);
    layout->addWidget(restore);
    layout->addWidget(discard);
    hide();
    connect(restore, &QPushButton::clicked, this, &KeptPositionsOffer::restore);
    connect(discard, &QPushButton::clicked, this, &KeptPositionsOffer::forget);
    connect(&window, &EditorWindow::fileOpened, this, &KeptPositionsOffer::offer);
    connect(&window, &EditorWindow::positionsSaved, this, &KeptPositionsOffer::forget);
}

void KeptPositionsOffer::offer() {
    hide();
    const QString path = m_window.currentFile();
    if (path.isEmpty())
        return;
    QSettings s = KestrinSettings();
    s.beginGroup(groupOf(path));
    const auto start = keptCount(s.value(QStringLiteral("start")));
    const auto stop = keptCount(s.value(QStringLiteral("stop")));
    if (!start || !stop)
        return;
    m_start = *start;
    m_stop = *stop;
    QString text = tr("Not saved when Kestrin last left this file: start %1, stop %2")
                       .arg(groupedNumber(m_start), groupedNumber(m_stop));
    // Offered all the same: they may still be what the user wants.
    if (s.value(QStringLiteral("stamp")).toString() != stampOf(path))
        text += tr(" (the file has changed since)");
    m_text->setFullText(text);
    show();
}

void KeptPositionsOffer::restore() {
    m_window.setPositionFromView(LoopEnd::Start, m_start);
    m_window.setPositionFromView(LoopEnd::Stop, m_stop);
    m_window.statusBar()->showMessage(
        tr("Restored start %1 and stop %2, not saved yet.").arg(m_start).arg(m_stop));
    forget();
}

void KeptPositionsOffer::forget() {
    hide();
    if (!forgetKept(m_window.currentFile()))
        m_window.statusBar()->showMessage(
            tr("The positions kept for %1 could not be forgotten: the settings file cannot be "
               "written, and they will be offered again.")
                .arg(QFileInfo(m_window.currentFile()).fileName()));
}

KeptPositionsKeeper::KeptPositionsKeeper(EditorWindow& window)
    : QObject(&window), m_window(window) {
    // A settings file grown by an older version shrinks once, here: every
    // exit rewrites it whole.
    QSettings s = KestrinSettings();
    pruneKept(s);
    window.installEventFilter(this);
    connect(&window, &EditorWindow::leavingFile, this,
            [this](const QString& path) { m_unkept = keep(path); });
    // After the other views have spoken of the new file, so that this stays.
    connect(&window, &EditorWindow::fileOpened, this, [this](const QString& path) {
        takeBase();
        m_stamp = stampOf(path);
        if (!m_unkept.isEmpty())
            m_window.statusBar()->showMessage(std::exchange(m_unkept, QString()));
    });
    connect(&window, &EditorWindow::positionsSaved, this, [this] {
        takeBase();
        m_stamp = stampOf(m_window.currentFile());
    });
    connect(&window, &EditorWindow::sampleFieldsChanged, this, [this] { m_exitHeld = false; });
}

void KeptPositionsKeeper::takeBase() {
    m_base = m_window.storedPositions().values();
}

bool KeptPositionsKeeper::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &m_window || event->type() != QEvent::Close || m_window.currentFile().isEmpty())
        return false;
    const QString unkept = keep(m_window.currentFile());
    if (unkept.isEmpty() || std::exchange(m_exitHeld, true))
        return false;
    // Closing now would lose them unseen: the window stays this once.
    m_window.statusBar()->showMessage(unkept + tr(" Exit again to leave without them."));
    event->ignore();
    return true;
}

QString KeptPositionsKeeper::keep(const QString& path) {
    const StoredPositions stored = m_window.storedPositions();
    const auto fields = stored.values();
    QString error;
    const auto file = readSavedPositions(path, &error);
    // Unedited, or as the file holds them: nothing of this run to keep, and
    // an entry kept before (by an earlier run, or another window) stays.
    if (fields && (fields == m_base || fields == file))
        return {};
    const QString name = QFileInfo(path).fileName();
    if (!fields)
        return tr("The unsaved positions of %1 were not kept: start \"%2\" and stop \"%3\" are "
                  "not both sample counts a POS file can hold.")
            .arg(name, stored.start.text.left(64), stored.stop.text.left(64));
    // Kept even when the file cannot be read now (moved, say): its path is
    // known, and it may come back.
    QSettings s = KestrinSettings();
    s.beginGroup(groupOf(path));
    s.setValue(QStringLiteral("path"), QFileInfo(path).absoluteFilePath());
    s.setValue(QStringLiteral("start"), fields->start);
    s.setValue(QStringLiteral("stop"), fields->stop);
    s.setValue(QStringLiteral("stamp"), m_stamp);
    s.setValue(QStringLiteral("time"), QDateTime::currentMSecsSinceEpoch());
    s.endGroup();
    pruneKept(s);
    s.sync();
    if (s.status() == QSettings::NoError)
        return {};
    return tr("The unsaved positions of %1 (start %2, stop %3) were not kept: the settings "
              "file %4 cannot be written.")
        .arg(name, groupedNumber(fields->start), groupedNumber(fields->stop),
             QDir::toNativeSeparators(s.fileName()));
}

} // namespace kestrin::views
