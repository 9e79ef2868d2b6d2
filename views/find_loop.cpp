// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/find_loop.h"

#include "core/clock_text.h"
#include "core/seam_figures.h"
#include "editor/editor_window.h"
#include "views/loop_menu.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <vector>

namespace kestrin::views {

namespace {

enum Column {
    StartColumn,
    StopColumn,
    LengthColumn,
    MatchColumn,
    KindColumn,
    ShareColumn,
    SeamColumn,
    ColumnCount
};

// Each row keeps its loop under these roles of the first column.
constexpr int kStartRole = Qt::UserRole;
constexpr int kStopRole = Qt::UserRole + 1;

QString samplesAndClock(std::int64_t frames, int rate) {
    return QStringLiteral("%1 (%2)").arg(frames).arg(
        QString::fromStdString(ClockText(frames, rate)));
}

} // namespace

FindLoopDialog::FindLoopDialog(EditorWindow& window, LoopMenu& menu)
    : QDialog(&window), m_window(window), m_menu(menu), m_message(new QLabel(this)),
      m_progress(new QProgressBar(this)), m_list(new QTreeWidget(this)),
      m_buttons(new QDialogButtonBox(QDialogButtonBox::Cancel, this)),
      m_use(m_buttons->addButton(tr("&Use"), QDialogButtonBox::ApplyRole)),
      m_play(m_buttons->addButton(tr("&Play Seam"), QDialogButtonBox::ActionRole)) {
    setObjectName(QStringLiteral("findLoopDialog"));
    setWindowTitle(tr("Find Loop Points"));
    setModal(false);
    m_message->setObjectName(QStringLiteral("findLoopMessage"));
    m_message->setTextFormat(Qt::PlainText);
    m_message->setWordWrap(true);
    m_progress->setObjectName(QStringLiteral("findLoopProgress"));
    m_progress->setRange(0, 100);
    m_progress->setAccessibleName(tr("Search progress"));
    m_list->setObjectName(QStringLiteral("findLoopCandidates"));
    m_list->setAccessibleName(tr("Loop candidates"));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setColumnCount(ColumnCount);
    m_list->setHeaderLabels(
        {tr("Start"), tr("Stop"), tr("Length"), tr("Match"), tr("Kind"), tr("Share"), tr("Seam")});
    m_list->headerItem()->setToolTip(
        KindColumn, tr("exact: the track repeats itself to the sample; musical: the music "
                       "comes back played again, and the loop joins the same place in two "
                       "renditions; whole track: the track's end goes back to its start, as "
                       "a game plays a song shipped as one pass"));
    m_list->headerItem()->setToolTip(ShareColumn,
                                     tr("How much of the track the loop plays each time round"));
    m_list->headerItem()->setToolTip(
        MatchColumn, tr("How much of the track plays again unchanged one loop later, from 0 to "
                        "1: higher is better"));
    m_list->headerItem()->setToolTip(
        SeamColumn, tr("How the jump from stop back to start sounds, as kestrin-pos check and "
                       "the waveform panel say it"));
    m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_list->setMinimumWidth(720);
    m_use->setObjectName(QStringLiteral("findLoopUse"));
    m_use->setToolTip(tr("Sets the start and stop to the chosen loop; nothing is saved"));
    m_use->setDefault(true);
    m_play->setObjectName(QStringLiteral("findLoopPlay"));
    m_play->setToolTip(tr("Plays the chosen loop's seam, as F5 does; nothing is set or saved"));
    m_play->setAccessibleDescription(m_play->toolTip());
    m_play->setAutoDefault(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_message);
    layout->addWidget(m_progress);
    layout->addWidget(m_list, 1);
    layout->addWidget(m_buttons);

    connect(m_buttons, &QDialogButtonBox::rejected, this, &FindLoopDialog::reject);
    connect(m_use, &QPushButton::clicked, this, &FindLoopDialog::useSelected);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, &FindLoopDialog::useSelected);
    connect(m_list, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        m_use->setEnabled(item != nullptr && !m_searching);
        m_play->setEnabled(item != nullptr && !m_searching);
    });
    connect(m_play, &QPushButton::clicked, this,
            [this] { m_menu.play(LoopMenu::Mode::Seam, highlighted()); });
    // A candidate is heard before it is used: F5, F6 and F7 play the
    // highlighted one (the fields' positions while there is none), and
    // nothing is set or saved.
    const std::pair<LoopMenu::Mode, Qt::Key> keys[] = {{LoopMenu::Mode::Seam, Qt::Key_F5},
                                                       {LoopMenu::Mode::Loop, Qt::Key_F6},
                                                       {LoopMenu::Mode::Audition, Qt::Key_F7}};
    for (const auto& [mode, key] : keys) {
        auto* hear = new QAction(this);
        hear->setShortcut(key);
        hear->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(hear, &QAction::triggered, this,
                [this, mode] { m_menu.play(mode, highlighted()); });
        addAction(hear);
    }
}

