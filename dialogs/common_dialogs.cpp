// SPDX-License-Identifier: GPL-3.0-or-later
#include "common_dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <utility>

namespace kestrin::CommonDialogs {

FileDialogSettingsType FileDialogSettings;

namespace {

QString& rejectedFileName() {
    static QString path;
    return path;
}

Chooser& currentChooser() {
    static Chooser chooser;
    return chooser;
}

DialogRequest requestFromSettings(const FileDialogSettingsType& s) {
    DialogRequest r;
    r.owner = s.OwnerWindow;
    r.title = s.DialogTitle.left(MaxPathLength);
    const QStringList parts = s.Filter.split(QChar(u'\0'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty() && parts[i + 1].isEmpty())
            break; // the double NUL that ends the list
        r.filterNames << parts[i];
        r.filterPatterns << parts[i + 1];
    }
    r.selectedFilter = s.FilterIndex > 0 ? s.FilterIndex - 1 : 0;
    if (r.selectedFilter >= r.filterNames.size())
        r.selectedFilter = 0;
    r.defaultExtension = s.DefaultExt;
    r.pathMustExist = (s.Flags & OFN_PATHMUSTEXIST) != 0;
    r.fileMustExist = (s.Flags & OFN_FILEMUSTEXIST) != 0;
    return r;
}

} // namespace

Chooser setChooser(Chooser chooser) {
    return std::exchange(currentChooser(), std::move(chooser));
}

std::optional<DialogChoice> showQtFileDialog(const DialogRequest& request) {
    QFileDialog dialog(request.owner, request.title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // A missing file may only be typed when the caller allows it; the folder
    // part always exists in a non-native dialog.
    dialog.setFileMode(request.fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setDefaultSuffix(request.defaultExtension);
    // Name filters of the dialog's file model match without regard to case,
    // so "*.POS" also lists BGM01.pos and Bgm01.Pos.
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    QStringList filters;
    for (qsizetype i = 0; i < request.filterNames.size(); ++i)
        filters << QStringLiteral("%1 (%2)").arg(
            request.filterNames[i], QString(request.filterPatterns[i]).replace(u';', u' '));
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        dialog.selectNameFilter(filters.value(request.selectedFilter));
    }
    dialog.selectFile(QString());

    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return std::nullopt;
    const QString path = QDir::toNativeSeparators(files.first());
    if (request.pathMustExist && !QFileInfo(path).absoluteDir().exists())
        return std::nullopt;
    if (request.fileMustExist && !QFileInfo::exists(path))
        return std::nullopt;
    const auto selected = filters.indexOf(dialog.selectedNameFilter());
    return DialogChoice{path, selected < 0 ? 0 : static_cast<int>(selected)};
}

bool ShowFileDialog() {
    FileDialogSettingsType& s = FileDialogSettings;
    const DialogRequest request = requestFromSettings(s);

    // Events already waiting (a second shortcut press, say) run now, before
    // the modal dialog starts its own loop.
    QCoreApplication::processEvents();

    const Chooser& chooser = currentChooser();
    const std::optional<DialogChoice> choice =
        chooser ? chooser(request) : showQtFileDialog(request);
    rejectedFileName().clear();
    if (choice && choice->path.size() > MaxPathLength)
        rejectedFileName() = choice->path;
    if (!choice || choice->path.isEmpty() || choice->path.size() > MaxPathLength)
        return false;

    s.FileName = choice->path;
    s.FileTitle = QFileInfo(choice->path).fileName();
    s.FilterIndex = choice->selectedFilter + 1;
    return true;
}

QString RejectedFileName() {
    return rejectedFileName();
}

} // namespace kestrin::CommonDialogs
