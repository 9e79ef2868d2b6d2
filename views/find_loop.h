// SPDX-License-Identifier: GPL-3.0-or-later
// Loop ▸ Find Loop Points: the loop finder run on the companion audio, its
// candidates listed to choose from.
#pragma once

#include "sound/sound_engine.h"

#include <QDialog>
#include <QPointer>

#include <cstdint>
#include <optional>
#include <vector>

class QAction;
class QDialogButtonBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

class LoopMenu;

// The dialog (objectName "findLoopDialog"): a progress bar that Cancel stops
// while the sound module searches, then the candidates best first, for a Refine too (start, stop,
// length, match, kind: exact or musical, and the seam). Use, Enter or a double click sets both
// positions through the editor's field synchronisation; nothing is saved. It is not modal: the
// window answers throughout. F5 (or Play Seam), F6 and F7 play the highlighted candidate's seam,
// loop and audition, so that a loop is picked by ear; nothing is used or saved. After a Refine, the
// focus goes back to the waveform's seam view, where the loop was being worked on.
class FindLoopDialog : public QDialog {
    Q_OBJECT
public:
    FindLoopDialog(EditorWindow& window, LoopMenu& menu);

    // Shows the dialog and searches `audio` afresh: the whole of it, or with
    // `near` only within two seconds of its start and stop (Refine).
    void search(const sound::CompanionAudio& audio,
                const std::optional<LoopPoints>& near = std::nullopt);
    // Stops a search in progress; the positions stay as they are.
    void cancelSearch();
    bool searching() const { return m_searching; }
    // Where the focus goes when the dialog closes after a Refine (the seam
    // view); nowhere in particular when null.
    void returnFocusTo(QWidget* widget) { m_backTo = widget; }

    void reject() override;

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void showProgress(double fraction);
    void showResult(const sound::LoopSearchResult& result);
    void useSelected();
    // The message's count of the loops found: how many, and how many of
    // them the judge passes.
    QString foundText(const std::vector<LoopCandidate>& candidates) const;
    // The highlighted candidate's loop, in frames of the audio.
    std::optional<LoopPoints> highlighted() const;
    void say(const QString& text, bool onStatusBar);

    EditorWindow& m_window;
    LoopMenu& m_menu;
    QString m_audioName;
    int m_rate = 0;
    std::int64_t m_frames = 0;
    QPointer<QWidget> m_backTo;
    std::optional<LoopPoints> m_near; // the positions a Refine searched near
    bool m_searching = false;
    QLabel* m_message;
    QProgressBar* m_progress;
    QTreeWidget* m_list;
    QDialogButtonBox* m_buttons;
    QPushButton* m_use;
    QPushButton* m_play;
};

// What Find and Refine share: a Loop menu command that searches the audio
// beside the opened file in a Find dialog of its own, made on first use. The
// dialog closes when the audio changes (its candidates belong to the audio
// they were found in), and a search still running stops when the window
// closes.
class LoopSearchCommand : public QObject {
    Q_OBJECT
public:
    // The command's action, for commands placed beside it.
    QAction* action() const { return m_action; }

protected:
    // The status bar's words when there is nothing to search: no file open,
    // and no audio beside the file (%1, the POS file's name).
    struct Refusals {
        QString noFile;
        QString noAudio;
    };

    // Makes the action, which the command places in the Loop menu itself.
    LoopSearchCommand(EditorWindow& window, LoopMenu& menu, const QString& text);

    // The audio to search, or nullptr when the status bar now says why there
    // is none.
    const sound::CompanionAudio* searchable(const Refusals& refusals);
    FindLoopDialog& dialog();
    bool eventFilter(QObject* watched, QEvent* event) override;

    EditorWindow& m_window;
    LoopMenu& m_menu;
    QAction* m_action;

private:
    virtual void trigger() = 0;

    FindLoopDialog* m_dialog = nullptr;
};

// Adds Loop ▸ Find Loop Points… (Ctrl+F) at the top of the Loop menu. With
// no file open, or no audio beside it, the status bar says so and nothing
// else happens.
class FindLoopCommand : public LoopSearchCommand {
    Q_OBJECT
public:
    FindLoopCommand(EditorWindow& window, LoopMenu& menu);

private:
    void trigger() override;
};

} // namespace kestrin::views