std::optional<LoopPoints> FindLoopDialog::highlighted() const {
    const QTreeWidgetItem* item = m_list->currentItem();
    if (m_searching || !item)
        return std::nullopt;
    return LoopPoints{item->data(StartColumn, kStartRole).toLongLong(),
                      item->data(StartColumn, kStopRole).toLongLong()};
}

void FindLoopDialog::say(const QString& text, bool onStatusBar) {
    m_message->setText(text);
    if (onStatusBar)
        m_window.statusBar()->showMessage(text);
}

void FindLoopDialog::search(const sound::CompanionAudio& audio,
                            const std::optional<LoopPoints>& near) {
    sound::SoundEngine* engine = m_menu.engine();
    if (!engine)
        return;
    m_audioName = QFileInfo(audio.path).fileName();
    m_rate = audio.sampleRate;
    m_frames = audio.frames;
    m_near = near;
    setWindowTitle(m_near ? tr("Refine Loop Points") : tr("Find Loop Points"));
    m_list->setAccessibleDescription(
        (m_near ? tr("Seamless loops near the start and stop")
                : tr("Loops in the audio, seamless or not")) +
        tr(", best first: start, stop, length, match, kind, how much of the track it plays "
           "and how the seam sounds"));
    m_searching = true;
    m_list->clear();
    m_list->setEnabled(false);
    m_use->setEnabled(false);
    m_play->setEnabled(false);
    m_buttons->button(QDialogButtonBox::Cancel)->setText(tr("Cancel"));
    m_progress->setValue(0);
    m_progress->show();
    say(m_near ? tr("Looking for the best seamless loop within 2 s of start %1 and stop %2 in "
                    "%3...")
                     .arg(near->start)
                     .arg(near->stop)
                     .arg(m_audioName)
               : tr("Looking for seamless loops in %1...").arg(m_audioName),
        false);
    show();
    raise();
    activateWindow();
    m_buttons->button(QDialogButtonBox::Cancel)->setFocus();
    QPointer<FindLoopDialog> self = this;
    engine->findLoops(
        audio.path,
        [self](double fraction) {
            if (self)
                self->showProgress(fraction);
        },
        [self](const sound::LoopSearchResult& result) {
            if (self)
                self->showResult(result);
        },
        near);
}

void FindLoopDialog::showProgress(double fraction) {
    m_progress->setValue(static_cast<int>(fraction * 100));
}

