// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/loop_menu.h"

#include "core/loop_problems.h"
#include "core/positions.h"
#include "editor/editor_window.h"

#include <QAction>
#include <QFileInfo>
#include <QMenu>
#include <QStatusBar>

#include <algorithm>
#include <cmath>
#include <utility>

namespace kestrin::views {

namespace {

QString sampleCount(std::int64_t n) {
    return QString::number(n);
}

} // namespace

LoopMenu::LoopMenu(EditorWindow* window) : QObject(window), m_window(window) {
    QMenu* menu = window->loopMenu();

    m_playSeam = menu->addAction(tr("Play &Seam"), this, [this] { play(Mode::Seam); });
    m_playSeam->setObjectName(QStringLiteral("mnuPlaySeam"));
    m_playSeam->setShortcut(Qt::Key_F5);
    m_playLoop = menu->addAction(tr("Play &Loop"), this, [this] { play(Mode::Loop); });
    m_playLoop->setObjectName(QStringLiteral("mnuPlayLoop"));
    m_playLoop->setShortcut(Qt::Key_F6);
    m_audition = menu->addAction(tr("&Audition Seam"), this, [this] { play(Mode::Audition); });
    m_audition->setObjectName(QStringLiteral("mnuAuditionSeam"));
    m_audition->setShortcut(Qt::Key_F7);
    menu->addSeparator();
    m_stop = menu->addAction(tr("S&top"), this, [this] { stop(); });
    m_stop->setObjectName(QStringLiteral("mnuStopPlaying"));
    m_stop->setShortcut(Qt::Key_Escape);
    m_stop->setEnabled(false);
    setPlayable(false, tr("Open a POS file to hear its loop"));

    // A POS file made for audio opened in its place loops the whole of it,
    // counted as the form counts: at 44,100 per second whatever the rate.
    window->setAudioLength([this](const QString& posFile) -> std::optional<std::int64_t> {
        QString error;
        if (!m_engine)
            m_engine = sound::LoadSoundEngine(&error);
        const auto audio = m_engine ? m_engine->findCompanion(posFile, &error) : std::nullopt;
        if (!audio || audio->sampleRate <= 0)
            return std::nullopt;
        return std::llround(static_cast<double>(audio->frames) * SamplesPerSecond /
                            audio->sampleRate);
    });
    connect(window, &EditorWindow::fileOpened, this, &LoopMenu::fileOpened);
    connect(window, &EditorWindow::sampleFieldsChanged, this, &LoopMenu::followFields);
}

LoopMenu::~LoopMenu() {
    if (m_engine)
        m_engine->stop();
}

void LoopMenu::setPlayable(bool playable, const QString& reason) {
    for (QAction* action : {m_playSeam, m_playLoop, m_audition}) {
        action->setEnabled(playable);
        action->setStatusTip(reason);
    }
}

void LoopMenu::showMessage(const QString& text, int timeoutMs) {
    m_window->statusBar()->showMessage(text, timeoutMs);
}

void LoopMenu::fileOpened(const QString& path) {
    stop();
    m_audio.reset();
    QString error;
    if (!m_engine)
        m_engine = sound::LoadSoundEngine(&error);
    if (m_engine)
        m_audio = m_engine->findCompanion(path, &error);
    emit audioChanged(m_audio);
    if (!m_audio) {
        setPlayable(false, error);
        showMessage(error);
        return;
    }
    const QString name = QFileInfo(m_audio->path).fileName();
    setPlayable(true, tr("Plays %1").arg(name));
    QString note = tr("Audio: %1, %2 Hz, %3 samples")
                       .arg(name)
                       .arg(m_audio->sampleRate)
                       .arg(sampleCount(m_audio->frames));
    if (m_audio->sampleRate != SamplesPerSecond)
        note += tr(" - the sample rate is %1 Hz, not 44100: the positions count samples at "
                   "44,100 per second")
                    .arg(m_audio->sampleRate);
    else if (!m_audio->exactName)
        note += tr(" - found only by ignoring case: players look for another name");
    showMessage(note);
    followFields();
}

void LoopMenu::audioRewritten() {
    if (m_window->currentFile().isEmpty())
        return;
    fileOpened(m_window->currentFile());
    emit companionRewritten();
}

std::optional<LoopPoints> LoopMenu::playablePoints(QString* why) const {
    const StoredPositions stored = m_window->storedPositions();
    for (auto [position, which] :
         {std::pair{&stored.start, tr("start")}, std::pair{&stored.stop, tr("stop")}}) {
        if (!position->samples) {
            *why = tr("Cannot play: the %1 sample field does not hold a sample count a POS file "
                      "can store.")
                       .arg(which);
            return std::nullopt;
        }
    }
    const PosValues values = *stored.values();
    // Worded as check words them, so that the menu and kestrin-pos agree.
    std::vector<std::string> problems = PositionProblems(values);
    if (const auto beyond = StopBeyondAudioProblem(values.stop, m_audio->frames))
        problems.push_back(*beyond);
    if (!problems.empty()) {
        *why = tr("Cannot play: %1.").arg(QString::fromStdString(problems.front()));
        return std::nullopt;
    }
    return LoopPoints{values.start, values.stop};
}

// While playing, every valid edit of the sample fields is heard from the
// next jump; an edit that makes no loop keeps the last good one.
void LoopMenu::followFields() {
    if (!m_audio || m_playingGiven)
        return;
    QString why;
    if (const auto points = playablePoints(&why)) {
        m_live->start.store(points->start);
        m_live->stop.store(points->stop);
    }
}

void LoopMenu::play(Mode mode, const std::optional<LoopPoints>& given) {
    const auto same = [](const std::optional<LoopPoints>& a, const std::optional<LoopPoints>& b) {
        return a.has_value() == b.has_value() &&
               (!a || (a->start == b->start && a->stop == b->stop));
    };
    if (m_playing == mode && same(m_playingGiven, given)) { // F5 or F6 again stops
        stop();
        return;
    }
    if (!m_audio || !m_engine)
        return;
    QString why = tr("Cannot play: that loop does not lie within the audio.");
    const bool inside =
        given && given->start >= 0 && given->start < given->stop && given->stop <= m_audio->frames;
    const auto points = given ? (inside ? given : std::nullopt) : playablePoints(&why);
    if (!points) {
        showMessage(why, 8000);
        return;
    }
    m_live->start.store(points->start);
    m_live->stop.store(points->stop);

    sound::PlayRequest request;
    request.audio = m_audio->path;
    const std::int64_t seam = std::int64_t{kSeamSeconds} * m_audio->sampleRate;
    request.from =
        mode == Mode::Seam ? std::max<std::int64_t>(0, points->stop - seam) : points->start;
    request.framesAfterJump = mode == Mode::Seam ? seam : -1;
    request.points = [live = m_live] { return LoopPoints{live->start.load(), live->stop.load()}; };
    if (mode == Mode::Audition)
        request.audition = [live = m_live, rate = m_audio->sampleRate] {
            const auto frames = [rate](double seconds) {
                return static_cast<std::int64_t>(std::llround(seconds * rate));
            };
            return sound::AuditionSpan{frames(live->before.load()), frames(live->after.load()),
                                       frames(kAuditionGapSeconds)};
        };
    m_playing = mode;
    m_playingGiven = given;
    m_stop->setEnabled(true);
    emit playingChanged(true);
    const QString name = QFileInfo(m_audio->path).fileName();
    if (mode == Mode::Audition)
        showMessage(tr("Auditioning the seam of %1 over and over: %2 s before the stop, %3 s "
                       "after the start; edits are heard on the next pass (F7 or Esc stops)")
                        .arg(name)
                        .arg(m_live->before.load())
                        .arg(m_live->after.load()));
    else
        showMessage(mode == Mode::Seam ? tr("Playing the seam of %1...").arg(name)
                                       : tr("Playing the loop of %1 (Esc stops)...").arg(name));
    // A gap heard while playing stays said once the playing ends.
    m_engine->play(
        request, [this, gap = std::make_shared<bool>(false)](const sound::PlayEvent& event) {
            if (event.kind == sound::PlayEvent::Started)
                return;
            if (event.kind == sound::PlayEvent::Gap) {
                *gap = true;
                showMessage(event.message, 0);
                return;
            }
            m_playing.reset();
            m_playingGiven.reset();
            m_stop->setEnabled(false);
            emit playingChanged(false);
            if (event.kind == sound::PlayEvent::Failed || !*gap)
                showMessage(event.kind == sound::PlayEvent::Failed ? event.message : QString(),
                            event.kind == sound::PlayEvent::Failed ? 0 : 1);
        });
}

void LoopMenu::setAuditionSpan(double beforeSeconds, double afterSeconds) {
    m_live->before.store(std::clamp(beforeSeconds, 0.1, 30.0));
    m_live->after.store(std::clamp(afterSeconds, 0.1, 30.0));
}

void LoopMenu::stop() {
    if (!m_playing)
        return;
    m_playing.reset();
    m_playingGiven.reset();
    m_stop->setEnabled(false);
    if (m_engine)
        m_engine->stop();
    emit playingChanged(false);
    showMessage(tr("Stopped"), 3000);
}

} // namespace kestrin::views
