// SPDX-License-Identifier: GPL-3.0-or-later
// The File menu: Open, Save and Exit. A failure here is reported in a message
// box and ends only the command; the editor and every value in it stay.
#include "editor/editor_window.h"

#include "core/pos_file.h"
#include "core/positions.h"
#include "dialogs/common_dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>

#include <climits>
#include <utility>

namespace kestrin {

namespace {

std::filesystem::path toPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QString fileErrorMessage(const QString& action, const QString& path, const PosFileError& e) {
    if (const auto* notPos = dynamic_cast<const NotAPosFileError*>(&e))
        return QObject::tr("Could not %1 the POS file\n%2\n\nThis file is in %3 format, not a POS "
                           "file: writing positions into it would break it. The POS file that "
                           "belongs to it would be\n%4")
            .arg(action, QDir::toNativeSeparators(path), QString::fromStdString(notPos->format()),
                 QDir::toNativeSeparators(QFile::decodeName(notPos->posFile().c_str())));
    const auto* device = dynamic_cast<const NotARegularFileError*>(&e);
    const std::string reason =
        device ? "It is " + device->kind() + ", not a regular file" : e.reason();
    return QObject::tr("Could not %1 the POS file\n%2\n\n%3.")
        .arg(action, QDir::toNativeSeparators(path), QString::fromStdString(reason));
}

} // namespace

void EditorWindow::reportFailure(const QString& message) {
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), message,
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText); // file names are never markup
    box.exec();
}

void EditorWindow::mnuOpenPOSFile_Click() {
    auto& settings = CommonDialogs::FileDialogSettings;
    settings.OwnerWindow = this;
    settings.DefaultExt = QStringLiteral("POS");
    settings.Filter = QStringLiteral("POS Files") + QChar(u'\0') + QStringLiteral("*.POS");
    settings.FileTitle = QStringLiteral("*.POS");
    settings.Flags = CommonDialogs::OFN_PATHMUSTEXIST | CommonDialogs::OFN_FILEMUSTEXIST;
    settings.DialogTitle = QStringLiteral("Open an QRV POS File");
    if (!CommonDialogs::ShowFileDialog()) {
        // A confirmed name the dialog could not hand over must not pass for a
        // cancel: the status would go on naming the previous file.
        if (const QString rejected = CommonDialogs::RejectedFileName(); !rejected.isEmpty())
            reportPathTooLong(rejected);
        return;
    }
    loadChosenFile(settings.FileName);
}

bool EditorWindow::openPosFile(const QString& path) {
    // The full, cleaned path the dialog would have handed back for this file.
    const QString full =
        QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (full.size() > CommonDialogs::MaxPathLength) {
        reportPathTooLong(full);
        return false;
    }
    return loadChosenFile(full);
}

void EditorWindow::reportPathTooLong(const QString& path) {
    reportFailure(tr("Could not open the POS file\n%1\n\nIts path is %2 characters long; "
                     "paths of at most %3 characters can be opened.")
                      .arg(QDir::toNativeSeparators(path))
                      .arg(path.size())
                      .arg(CommonDialogs::MaxPathLength));
}

bool EditorWindow::loadChosenFile(const QString& path) {
    PosFileInfo file;
    try {
        file = InspectPosFile(toPath(path));
    } catch (const PosFileError& e) {
        if (const auto* notPos = dynamic_cast<const NotAPosFileError*>(&e))
            if (const auto opened =
                    offerPosFile(path, QFile::decodeName(notPos->posFile().c_str())))
                return *opened;
        // CurrentFile keeps naming the last file that did load, so a later
        // Save can never write these fields into the file that failed.
        reportFailure(fileErrorMessage(tr("open"), path, e));
        return false;
    }
    if (!CurrentFile.isEmpty())
        emit leavingFile(CurrentFile);
    CurrentFile = path;
    const PosValues values = file.values;
    UpdateSliders(values.start, values.stop);
    UpdateTimeFields(values.start, values.stop);
    // Zeros from an empty file or a device are no stored loop: the status
    // says what was read, as kestrin-pos check does.
    QString note;
    if (!file.kind.empty())
        note = tr(" (%1, not a regular file)").arg(QString::fromStdString(file.kind));
    else if (file.size != 8)
        note = tr(" (the file is %1 bytes long, not 8)").arg(file.size);
    lblStatus->setText(QFileInfo(path).fileName() + QStringLiteral(" Loaded...") + note);
    emit fileOpened(CurrentFile);
    return true;
}

std::optional<bool> EditorWindow::offerPosFile(const QString& audio, const QString& posFile) {
    if (!m_audioLength || QFileInfo::exists(posFile))
        return std::nullopt;
    const std::optional<std::int64_t> length = m_audioLength(posFile);
    if (!length || *length <= 0 || *length > INT32_MAX)
        return std::nullopt;
    const auto stop = static_cast<std::int32_t>(*length);
    QMessageBox box(QMessageBox::Question, QApplication::applicationName(),
                    tr("%1 is audio, not a POS file.\n\nCreate the POS file that belongs to "
                       "it,\n%2\nlooping the whole audio (start 0, stop %3), and open it?")
                        .arg(QFileInfo(audio).fileName(), QDir::toNativeSeparators(posFile))
                        .arg(stop),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText); // file names are never markup
    if (box.exec() != QMessageBox::Yes)
        return false;
    try {
        // Both fields given: created when missing, never truncated.
        (void)UpdatePosFile(toPath(posFile), 0, stop);
    } catch (const PosFileError& e) {
        reportFailure(fileErrorMessage(tr("create"), posFile, e));
        return false;
    }
    return loadChosenFile(posFile);
}

void EditorWindow::mnuSavePOSFile_Click() {
    lblStatus->setText(QString());
    if (CurrentFile.isEmpty()) {
        QMessageBox box(QMessageBox::Warning, QApplication::applicationName(),
                        QStringLiteral("No POS File Opened"), QMessageBox::Ok, this);
        box.exec();
        return;
    }

    // Both values are converted before the file is touched.
    const StoredPositions stored = storedPositions();
    for (auto [position, which] :
         {std::pair{&stored.start, tr("start")}, std::pair{&stored.stop, tr("stop")}}) {
        if (!position->samples) {
            reportFailure(tr("Could not save the POS file\n%1\n\nThe %2 sample count \"%3\" is "
                             "outside the range a POS file can hold (%4 to %5). The file was not "
                             "changed.")
                              .arg(QDir::toNativeSeparators(CurrentFile), which,
                                   position->text.left(64), QString::number(INT32_MIN),
                                   QString::number(INT32_MAX)));
            return;
        }
    }
    const PosValues values = *stored.values();

    try {
        WritePosFile(toPath(CurrentFile), values);
    } catch (const PosFileError& e) {
        reportFailure(fileErrorMessage(tr("save"), CurrentFile, e));
        return;
    }
    // The name of the file actually written, whatever the last dialog showed.
    lblStatus->setText(QFileInfo(CurrentFile).fileName() + QStringLiteral(" Updated..."));
    emit positionsSaved();
}

} // namespace kestrin
