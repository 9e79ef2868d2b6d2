// SPDX-License-Identifier: GPL-3.0-or-later
// The window's place and the floating waveform panel's place, kept from one
// run to the next through the settings file.
#include "core/pos_file.h"
#include "tests/views_fixture.h"
#include "views/kept_positions.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDockWidget>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

class WindowMemoryTest : public ViewsFixture {
protected:
    void SetUp() override {
        ViewsFixture::SetUp();
        writeTone(m_scratch.path() / "A.WAV", 44100);
        WritePosFile(m_scratch.path() / "A.POS", {0, 1000});
        QSettings(QStringLiteral("Kestrin"), QStringLiteral("Kestrin"))
            .setValue(QStringLiteral("waveform/floating"), true);
    }
    QDockWidget* openAndWaitForDock() {
        open("A.POS");
        auto* dock = m_window->findChild<QDockWidget*>(QStringLiteral("waveformPanel"));
        EXPECT_NE(dock, nullptr);
        if (dock) {
            EXPECT_TRUE(QTest::qWaitFor([dock] { return dock->isVisible(); }, 10000));
        }
        return dock;
    }
    // What the next start sees: this window closes, a new one is made.
    void restart(const std::function<void()>& closed = {}) {
        m_window->close();
        if (closed)
            closed();
        m_window = std::make_unique<EditorWindow>();
        views::AttachViews(*m_window);
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get(), 30000));
    }
};

TEST_F(WindowMemoryTest, AFloatingPanelFirstOpensBesideTheWindow) {
    QDockWidget* dock = openAndWaitForDock();
    ASSERT_TRUE(dock && dock->isFloating());
    const QRect window = m_window->frameGeometry();
    const QRect panel = dock->frameGeometry();
    EXPECT_FALSE(panel.intersects(window)) << "the panel covers the window";
    EXPECT_TRUE(panel.left() > window.right() || panel.top() > window.bottom())
        << "not beside the window: " << panel.left() << ',' << panel.top();
}

TEST_F(WindowMemoryTest, WindowAndPanelPlacesComeBackAfterARestart) {
    m_window->move(40, 30);
    QDockWidget* dock = openAndWaitForDock();
    ASSERT_TRUE(dock && dock->isFloating());
    // Where the user puts them, as the window manager would report it.
    const QPoint windowAt(60, 20);
    m_window->move(windowAt);
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_window->pos() == windowAt; }, 5000));
    const QPoint offset(25, 240);
    const QSize size(700, 420);
    dock->resize(size);
    dock->move(m_window->frameGeometry().topLeft() + offset);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock->size() == size; }, 5000));

    restart();
    EXPECT_EQ(m_window->pos(), windowAt);
    dock = openAndWaitForDock();
    ASSERT_TRUE(dock && dock->isFloating());
    EXPECT_EQ(dock->frameGeometry().topLeft() - m_window->frameGeometry().topLeft(), offset);
    EXPECT_EQ(dock->size(), size);
}

// However narrow the floating panel, its wrapped lines take the height they
// need and no two of its rows cover each other.
TEST_F(WindowMemoryTest, WrappedPanelTextNeverOverlaps) {
    writeTone(m_scratch.path() / "T.WAV", 2 * 44100, 2 * M_PI / 200);
    WritePosFile(m_scratch.path() / "T.POS", {200, 2050}); // clicks: long report lines
    open("T.POS");
    auto* dock = m_window->findChild<QDockWidget*>(QStringLiteral("waveformPanel"));
    ASSERT_TRUE(dock && dock->isFloating());
    auto* report = dock->findChild<QLabel*>(QStringLiteral("seamReport"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return report->text().contains("Problem"); }, 10000));
    for (const int width : {900, 420, 300}) {
        dock->resize(width, dock->height());
        QTest::qWait(0);
        QCoreApplication::processEvents();
        QList<QWidget*> rows;
        for (QObject* child : dock->findChild<QWidget*>("waveformContent")->children())
            if (auto* w = qobject_cast<QWidget*>(child); w && w->isVisible())
                rows << w;
        for (QWidget* row : rows) {
            if (auto* label = qobject_cast<QLabel*>(row); label && label->wordWrap()) {
                EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                    << label->objectName().toStdString() << " cut at width " << width;
            }
            for (QWidget* other : rows)
                EXPECT_TRUE(row == other || !row->geometry().intersects(other->geometry()))
                    << row->objectName().toStdString() << " covers "
                    << other->objectName().toStdString() << " at width " << width;
        }
    }
}

