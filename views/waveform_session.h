// SPDX-License-Identifier: GPL-3.0-or-later
// What the waveform views share: the audio, its summary, the two positions
// as the sample fields hold them, the selected marker and the playhead.
#pragma once

#include "editor/stored_positions.h"
#include "sound/sound_engine.h"

#include <QObject>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace kestrin::views {

// The views draw from this and ask it to place positions; it never changes
// a position itself: placeRequested() goes to the editor window, whose
// sample fields then come back through setPositions().
//
// Threads: UI thread only. It never reads audio itself: frames are asked of
// the engine, which reads them on its own thread and hands them back here;
// changed() then tells the views to draw again. A placement that needs
// frames (snapping, Ctrl+arrow) is carried out when they arrive, unless a
// newer placement came first.
class WaveformSession : public QObject {
    Q_OBJECT
public:
    // Frames read for snapping and drawing are cached in these slots.
    enum FrameSlot { LeftOfSeam, RightOfSeam, Search, SlotCount };

    explicit WaveformSession(QObject* parent = nullptr);

    // The audio of the opened file, read through `engine`; nullopt for none.
    void setAudio(sound::SoundEngine* engine, const std::optional<sound::CompanionAudio>& audio);
    bool hasAudio() const { return m_audio.has_value(); }
    const sound::CompanionAudio& audio() const { return *m_audio; }
    std::int64_t frames() const { return m_audio ? m_audio->frames : 0; }
    int channels() const { return m_audio ? m_audio->channels : 0; }

    // The summary, null until it is made; progress 0..1 while it is made,
    // negative when nothing is being read.
    void setPeaks(std::shared_ptr<const audio::Peaks> peaks);
    const audio::Peaks* peaks() const { return m_peaks.get(); }
    void setProgress(double fraction);
    double progress() const { return m_progress; }
    // Why the audio could not be summarised; empty when it could.
    void setFailure(const QString& reason);
    const QString& failure() const { return m_failure; }

    // The positions the sample fields stand for, unclipped; nullopt for a
    // text beyond every number.
    void setPositions(std::optional<double> start, std::optional<double> stop);
    std::optional<double> position(bool stop) const { return stop ? m_stop : m_start; }
    // The position clipped to where a marker may be placed: the start to
    // 0..frames-1, the stop to 0..frames (it may end the loop at the end).
    std::int64_t placeablePosition(bool stop) const;
    std::int64_t clampPlacement(bool stop, std::int64_t frame) const;

    bool stopSelected() const { return m_stopSelected; }
    void select(bool stop);

    // The frame playing, or -1.
    void setPlayhead(std::int64_t frame);
    std::int64_t playhead() const { return m_playhead; }

    // The frames cached in `slot`; when they do not cover [from, from +
    // count) within the audio, the frames there (and half the window again
    // on each side, so that small moves read nothing) are asked for, and
    // changed() follows their arrival. `count` is capped at 1 Mi frames.
    // Never waits: what is returned may cover only part of the range, or
    // none of it.
    const sound::FrameWindow& framesAround(std::int64_t from, std::int64_t count, FrameSlot slot);
    // Whether frames asked for, or a placement waiting for them, are pending.
    bool readingFrames() const;

    // Asks for `frame` (clipped) at the start or stop, at the nearest zero
    // crossing within about 0.1 s when `snap` is set (once the frames there
    // are read).
    void place(bool stop, std::int64_t frame, bool snap);
    // Moves the selected marker by `frames`, or to the previous or next zero
    // crossing within a second.
    void stepSelected(std::int64_t frames);
    void jumpToZeroCrossing(bool forward);

signals:
    // Anything the views draw has changed.
    void changed();
    // The user placed a position; `samples` is whole and inside the audio.
    void placeRequested(kestrin::LoopEnd end, std::int32_t samples);

private:
    // A request for frames into a slot: one in flight at a time, and the
    // newest range asked for meanwhile waits for it.
    struct FrameRead {
        bool inFlight = false;
        std::optional<std::pair<std::int64_t, std::int64_t>> next; // from, count
    };
    // A placement waiting for the Search slot to cover [from, from + count).
    struct PendingSearch {
        std::int64_t from = 0;
        std::int64_t count = 0;
        std::function<void(const sound::FrameWindow&)> then;
    };

    bool covers(const sound::FrameWindow& w, std::int64_t from, std::int64_t count) const;
    void request(FrameSlot slot, std::int64_t from, std::int64_t count);
    void arrived(FrameSlot slot, const sound::FrameWindow& window, const QString& error);
    // Runs `then` with the Search slot once it covers [from, from + count).
    void withFrames(std::int64_t from, std::int64_t count,
                    std::function<void(const sound::FrameWindow&)> then);

    sound::SoundEngine* m_engine = nullptr;
    std::optional<sound::CompanionAudio> m_audio;
    std::shared_ptr<const audio::Peaks> m_peaks;
    double m_progress = -1.0;
    QString m_failure;
    std::optional<double> m_start;
    std::optional<double> m_stop;
    bool m_stopSelected = false;
    std::int64_t m_playhead = -1;
    std::array<sound::FrameWindow, SlotCount> m_cache;
    std::array<FrameRead, SlotCount> m_reads;
    std::optional<PendingSearch> m_pendingSearch;
    // Frames read for audio opened before are dropped on arrival.
    int m_audioGeneration = 0;
};

} // namespace kestrin::views
