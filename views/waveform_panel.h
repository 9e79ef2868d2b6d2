// SPDX-License-Identifier: GPL-3.0-or-later
// The waveform panel: a dock below the editor's form that shows the
// companion audio of the opened file with its loop, once there is one.
#pragma once

#include "sound/sound_engine.h"

#include <QObject>

#include <optional>

class QDockWidget;
class QPushButton;
class QTimer;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

class LoopMenu;
class OverviewView;
class SeamReport;
class SeamView;
class WaveformSession;

// Creates the dock (objectName "waveformPanel") on the first Open that finds
// audio, so a window without audio stays exactly the designed one. Positions
// placed in the views go through EditorWindow::setPositionFromView; every
// change of the sample fields comes back to the views. When the seam clicks
// and a seamless stop is near, a button (objectName "useSeamlessStop") sets
// it the same way, unsaved. Whether the user
// hid or floated the dock is kept in the settings (Kestrin/Kestrin.conf).
class WaveformPanel : public QObject {
    Q_OBJECT
public:
    WaveformPanel(EditorWindow& window, LoopMenu& menu);

    WaveformSession& session() const { return *m_session; }
    // The dock, for views that add a line below the waveform; nullptr until
    // the first Open that finds audio.
    QDockWidget* dock() const { return m_dock; }
    // The seam view, where a loop is worked on; nullptr before the first audio.
    QWidget* seamView() const;

protected:
    // Records the dock's close button as the user's choice.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void audioChanged(const std::optional<sound::CompanionAudio>& audio);
    void createDock();
    // The dock's steps: its rows in a scrolling area, the rows themselves
    // (the overview, the seam, its report and its offer, the audition
    // spans), and Loop ▸ Show Waveform.
    QWidget* createScrollingRows();
    QWidget* createRows(QWidget* parent);
    void addToggleToMenu();
    void showDock();
    void readFields();
    void playingChanged(bool playing);
    // Offers the seam report's seamless stop, or hides the offer.
    void showSuggestion();
    void useSeamlessStop();
    // The window has the form's fixed size until the dock sits in it, and
    // again when the user (`byUser`) hides or floats the dock.
    void fitWindow(bool byUser = false);
    void remember(const char* key, bool value);

    EditorWindow& m_window;
    LoopMenu& m_menu;
    WaveformSession* m_session;
    QDockWidget* m_dock = nullptr;
    OverviewView* m_overview = nullptr;
    SeamView* m_seam = nullptr;
    SeamReport* m_report = nullptr;
    QPushButton* m_useSeamlessStop = nullptr;
    QTimer* m_playheadTimer = nullptr;
    bool m_programmatic = false; // showing or hiding that is not the user's choice
};

} // namespace kestrin::views
