// SPDX-License-Identifier: GPL-3.0-or-later
// Loop ▸ Undo Loop Change, Redo Loop Change and Revert to Saved: a history
// of the two positions as the sample fields hold them.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class QAction;
class QKeyEvent;
class QTimer;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

// Records every change of the two sample fields, whatever made it (sliders,
// markers, keys in the panel, Find's Use, the suggested stop, typing), one
// step per user action: changes made while a mouse button is held, or by a
// burst of the same key, or by one command, are one step. A step ends at the
// next mouse press, the next different key, or after a second without
// change. Undo (Ctrl+Z) and Redo (Ctrl+Shift+Z) place both positions through
// the window's field synchronisation; inside a text field the field's own
// undo keeps those keys while it has typing to undo or redo, and passes them
// on to the history when it has none. Revert to Saved reads the opened file's two values
// again and places them the same way, as one more step. Opening a file
// starts a fresh history: steps never cross files. Nothing here saves.
class LoopHistory : public QObject {
    Q_OBJECT
public:
    explicit LoopHistory(EditorWindow& window);

    // Steps that Undo and Redo would take; an open step counts as one.
    int undoCount() const;
    int redoCount() const { return static_cast<int>(m_redoStack.size()); }

    void undo();
    void redo();
    void revertToSaved();

protected:
    // Watches presses to find where one user action ends.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Positions {
        std::int32_t start = 0;
        std::int32_t stop = 0;
        bool operator==(const Positions&) const = default;
    };

    // Both sample fields as Save would read them; nullopt when one does not
    // hold a count a POS file can store (such states are not recorded).
    std::optional<Positions> readFields() const;
    // For a ShortcutOverride in one of the window's fields: true when the
    // field has nothing of its own to undo (or redo), so the key goes to
    // the history.
    bool leavesUndoToHistory(QObject* watched, QKeyEvent* event) const;
    void fieldsChanged();
    // Ends the open step, if any, recording it when it changed something.
    void closeStep();
    void place(const Positions& p);
    // ", as saved" when the opened file holds `p`, else ", not saved".
    QString savedState(const Positions& p) const;
    // Undo and Redo: one step back or forward through the history.
    enum class Direction { Back, Forward };
    void travel(Direction direction);
    void fileOpened();
    void updateActions();

    EditorWindow& m_window;
    QAction* m_undo;
    QAction* m_redo;
    QAction* m_revert;
    QTimer* m_idle;
    std::optional<Positions> m_current; // as of the last closed step
    bool m_stepOpen = false;
    bool m_applying = false;
    int m_lastKey = 0;
    std::vector<Positions> m_undoStack;
    std::vector<Positions> m_redoStack;
};

} // namespace kestrin::views
