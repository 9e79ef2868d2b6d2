// SPDX-License-Identifier: GPL-3.0-or-later
// What check would say about the loop being edited, shown live under the
// waveform.
#pragma once

#include "editor/stored_positions.h"
#include "sound/sound_engine.h"

#include <QLabel>
#include <QStringList>

#include <cstdint>
#include <optional>

class QTimer;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

class LoopMenu;

// A label (objectName "seamReport") with the audio's rate and length, the
// seam of the positions in the sample fields in words and figures
// ("seamless", "click: step of 23,594 ..."), and each problem check would
// report for them, in check's words. It follows every edit; the seam is
// measured in the sound module off the UI thread. It only tells: nothing
// here stops a save. The seamless stop it finds near a clicking seam is
// offered through seamlessStop() for the panel to set.
class SeamReport : public QLabel {
    Q_OBJECT
public:
    SeamReport(EditorWindow& window, LoopMenu& menu, QWidget* parent);

    // An edit waits to be read, or a seam measurement to be answered.
    bool measuring() const;

    // The nearest stop within a second that makes the seam of the positions
    // in the fields seamless, when it clicks there; nullopt while measuring,
    // so that no suggestion outlives the positions it was measured for.
    std::optional<std::int64_t> seamlessStop() const;

signals:
    // seamlessStop() may have changed.
    void suggestionChanged();

private:
    // Reads the fields and the audio again, and asks for the seam.
    void refresh();
    // The audio's name, rate, length and channels.
    static QString audioLine(const sound::CompanionAudio& audio);
    // What check reports about the fields without reading the audio.
    static QStringList positionProblems(const sound::CompanionAudio& audio,
                                        const StoredPositions& fields);
    // Asks the sound module for the seam of `values`; showSeam() answers.
    void measure(const sound::CompanionAudio& audio, const PosValues& values);
    // The seam measured at `stop`, shown at `where` (the stop's clock time).
    void showSeam(const sound::SeamResult& result, const QString& where, std::int64_t stop,
                  int rate);
    void showLines();
    // Forgets the suggestion: the positions it was made for are gone.
    void dropSuggestion();

    EditorWindow& m_window;
    LoopMenu& m_menu;
    QTimer* m_coalesce;
    bool m_measuring = false;
    QString m_audioLine;
    QStringList m_positionProblems; // known without reading audio
    QString m_seamLine;
    QString m_seamProblem;
    std::optional<std::int64_t> m_seamlessStop;
};

} // namespace kestrin::views
