// SPDX-License-Identifier: GPL-3.0-or-later
#include "editor/editor_window.h"

#include "core/positions.h"

#include "platform/slider.h"
#include "platform/text_field.h"
#include "platform/twips.h"

#include <QAction>
#include <QFont>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>

#include <utility>

namespace kestrin {

namespace {

constexpr int kSliderTickInterval = 60;

QFont arialBold(double pointSize) {
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(pointSize);
    font.setBold(true);
    return font;
}

} // namespace

EditorWindow::EditorWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Aldmere WAVE POS File Editor"));
    createActions();
    createMenus();
    createWidgets();
    setTabOrderAndFocus();
    enableFileDrops();
}

void EditorWindow::createActions() {
    mnuOpenPOSFile = new QAction(tr("&Open POS File"), this);
    mnuOpenPOSFile->setObjectName(QStringLiteral("mnuOpenPOSFile"));
    mnuOpenPOSFile->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(mnuOpenPOSFile, &QAction::triggered, this, &EditorWindow::mnuOpenPOSFile_Click);

    mnuSavePOSFile = new QAction(tr("&Save POS File"), this);
    mnuSavePOSFile->setObjectName(QStringLiteral("mnuSavePOSFile"));
    mnuSavePOSFile->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(mnuSavePOSFile, &QAction::triggered, this, &EditorWindow::mnuSavePOSFile_Click);

    mnuExit = new QAction(tr("&Exit"), this);
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    connect(mnuExit, &QAction::triggered, this, &EditorWindow::mnuExit_Click);
}

