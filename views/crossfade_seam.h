// SPDX-License-Identifier: GPL-3.0-or-later
// Loop ▸ Crossfade Seam…: making the loop of the sample fields seamless by
// blending the frames before the stop into those before the start, heard
// and seen before anything is written beside the companion audio.
#pragma once

#include "sound/sound_engine.h"

#include <QDialog>
#include <QObject>
#include <QTemporaryDir>

#include <optional>

class QAction;
class QDialogButtonBox;
class QDoubleSpinBox;
class QFileInfo;
class QLabel;
class QPushButton;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

class LoopMenu;
class SeamView;
class WaveformSession;

// The dialog: proposes the shortest crossfade the seam judge accepts, shows
// the seam of the crossfaded audio (written into a private scratch folder
// until the user picks where it goes) and plays it with F5 or F7. Writes
// NAME-crossfaded.EXT beside the companion, a name the user picks, or, after
// asking, the companion itself, keeping the original as NAME.EXT.orig.
class CrossfadeSeamDialog : public QDialog {
    Q_OBJECT
public:
    CrossfadeSeamDialog(sound::SoundEngine& engine, const sound::CompanionAudio& audio,
                        LoopPoints loop, QWidget* parent);
    ~CrossfadeSeamDialog() override;

signals:
    // The companion itself now holds the crossfaded audio.
    void companionReplaced();

private:
    // The dialog's widgets for the audio `companion`, and its button box.
    QDialogButtonBox* createWidgets(const QFileInfo& companion);
    void connectWidgets(QDialogButtonBox* buttons, const QFileInfo& companion);
    void preview(std::optional<std::int64_t> frames);
    void write(const QString& target, bool replaceCompanion);
    void writeAs();
    void replaceCompanion();
    // Plays the previewed seam once (as Play Seam) or, with `audition`, over
    // and over (as Audition Seam); stops what plays when called again.
    void playSeam(bool audition);
    void setBusy(bool busy);
    QString describe(const sound::CrossfadeResult& result) const;

    sound::SoundEngine& m_engine;
    sound::CompanionAudio m_audio;
    LoopPoints m_loop;
    QTemporaryDir m_scratch;
    int m_previews = 0;
    std::optional<std::int64_t> m_frames; // of the preview shown
    QString m_previewPath;
    bool m_replaced = false; // the companion now holds the preview's crossfade
    QLabel* m_summary;
    QDoubleSpinBox* m_length;
    QPushButton* m_preview;
    QPushButton* m_play;
    QPushButton* m_write;
    QPushButton* m_writeAs;
    QPushButton* m_replace;
    WaveformSession* m_session;
    SeamView* m_seam;
};

// Adds Loop ▸ Crossfade Seam…, enabled while the opened file has audio.
class CrossfadeSeamCommand : public QObject {
    Q_OBJECT
public:
    CrossfadeSeamCommand(EditorWindow& window, LoopMenu& menu);

private:
    void open();

    EditorWindow& m_window;
    LoopMenu& m_menu;
    QAction* m_action;
};

} // namespace kestrin::views
