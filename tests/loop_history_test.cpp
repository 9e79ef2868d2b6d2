// SPDX-License-Identifier: GPL-3.0-or-later
// Undo, Redo and Revert to Saved of the loop positions, and the panel's
// unsaved line, on the real editor window with the views attached, driven by
// real mouse and key events.
#include "core/pos_file.h"
#include "core/positions.h"
#include "tests/views_fixture.h"
#include "views/waveform_panel.h"
#include "views/waveform_session.h"
#include "views/waveform_view.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

constexpr int kRate = 44100;
constexpr std::int32_t kStart = 1000;
constexpr std::int32_t kStop = 80000;

// Every form of both positions, as the window shows them.
struct Forms {
    QStringList texts;
    int startSlider = 0;
    int stopSlider = 0;
    bool operator==(const Forms&) const = default;
};

void PrintTo(const Forms& f, std::ostream* os) {
    *os << f.texts.join(u' ').toStdString() << " sliders " << f.startSlider << ' ' << f.stopSlider;
}

class LoopHistoryTest : public ViewsFixture {
protected:
    void SetUp() override {
        ViewsFixture::SetUp();
        writeTone(m_scratch.path() / "LOOP.WAV", 4 * kRate);
        WritePosFile(m_scratch.path() / "LOOP.POS", {kStart, kStop});
        open("LOOP.POS");
        ASSERT_EQ(text("txtStartTime"), QString::number(kStart));
        m_seam = m_window->findChild<views::SeamView*>();
        ASSERT_NE(m_seam, nullptr);
        m_note = m_window->findChild<QLabel*>(QStringLiteral("unsavedNote"));
        ASSERT_NE(m_note, nullptr);
    }
    Forms forms() const {
        QStringList texts;
        for (const char* name : {"txtStartTime", "txtStopTime", "txtflStartTime", "txtflStopTime",
                                 "txtActualStartTime", "txtActualStopTime"})
            texts << text(name);
        return {texts, value("sldStartTime"), value("sldStopTime")};
    }
    // Keys go where the focus is, as a user's would.
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = {}, int times = 1) {
        for (int i = 0; i < times; ++i)
            QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    }
    void undo() { press(Qt::Key_Z, Qt::ControlModifier); }
    void redo() { press(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier); }
    void dragSlider(const char* name, int dx) {
        platform::Slider* s = slider(name);
        const QPoint handle = sliderHandleCenter(*s);
        QTest::mousePress(s, Qt::LeftButton, {}, handle);
        for (int i = 1; i <= 4; ++i)
            QTest::mouseMove(s, handle + QPoint(dx * i / 4, 0));
        QTest::mouseRelease(s, Qt::LeftButton, {}, handle + QPoint(dx, 0));
    }
    void focusSeam() { m_seam->setFocus(Qt::TabFocusReason); }
    QString status() const { return m_window->statusBar()->currentMessage(); }

    views::SeamView* m_seam = nullptr;
    QLabel* m_note = nullptr;
};

TEST_F(LoopHistoryTest, ADragIsOneStepAndUndoRestoresEveryForm) {
    const Forms before = forms();
    dragSlider("sldStopTime", 60);
    const Forms dragged = forms();
    ASSERT_NE(dragged, before) << "the drag moved nothing";
    undo();
    EXPECT_EQ(forms(), before);
    redo();
    EXPECT_EQ(forms(), dragged);
    undo();
    undo(); // nothing more: the opened file's values are the first step
    EXPECT_EQ(forms(), before);
}

TEST_F(LoopHistoryTest, ABurstOfOneKeyIsOneStepAndAnotherKeyStartsTheNext) {
    focusSeam();
    press(Qt::Key_S);
    press(Qt::Key_Right, {}, 5);
    press(Qt::Key_PageUp, {}, 2);
    EXPECT_EQ(text("txtStartTime"), QString::number(kStart + 5 + 2 * kRate));
    undo();
    EXPECT_EQ(text("txtStartTime"), QString::number(kStart + 5));
    undo();
    EXPECT_EQ(text("txtStartTime"), QString::number(kStart));
    EXPECT_EQ(text("txtflStartTime").toStdString(), SecondsText(kStart));
    redo();
    EXPECT_EQ(text("txtStartTime"), QString::number(kStart + 5));
    // A new change drops what could be redone.
    press(Qt::Key_Left);
    redo();
    EXPECT_EQ(text("txtStartTime"), QString::number(kStart + 4));
}

TEST_F(LoopHistoryTest, InsideATextFieldCtrlZIsTheFieldsOwnUndo) {
    pressOnSlider("sldStartTime", Qt::Key_Right, 2);
    const QString moved = text("txtStartTime");
    typeInto("txtStopTime", QStringLiteral("9"));
    ASSERT_EQ(text("txtStopTime"), QStringLiteral("9"));
    undo();
    EXPECT_EQ(text("txtStopTime"), QString::number(kStop)) << "the field's own undo";
    EXPECT_EQ(text("txtStartTime"), moved) << "the slider's step was undone from inside a field";
}

