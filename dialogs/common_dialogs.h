// SPDX-License-Identifier: GPL-3.0-or-later
// The open-file dialog, configured and answered through shared settings.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

class QWidget;

namespace kestrin::CommonDialogs {

// Option bits of Flags.
inline constexpr std::int32_t OFN_PATHMUSTEXIST = 0x0800;
inline constexpr std::int32_t OFN_FILEMUSTEXIST = 0x1000;

// Longest path the dialog hands back; a longer choice counts as a failure.
inline constexpr int MaxPathLength = 255;

// Settings in, results out. One instance lives for the whole run, so the
// selected filter of one dialog is the preselected filter of the next. Only
// ShowFileDialog writes the results: a file opened by name (command line,
// drop) is handed to the editor as an argument and leaves them as they were.
struct FileDialogSettingsType {
    QWidget* OwnerWindow = nullptr; // owns the modal dialog
    QString FileName;               // full path of the chosen file (result)
    QString FileTitle;              // its name with extension, no folders (result)
    QString Filter;                 // "description\0pattern\0description\0pattern..."
    QString DefaultExt;             // without the dot; appended to a name typed without one
    std::int32_t FilterIndex = 0;   // 1-based selected filter; 0 selects the first
    std::int32_t Flags = 0;         // OFN_* bits
    QString DialogTitle;            // caption of the dialog
};

extern FileDialogSettingsType FileDialogSettings;

// What a chooser is asked to show.
struct DialogRequest {
    QWidget* owner = nullptr;
    QString title;              // at most 255 characters
    QStringList filterNames;    // descriptions, in order
    QStringList filterPatterns; // the matching patterns, e.g. "*.POS"
    int selectedFilter = 0;     // 0-based
    QString defaultExtension;   // without the dot
    bool pathMustExist = false;
    bool fileMustExist = false;
};

// What a confirmed chooser hands back.
struct DialogChoice {
    QString path;           // full path
    int selectedFilter = 0; // 0-based
};

// Shows a modal dialog for `request`; nullopt when cancelled or failed.
using Chooser = std::function<std::optional<DialogChoice>(const DialogRequest&)>;

// The chooser ShowFileDialog uses: the real dialog unless replaced. Installing
// an empty function restores the real dialog. Returns the previous chooser.
Chooser setChooser(Chooser chooser);

// The real dialog: Qt's own (non-native) QFileDialog, matching patterns
// without regard to case.
std::optional<DialogChoice> showQtFileDialog(const DialogRequest& request);

// Runs pending events, then shows the open dialog that FileDialogSettings
// describes. True when the user confirmed a file whose path is at most 255
// characters: FileName, FileTitle and FilterIndex then hold the choice. False
// when cancelled or failed, with those three unchanged.
bool ShowFileDialog();

// The path the user confirmed in the last ShowFileDialog call when it was
// turned down for being longer than MaxPathLength, so the caller can say why
// nothing opened; empty after any other outcome.
QString RejectedFileName();

} // namespace kestrin::CommonDialogs
