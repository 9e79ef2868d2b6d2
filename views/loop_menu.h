// SPDX-License-Identifier: GPL-3.0-or-later
// The Loop menu: hearing the seam and the loop of the positions being edited.
#pragma once

#include "sound/sound_engine.h"
#include "views/rate_choice.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

class QAction;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

// Seconds of the seam Play Seam (F5) plays on each side of the jump.
inline constexpr int kSeamSeconds = 3;
// Seconds Audition Seam (F7) plays on each side of the jump until the user
// sets others.
inline constexpr double kAuditionSeconds = 1.5;
// The silence between two passes of Audition Seam: long enough to tell the
// passes apart, short enough to compare one with the next.
inline constexpr double kAuditionGapSeconds = 0.4;

// Adds Loop ▸ Play Seam (F5), Play Loop (F6), Audition Seam (F7: the seam
// over and over, each pass read afresh from the fields) and Stop (Esc) to the editor
// window's menu bar, after File. What plays is the companion audio of the
// opened POS file at the positions the two sample fields hold, the values a
// Save writes. Where playing makes no sense the reason is given (in the
// items' status tips, or on the status bar) and nothing changes. The sound
// module is loaded on the first Open, never at start.
class LoopMenu : public QObject {
    Q_OBJECT
public:
    explicit LoopMenu(EditorWindow* window);
    ~LoopMenu() override;

    // The audio of the current file, when one was found.
    const std::optional<sound::CompanionAudio>& audio() const { return m_audio; }
    // The sound module's engine once a file was opened; nullptr before.
    sound::SoundEngine* engine() const { return m_engine; }
    // Which audio at another rate the user agreed to count in its own frames.
    RateChoice& rateChoice() { return m_rateChoice; }
    // Play Seam and Play Loop, for other windows to offer with the same keys.
    QList<QAction*> playActions() const { return {m_playSeam, m_playLoop}; }

    // What Play Seam (F5), Play Loop (F6) and Audition Seam (F7) play.
    enum class Mode { Seam, Loop, Audition };
    // Plays as `mode` does, `points` (frames of the audio) instead of the
    // fields' positions when given: a candidate heard before it is used,
    // the fields left as they are. The same again stops.
    void play(Mode mode, const std::optional<LoopPoints>& points = std::nullopt);

    // How much Audition Seam plays before the stop and after the start, in
    // seconds (each 0.1 to 30); heard from the next pass.
    void setAuditionSpan(double beforeSeconds, double afterSeconds);
    // Stops what the menu plays, as Stop does.
    void stop();
    // The companion audio was written anew (a crossfade replaced it): it is
    // found and announced again, as after an Open, so that every view reads
    // the new frames.
    void audioRewritten();

signals:
    // After each Open: the companion audio found, or nullopt.
    void audioChanged(const std::optional<kestrin::sound::CompanionAudio>& audio);
    // Playback began (true) or ended, failed or was stopped (false).
    void playingChanged(bool playing);
    // The companion of the opened file was written anew (audioRewritten).
    void companionRewritten();

private:
    void fileOpened(const QString& path);
    void setPlayable(bool playable, const QString& reason);
    void showMessage(const QString& text, int timeoutMs = 0);
    // The positions of the sample fields when they make a playable loop;
    // otherwise nullopt and `why` says what is wrong.
    std::optional<LoopPoints> playablePoints(QString* why) const;
    void followFields();

    EditorWindow* m_window;
    QAction* m_playSeam;
    QAction* m_playLoop;
    QAction* m_audition;
    QAction* m_stop;
    sound::SoundEngine* m_engine = nullptr;
    std::optional<sound::CompanionAudio> m_audio;
    RateChoice m_rateChoice;
    std::optional<Mode> m_playing;
    std::optional<LoopPoints> m_playingGiven; // what play() was given, if anything

    // Read by the audio thread at every jump.
    struct LivePoints {
        std::atomic<std::int64_t> start{0};
        std::atomic<std::int64_t> stop{0};
        std::atomic<double> before{kAuditionSeconds};
        std::atomic<double> after{kAuditionSeconds};
    };
    std::shared_ptr<LivePoints> m_live = std::make_shared<LivePoints>();
};

} // namespace kestrin::views
