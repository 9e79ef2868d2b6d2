// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/loop_interchange_actions.h"

#include "core/clock_text.h"
#include "core/loop_formats.h"
#include "core/loop_problems.h"
#include "core/positions.h"
#include "editor/editor_window.h"
#include "views/loop_menu.h"
#include "views/waveform_panel.h"

#include <QAction>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
#include <QStatusBar>

#include <limits>

namespace kestrin::views {

LoopInterchangeActions::LoopInterchangeActions(EditorWindow& window, LoopMenu& menu,
                                               const WaveformPanel& panel)
    : QObject(&window), m_window(window), m_menu(menu), m_panel(panel) {
    QMenu* loopMenu = window.loopMenu();
    loopMenu->addSeparator();
    m_export = loopMenu->addAction(tr("&Export Loop…"), this, [this] { exportLoop(); });
    m_export->setObjectName(QStringLiteral("mnuExportLoop"));
    m_export->setEnabled(false);
    m_import = loopMenu->addAction(tr("&Import Loop from Audio"), this, [this] { importLoop(); });
    m_import->setObjectName(QStringLiteral("mnuImportLoop"));
    m_import->setEnabled(false);
    m_import->setStatusTip(tr("Open a POS file whose audio holds a loop"));
    connect(&menu, &LoopMenu::audioChanged, this, &LoopInterchangeActions::audioChanged);
    connect(&window, &EditorWindow::fileOpened, this, [this] { m_export->setEnabled(true); });
    connect(&window, &EditorWindow::sampleFieldsChanged, this, &LoopInterchangeActions::updateNote);
}

void LoopInterchangeActions::audioChanged(const std::optional<sound::CompanionAudio>& audio) {
    m_audio = audio;
    const bool loop = audio && audio->embeddedLoop;
    m_import->setEnabled(loop);
    m_import->setStatusTip(loop ? tr("Sets start and stop to the loop of %1's smpl chunk")
                                      .arg(QFileInfo(audio->path).fileName())
                           : audio ? tr("%1 holds no loop").arg(QFileInfo(audio->path).fileName())
                                   : tr("Open a POS file whose audio holds a loop"));
    // The waveform panel makes its dock on the first audio, reacting before
    // this (it is attached first); the note goes below it.
    if (!m_note && audio) {
        if (QDockWidget* dock = m_panel.dock();
            dock && dock->widget() && dock->widget()->layout()) {
            m_note = new QLabel(dock->widget());
            m_note->setObjectName(QStringLiteral("loopTagsNote"));
            m_note->setTextFormat(Qt::PlainText);
            m_note->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                            Qt::TextSelectableByKeyboard);
            m_note->hide();
            dock->widget()->layout()->addWidget(m_note);
        }
    }
    updateNote();
}

void LoopInterchangeActions::updateNote() {
    if (!m_note)
        return;
    const auto fields = m_window.storedPositions().values();
    if (!m_audio || !m_audio->embeddedLoop || !fields ||
        (fields->start == m_audio->embeddedLoop->start &&
         fields->stop == m_audio->embeddedLoop->stop && m_audio->sampleRate == SamplesPerSecond)) {
        m_note->hide();
        return;
    }
    QString text = tr("%1's smpl loop is %2..%3; the POS file's is %4..%5")
                       .arg(QFileInfo(m_audio->path).fileName())
                       .arg(m_audio->embeddedLoop->start)
                       .arg(m_audio->embeddedLoop->stop)
                       .arg(fields->start)
                       .arg(fields->stop);
    if (m_audio->sampleRate != SamplesPerSecond)
        text += tr(" (the audio's at %1 Hz)").arg(m_audio->sampleRate);
    m_note->setText(text);
    m_note->show();
}

void LoopInterchangeActions::importLoop() {
    if (!m_audio || !m_audio->embeddedLoop)
        return;
    const QString name = QFileInfo(m_audio->path).fileName();
    const LoopPoints loop = *m_audio->embeddedLoop;
    if (refusedRate(tr("Loop Not Imported"), tr("Its smpl loop counts frames of that audio."),
                    tr("the positions are unchanged")))
        return;
    // smpl counts are unsigned 32-bit: 0x80000000 and above would wrap to a
    // negative position, so both ends are checked, as kestrin-pos import does.
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (loop.start < 0 || loop.start > kMax || loop.stop < 0 || loop.stop > kMax) {
        m_window.statusBar()->showMessage(
            tr("Not imported: the smpl loop %1..%2 of %3 lies beyond what a POS file can hold "
               "(0 to %4).")
                .arg(loop.start)
                .arg(loop.stop)
                .arg(name)
                .arg(kMax));
        return;
    }
    m_window.setPositionFromView(LoopEnd::Start, static_cast<std::int32_t>(loop.start));
    m_window.setPositionFromView(LoopEnd::Stop, static_cast<std::int32_t>(loop.stop));
    m_window.statusBar()->showMessage(
        tr("Loop %1..%2 from the smpl chunk of %3 set, not saved yet.")
            .arg(loop.start)
            .arg(loop.stop)
            .arg(name) +
        FramesNote(m_audio->path, m_audio->sampleRate));
}

