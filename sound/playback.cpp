// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/playback.h"

#include "audio/read/audio_reader.h"
#include "audio/render/loop_stream.h"
#include "sound/audition_stream.h"
#include "sound/fades.h"
#include "sound/to_ui.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QFileInfo>
#include <QIODevice>
#include <QMediaDevices>
#include <QMetaObject>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

namespace kestrin::sound {

namespace {

// Feeds the sink from the loop stream, or the audition stream, in pull
// mode, on the audio thread.
class LoopDevice : public QIODevice {
public:
    LoopDevice(std::unique_ptr<audio::AudioReader> reader, const PlayRequest& request,
               std::atomic<std::int64_t>& playhead)
        : m_reader(std::move(reader)), m_playhead(playhead), m_path(request.audio),
          m_fadeFrames(fadeFrames(m_reader->info().sampleRate)) {
        if (request.audition)
            m_audition.emplace(*m_reader, request.points, request.audition);
        else
            m_loop.emplace(*m_reader, request.points, request.from, request.framesAfterJump);
    }

    // Frames of this device the sink has surely played so far.
    void setPlayedFrames(std::function<std::int64_t()> played) { m_played = std::move(played); }
    // Ends the stream with a fade over the next 5 ms of frames handed out.
    void fadeOut() { m_fadeLeft = m_fadeFrames; }
    // True once the sink has played the stream's last frame.
    bool ended() const { return streamEnded() && m_drained; }
    const QString& failure() const { return m_failure; }
    bool isSequential() const override { return true; }
    // Never says so, even once ended: Qt's PulseAudio sink, seeing its
    // source at the end when the server runs dry, drains the stream with a
    // callback on itself that closing the sink does not call off, so a sink
    // deleted before the server answers is called after it is gone. The end
    // reaches the playback as the sink's idle state all the same.
    bool atEnd() const override { return false; }
    qint64 bytesAvailable() const override {
        return (ended() ? 0 : 1 << 16) + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const int frameBytes = m_reader->bytesPerFrame();
        qint64 frames = maxSize / frameBytes;
        if (frames <= 0 || ended())
            return 0;
        if (streamEnded()) {
            // Stopping the sink drops what its buffers still hold, so it is
            // fed silence until it has played the last frame, however long
            // a busy machine takes. A sink that never says so still ends,
            // after a bound no buffer comes near.
            const std::int64_t mostSilence = 10 * std::int64_t{m_reader->info().sampleRate};
            if ((m_played && m_played() >= m_audioFrames) ||
                m_framesOut - m_audioFrames >= mostSilence) {
                m_drained = true;
                return 0;
            }
            std::memset(data, 0, static_cast<std::size_t>(frames * frameBytes));
            m_framesOut += frames;
            return frames * frameBytes;
        }
        const bool fading = m_fadeLeft > 0;
        if (fading)
            frames = std::min<qint64>(frames, m_fadeLeft);
        std::int64_t got = 0;
        m_failure = failureOf(m_path, [&] {
            got = m_audition ? m_audition->read(data, frames) : m_loop->read(data, frames);
            // A stopped playback fading out is no longer what plays.
            if (!fading)
                m_playhead.store(m_audition ? m_audition->position() : m_loop->position(),
                                 std::memory_order_relaxed);
        });
        if (!m_failure.isEmpty())
            return -1;
        if (fading) {
            applyRamp(data, m_reader->sampleType(), m_reader->info().channels, got,
                      static_cast<double>(m_fadeLeft) / static_cast<double>(m_fadeFrames),
                      -1.0 / static_cast<double>(m_fadeFrames));
            m_fadeLeft -= got;
            m_faded = m_fadeLeft <= 0 || got == 0;
        }
        m_framesOut += got;
        m_audioFrames = m_framesOut;
        return got * frameBytes;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    bool streamEnded() const {
        return m_faded || (m_audition ? m_audition->ended() : m_loop->ended());
    }

    std::unique_ptr<audio::AudioReader> m_reader;
    std::optional<audio::LoopStream> m_loop;
    std::optional<AuditionStream> m_audition;
    std::atomic<std::int64_t>& m_playhead;
    std::function<std::int64_t()> m_played;
    std::int64_t m_framesOut = 0;   // audio and silence handed to the sink
    std::int64_t m_audioFrames = 0; // of those, up to the stream's last frame
    bool m_drained = false;
    QString m_path;
    QString m_failure;
    std::int64_t m_fadeFrames;
    std::int64_t m_fadeLeft = 0; // frames of the fade still to hand out
    bool m_faded = false;
};

QAudioFormat::SampleFormat sinkFormatOf(audio::SampleType type) {
    switch (type) {
    case audio::SampleType::Int16:
        return QAudioFormat::Int16;
    case audio::SampleType::Int32:
        return QAudioFormat::Int32;
    case audio::SampleType::Float32:
        return QAudioFormat::Float;
    }
    return QAudioFormat::Int16;
}

} // namespace

// One playback: created, run and destroyed on the audio thread.
class Playback : public QObject {
public:
    Playback(const PlayRequest& request, std::function<void(const PlayEvent&)> report,
             std::atomic<std::int64_t>& playhead)
        : m_request(request), m_report(std::move(report)), m_playhead(playhead) {}
    ~Playback() override {
        // The sink's destructor runs this thread's pending events: whatever
        // it still reports then must not reach a playback half gone.
        if (m_sink)
            m_sink->disconnect(this);
    }

