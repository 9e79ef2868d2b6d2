// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/common_dialogs.h"
#include "tests/gui_support.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

using EditorWindowTest = EditorFixture;

TEST_F(EditorWindowTest, StartsEmptyWithFocusOnStartSamples) {
    EXPECT_EQ(m_window->windowTitle(), "Aldmere WAVE POS File Editor");
    for (const char* name : {"txtStartTime", "txtStopTime", "txtflStartTime", "txtflStopTime"})
        EXPECT_EQ(text(name), "") << name;
    for (const char* name : {"txtActualStartTime", "txtActualStopTime"}) {
        EXPECT_EQ(text(name), "00:00") << name;
        EXPECT_FALSE(field(name)->isEnabled()) << name;
    }
    EXPECT_EQ(value("sldStartTime"), 0);
    EXPECT_EQ(value("sldStopTime"), 0);
    EXPECT_EQ(status(), "");
    EXPECT_EQ(m_window->currentFile(), "");
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "txtStartTime");
}

TEST_F(EditorWindowTest, TabFollowsTheFormsOwnTabOrder) {
    QStringList visited;
    for (int i = 0; i < 7; ++i) {
        visited << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(visited, (QStringList{"txtStartTime", "txtStopTime", "sldStartTime", "sldStopTime",
                                    "txtflStopTime", "txtflStartTime", "txtStartTime"}));
}

// The large fields draw Arial, or Liberation Sans with its metrics where
// Arial is missing; anything else would change every width in the layout.
TEST_F(EditorWindowTest, LargeFieldsDrawArialOrItsStandIn) {
    for (const char* name : {"txtflStartTime", "txtActualStopTime"}) {
        const QString drawn = QFontInfo(field(name)->font()).family();
        EXPECT_TRUE(drawn == "Arial" || drawn == "Liberation Sans") << drawn.toStdString();
    }
}

struct GeometryRow {
    const char* name;
    QRect rect;
};

TEST_F(EditorWindowTest, ControlsSitAtTheirPixelsAt96Dpi) {
    ASSERT_DOUBLE_EQ(m_window->logicalDpiX(), 96.0);
    const GeometryRow rows[] = {
        {"sldStartTime", {8, 8, 113, 25}},         {"sldStopTime", {128, 8, 113, 25}},
        {"txtStartTime", {16, 40, 97, 19}},        {"txtStopTime", {136, 40, 97, 19}},
        {"txtflStartTime", {8, 72, 113, 40}},      {"txtflStopTime", {128, 72, 113, 40}},
        {"txtActualStartTime", {8, 120, 113, 40}}, {"txtActualStopTime", {128, 120, 113, 40}},
        {"lblStatus", {8, 168, 241, 25}},
    };
    for (const auto& row : rows) {
        auto* w = m_window->findChild<QWidget*>(row.name);
        ASSERT_NE(w, nullptr) << row.name;
        EXPECT_EQ(w->geometry(), row.rect) << row.name;
    }
    const QWidget* client = m_window->centralWidget();
    EXPECT_EQ(client->size(), QSize(266, 210));
    EXPECT_EQ(client->y(), m_window->menuBar()->height());
}

TEST_F(EditorWindowTest, EveryControlHasAnAccessibleName) {
    for (const char* name :
         {"sldStartTime", "sldStopTime", "txtStartTime", "txtStopTime", "txtflStartTime",
          "txtflStopTime", "txtActualStartTime", "txtActualStopTime", "lblStatus"}) {
        EXPECT_FALSE(m_window->findChild<QWidget*>(name)->accessibleName().isEmpty()) << name;
    }
    EXPECT_EQ(slider("sldStartTime")->accessibleName(), "Start position slider");
    EXPECT_EQ(field("txtflStopTime")->accessibleName(), "Stop seconds");
}

TEST_F(EditorWindowTest, FileMenuHasItsThreeCommands) {
    auto* menu = m_window->findChild<QMenu*>("mnuFile");
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), "File");
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->objectName(), "mnuOpenPOSFile");
    EXPECT_EQ(actions[0]->text(), "&Open POS File");
    EXPECT_EQ(actions[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    EXPECT_EQ(actions[1]->objectName(), "mnuSavePOSFile");
    EXPECT_EQ(actions[1]->text(), "&Save POS File");
    EXPECT_EQ(actions[1]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
    EXPECT_EQ(actions[2]->objectName(), "mnuExit");
    EXPECT_EQ(actions[2]->text(), "&Exit");
    EXPECT_TRUE(actions[2]->shortcut().isEmpty());
}

TEST_F(EditorWindowTest, CtrlOAndCtrlSReachTheCommands) {
    int dialogs = 0;
    auto previous = CommonDialogs::setChooser([&](const CommonDialogs::DialogRequest&) {
        ++dialogs;
        return std::optional<CommonDialogs::DialogChoice>{};
    });
    QTest::keyClick(field("txtflStartTime"), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dialogs, 1);
    {
        MessageBoxWatcher watcher;
        QTest::keyClick(slider("sldStopTime"), Qt::Key_S, Qt::ControlModifier);
        ASSERT_EQ(watcher.seen().size(), 1u);
        EXPECT_EQ(watcher.seen()[0].text, "No POS File Opened");
    }
    CommonDialogs::setChooser(std::move(previous));
}

TEST_F(EditorWindowTest, ExitClosesTheWindow) {
    auto* menu = m_window->findChild<QMenu*>("mnuFile");
    QTest::keyClick(m_window.get(), Qt::Key_F, Qt::AltModifier); // no mnemonic: nothing opens
    menu->popup(m_window->mapToGlobal(QPoint(0, 0)));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu, 30000));
    QTest::keyClick(menu, Qt::Key_E); // the &Exit mnemonic
    EXPECT_FALSE(m_window->isVisible());
}

} // namespace