bool LoopInterchangeActions::refusedRate(const QString& title, const QString& question,
                                         const QString& consequence) {
    if (!m_audio || m_menu.rateChoice().agreed(&m_window, *m_audio, title, question))
        return false;
    m_window.statusBar()->showMessage(
        tr("%1 is at %2 Hz, and its frames were not taken as positions: %3.")
            .arg(QFileInfo(m_audio->path).fileName(),
                 QString::fromStdString(GroupedText(m_audio->sampleRate)), consequence));
    return true;
}

void LoopInterchangeActions::exportLoop() {
    const auto loop = m_window.storedPositions().values();
    if (!loop) {
        m_window.statusBar()->showMessage(
            tr("Not exported: a sample field holds no position a POS file can store."));
        return;
    }
    // A player reads the playlist's numbers as frames of the audio.
    if (refusedRate(tr("Loop Not Exported"),
                    tr("A playlist or label track written from these positions as 44,100 per "
                       "second would put the loop elsewhere."),
                    tr("nothing is exported")))
        return;
    const QFileInfo base(m_window.currentFile());
    const QString playlist = tr("vgmstream playlist (*.txtp)");
    const QString labels = tr("Label track in seconds (*.txt)");
    // Window-modal and not blocking: the window goes on drawing meanwhile.
    auto* dialog = new QFileDialog(&m_window, tr("Export Loop"), base.absolutePath(),
                                   playlist + QStringLiteral(";;") + labels);
    dialog->setObjectName(QStringLiteral("exportLoopDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("txtp"));
    dialog->selectFile(base.completeBaseName() + QStringLiteral(".txtp"));
    connect(dialog, &QFileDialog::filterSelected, dialog, [=](const QString& filter) {
        const QString suffix = filter == labels ? QStringLiteral("txt") : QStringLiteral("txtp");
        dialog->setDefaultSuffix(suffix);
        dialog->selectFile(base.completeBaseName() + '.' + suffix);
    });
    connect(dialog, &QFileDialog::fileSelected, this,
            [this, loop, base](const QString& target) { writeExport(target, *loop, base); });
    dialog->open();
}

void LoopInterchangeActions::writeExport(const QString& target, const PosValues& loop,
                                         const QFileInfo& posFile) {
    const bool asLabels = target.endsWith(QStringLiteral(".txt"), Qt::CaseInsensitive);
    const QString suffix = posFile.suffix();
    const QString audio = m_audio ? QFileInfo(m_audio->path).fileName()
                                  : posFile.completeBaseName() + (suffix == suffix.toUpper()
                                                                      ? QStringLiteral(".WAV")
                                                                      : QStringLiteral(".wav"));
    // vgmstream reads a '#' as the start of a command.
    if (!asLabels && audio.contains('#')) {
        m_window.statusBar()->showMessage(
            tr("Not exported: a playlist cannot name %1, which holds '#'.").arg(audio));
        return;
    }
    // Past the rate question, the positions are frames of audio at its own rate.
    const int rate = m_audio ? m_audio->sampleRate : SamplesPerSecond;
    const std::string text = asLabels ? LabelText(loop, rate) : TxtpText(audio.toStdString(), loop);
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !out.commit()) {
        m_window.statusBar()->showMessage(
            tr("Cannot write %1: %2").arg(QDir::toNativeSeparators(target), out.errorString()));
        return;
    }
    // Written all the same, as kestrin-pos export does, with what players make of it.
    std::vector<std::string> warnings = PositionProblems(loop);
    if (!m_audio)
        warnings.insert(warnings.begin(), NoAudioProblem(posFile.filePath().toStdString(), "it") +
                                              ": players drop the loop");
    QString said = tr("Loop %1..%2 exported to %3.")
                       .arg(loop.start)
                       .arg(loop.stop)
                       .arg(QDir::toNativeSeparators(target)) +
                   (m_audio ? FramesNote(m_audio->path, rate) : QString());
    for (const std::string& warning : warnings)
        said += tr(" Warning: %1.").arg(QString::fromStdString(warning));
    m_window.statusBar()->showMessage(said);
}

} // namespace kestrin::views