void FindLoopDialog::showResult(const sound::LoopSearchResult& result) {
    m_searching = false;
    m_progress->hide();
    m_buttons->button(QDialogButtonBox::Cancel)->setText(tr("Close"));
    if (!result.error.isEmpty()) {
        say(tr("Could not search %1 for loops: %2. The positions are unchanged.")
                .arg(m_audioName, result.error),
            true);
        return;
    }
    if (result.candidates.empty()) {
        say(m_near ? tr("No seamless loop within 2 s of the start and stop in %1. The positions "
                        "are unchanged.")
                         .arg(m_audioName)
                   : tr("No seamless loop in %1: no natural loop, nothing in it repeats exactly "
                        "or as music. The positions are unchanged.")
                         .arg(m_audioName),
            true);
        return;
    }
    std::vector<LoopCandidate> candidates = result.candidates;
    // Best first, as the dialog says, for a Refine too: its search lists the
    // given loop first, then the exact loops by distance, then musical ones.
    if (m_near)
        std::stable_sort(
            candidates.begin(), candidates.end(),
            [](const LoopCandidate& a, const LoopCandidate& b) { return a.score > b.score; });
    for (const LoopCandidate& loop : candidates) {
        auto* item = new QTreeWidgetItem(m_list);
        item->setText(StartColumn, samplesAndClock(loop.start, m_rate));
        item->setText(StopColumn, samplesAndClock(loop.stop, m_rate));
        item->setText(LengthColumn, samplesAndClock(loop.stop - loop.start, m_rate));
        item->setText(MatchColumn, QString::number(loop.score, 'f', 3));
        item->setToolTip(MatchColumn, tr("Match %1 (1 is best); seam score %2 (0 is inaudible)")
                                          .arg(QString::number(loop.score, 'f', 3),
                                               QString::number(loop.seam, 'g', 2)));
        item->setText(KindColumn, QString::fromLatin1(LoopKindWord(loop.kind)));
        item->setText(ShareColumn, tr("%1 %").arg(PercentOfTrack(loop, m_frames)));
        item->setTextAlignment(ShareColumn, Qt::AlignRight | Qt::AlignVCenter);
        item->setText(SeamColumn, QString::fromStdString(SeamVerdict(loop.judged)));
        item->setData(StartColumn, kStartRole, QVariant::fromValue<qint64>(loop.start));
        item->setData(StartColumn, kStopRole, QVariant::fromValue<qint64>(loop.stop));
        for (int c = 0; c < KindColumn; ++c) // figures right, words left
            item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
    }
    m_list->setEnabled(true);
    m_list->setCurrentItem(m_list->topLevelItem(0));
    m_list->setFocus();
    say(foundText(result.candidates) + QLatin1Char(' ') +
            tr("Use sets the start and stop; nothing is saved until you save."),
        false);
}

QString FindLoopDialog::foundText(const std::vector<LoopCandidate>& candidates) const {
    const auto count = static_cast<int>(candidates.size());
    const auto seamless = static_cast<int>(
        std::count_if(candidates.begin(), candidates.end(),
                      [](const LoopCandidate& c) { return IsSeamless(c.judged); }));
    // The whole track of a song shipped as one pass is offered as it
    // sounds: the count says so rather than calling every loop seamless.
    if (seamless == count)
        return count == 1 ? tr("1 seamless loop in %1.").arg(m_audioName)
                          : tr("%1 seamless loops in %2, best first.").arg(count).arg(m_audioName);
    if (count == 1)
        return tr("1 loop in %1, and its seam can be heard.").arg(m_audioName);
    return seamless == 0 ? tr("%1 loops in %2, best first; the seam of each can be heard.")
                               .arg(count)
                               .arg(m_audioName)
                         : tr("%1 loops in %2, best first; %3 of them seamless.")
                               .arg(count)
                               .arg(m_audioName)
                               .arg(seamless);
}

void FindLoopDialog::useSelected() {
    const QTreeWidgetItem* item = m_list->currentItem();
    if (m_searching || !item)
        return;
    const qint64 start = item->data(StartColumn, kStartRole).toLongLong();
    const qint64 stop = item->data(StartColumn, kStopRole).toLongLong();
    if (start < 0 || stop > std::numeric_limits<std::int32_t>::max()) {
        say(tr("This loop lies beyond what a POS file can hold. The positions are unchanged."),
            true);
        return;
    }
    // Candidates are frames of the audio; a POS file counts at 44,100 per second.
    if (!m_menu.audio() ||
        !m_menu.rateChoice().agreed(this, *m_menu.audio(), tr("Loop Not Used"),
                                    tr("This loop counts frames of that audio."))) {
        say(tr("Not used: %1 is at %2 Hz, and its frames were not taken as positions. The "
               "positions are unchanged.")
                .arg(m_audioName, QString::fromStdString(GroupedText(m_rate))),
            true);
        return;
    }
    m_window.setPositionFromView(LoopEnd::Start, static_cast<std::int32_t>(start));
    m_window.setPositionFromView(LoopEnd::Stop, static_cast<std::int32_t>(stop));
    say(tr("Start %1 and stop %2 set, not saved yet: F5 plays the seam.").arg(start).arg(stop) +
            FramesNote(m_audioName, m_rate),
        true);
}

