// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/waveform_panel.h"

#include "core/positions.h"
#include "editor/editor_window.h"
#include "platform/settings.h"
#include "views/audition_controls.h"
#include "views/form_room.h"
#include "views/loop_menu.h"
#include "views/seam_report.h"
#include "views/unsaved_note.h"
#include "views/waveform_session.h"
#include "views/waveform_view.h"

#include <QAction>
#include <QDockWidget>
#include <QEvent>
#include <QLayout>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScrollArea>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

namespace kestrin::views {

QWidget* WaveformPanel::seamView() const {
    return m_seam;
}

namespace {

constexpr int kPlayheadIntervalMs = 33;

// What a sample field stands for, as Save would read it; a number beyond
// the 32-bit range is kept as it is, to be drawn clipped.
std::optional<double> positionOf(const StoredPosition& field) {
    if (field.samples)
        return *field.samples;
    try {
        return ParseNumber(field.text.toStdString());
    } catch (const OverflowError&) {
        return std::nullopt;
    }
}

// The room the panel asks for when it first comes in, in lines of text: a
// seam view wide enough to see a few periods of a bass note on each side.
constexpr int kWantedWidthLines = 40;
constexpr int kWantedHeightLines = 20;

// The panel's rows, scrolled when the window has less room than they need.
class PanelScroll : public QScrollArea {
public:
    using QScrollArea::QScrollArea;
    QSize sizeHint() const override {
        const int line = fontMetrics().height();
        return QScrollArea::sizeHint().expandedTo(
            QSize(kWantedWidthLines * line, kWantedHeightLines * line));
    }
};

} // namespace

WaveformPanel::WaveformPanel(EditorWindow& window, LoopMenu& menu)
    : QObject(&window), m_window(window), m_menu(menu), m_session(new WaveformSession(this)) {
    connect(&menu, &LoopMenu::audioChanged, this, &WaveformPanel::audioChanged);
    connect(&menu, &LoopMenu::playingChanged, this, &WaveformPanel::playingChanged);
    connect(&window, &EditorWindow::sampleFieldsChanged, this, &WaveformPanel::readFields);
    connect(m_session, &WaveformSession::placeRequested, &m_window,
            &EditorWindow::setPositionFromView);
}

void WaveformPanel::readFields() {
    const StoredPositions fields = m_window.storedPositions();
    m_session->setPositions(positionOf(fields.start), positionOf(fields.stop));
}

void WaveformPanel::audioChanged(const std::optional<sound::CompanionAudio>& audio) {
    m_session->setAudio(m_menu.engine(), audio);
    readFields();
    if (!audio) {
        if (m_dock) {
            QScopedValueRollback quiet(m_programmatic, true);
            m_dock->hide();
            m_dock->toggleViewAction()->setEnabled(false);
            fitWindow();
        }
        return;
    }
    if (!m_dock)
        createDock();
    m_dock->toggleViewAction()->setEnabled(true);
    showDock();
    m_session->setProgress(0.0);
    QPointer<WaveformSession> session = m_session;
    m_menu.engine()->summarize(
        audio->path,
        [session](double fraction) {
            if (session)
                session->setProgress(fraction);
        },
        [session](const sound::SummaryResult& result) {
            if (!session)
                return;
            if (result.peaks)
                session->setPeaks(result.peaks);
            else
                session->setFailure(result.error);
        });
}

void WaveformPanel::createDock() {
    m_dock = new QDockWidget(tr("Waveform"), &m_window);
    m_dock->setObjectName(QStringLiteral("waveformPanel"));
    m_dock->setAllowedAreas(Qt::BottomDockWidgetArea | Qt::TopDockWidgetArea);
    m_dock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                        QDockWidget::DockWidgetFloatable);
    m_dock->setWidget(createScrollingRows());
    m_dock->hide();
    m_window.addDockWidget(Qt::BottomDockWidgetArea, m_dock);
    // After the designed controls, whose own order stays as it is.
    QWidget::setTabOrder(m_window.lastInTabOrder(), m_seam);
    QWidget::setTabOrder(m_seam, m_useSeamlessStop);
    addToggleToMenu();
    m_dock->installEventFilter(this);

    m_playheadTimer = new QTimer(this);
    m_playheadTimer->setInterval(kPlayheadIntervalMs);
    connect(m_playheadTimer, &QTimer::timeout, this, [this] {
        if (sound::SoundEngine* engine = m_menu.engine())
            m_session->setPlayhead(engine->playhead());
    });
}

