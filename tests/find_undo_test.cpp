// SPDX-License-Identifier: GPL-3.0-or-later
// Find's Use is one step of the loop history: Ctrl+Z on the window takes
// both positions back in every form, Ctrl+Shift+Z sets the found loop again.
#include "core/pos_file.h"
#include "tests/loop_corpus.h"
#include "tests/views_fixture.h"
#include "views/find_loop.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

constexpr std::int32_t kStart = 1000;
constexpr std::int32_t kStop = 80000;

class FindUndoTest : public ViewsFixture {
protected:
    QStringList forms() const {
        QStringList all;
        for (const char* name : {"txtStartTime", "txtStopTime", "txtflStartTime", "txtflStopTime",
                                 "txtActualStartTime", "txtActualStopTime"})
            all << text(name);
        return all << QString::number(value("sldStartTime"))
                   << QString::number(value("sldStopTime"));
    }
    // The key goes where the focus is, as a user's would.
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers) {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    }
};

TEST_F(FindUndoTest, CtrlZAfterUseRestoresThePositionsBeforeIt) {
    const Track track = RenderTrack({});
    WriteTrack(track, m_scratch.path() / "SONG.WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    WritePosFile(m_scratch.path() / "SONG.POS", {kStart, kStop});
    open("SONG.POS");
    ASSERT_EQ(text("txtStartTime"), QString::number(kStart));
    const QStringList before = forms();

    QTest::keyClick(m_window.get(), Qt::Key_F, Qt::ControlModifier);
    auto* dialog = m_window->findChild<views::FindLoopDialog*>();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog, 30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->searching(); }, 60000));
    auto* list = dialog->findChild<QTreeWidget*>();
    ASSERT_GT(list->topLevelItemCount(), 0)
        << dialog->findChild<QLabel*>(QStringLiteral("findLoopMessage"))->text().toStdString();
    QTest::keyClick(list, Qt::Key_Return);
    const QStringList found = forms();
    ASSERT_EQ(text("txtStartTime"), QString::number(track.loopStart));
    QTest::keyClick(list, Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->isHidden(); }, 10000));

    // Back on the window, on a slider: Ctrl+Z is the window's, not a field's.
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get(), 10000));
    // Where the focus came back: a field with no typing of its own to undo.
    ASSERT_TRUE(qobject_cast<QLineEdit*>(QApplication::focusWidget()));
    press(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(forms(), before);
    press(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(forms(), found);
    slider("sldStopTime")->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return QApplication::focusWidget() == slider("sldStopTime"); }, 10000));
    press(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(forms(), before);
    press(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(forms(), found);
    EXPECT_EQ(ReadPosFile(m_scratch.path() / "SONG.POS"), (PosValues{kStart, kStop}))
        << "neither Use nor Undo saves";
}

} // namespace