void EditorWindow::createMenus() {
    QMenu* mnuFile = menuBar()->addMenu(tr("File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuFile->addAction(mnuOpenPOSFile);
    mnuFile->addAction(mnuSavePOSFile);
    mnuFile->addAction(mnuExit);
}

void EditorWindow::createWidgets() {
    // Liberation Sans has Arial's metrics and stands in where Arial is missing.
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("clientArea"));
    const double dpi = screen() ? screen()->logicalDotsPerInchX() : 96.0;
    placeControls(client, dpi);
    describeControls();
    connectControls();
    client->setFixedSize(platform::twipsToPixels(3990, dpi), platform::twipsToPixels(3150, dpi));
    setCentralWidget(client);
    // The layout is absolute; the window keeps the size of its client area.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void EditorWindow::placeControls(QWidget* client, double dpi) {
    auto place = [&](QWidget* w, const char* name, const QString& accessible, int left, int top,
                     int width, int height) {
        w->setObjectName(QString::fromLatin1(name));
        w->setAccessibleName(accessible);
        w->setGeometry(platform::twipsRect(left, top, width, height, dpi));
    };
    auto makeSlider = [&](const char* name, const QString& accessible, int left) {
        auto* s = new platform::Slider(client);
        s->setRange(0, SliderMaximum);
        s->setSingleStep(1);
        s->setPageStep(1);
        s->setTickInterval(kSliderTickInterval);
        s->setTickPosition(QSlider::TicksBelow);
        s->setFocusPolicy(Qt::StrongFocus);
        place(s, name, accessible, left, 120, 1695, 375);
        return s;
    };
    auto makeField = [&](const char* name, const QString& accessible, int left, int top, int width,
                         int height) {
        auto* f = new platform::TextField(client);
        place(f, name, accessible, left, top, width, height);
        return f;
    };

    sldStartTime = makeSlider("sldStartTime", tr("Start position slider"), 120);
    sldStopTime = makeSlider("sldStopTime", tr("Stop position slider"), 1920);
    txtStartTime = makeField("txtStartTime", tr("Start samples"), 240, 600, 1455, 285);
    txtStopTime = makeField("txtStopTime", tr("Stop samples"), 2040, 600, 1455, 285);

    const QFont large = arialBold(20.25);
    for (auto** field :
         {&txtflStartTime, &txtflStopTime, &txtActualStartTime, &txtActualStopTime}) {
        *field = new platform::TextField(client);
        (*field)->setFont(large);
        (*field)->setAlignment(Qt::AlignCenter);
    }
    place(txtflStartTime, "txtflStartTime", tr("Start seconds"), 120, 1080, 1695, 600);
    place(txtflStopTime, "txtflStopTime", tr("Stop seconds"), 1920, 1080, 1695, 600);
    place(txtActualStartTime, "txtActualStartTime", tr("Start minutes and seconds"), 120, 1800,
          1695, 600);
    place(txtActualStopTime, "txtActualStopTime", tr("Stop minutes and seconds"), 1920, 1800, 1695,
          600);
    for (auto* display : {txtActualStartTime, txtActualStopTime}) {
        display->setText(QStringLiteral("00:00"));
        display->setEnabled(false);
        display->setFocusPolicy(Qt::NoFocus);
    }

    lblStatus = new QLabel(client);
    lblStatus->setFont(arialBold(12));
    lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // File names are shown as they are, never as markup.
    lblStatus->setTextFormat(Qt::PlainText);
    place(lblStatus, "lblStatus", tr("Status"), 120, 2520, 3615, 375);
}

void EditorWindow::describeControls() {
    // The form has no labels; the tooltip and the screen reader say which
    // form of which position a control shows.
    const std::pair<QWidget*, QString> descriptions[] = {
        {sldStartTime, tr("Loop start in whole seconds, 0 to 600")},
        {sldStopTime, tr("Loop stop in whole seconds, 0 to 600")},
        {txtStartTime, tr("Loop start in samples, 44,100 per second: what Save writes")},
        {txtStopTime, tr("Loop stop in samples, 44,100 per second: what Save writes")},
        {txtflStartTime, tr("Loop start in seconds")},
        {txtflStopTime, tr("Loop stop in seconds")},
        {txtActualStartTime, tr("Loop start, minutes:seconds")},
        {txtActualStopTime, tr("Loop stop, minutes:seconds")},
        {lblStatus, tr("The file last opened or saved")},
    };
    for (const auto& [control, description] : descriptions) {
        control->setToolTip(description);
        control->setAccessibleDescription(description);
    }
}

void EditorWindow::connectControls() {
    connect(sldStartTime, &platform::Slider::scrolled, this, &EditorWindow::sldStartTime_Scroll);
    connect(sldStopTime, &platform::Slider::scrolled, this, &EditorWindow::sldStopTime_Scroll);
    connect(txtflStartTime, &platform::TextField::changed, this,
            &EditorWindow::txtflStartTime_Change);
    connect(txtflStopTime, &platform::TextField::changed, this,
            &EditorWindow::txtflStopTime_Change);
    for (auto* samples : {txtStartTime, txtStopTime})
        connect(samples, &QLineEdit::textChanged, this, &EditorWindow::sampleFieldsChanged);
}

void EditorWindow::setTabOrderAndFocus() {
    // Tab index order; the disabled clock fields are passed over by Qt itself.
    QWidget* const order[] = {txtStartTime,       txtStopTime,       sldStartTime,  sldStopTime,
                              txtActualStartTime, txtActualStopTime, txtflStopTime, txtflStartTime};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    txtStartTime->setFocus();
}

QWidget* EditorWindow::lastInTabOrder() const {
    return txtflStartTime; // the end of setTabOrderAndFocus's order
}

QMenu* EditorWindow::loopMenu() {
    if (!m_loopMenu) {
        m_loopMenu = new QMenu(tr("&Loop"), this);
        m_loopMenu->setObjectName(QStringLiteral("mnuLoop"));
        menuBar()->addMenu(m_loopMenu);
    }
    return m_loopMenu;
}

StoredPositions EditorWindow::storedPositions() const {
    const auto read = [](const platform::TextField& field) {
        StoredPosition position{field.text(), std::nullopt};
        try {
            position.samples = PositionFromSampleText(position.text.toStdString());
        } catch (const OverflowError&) {
        }
        return position;
    };
    return {read(*txtStartTime), read(*txtStopTime)};
}

void EditorWindow::mnuExit_Click() {
    close();
}

} // namespace kestrin