    void start() {
        std::unique_ptr<audio::AudioReader> reader;
        if (const QString failure = failureOf(
                m_request.audio,
                [&] { reader = std::make_unique<audio::AudioReader>(toPath(m_request.audio)); });
            !failure.isEmpty()) {
            fail(failure);
            return;
        }
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) {
            fail(QCoreApplication::translate("Kestrin", "No sound device or sound server found."));
            return;
        }
        QAudioFormat format;
        format.setSampleRate(reader->info().sampleRate);
        format.setChannelCount(reader->info().channels);
        format.setSampleFormat(sinkFormatOf(reader->sampleType()));
        if (!device.isFormatSupported(format)) {
            fail(QCoreApplication::translate("Kestrin",
                                             "The sound device %1 cannot play %2 channels at %3 Hz "
                                             "without converting them.")
                     .arg(device.description())
                     .arg(format.channelCount())
                     .arg(format.sampleRate()));
            return;
        }
        m_device = std::make_unique<LoopDevice>(std::move(reader), m_request, m_playhead);
        m_device->open(QIODevice::ReadOnly);
        m_sink = std::make_unique<QAudioSink>(device, format);
        // A loop keeps about 100 ms of buffer, so that an edit is heard soon.
        // A seam is a passage set at its start and listened to for its
        // jump: a gap there would pass for a fault of the loop, so it takes
        // half a second, which rides out a busy machine that 300 ms did not,
        // at the price of a Stop heard up to half a second late. (A second
        // would be safer still, but PulseAudio's null sink then plays the
        // stream's first moments and silence after them.) An audition reads
        // its points at each pass, not at each jump, so it takes the larger
        // buffer too.
        const bool seam = m_request.framesAfterJump >= 0 || m_request.audition;
        m_sink->setBufferSize(format.bytesForDuration(seam ? 500000 : 100000));
        // The server counts the silence it plays when the sink runs dry as
        // played, and drops late frames only in part, so its count can run
        // ahead of the frames heard by up to about its buffer: that much is
        // held back, or a fade would be stopped before it was heard.
        m_device->setPlayedFrames(
            [sink = m_sink.get(), rate = format.sampleRate(), frameBytes = format.bytesPerFrame()] {
                return sink->processedUSecs() * rate / 1000000 - sink->bufferSize() / frameBytes;
            });
        QObject::connect(m_sink.get(), &QAudioSink::stateChanged, this,
                         [this](QAudio::State state) { onState(state); });
        m_sink->start(m_device.get());
        if (m_sink->error() != QAudio::NoError) {
            fail(QCoreApplication::translate("Kestrin", "The sound device %1 could not be opened.")
                     .arg(device.description()));
            return;
        }
        report({PlayEvent::Started, {}});
    }

    void halt() {
        m_report = nullptr;
        m_whenStopped = nullptr;
        if (m_sink)
            m_sink->stop();
    }

