// SPDX-License-Identifier: GPL-3.0-or-later
// The unsaved note: the waveform panel's first line, whether the fields hold
// what the opened file holds. It compares the fields with the saved
// positions (views/saved_positions.h) while the file is open and stores
// nothing; what is still unsaved when the window leaves the file becomes
// kept positions (views/kept_positions.h).
#pragma once

#include "core/pos_file.h"

#include <QLabel>

#include <optional>

class QFileSystemWatcher;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

// A label (objectName "unsavedNote") shown only while the sample fields
// differ from the opened file, in plain words: "not saved: stop 464,600; the
// file holds 465,000". It follows every edit, every Open and Save, and
// changes made to the file by other programs. It only tells; nothing modal.
class UnsavedNote : public QLabel {
    Q_OBJECT
public:
    UnsavedNote(EditorWindow& window, QWidget* parent);

private:
    // Reads the opened file's values again.
    void readFile();
    void showDifference();

    EditorWindow& m_window;
    QFileSystemWatcher* m_watcher;
    std::optional<PosValues> m_saved;
    QString m_readError;
};

} // namespace kestrin::views