// A field with no typing of its own to undo passes Ctrl+Z and Ctrl+Shift+Z
// to the history, where after Open or Find's Use the focus sits.
TEST_F(LoopHistoryTest, InAFieldWithNothingToUndoCtrlZReachesTheHistory) {
    pressOnSlider("sldStartTime", Qt::Key_Right, 2);
    const QString moved = text("txtStartTime");
    QTest::mouseClick(field("txtStopTime"), Qt::LeftButton);
    undo();
    EXPECT_EQ(text("txtStartTime"), QString::number(kStart));
    redo();
    EXPECT_EQ(text("txtStartTime"), moved);
}

// Undone and Redone say whether the state is saved; Save clears the word.
TEST_F(LoopHistoryTest, StatusSaysWhetherTheStateIsSaved) {
    pressOnSlider("sldStartTime", Qt::Key_Right);
    undo();
    EXPECT_EQ(status(), QStringLiteral("Undone: start 1,000, stop 80,000, as saved"));
    redo();
    EXPECT_EQ(status(), QStringLiteral("Redone: start 44,100, stop 80,000, not saved"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(status(), QString());
}

TEST_F(LoopHistoryTest, UnsavedLineAndRevertToSaved) {
    EXPECT_TRUE(m_note->isHidden());
    focusSeam();
    press(Qt::Key_E);
    press(Qt::Key_Left, {}, 3);
    ASSERT_TRUE(m_note->isVisible());
    EXPECT_EQ(m_note->text(), "not saved: stop 79,997; the file holds 80,000");
    press(Qt::Key_S);
    press(Qt::Key_Right);
    EXPECT_EQ(m_note->text(), "not saved: start 1,001 and stop 79,997; the file holds 1,000 and "
                              "80,000");

    // Loop ▸ Revert to Saved by keyboard.
    press(Qt::Key_L, Qt::AltModifier);
    auto* menu = m_window->findChild<QMenu*>(QStringLiteral("mnuLoop"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }, 5000));
    QTest::keyClick(menu, Qt::Key_V);
    ASSERT_TRUE(QTest::qWaitFor([&] { return text("txtStartTime") == "1000"; }, 5000));
    EXPECT_EQ(text("txtStopTime"), QString::number(kStop));
    EXPECT_EQ(value("sldStopTime"), SliderValueOfPosition(kStop));
    EXPECT_EQ(text("txtflStopTime").toStdString(), SecondsText(kStop));
    EXPECT_TRUE(m_note->isHidden());

    // The revert is a step of its own; Save makes the line go.
    m_seam->setFocus(Qt::TabFocusReason);
    undo();
    EXPECT_EQ(text("txtStartTime"), QStringLiteral("1001"));
    EXPECT_TRUE(m_note->isVisible());
    press(Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(ReadPosFile(m_scratch.path() / "LOOP.POS"), (PosValues{1001, 79997}));
    EXPECT_TRUE(m_note->isHidden());

    // Another program writing the file brings the line back.
    WritePosFile(m_scratch.path() / "LOOP.POS", {1001, 70000});
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_note->isVisible(); }, 10000));
    EXPECT_EQ(m_note->text(), "not saved: stop 79,997; the file holds 70,000");
}

// The seam of a 200-frame sine cut at its peak clicks; the panel offers a
// seamless stop, and Undo takes its use back in one step.
TEST_F(LoopHistoryTest, UseSeamlessStopThenUndo) {
    writeTone(m_scratch.path() / "TONE.WAV", 2 * kRate, 2 * M_PI / 200);
    WritePosFile(m_scratch.path() / "TONE.POS", {200, 2050});
    open("TONE.POS");
    const Forms before = forms();
    auto* use = m_window->findChild<QPushButton*>(QStringLiteral("useSeamlessStop"));
    ASSERT_NE(use, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return use->isVisible(); }, 10000));
    QTest::mouseClick(use, Qt::LeftButton);
    ASSERT_NE(text("txtStopTime"), QStringLiteral("2050"));
    const Forms used = forms();
    undo();
    EXPECT_EQ(forms(), before);
    redo();
    EXPECT_EQ(forms(), used);
}

TEST_F(LoopHistoryTest, OpeningAFileStartsAFreshHistory) {
    pressOnSlider("sldStopTime", Qt::Key_Left);
    open("LOOP.POS");
    const Forms opened = forms();
    m_seam->setFocus(Qt::TabFocusReason);
    undo();
    EXPECT_EQ(forms(), opened);
}

} // namespace
