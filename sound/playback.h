// SPDX-License-Identifier: GPL-3.0-or-later
// The playback side of the sound module: one playback at a time, read from
// its file and handed to Qt Multimedia's sink on an audio thread of its own,
// so the UI thread never waits for the disk or the device; a stopped one
// plays out its fade there while the next starts.
//
// Threads: the UI thread makes and destroys a Player and calls play(),
// stop(), isPlaying() and letGo(); playhead() may be asked from any thread.
// Each playback, its sink and the device the sink pulls frames from are
// made, run and deleted on the audio thread, where the sink reads them and
// the points and audition spans of a PlayRequest are asked for. Events are
// handed back to the UI thread.
#pragma once

#include "sound/sound_engine.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kestrin::sound {

class Playback;

// Lets go of a playback: silences it now and deletes it from the audio
// thread's event loop. Qt's PulseAudio sink runs that thread's pending events
// inside its destructor, so a sink deleted from within the player's own work
// (walking m_fading, replacing m_current) would run the next queued stop()
// or play() in the middle of it, on a half-destroyed playback still held
// there. Deleted later, it has left the player's hands before its sink goes.
struct ReleasePlayback {
    void operator()(Playback* playback) const;
};
using PlaybackPtr = std::unique_ptr<Playback, ReleasePlayback>;

// The engine's playback, as SoundEngine describes play(), stop(),
// isPlaying() and playhead().
class Player {
public:
    Player();
    // Waits for the audio thread to end.
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    void play(const PlayRequest& request, std::function<void(const PlayEvent&)> onEvent);
    void stop();
    bool isPlaying() const { return m_playing; }
    std::int64_t playhead() const { return m_playhead.load(); }

    // Silences every playback and ends the audio thread, waiting for it
    // until `deadline`; false if the thread is still running then. The
    // sinks belong to that thread and are torn down there: the playbacks
    // are deleted as it finishes.
    bool letGo(QDeadlineTimer deadline);

private:
    // Deletes the playbacks whose fade has played out; audio thread only.
    void letGoOfFaded();

    QThread m_thread;
    QObject m_context;     // lives on m_thread; playbacks run in its event loop
    PlaybackPtr m_current; // touched on m_thread only
    // Stopped playbacks playing out their fade; m_thread only.
    std::vector<PlaybackPtr> m_fading;
    std::atomic<std::int64_t> m_playhead{-1};
    int m_generation = 0; // UI thread only
    bool m_playing = false;
    bool m_letGo = false; // UI thread only
};

} // namespace kestrin::sound