// The window keeps the size the user gave it: after a restart, and while
// stepping between tracks with and without audio.
TEST_F(WindowMemoryTest, TheWindowKeepsTheUsersSize) {
    QSettings(QStringLiteral("Kestrin"), QStringLiteral("Kestrin"))
        .setValue(QStringLiteral("waveform/floating"), false);
    WritePosFile(m_scratch.path() / "ALONE.POS", {0, 1000});
    openAndWaitForDock();
    QCoreApplication::processEvents(); // the window settles before the user acts
    const QSize size(760, 560);        // within the test screen's 800x600
    m_window->resize(size);
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_window->size() == size; }, 5000));
    restart();
    for (const char* name : {"A.POS", "ALONE.POS", "A.POS"}) {
        open(name);
        QTest::qWait(0); // the layout's posted events
        QCoreApplication::processEvents();
        EXPECT_EQ(m_window->size(), size) << "after opening " << name;
    }
}

// Floated by its button for the first time, the panel goes beside the window.
TEST_F(WindowMemoryTest, APanelFloatedForTheFirstTimeGoesBesideTheWindow) {
    QSettings(QStringLiteral("Kestrin"), QStringLiteral("Kestrin"))
        .setValue(QStringLiteral("waveform/floating"), false);
    QDockWidget* dock = openAndWaitForDock();
    ASSERT_TRUE(dock && !dock->isFloating());
    auto* button = dock->findChild<QAbstractButton*>(QStringLiteral("qt_dockwidget_floatbutton"));
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(dock->isFloating());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !dock->frameGeometry().intersects(m_window->frameGeometry()); }, 10000))
        << "the panel covers the window";
}

// Unsaved positions come back after each way of leaving a track; only Restore or Discard forgets.
TEST_F(WindowMemoryTest, EveryWayOfLeavingATrackKeepsItsPositions) {
    WritePosFile(m_scratch.path() / "B.POS", {0, 1000});
    const auto a = m_scratch.path() / "A.POS", moved = m_scratch.path() / "M.POS";
    const std::vector<std::function<void()>> leaves = {
        [&] { open("B.POS"); },
        [&] { QTest::keyClick(m_window.get(), Qt::Key_PageDown, Qt::ControlModifier); },
        [&] {
            for (const Qt::Key k : {Qt::Key_End, Qt::Key_Return})
                QTest::keyClick(m_window->findChild<QWidget*>("soundtrackList"), k);
        },
        [&] { std::filesystem::rename(a, moved), restart(), std::filesystem::rename(moved, a); },
        [&] {
            WritePosFile(a, {0, 1000}), restart();
        }}; // changed since
    for (std::size_t row = 0; row < leaves.size(); ++row) {
        open("A.POS");
        typeInto("txtStopTime", QStringLiteral("2000"));
        leaves[row]();
        ASSERT_NE(m_window->currentFile(), file("A.POS")) << row;
        for (const bool last : {false, true}) {
            open("A.POS");
            auto* line = m_window->findChild<QWidget*>(QStringLiteral("keptPositions"));
            ASSERT_TRUE(line->isVisible()) << row;
            // One line, however narrow the window, with nothing left dangling.
            const auto* words = line->findChild<QLabel*>(QStringLiteral("keptPositionsText"));
            EXPECT_LT(words->height(), 2 * words->fontMetrics().lineSpacing());
            const QString whole = words->toolTip().isEmpty() ? words->text() : words->toolTip();
            EXPECT_TRUE(whole.contains("stop 2") && !whole.contains(u'—')) << whole.toStdString();
            if (last) // a button's mnemonic clicks it once its press has been shown
                QTest::keyClick(QApplication::focusWidget(), row % 2 ? 'r' : 'd', Qt::AltModifier);
            EXPECT_TRUE(QTest::qWaitFor([&] { return line->isVisible() != last; }, 10000));
            EXPECT_EQ(text("txtStopTime"), last && row % 2 ? "2000" : "1000") << row;
            typeInto("txtStopTime", QStringLiteral("1000")); // nothing to keep
            restart();
        }
    }
    open("A.POS");
    EXPECT_FALSE(m_window->findChild<QWidget*>(QStringLiteral("keptPositions"))->isVisible());
}

