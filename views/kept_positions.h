// SPDX-License-Identifier: GPL-3.0-or-later
// Kept positions: those left unsaved when the window left a file, kept in
// the settings past the end of the run and offered again at the next Open
// of that file. Unlike the saved positions (views/saved_positions.h, what
// the POS file holds) they are not in the POS file, and unlike the
// unsaved note (views/unsaved_note.h, which tells while a file is open how
// the fields differ from it) they outlive the window: the keeper writes
// them as a file is left, the offer puts them back.
#pragma once

#include "core/pos_file.h"

#include <QWidget>

#include <cstdint>
#include <optional>

class QLabel;
class QPushButton;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

class ElidedLabel;

// Files whose positions are kept at most: beyond, the longest kept go, so
// that neither the settings file nor the exit that writes it grows without
// end.
constexpr qsizetype MostKeptFiles = 100;

// Exit saves nothing and asks nothing. Positions edited and not saved when
// the window leaves a file (for another track, or by closing) are kept in
// the settings ("keptPositions/<hash of the path>": the path, start, stop,
// the file's size and time as opened, and when they were kept). The next
// Open of that file shows this line (objectName "keptPositions") below the
// form, with or without audio: "Not saved when Kestrin last left this file:
// start …, stop …  [Restore] [Discard]" on one line, cut with "…" where the
// window is narrow, saying so when the file has changed since. Restore (Alt+R) puts them into the
// fields through the field synchronisation, unsaved; Save, Restore or Discard (Alt+D) forgets them,
// and nothing else does. Nothing here writes the POS file.
class KeptPositionsOffer : public QWidget {
    Q_OBJECT
public:
    KeptPositionsOffer(EditorWindow& window, QWidget* parent);

private:
    // Shows the line when positions were kept for the opened file.
    void offer();
    void restore();
    void forget();

    EditorWindow& m_window;
    ElidedLabel* m_text;
    std::int32_t m_start = 0;
    std::int32_t m_stop = 0;
};

// Keeps the fields' positions when the window leaves a file and they were
// edited away from both what was opened and what the file now holds; made
// with the window, so that it holds for files without audio (and so without
// the panel) too. When they cannot be kept, the status bar says so, naming
// them, and the first Exit after is held back to let the user see it.
class KeptPositionsKeeper : public QObject {
    Q_OBJECT
public:
    explicit KeptPositionsKeeper(EditorWindow& window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Keeps the fields for `path`; empty when kept or when there was
    // nothing to keep, else what to tell the user.
    QString keep(const QString& path);
    // Notes the fields as the file just read or written holds them.
    void takeBase();

    EditorWindow& m_window;
    std::optional<PosValues> m_base; // the fields as last opened or saved
    QString m_stamp;                 // the file's size and time then
    QString m_unkept;                // told once the next file is open
    bool m_exitHeld = false;
};

} // namespace kestrin::views
