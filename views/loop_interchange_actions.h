// SPDX-License-Identifier: GPL-3.0-or-later
// Loop ▸ Export Loop… and Loop ▸ Import Loop from Audio, and the waveform
// panel's note when the audio's own loop differs from the fields.
#pragma once

#include "core/positions.h"
#include "sound/sound_engine.h"

#include <QObject>

#include <optional>

class QAction;
class QFileInfo;
class QLabel;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

class LoopMenu;
class WaveformPanel;

// Moves loops between the open POS file's fields and other tools: exports
// the fields' loop as a vgmstream playlist or a label track, and takes the
// loop of the companion audio's smpl chunk into the fields as a slider
// movement would, so nothing is saved until Save.
class LoopInterchangeActions : public QObject {
    Q_OBJECT
public:
    // Adds the actions to the window's Loop menu; `panel`'s dock gets the
    // note below the waveform once it is made.
    LoopInterchangeActions(EditorWindow& window, LoopMenu& menu, const WaveformPanel& panel);

private:
    void audioChanged(const std::optional<sound::CompanionAudio>& audio);
    void exportLoop();
    // Writes `loop` into `target`: a label track for .txt, else a playlist.
    void writeExport(const QString& target, const PosValues& loop, const QFileInfo& posFile);
    void importLoop();
    // False when positions may go with the audio (44,100, or its frames
    // agreed to, asked in a box titled `title` that says `question`); else
    // the status bar ends in `consequence` and it returns true.
    bool refusedRate(const QString& title, const QString& question, const QString& consequence);
    void updateNote();

    EditorWindow& m_window;
    LoopMenu& m_menu;
    const WaveformPanel& m_panel;
    QAction* m_export;
    QAction* m_import;
    QLabel* m_note = nullptr;
    std::optional<sound::CompanionAudio> m_audio;
};

} // namespace kestrin::views
