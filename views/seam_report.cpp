// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/seam_report.h"

#include "core/clock_text.h"
#include "core/loop_problems.h"
#include "core/positions.h"
#include "editor/editor_window.h"
#include "views/loop_menu.h"

#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <utility>

namespace kestrin::views {

SeamReport::SeamReport(EditorWindow& window, LoopMenu& menu, QWidget* parent)
    : QLabel(parent), m_window(window), m_menu(menu), m_coalesce(new QTimer(this)) {
    setObjectName(QStringLiteral("seamReport"));
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setAccessibleName(tr("Loop check"));
    setAccessibleDescription(tr("The audio's rate and length, how the seam of the positions "
                                "sounds and the problems players would have with them"));
    // Setting both positions changes two fields: one measurement for both.
    m_coalesce->setSingleShot(true);
    m_coalesce->setInterval(0);
    connect(m_coalesce, &QTimer::timeout, this, &SeamReport::refresh);
    auto edited = [this] {
        dropSuggestion();
        m_coalesce->start();
    };
    connect(&window, &EditorWindow::sampleFieldsChanged, this, edited);
    connect(&menu, &LoopMenu::audioChanged, this, edited);
    refresh();
}

bool SeamReport::measuring() const {
    return m_measuring || m_coalesce->isActive();
}

std::optional<std::int64_t> SeamReport::seamlessStop() const {
    return measuring() ? std::nullopt : m_seamlessStop;
}

void SeamReport::dropSuggestion() {
    if (!m_seamlessStop)
        return;
    m_seamlessStop.reset();
    emit suggestionChanged();
}

void SeamReport::refresh() {
    dropSuggestion();
    m_positionProblems.clear();
    m_measuring = false;
    const std::optional<sound::CompanionAudio>& audio = m_menu.audio();
    if (!audio) {
        m_audioLine.clear();
        m_seamLine.clear();
        m_seamProblem.clear();
        showLines();
        return;
    }
    m_audioLine = audioLine(*audio);
    const StoredPositions fields = m_window.storedPositions();
    m_positionProblems = positionProblems(*audio, fields);
    const std::optional<PosValues> values = fields.values();
    const bool loop = values && values->start >= 0 && values->stop > values->start &&
                      values->stop <= audio->frames;
    if (!loop || !m_menu.engine()) {
        m_seamLine = tr("Seam: none, players drop or cut this loop");
        m_seamProblem.clear();
        showLines();
        return;
    }
    measure(*audio, *values);
    // The last seam's words stay until the new ones come: no flicker while dragging.
    showLines();
}

QString SeamReport::audioLine(const sound::CompanionAudio& audio) {
    const QString channels =
        audio.channels == 1 ? tr("1 channel") : tr("%1 channels").arg(audio.channels);
    return tr("%1: %2 Hz, %3 samples (%4), %5")
        .arg(QFileInfo(audio.path).fileName())
        .arg(audio.sampleRate)
        .arg(QString::fromStdString(GroupedText(audio.frames)),
             QString::fromStdString(ClockText(audio.frames, audio.sampleRate)), channels);
}

QStringList SeamReport::positionProblems(const sound::CompanionAudio& audio,
                                         const StoredPositions& fields) {
    QStringList problems;
    for (auto [position, which] :
         {std::pair{&fields.start, tr("start")}, std::pair{&fields.stop, tr("stop")}}) {
        if (!position->samples)
            problems << tr("the %1 sample field does not hold a sample count a POS "
                           "file can store")
                            .arg(which);
    }
    const bool stored = fields.values().has_value();
    const PosValues values = fields.values().value_or(PosValues{});
    if (stored)
        for (const std::string& p : PositionProblems(values))
            problems << QString::fromStdString(p);
    if (!audio.exactName)
        problems << QString::fromStdString(CaseOnlyNameProblem(
            QFileInfo(audio.path).fileName().toStdString(), audio.expectedName.toStdString()));
    if (!audio.lengthProblem.isEmpty())
        problems << audio.lengthProblem;
    if (const auto rate = SampleRateProblem(audio.sampleRate))
        problems << QString::fromStdString(*rate);
    if (const auto beyond = StopBeyondAudioProblem(values.stop, audio.frames); stored && beyond)
        problems << QString::fromStdString(*beyond);
    return problems;
}

void SeamReport::measure(const sound::CompanionAudio& audio, const PosValues& values) {
    m_measuring = true;
    QString where = QString::fromStdString(ClockText(values.stop, audio.sampleRate));
    // The form's fields read the same number at 44,100 per second: both clocks, so
    // that 01:00 there and 00:55.125 here are seen to be one stop.
    if (audio.sampleRate != SamplesPerSecond)
        where = tr("%1 of the audio at %2 Hz, %3 on the POS file's 44,100 clock")
                    .arg(where, QString::fromStdString(GroupedText(audio.sampleRate)),
                         QString::fromStdString(ClockText(values.stop, SamplesPerSecond)));
    const int rate = audio.sampleRate;
    QPointer<SeamReport> self = this;
    m_menu.engine()->measureSeam(
        audio.path, values.start, values.stop,
        [self, where, stop = values.stop, rate](const sound::SeamResult& result) {
            if (self)
                self->showSeam(result, where, stop, rate);
        });
}

void SeamReport::showSeam(const sound::SeamResult& result, const QString& where, std::int64_t stop,
                          int rate) {
    m_measuring = false;
    m_seamProblem.clear();
    if (!result.error.isEmpty()) {
        m_seamLine = tr("Seam: not measured: %1").arg(result.error);
    } else if (!result.figures) {
        m_seamLine = tr("Seam: none, players drop or cut this loop");
    } else {
        m_seamLine =
            tr("Seam at %1: %2").arg(where, QString::fromStdString(SeamVerdict(*result.figures)));
        if (const auto heard = SeamProblem(*result.figures, stop, rate))
            m_seamProblem = QString::fromStdString(*heard);
        if (!IsSeamless(*result.figures))
            m_seamlessStop = result.figures->seamlessStop;
    }
    showLines();
    if (m_seamlessStop)
        emit suggestionChanged();
}

void SeamReport::showLines() {
    QStringList lines;
    if (!m_audioLine.isEmpty())
        lines << m_audioLine;
    if (!m_seamLine.isEmpty())
        lines << m_seamLine;
    QStringList problems = m_positionProblems;
    if (!m_seamProblem.isEmpty())
        problems << m_seamProblem;
    for (const QString& p : problems)
        lines << tr("Problem: %1").arg(p);
    setText(lines.join(QLatin1Char('\n')));
}

} // namespace kestrin::views
