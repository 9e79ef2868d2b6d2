// SPDX-License-Identifier: GPL-3.0-or-later
// What the views see of the editor window: the stored positions, the signal
// that they changed, placing a position and the Loop menu.
#include "tests/gui_support.h"

#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>

#include <limits>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

using WindowFaceTest = EditorFixture;

struct StoredRow {
    const char* name;
    const char* typed;
    std::optional<std::int32_t> samples; // nullopt: beyond a POS file
};

void PrintTo(const StoredRow& row, std::ostream* os) {
    *os << row.name;
}

class StoredPositionsRead : public EditorFixture, public testing::WithParamInterface<StoredRow> {};

// Each field is read as Save reads it, whatever the other one holds.
TEST_P(StoredPositionsRead, AsSaveReadsThem) {
    typeInto("txtStartTime", "1");
    typeInto("txtStopTime", GetParam().typed);
    const StoredPositions stored = m_window->storedPositions();
    EXPECT_EQ(stored[LoopEnd::Stop].text, GetParam().typed);
    EXPECT_EQ(stored[LoopEnd::Stop].samples, GetParam().samples);
    EXPECT_EQ(stored[LoopEnd::Start].samples, 1);
    EXPECT_EQ(stored.values().has_value(), GetParam().samples.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    WindowFace, StoredPositionsRead,
    testing::Values(StoredRow{"highest", "2147483647.4", std::numeric_limits<std::int32_t>::max()},
                    StoredRow{"past_highest", "2147483647.5", std::nullopt},
                    StoredRow{"lowest", "-2147483648", std::numeric_limits<std::int32_t>::min()},
                    StoredRow{"below_lowest", "-2147483649", std::nullopt},
                    StoredRow{"beyond_every_number", "1e400", std::nullopt},
                    StoredRow{"not_a_number", "abc", 0}, StoredRow{"tie_to_even", "2.5", 2}),
    [](const testing::TestParamInfo<StoredRow>& info) { return std::string(info.param.name); });

TEST_F(WindowFaceTest, PlacingTheStopMovesOnlyTheStopAndSignalsOncePerField) {
    typeInto("txtStartTime", "44100");
    QSignalSpy changed(m_window.get(), &EditorWindow::sampleFieldsChanged);
    m_window->setPositionFromView(LoopEnd::Stop, 88200);
    EXPECT_EQ(text("txtStopTime"), "88200");
    EXPECT_EQ(text("txtflStopTime"), "2");
    EXPECT_EQ(value("sldStopTime"), 2);
    EXPECT_EQ(text("txtStartTime"), "44100");
    // The stop field changed; the start field was assigned its own text again.
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(m_window->storedPositions().values(), (PosValues{44100, 88200}));
}

TEST_F(WindowFaceTest, TheLoopMenuComesOnceAfterFile) {
    EXPECT_EQ(m_window->findChild<QMenu*>(QStringLiteral("mnuLoop")), nullptr);
    QMenu* loop = m_window->loopMenu();
    EXPECT_EQ(m_window->loopMenu(), loop);
    EXPECT_EQ(loop->objectName(), "mnuLoop");
    const QList<QAction*> bar = m_window->menuBar()->actions();
    ASSERT_EQ(bar.size(), 2);
    EXPECT_EQ(bar[0]->menu()->objectName(), "mnuFile");
    EXPECT_EQ(bar[1]->menu(), loop);
}

} // namespace
