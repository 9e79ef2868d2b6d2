// SPDX-License-Identifier: GPL-3.0-or-later
// Loop ▸ Refine Loop Points on the real editor window: from positions 1.5 s
// off the chorus of a generated song and its repeat, Ctrl+R and Enter set a
// musical loop at the same musical place through the fields; positions that
// make no loop change nothing.
#include "core/pos_file.h"
#include "tests/file_bytes.h"
#include "tests/loop_corpus.h"
#include "tests/song_corpus.h"
#include "tests/views_fixture.h"
#include "views/find_loop.h"

#include <QApplication>
#include <QLabel>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>

#include <sndfile.h>

#include <cmath>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

// Onsets are humanised by up to 10 ms in each rendition: one musical place
// lies up to 20 ms apart in two of them.
constexpr double kPlaceFrames = 0.020 * 44100;

class RefineLoopTest : public ViewsFixture {
protected:
    void SetUp() override {
        ViewsFixture::SetUp();
        m_song = RenderSong({});
        Track track;
        track.samples = m_song.audio.samples;
        WriteTrack(track, m_scratch.path() / "SONG.WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    }
    void open(PosValues values) {
        WritePosFile(m_scratch.path() / "SONG.POS", values);
        ViewsFixture::open("SONG.POS");
    }

    Song m_song;
};

TEST_F(RefineLoopTest, CtrlREnterSetsTheLoopAtTheSameMusicalPlace) {
    // The chorus of the first pass and of the second, 1.5 s off.
    const auto start = m_song.passStart + std::llround(m_song.samplesPerBeat * 4 * 9);
    const auto stop = start + m_song.passFrames;
    const PosValues rough{static_cast<std::int32_t>(start + 66150),
                          static_cast<std::int32_t>(stop - 66150)};
    open(rough);
    QTest::keyClick(m_window.get(), Qt::Key_R, Qt::ControlModifier);
    auto* dialog = m_window->findChild<views::FindLoopDialog*>();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog, 30000));
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Refine Loop Points"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->searching(); }, 60000));
    auto* list = dialog->findChild<QTreeWidget*>();
    ASSERT_GT(list->topLevelItemCount(), 0)
        << dialog->findChild<QLabel*>(QStringLiteral("findLoopMessage"))->text().toStdString();
    EXPECT_EQ(list->headerItem()->text(4), QStringLiteral("Kind"));
    EXPECT_EQ(list->topLevelItem(0)->text(4), QStringLiteral("musical"));
    QTest::keyClick(list, Qt::Key_Return);
    const std::int64_t s = text("txtStartTime").toLongLong();
    const std::int64_t e = text("txtStopTime").toLongLong();
    EXPECT_LE(std::abs(s - rough.start), 2 * 44100);
    EXPECT_LE(std::abs(e - rough.stop), 2 * 44100);
    EXPECT_LE(std::abs(static_cast<double>(e - s - m_song.passFrames)), kPlaceFrames);
    EXPECT_EQ(ReadPosFile(m_scratch.path() / "SONG.POS"), rough) << "nothing is saved";
}

