// SPDX-License-Identifier: GPL-3.0-or-later
// EditorWindow::positionsSaved comes once after a Save that wrote the file,
// never after one that refused.
#include "core/pos_file.h"
#include "dialogs/common_dialogs.h"
#include "tests/gui_support.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

struct SaveRow {
    const char* name;
    bool openFirst;
    const char* typedStop; // nullptr: as opened
    int sent;              // positionsSaved count
    PosValues onDisk;
};

void PrintTo(const SaveRow& row, std::ostream* os) {
    *os << row.name;
}

class PositionsSaved : public EditorFixture, public testing::WithParamInterface<SaveRow> {};

TEST_P(PositionsSaved, OnlyAfterTheFileIsWritten) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString pos = dir.filePath(QStringLiteral("A.POS"));
    WritePosFile(pos.toStdString(), {1000, 2000});
    auto previous = CommonDialogs::setChooser([&](const CommonDialogs::DialogRequest&) {
        return std::optional<CommonDialogs::DialogChoice>({pos, 0});
    });
    if (GetParam().openFirst)
        QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier);
    if (GetParam().typedStop)
        typeInto("txtStopTime", QString::fromLatin1(GetParam().typedStop));
    QSignalSpy saved(m_window.get(), &EditorWindow::positionsSaved);
    {
        MessageBoxWatcher watcher;
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get(), 30000));
        QTest::keyClick(m_window.get(), Qt::Key_S, Qt::ControlModifier);
        EXPECT_EQ(watcher.seen().size(), GetParam().sent == 1 ? 0u : 1u);
    }
    CommonDialogs::setChooser(std::move(previous));
    EXPECT_EQ(saved.count(), GetParam().sent);
    EXPECT_EQ(ReadPosFile(pos.toStdString()), GetParam().onDisk);
}

INSTANTIATE_TEST_SUITE_P(
    WindowFace, PositionsSaved,
    testing::Values(SaveRow{"written", true, "3000", 1, {1000, 3000}},
                    SaveRow{"no_file_open", false, nullptr, 0, {1000, 2000}},
                    SaveRow{"stop_beyond_a_pos_file", true, "2147483648", 0, {1000, 2000}}),
    [](const testing::TestParamInfo<SaveRow>& info) { return std::string(info.param.name); });

} // namespace