// Kept values are refused out of range and pruned; the user hears when they cannot be kept.
TEST_F(WindowMemoryTest, KeptPositionsAreCheckedPrunedAndTheirLossIsTold) {
    QSettings s(QStringLiteral("Kestrin"), QStringLiteral("Kestrin"));
    for (int i = 0; i < views::MostKeptFiles; ++i) // older than any kept now
        s.setValue(QStringLiteral("keptPositions/old%1/time").arg(i), i);
    s.sync();
    open("A.POS");
    typeInto("txtStopTime", QStringLiteral("2000"));
    restart();
    s.sync();
    s.beginGroup("keptPositions");
    EXPECT_EQ(s.childGroups().size(), views::MostKeptFiles);
    const QString kept = s.childGroups().value(0); // hex digits sort before "old"
    for (const char* v : {"2147483647", "4294967796", "-2147483649", "1e3"}) { // stop values
        s.setValue(kept + "/stop", v);
        s.sync();
        open("A.POS");
        EXPECT_EQ(m_window->findChild<QWidget*>("keptPositions")->isVisible(), *v == '2') << v;
    }
    std::filesystem::remove(s.fileName().toStdString());
    std::filesystem::create_directory(s.fileName().toStdString()); // cannot be written
    typeInto("txtStopTime", QStringLiteral("3000"));
    m_window->close();
    EXPECT_TRUE(m_window->isVisible()) << "the first Exit is held back";
    EXPECT_TRUE(m_window->statusBar()->currentMessage().contains("stop 3,000"));
}

// A larger window's room goes to the panels; a size kept from a larger screen fits.
TEST_F(WindowMemoryTest, TheRoomAroundTheFormGoesToThePanels) {
    QSettings s(QStringLiteral("Kestrin"), QStringLiteral("Kestrin"));
    s.setValue(QStringLiteral("waveform/floating"), false);
    s.setValue(QStringLiteral("window/dockedSize"), QSize(3000, 2000));
    restart();
    QDockWidget* waveform = openAndWaitForDock();
    auto* list = m_window->findChild<QDockWidget*>(QStringLiteral("soundtrackPanel"));
    const QRect screen = m_window->screen()->availableGeometry();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return list->isVisible() && screen.contains(m_window->frameGeometry()); }, 5000));
    EXPECT_GE(list->geometry().bottom(), waveform->geometry().bottom());
}

// A saved size no window could have had is not restored: the panel floats as with none.
TEST_F(WindowMemoryTest, ImplausibleSavedSizesAreNotRestored) {
    QSize fresh;
    for (const QSize saved : {QSize(), QSize(0, 0), QSize(400, -1), QSize(QWIDGETSIZE_MAX, 9)}) {
        restart([&] {
            QSettings s(QStringLiteral("Kestrin"), QStringLiteral("Kestrin"));
            s.setValue(QStringLiteral("waveformPanel/floatingOffset"), QPoint(20, 200));
            s.setValue(QStringLiteral("waveformPanel/floatingSize"), saved);
        });
        QDockWidget* dock = openAndWaitForDock();
        ASSERT_TRUE(dock && dock->isFloating());
        EXPECT_EQ(dock->size(), fresh.isValid() ? fresh : dock->size()) << saved.width();
        fresh = dock->size();
    }
}

// Open on an audio file offers its POS file, looping the whole audio; No leaves all as it was.
TEST_F(WindowMemoryTest, OpeningAudioOffersToCreateItsPosFile) {
    writeTone(m_scratch.path() / "S.wav", 88201);
    for (const bool yes : {false, true}) {
        QString asked;
        QTimer answerer; // answers once the question is up
        QObject::connect(&answerer, &QTimer::timeout, [&] {
            if (QWidget* box = QApplication::activeModalWidget(); box && asked.isEmpty()) {
                asked = qobject_cast<QMessageBox*>(box)->text();
                QTest::keyClick(box, yes ? Qt::Key_Return : Qt::Key_Escape);
            }
        });
        answerer.start(0);
        m_window->activateWindow(); // Ctrl+O reaches only the active window
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
        open("S.wav");
        EXPECT_TRUE(asked.contains(file("S.pos")) && asked.contains("stop 88201")) << yes;
        EXPECT_EQ(m_window->currentFile() == file("S.pos"), yes);
    }
    EXPECT_EQ(readFileBytes(m_scratch.path() / "S.pos"), (Bytes{0, 0, 0, 0, 0x89, 0x58, 1, 0}));
}

} // namespace