TEST_F(RefineLoopTest, PositionsThatMakeNoLoopChangeNothing) {
    open({90000, 80000});
    QTest::keyClick(m_window.get(), Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(m_window->findChild<views::FindLoopDialog*>(), nullptr);
    EXPECT_TRUE(m_window->statusBar()->currentMessage().startsWith(
        QStringLiteral("Cannot refine the loop")))
        << m_window->statusBar()->currentMessage().toStdString();
    EXPECT_EQ(text("txtStartTime"), QStringLiteral("90000"));
}

// Closing the window stops a Refine still running, as it does a Find.
TEST_F(RefineLoopTest, ClosingTheWindowCancelsTheSearch) {
    open({static_cast<std::int32_t>(m_song.passStart),
          static_cast<std::int32_t>(m_song.passStart + m_song.passFrames)});
    QTest::keyClick(m_window.get(), Qt::Key_R, Qt::ControlModifier);
    auto* dialog = m_window->findChild<views::FindLoopDialog*>();
    ASSERT_TRUE(dialog && dialog->searching());
    ASSERT_TRUE(m_window->close());
    EXPECT_FALSE(dialog->searching());
    EXPECT_TRUE(m_window->statusBar()->currentMessage().contains(QStringLiteral("cancelled")));
}

// On a track that repeats to the sample, Refine of its loop keeps it, and
// from points 11,000 frames early lands on it: find --near's path.
class RefineExactLoop : public RefineLoopTest, public testing::WithParamInterface<std::int32_t> {};

TEST_P(RefineExactLoop, CtrlREnterSetsTheTrueLoop) {
    const Track exact = RenderTrack({});
    WriteTrack(exact, m_scratch.path() / "SONG.WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const auto start = static_cast<std::int32_t>(exact.loopStart);
    const auto stop = static_cast<std::int32_t>(exact.loopStart + exact.loopFrames);
    open({start + GetParam(), stop + GetParam()});
    QTest::keyClick(m_window.get(), Qt::Key_R, Qt::ControlModifier);
    auto* dialog = m_window->findChild<views::FindLoopDialog*>();
    ASSERT_TRUE(dialog && QTest::qWaitFor([&] { return !dialog->searching(); }, 60000));
    QTest::keyClick(dialog->findChild<QTreeWidget*>(), Qt::Key_Return);
    EXPECT_EQ(text("txtStartTime").toLongLong(), start);
    EXPECT_EQ(text("txtStopTime").toLongLong(), stop);
}

INSTANTIATE_TEST_SUITE_P(Offsets, RefineExactLoop, testing::Values(0, -11000));

// A user picks Find's best loop and refines it: Refine lists best first,
// as it says, that loop with the figure Find gave it, and once it is closed
// the focus is on the seam view, where Ctrl+Z takes Find's Use back at once.
TEST_F(RefineLoopTest, RefineListsBestFirstAndHandsBackTheSeamView) {
    const PosValues opened{static_cast<std::int32_t>(m_song.passStart),
                           static_cast<std::int32_t>(m_song.passStart + m_song.passFrames)};
    open(opened);
    QStringList used;
    for (const Qt::Key key : {Qt::Key_F, Qt::Key_R}) {
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get(), 10000));
        QTest::keyClick(m_window.get(), key, Qt::ControlModifier);
        views::FindLoopDialog* dialog = nullptr;
        for (auto* shown : m_window->findChildren<views::FindLoopDialog*>())
            if (shown->isVisible())
                dialog = shown;
        ASSERT_TRUE(dialog && QTest::qWaitFor([&] { return !dialog->searching(); }, 60000));
        auto* list = dialog->findChild<QTreeWidget*>();
        ASSERT_GT(list->topLevelItemCount(), 0);
        // Find's best row, which Use takes, is in Refine's list as Find gave it.
        QList<QStringList> rows;
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = list->topLevelItem(i);
            rows << QStringList{item->text(0), item->text(1), item->text(3)};
        }
        if (key == Qt::Key_F)
            used = rows.front();
        else
            EXPECT_TRUE(rows.contains(used)) << used.join(u' ').toStdString();
        for (int i = 1; key == Qt::Key_R && i < list->topLevelItemCount(); ++i)
            EXPECT_GE(list->topLevelItem(i - 1)->text(3).toDouble(),
                      list->topLevelItem(i)->text(3).toDouble())
                << i;
        if (key == Qt::Key_F)
            QTest::keyClick(list, Qt::Key_Return);
        QTest::keyClick(list, Qt::Key_Escape);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->isHidden(); }, 10000));
    }
    // As a window manager does when a dialog closes: the window is active again.
    m_window->activateWindow();
    auto* seam = m_window->findChild<QWidget*>(QStringLiteral("waveformSeam"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == seam; }, 10000));
    QTest::keyClick(seam, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(text("txtStartTime").toLongLong(), opened.start);
}

} // namespace