void FindLoopDialog::cancelSearch() {
    if (!m_searching)
        return;
    m_searching = false;
    if (sound::SoundEngine* engine = m_menu.engine())
        engine->cancelFindLoops();
    m_progress->hide();
    m_buttons->button(QDialogButtonBox::Cancel)->setText(tr("Close"));
    say(tr("Loop search cancelled. The positions are unchanged."), true);
}

void FindLoopDialog::reject() {
    cancelSearch();
    QDialog::reject();
}

void FindLoopDialog::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    // Refine is asked for from the seam being worked on: back there, Ctrl+Z
    // and the arrow keys act on the loop at once, not on whichever spin box
    // the window last had. After the hide has given the window back its
    // focus, not before.
    if (m_near && m_backTo && m_backTo->isVisible())
        QTimer::singleShot(0, m_backTo, [to = m_backTo] {
            if (to)
                to->setFocus(Qt::OtherFocusReason);
        });
}

LoopSearchCommand::LoopSearchCommand(EditorWindow& window, LoopMenu& menu, const QString& text)
    : QObject(&window), m_window(window), m_menu(menu), m_action(new QAction(text, this)) {
    connect(m_action, &QAction::triggered, this, &LoopSearchCommand::trigger);
    window.installEventFilter(this);
    // Candidates belong to the audio they were found in.
    connect(&menu, &LoopMenu::audioChanged, this, [this] {
        if (m_dialog)
            m_dialog->reject();
    });
}

bool LoopSearchCommand::eventFilter(QObject* watched, QEvent* event) {
    // A close hides the window on purpose; minimising hides it spontaneously.
    if (watched == &m_window && event->type() == QEvent::Hide && !event->spontaneous() &&
        m_dialog && m_dialog->searching())
        m_dialog->reject();
    return QObject::eventFilter(watched, event);
}

const sound::CompanionAudio* LoopSearchCommand::searchable(const Refusals& refusals) {
    if (m_window.currentFile().isEmpty()) {
        m_window.statusBar()->showMessage(refusals.noFile);
        return nullptr;
    }
    if (!m_menu.audio() || !m_menu.engine()) {
        m_window.statusBar()->showMessage(
            refusals.noAudio.arg(QFileInfo(m_window.currentFile()).fileName()));
        return nullptr;
    }
    return &*m_menu.audio();
}

FindLoopDialog& LoopSearchCommand::dialog() {
    if (!m_dialog)
        m_dialog = new FindLoopDialog(m_window, m_menu);
    return *m_dialog;
}

FindLoopCommand::FindLoopCommand(EditorWindow& window, LoopMenu& menu)
    : LoopSearchCommand(window, menu, tr("&Find Loop Points…")) {
    m_action->setObjectName(QStringLiteral("mnuFindLoopPoints"));
    m_action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    m_action->setStatusTip(tr("Looks for seamless loops in the audio beside the POS file"));
    QMenu* loopMenu = window.loopMenu();
    QAction* first = loopMenu->actions().value(0);
    loopMenu->insertAction(first, m_action);
    loopMenu->insertSeparator(first);
}

void FindLoopCommand::trigger() {
    const sound::CompanionAudio* audio =
        searchable({tr("Open a POS file to find its loop."),
                    tr("Cannot find a loop: there is no audio file beside %1. The positions are "
                       "unchanged.")});
    if (audio)
        dialog().search(*audio);
}

} // namespace kestrin::views
