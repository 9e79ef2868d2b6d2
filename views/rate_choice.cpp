// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/rate_choice.h"

#include "core/loop_problems.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace kestrin::views {

namespace {

QString pathKey(const sound::CompanionAudio& audio) {
    return QFileInfo(audio.path).absoluteFilePath();
}

} // namespace

QString FramesNote(const QString& audioPath, int sampleRate) {
    const std::string note =
        FramesOfAudioNote(QFileInfo(audioPath).fileName().toStdString(), sampleRate);
    return note.empty() ? QString() : QStringLiteral(" (%1)").arg(QString::fromStdString(note));
}

bool RateChoice::framesOfAudio(const sound::CompanionAudio& audio) const {
    return m_framesOfAudio.contains(pathKey(audio));
}

bool RateChoice::agreed(QWidget* parent, const sound::CompanionAudio& audio, const QString& title,
                        const QString& consequence) {
    const std::string name = QFileInfo(audio.path).fileName().toStdString();
    const AudioRate choice = framesOfAudio(audio) ? AudioRate::FramesOfAudio : AudioRate::PosRate;
    const auto refusal = OtherRateRefusal(name, audio.sampleRate, choice);
    if (!refusal)
        return true;
    QMessageBox box(QMessageBox::Question, title,
                    QString::fromStdString(*refusal) + QStringLiteral(". ") + consequence, {},
                    parent);
    box.setObjectName(QStringLiteral("otherRateRefusal"));
    box.setInformativeText(
        QObject::tr("Count in frames of the audio instead, as kestrin-pos does with "
                    "--frames-of-audio and as vgmstream reads a POS file? Asked once for this "
                    "file while Kestrin runs."));
    QPushButton* frames =
        box.addButton(QObject::tr("Use &Frames of Audio"), QMessageBox::AcceptRole);
    frames->setObjectName(QStringLiteral("useFramesOfAudio"));
    // Enter keeps the safe answer: the positions stay as they are.
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));
    box.exec();
    if (box.clickedButton() != frames)
        return false;
    m_framesOfAudio.insert(pathKey(audio));
    return true;
}

} // namespace kestrin::views
