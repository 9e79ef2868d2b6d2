// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/seam_report.h"

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
    m_audioLine.clear();
    m_positionProblems.clear();
    m_measuring = false;
    const std::optional<sound::CompanionAudio>& audio = m_menu.audio();
    if (!audio) {
        m_seamLine.clear();
        m_seamProblem.clear();
        showLines();
        return;
    }
    const QString name = QFileInfo(audio->path).fileName();
    const QString channels =
        audio->channels == 1 ? tr("1 channel") : tr("%1 channels").arg(audio->channels);
    m_audioLine =
        tr("%1: %2 Hz, %3 samples (%4), %5")
            .arg(name)
            .arg(audio->sampleRate)
            .arg(QString::fromStdString(GroupedText(audio->frames)),
                 QString::fromStdString(ClockText(audio->frames, audio->sampleRate)), channels);

    const StoredPositions fields = m_window.storedPositions();
    for (auto [position, which] :
         {std::pair{&fields.start, tr("start")}, std::pair{&fields.stop, tr("stop")}}) {
        if (!position->samples)
            m_positionProblems << tr("the %1 sample field does not hold a sample count a POS "
                                     "file can store")
                                      .arg(which);
    }
    const bool stored = fields.values().has_value();
    const PosValues values = fields.values().value_or(PosValues{});
    if (stored)
        for (const std::string& p : PositionProblems(values))
            m_positionProblems << QString::fromStdString(p);
    if (!audio->exactName)
        m_positionProblems << QString::fromStdString(
            CaseOnlyNameProblem(name.toStdString(), audio->expectedName.toStdString()));
    if (!audio->lengthProblem.isEmpty())
        m_positionProblems << audio->lengthProblem;
    if (const auto rate = SampleRateProblem(audio->sampleRate))
        m_positionProblems << QString::fromStdString(*rate);
    if (const auto beyond = StopBeyondAudioProblem(values.stop, audio->frames); stored && beyond)
        m_positionProblems << QString::fromStdString(*beyond);

    const bool loop =
        stored && values.start >= 0 && values.stop > values.start && values.stop <= audio->frames;
    sound::SoundEngine* engine = m_menu.engine();
    if (!loop || !engine) {
        m_seamLine = tr("Seam: none, players drop or cut this loop");
        m_seamProblem.clear();
        showLines();
        return;
    }
    m_measuring = true;
    const QString where = QString::fromStdString(ClockText(values.stop, audio->sampleRate));
    const int rate = audio->sampleRate;
    QPointer<SeamReport> self = this;
    engine->measureSeam(audio->path, values.start, values.stop,
                        [self, where, stop = values.stop, rate](const sound::SeamResult& result) {
                            if (!self)
                                return;
                            self->m_measuring = false;
                            self->m_seamProblem.clear();
                            if (!result.error.isEmpty()) {
                                self->m_seamLine = tr("Seam: not measured: %1").arg(result.error);
                            } else if (!result.figures) {
                                self->m_seamLine = tr("Seam: none, players drop or cut this loop");
                            } else {
                                self->m_seamLine =
                                    tr("Seam at %1: %2")
                                        .arg(where,
                                             QString::fromStdString(SeamVerdict(*result.figures)));
                                if (const auto heard = SeamProblem(*result.figures, stop, rate))
                                    self->m_seamProblem = QString::fromStdString(*heard);
                                if (!IsSeamless(*result.figures))
                                    self->m_seamlessStop = result.figures->seamlessStop;
                            }
                            self->showLines();
                            if (self->m_seamlessStop)
                                emit self->suggestionChanged();
                        });
    // The last seam's words stay until the new ones come: no flicker while dragging.
    showLines();
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