    // Lets the sink play out a 5 ms fade; true when there is one to wait for,
    // false when the playback had nothing playing and is done.
    bool fadeOut() {
        m_report = nullptr;
        if (!m_sink || !m_device || m_device->ended() || m_sink->state() == QAudio::StoppedState)
            return false;
        m_device->fadeOut();
        return true;
    }
    bool done() const { return !m_sink || m_sink->state() == QAudio::StoppedState; }
    // Runs `then` on this thread, after the event that stopped the sink.
    void whenStopped(std::function<void()> then) { m_whenStopped = std::move(then); }

private:
    void onState(QAudio::State state) {
        if (state == QAudio::StoppedState && m_whenStopped)
            QMetaObject::invokeMethod(this, std::exchange(m_whenStopped, nullptr),
                                      Qt::QueuedConnection);
        if (state == QAudio::IdleState && m_device && m_device->ended()) {
            m_sink->stop();
            report({PlayEvent::Finished, {}});
        } else if (state == QAudio::IdleState && m_device) {
            // The device never runs out before the stream ends: the sink
            // ran dry because this thread or the server was kept waiting.
            // The server counts the silence it played as played, so the
            // time says where the gap began.
            const double seconds = static_cast<double>(m_sink->processedUSecs()) / 1e6;
            report({PlayEvent::Gap,
                    QCoreApplication::translate(
                        "Kestrin", "%1 broke off %2 s into playing: the machine was too busy to "
                                   "feed the sound device in time, and a moment of it was lost "
                                   "to silence. The audio itself is not at fault.")
                        .arg(QFileInfo(m_request.audio).fileName())
                        .arg(seconds, 0, 'f', 1)});
        } else if (state == QAudio::StoppedState && m_sink->error() != QAudio::NoError &&
                   m_sink->error() != QAudio::UnderrunError) {
            const QString failure = m_device ? m_device->failure() : QString();
            fail(failure.isEmpty()
                     ? QCoreApplication::translate("Kestrin", "Playback stopped: the sound device "
                                                              "reported an error.")
                     : failure);
        }
    }

    void fail(const QString& message) {
        if (m_sink)
            m_sink->stop();
        report({PlayEvent::Failed, message});
    }

    void report(const PlayEvent& event) {
        const bool ends = event.kind == PlayEvent::Finished || event.kind == PlayEvent::Failed;
        if (ends)
            m_playhead.store(-1);
        if (m_report)
            m_report(event);
        if (ends)
            m_report = nullptr;
    }

    PlayRequest m_request;
    std::function<void(const PlayEvent&)> m_report;
    std::function<void()> m_whenStopped;
    std::atomic<std::int64_t>& m_playhead;
    std::unique_ptr<LoopDevice> m_device;
    std::unique_ptr<QAudioSink> m_sink;
};

void ReleasePlayback::operator()(Playback* playback) const {
    playback->halt();
    playback->deleteLater();
}

Player::Player() {
    m_thread.setObjectName(QStringLiteral("kestrin-audio"));
    m_thread.start();
    m_context.moveToThread(&m_thread);
}

Player::~Player() {
    letGo(QDeadlineTimer::Forever);
}

bool Player::letGo(QDeadlineTimer deadline) {
    if (!m_letGo) {
        m_letGo = true;
        ++m_generation;
        QMetaObject::invokeMethod(&m_context, [this] {
            m_current.reset();
            m_fading.clear();
            m_thread.quit();
        });
    }
    return m_thread.wait(deadline);
}

void Player::play(const PlayRequest& request, std::function<void(const PlayEvent&)> onEvent) {
    stop();
    const int generation = ++m_generation;
    m_playing = true;
    // Events cross back to the UI thread and are dropped once a newer
    // playback or a stop has replaced this one.
    auto report = [this, generation, onEvent = std::move(onEvent)](const PlayEvent& event) {
        toUi([this, generation, onEvent, event] {
            if (generation != m_generation)
                return;
            if (event.kind != PlayEvent::Started)
                m_playing = false;
            onEvent(event);
        });
    };
    QMetaObject::invokeMethod(&m_context, [this, request, report] {
        m_current.reset(new Playback(request, report, m_playhead));
        m_current->start();
    });
}

void Player::stop() {
    ++m_generation;
    m_playing = false;
    m_playhead.store(-1);
    QMetaObject::invokeMethod(&m_context, [this] {
        // Playbacks whose fade has played out are let go.
        letGoOfFaded();
        if (m_current && m_current->fadeOut()) {
            // Once faded out it holds a stream to the server for
            // nothing: it goes then, not at the next stop.
            m_current->whenStopped([this] { letGoOfFaded(); });
            m_fading.push_back(std::move(m_current));
        }
        m_current.reset();
    });
}

void Player::letGoOfFaded() {
    std::erase_if(m_fading, [](const PlaybackPtr& p) { return p->done(); });
}

} // namespace kestrin::sound
