// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/common_dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>

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

// The open dialog, forgiving about case: a name that does not exist but
// equals exactly one file of its folder when case is ignored is taken as that
// file. The list shows every case of *.POS, so what the user reads there
// (lower.pos) must also be what typing it (lower, LOWER.POS) opens.
class CaseForgivingFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override {
        const QStringList typed = selectedFiles();
        if (fileMode() == QFileDialog::ExistingFile && typed.size() == 1 &&
            !QFileInfo::exists(typed.front())) {
            if (const QString match = onlyCaseMatch(typed.front()); !match.isEmpty()) {
                // selectFile() leaves a focused name field as typed, and
                // the typed name is what accept() would look for.
                if (auto* name = findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                    name->setText(match);
                else
                    selectFile(match);
            }
        }
        QFileDialog::accept();
    }

private:
    // The one regular file beside `path` whose name equals its name when case
    // is ignored; empty when there are none or several.
    static QString onlyCaseMatch(const QString& path) {
        const QFileInfo wanted(path);
        QString match;
        const QFileInfoList entries = wanted.absoluteDir().entryInfoList(
            QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo& entry : entries) {
            if (entry.fileName().compare(wanted.fileName(), Qt::CaseInsensitive) != 0)
                continue;
            if (!match.isEmpty())
                return {};
            match = entry.absoluteFilePath();
        }
        return match;
    }
};

} // namespace

Chooser setChooser(Chooser chooser) {
    return std::exchange(currentChooser(), std::move(chooser));
}

std::optional<DialogChoice> showQtFileDialog(const DialogRequest& request) {
    CaseForgivingFileDialog dialog(request.owner, request.title);
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