QWidget* WaveformPanel::createScrollingRows() {
    // The panel's rows scroll rather than squeeze: on a small screen the
    // panel gives way before the window grows past the screen's edge. Lines
    // other views add below them (in the outer layout) stay in sight.
    auto* outer = new QWidget(m_dock);
    auto* outerLayout = new QVBoxLayout(outer);
    outerLayout->setContentsMargins(0, 0, 0, 0);
    outerLayout->setSpacing(0);
    auto* scroll = new PanelScroll(outer);
    outerLayout->addWidget(scroll, 1);
    scroll->setObjectName(QStringLiteral("waveformScroll"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    // A line of it is enough to find and drag it open again.
    scroll->setMinimumHeight(scroll->fontMetrics().height());
    scroll->setWidget(createRows(scroll));
    return outer;
}

QWidget* WaveformPanel::createRows(QWidget* parent) {
    auto* content = new QWidget(parent);
    content->setObjectName(QStringLiteral("waveformContent"));
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    m_overview = new OverviewView(*m_session, content);
    m_seam = new SeamView(*m_session, content);
    m_overview->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_overview->setFixedHeight(64);
    m_seam->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    layout->addWidget(new UnsavedNote(m_window, content));
    layout->addWidget(m_overview);
    layout->addWidget(m_seam, 1);
    m_report = new SeamReport(m_window, m_menu, content);
    layout->addWidget(m_report);
    m_useSeamlessStop = new QPushButton(content);
    m_useSeamlessStop->setObjectName(QStringLiteral("useSeamlessStop"));
    m_useSeamlessStop->setAccessibleName(tr("Use seamless stop"));
    // Coming and going with each measurement, it must not make the waveform
    // above it jump.
    QSizePolicy keepRoom = m_useSeamlessStop->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    m_useSeamlessStop->setSizePolicy(keepRoom);
    m_useSeamlessStop->hide();
    layout->addWidget(m_useSeamlessStop, 0, Qt::AlignLeft);
    layout->addWidget(new AuditionControls(m_menu, content));
    connect(m_report, &SeamReport::suggestionChanged, this, &WaveformPanel::showSuggestion);
    connect(m_useSeamlessStop, &QPushButton::clicked, this, &WaveformPanel::useSeamlessStop);
    return content;
}

void WaveformPanel::addToggleToMenu() {
    QAction* toggle = m_dock->toggleViewAction();
    toggle->setText(tr("Show &Waveform"));
    toggle->setObjectName(QStringLiteral("mnuShowWaveform"));
    QMenu* loopMenu = m_window.loopMenu();
    loopMenu->addSeparator();
    loopMenu->addAction(toggle);
    connect(toggle, &QAction::triggered, this, [this](bool shown) {
        remember("waveform/visible", shown);
        fitWindow(true);
    });
    connect(m_dock, &QDockWidget::topLevelChanged, this, [this](bool floating) {
        if (!m_programmatic && m_dock->isVisible())
            remember("waveform/floating", floating);
        fitWindow(!m_programmatic);
    });
}

void WaveformPanel::showSuggestion() {
    const std::optional<std::int64_t> stop = m_report->seamlessStop();
    // Only a stop a POS file can hold is offered.
    if (!stop || *stop > std::numeric_limits<std::int32_t>::max()) {
        if (m_useSeamlessStop->hasFocus())
            m_seam->setFocus(Qt::OtherFocusReason);
        m_useSeamlessStop->hide();
        return;
    }
    m_useSeamlessStop->setText(tr("&Use Seamless Stop %1").arg(*stop));
    const QString what = tr("Sets the stop to %1, the nearest stop within a second whose jump back "
                            "to the start cannot be heard; nothing is saved until you save")
                             .arg(*stop);
    m_useSeamlessStop->setToolTip(what);
    m_useSeamlessStop->setAccessibleDescription(what);
    m_useSeamlessStop->show();
}

void WaveformPanel::useSeamlessStop() {
    // Read again at the click: a suggestion stays only while its positions do.
    const std::optional<std::int64_t> stop = m_report->seamlessStop();
    if (!stop || *stop > std::numeric_limits<std::int32_t>::max())
        return;
    m_window.setPositionFromView(LoopEnd::Stop, static_cast<std::int32_t>(*stop));
    m_window.statusBar()->showMessage(
        tr("Stop %1 set, not saved yet: F5 plays the seam.").arg(*stop));
}

void WaveformPanel::showDock() {
    QScopedValueRollback quiet(m_programmatic, true);
    QSettings s = KestrinSettings();
    m_dock->setFloating(s.value(QStringLiteral("waveform/floating"), false).toBool());
    m_dock->setVisible(s.value(QStringLiteral("waveform/visible"), true).toBool());
    fitWindow();
}

bool WaveformPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_dock && event->type() == QEvent::Close && !m_programmatic &&
        m_window.isVisible()) {
        remember("waveform/visible", false);
        QTimer::singleShot(0, this, [this] { fitWindow(true); });
    }
    return QObject::eventFilter(watched, event);
}

void WaveformPanel::fitWindow(bool byUser) {
    QLayout* layout = m_window.layout();
    const bool docked = m_dock && !m_dock->isHidden() && !m_dock->isFloating();
    // The form alone has its fixed size. Once the panel has been docked the
    // window has the user's size, and keeps it when a track without audio
    // takes the panel away: it changes size only through the user, who may
    // also hide or float the panel and so leave the form alone.
    const bool resizable = layout->sizeConstraint() != QLayout::SetFixedSize;
    if (!docked && (!resizable || byUser)) {
        layout->setSizeConstraint(QLayout::SetFixedSize);
        m_window.setMinimumSize(0, 0);
        m_window.adjustSize();
        return;
    }
    // With the dock in it the window may grow, to give the waveform room; the
    // form keeps its own fixed size.
    layout->setSizeConstraint(QLayout::SetDefaultConstraint);
    m_window.setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    m_window.setMinimumSize(layout->minimumSize());
    // Once the layout has taken the dock in, the window may stand past the
    // screen: it is brought back within it.
    QTimer::singleShot(0, this, [this] { KeepOnScreen(m_window); });
}

void WaveformPanel::remember(const char* key, bool value) {
    KestrinSettings().setValue(QLatin1String(key), value);
}

void WaveformPanel::playingChanged(bool playing) {
    if (!m_playheadTimer)
        return;
    if (playing) {
        m_playheadTimer->start();
    } else {
        m_playheadTimer->stop();
        m_session->setPlayhead(-1);
    }
}

} // namespace kestrin::views
