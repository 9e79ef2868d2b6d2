// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/common_dialogs.h"
#include "tests/file_bytes.h"
#include "tests/gui_support.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QHelpEvent>
#include <QLabel>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>
#include <QUrl>
#include <QWindow>

#include <optional>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

const Bytes k1And60 = {0x44, 0xAC, 0x00, 0x00, 0xF0, 0x5F, 0x28, 0x00}; // 44100, 2646000

// The editor beside a folder holding BGM01.POS (1 s, 60 s).
class DesktopTest : public EditorFixture {
protected:
    void SetUp() override {
        EditorFixture::SetUp();
        ASSERT_TRUE(m_dir.isValid());
        writeFileBytes(path("BGM01.POS").toStdString(), k1And60);
    }
    void TearDown() override {
        CommonDialogs::setChooser({});
        EditorFixture::TearDown();
    }

    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    // A drag that enters the window over the centre of `target`, moves there
    // and is dropped, routed by the window itself as a drag from another
    // program is. Returns the accepted action, IgnoreAction when refused.
    Qt::DropAction dropOn(QWidget* target, const QMimeData& data, Qt::DropActions offered) {
        QWindow* window = m_window->windowHandle();
        const QPoint at = target->mapTo(m_window.get(), target->rect().center());
        QDragEnterEvent enter(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
        QGuiApplication::sendEvent(window, &enter);
        QDragMoveEvent move(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
        if (enter.isAccepted())
            QGuiApplication::sendEvent(window, &move);
        if (!enter.isAccepted() || !move.isAccepted()) {
            QDragLeaveEvent leave;
            QGuiApplication::sendEvent(window, &leave);
            return Qt::IgnoreAction;
        }
        QDropEvent drop(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
        QGuiApplication::sendEvent(window, &drop);
        QCoreApplication::processEvents(); // the open waits for the drop to finish
        return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
    }

    QTemporaryDir m_dir;
};

// ---- drops -------------------------------------------------------------------

enum class Payload { UriList, FileUrlAsText, WebUrl, Number };

struct DropRow {
    const char* name;
    const char* target;
    Payload payload;
    Qt::DropActions offered;
    Qt::DropAction taken; // IgnoreAction: refused
};

void PrintTo(const DropRow& row, std::ostream* os) {
    *os << row.name;
}

class Drops : public DesktopTest, public testing::WithParamInterface<DropRow> {};

// A file dropped anywhere opens as Open opens it; no URL ever lands in a
// field, and a number dropped on a field is still typed there.
TEST_P(Drops, OpenFilesAndNeverPasteUrls) {
    const DropRow& row = GetParam();
    QMimeData data;
    const QUrl file = QUrl::fromLocalFile(path("BGM01.POS"));
    switch (row.payload) {
    case Payload::UriList:
        data.setUrls({file});
        data.setText(file.toString()); // as file managers add
        break;
    case Payload::FileUrlAsText:
        data.setText(file.toString());
        break;
    case Payload::WebUrl:
        data.setUrls({QUrl(QStringLiteral("https://example.org/BGM01.POS"))});
        break;
    case Payload::Number:
        data.setText(QStringLiteral("90"));
        break;
    }
    auto* target = m_window->findChild<QWidget*>(QString::fromLatin1(row.target));
    ASSERT_NE(target, nullptr);
    MessageBoxWatcher watcher;

    EXPECT_EQ(dropOn(target, data, row.offered), row.taken);

    EXPECT_TRUE(watcher.seen().empty());
    const bool opened = row.taken != Qt::IgnoreAction && row.payload != Payload::Number;
    EXPECT_EQ(m_window->currentFile(), opened ? path("BGM01.POS") : QString());
    EXPECT_EQ(status(), opened ? "BGM01.POS Loaded..." : "");
    EXPECT_EQ(text("txtStartTime"), opened ? "44100" : "");
    EXPECT_EQ(text("txtflStopTime"), opened ? "60" : (row.payload == Payload::Number ? "90" : ""));
    if (row.payload == Payload::Number) {
        EXPECT_EQ(text("txtStopTime"), "3969000");
    }
}

constexpr Qt::DropActions kCopyOrMove = Qt::CopyAction | Qt::MoveAction;

INSTANTIATE_TEST_SUITE_P(
    Desktop, Drops,
    testing::Values(
        DropRow{"file_on_status_line", "lblStatus", Payload::UriList, kCopyOrMove, Qt::CopyAction},
        DropRow{"file_on_slider", "sldStopTime", Payload::UriList, kCopyOrMove, Qt::CopyAction},
        DropRow{"file_on_sample_field", "txtStartTime", Payload::UriList, kCopyOrMove,
                Qt::CopyAction},
        DropRow{"file_on_seconds_field", "txtflStopTime", Payload::UriList, kCopyOrMove,
                Qt::CopyAction},
        DropRow{"file_on_disabled_clock_field", "txtActualStopTime", Payload::UriList, kCopyOrMove,
                Qt::CopyAction},
        DropRow{"file_url_as_plain_text", "txtflStopTime", Payload::FileUrlAsText, kCopyOrMove,
                Qt::CopyAction},
        // Taking a Move would let the source delete the file it handed over.
        DropRow{"link_when_copy_is_not_offered", "txtflStopTime", Payload::UriList,
                Qt::MoveAction | Qt::LinkAction, Qt::LinkAction},
        DropRow{"refused_when_only_move_is_offered", "txtflStopTime", Payload::UriList,
                Qt::MoveAction, Qt::IgnoreAction},
        DropRow{"web_url_is_refused", "txtflStopTime", Payload::WebUrl, kCopyOrMove,
                Qt::IgnoreAction},
        DropRow{"number_is_typed_into_the_field", "txtflStopTime", Payload::Number, kCopyOrMove,
                Qt::CopyAction}),
    [](const testing::TestParamInfo<DropRow>& info) { return std::string(info.param.name); });

// ---- opening a named file --------------------------------------------------------

TEST_F(DesktopTest, RelativePathOpensAsAConfirmedDialog) {
    QDir(m_dir.path()).mkdir(QStringLiteral("sub"));
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    const QString expected = QDir::cleanPath(QDir::currentPath() + QStringLiteral("/BGM01.POS"));
    const QString dialogFile = CommonDialogs::FileDialogSettings.FileName;
    const bool opened = m_window->openPosFile(QStringLiteral("./sub/../BGM01.POS"));
    QDir::setCurrent(previous);
    ASSERT_TRUE(opened);
    // The path is handed over, not left in the dialog's settings for the next Open.
    EXPECT_EQ(CommonDialogs::FileDialogSettings.FileName, dialogFile);
    EXPECT_EQ(m_window->currentFile(), expected);
    EXPECT_EQ(status(), "BGM01.POS Loaded...");
    EXPECT_EQ(text("txtflStopTime"), "60");
}

struct FailureRow {
    const char* name;
    const char* file; // in the scratch folder; nullptr: a path of 265 characters
};

void PrintTo(const FailureRow& row, std::ostream* os) {
    *os << row.name;
}

class NamedFileFailures : public DesktopTest, public testing::WithParamInterface<FailureRow> {};

// Opening by name and opening through the dialog say the same, word for word.
TEST_P(NamedFileFailures, SayWhatOpenSays) {
    QString target = u'/' + QString(260, u'x') + QStringLiteral(".POS");
    if (GetParam().file)
        target = path(GetParam().file);
    if (QByteArray(GetParam().name) == "folder")
        QDir(m_dir.path()).mkdir(QStringLiteral("folder.POS"));
    if (QByteArray(GetParam().name) == "wave_file") {
        Bytes header = {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E'};
        header.resize(44);
        writeFileBytes(target.toStdString(), header);
    }
    CommonDialogs::setChooser([&](const CommonDialogs::DialogRequest&) {
        return std::optional<CommonDialogs::DialogChoice>({target, 0});
    });
    MessageBoxWatcher watcher;
    QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_FALSE(m_window->openPosFile(target));
    ASSERT_EQ(watcher.seen().size(), 2u);
    EXPECT_EQ(watcher.seen()[1].text, watcher.seen()[0].text);
    EXPECT_EQ(watcher.seen()[1].icon, QMessageBox::Critical);
    EXPECT_TRUE(watcher.seen()[1].text.contains(target));
    EXPECT_EQ(m_window->currentFile(), "");
    EXPECT_EQ(status(), "");
}

INSTANTIATE_TEST_SUITE_P(Desktop, NamedFileFailures,
                         testing::Values(FailureRow{"missing", "gone.POS"},
                                         FailureRow{"wave_file", "BGM01.WAV"},
                                         FailureRow{"folder", "folder.POS"},
                                         FailureRow{"path_over_255_characters", nullptr}),
                         [](const testing::TestParamInfo<FailureRow>& info) {
                             return std::string(info.param.name);
                         });

// ---- readable fields ------------------------------------------------------------

// 551203 samples are 12.4989342403628 s: wider than the seconds field.
const Bytes kLongSeconds = {0x23, 0x69, 0x08, 0x00, 0x23, 0x69, 0x08, 0x00};

struct ShownRow {
    const char* name;
    const char* focus; // the control holding the focus before the change
    bool typed;        // the seconds are typed into txtflStartTime, not opened
};

void PrintTo(const ShownRow& row, std::ostream* os) {
    *os << row.name;
}

class ShownFromTheStart : public DesktopTest, public testing::WithParamInterface<ShownRow> {};

// Text the program writes is shown from its first character; text being
// typed keeps the cursor after the last key.
TEST_P(ShownFromTheStart, UnlessTyped) {
    writeFileBytes(path("long.POS").toStdString(), kLongSeconds);
    QWidget* focus = m_window->findChild<QWidget*>(QString::fromLatin1(GetParam().focus));
    QTest::mouseClick(focus, Qt::LeftButton);
    focus->setFocus(Qt::MouseFocusReason);
    if (GetParam().typed)
        typeInto("txtflStartTime", QStringLiteral("12.4989342403628"));
    else
        ASSERT_TRUE(m_window->openPosFile(path("long.POS")));
    ASSERT_EQ(text("txtflStartTime"), "12.4989342403628");
    EXPECT_EQ(field("txtflStartTime")->cursorPosition(), GetParam().typed ? 16 : 0);
    for (const char* name : {"txtStartTime", "txtActualStartTime"})
        EXPECT_EQ(field(name)->cursorPosition(), 0) << name;

    pressOnSlider("sldStopTime", Qt::Key_Right);
    EXPECT_EQ(field("txtflStopTime")->cursorPosition(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Desktop, ShownFromTheStart,
    testing::Values(ShownRow{"opened_with_focus_elsewhere", "sldStartTime", false},
                    ShownRow{"opened_with_focus_in_the_field", "txtflStartTime", false},
                    ShownRow{"typed", "txtflStartTime", true}),
    [](const testing::TestParamInfo<ShownRow>& info) { return std::string(info.param.name); });

TEST_F(DesktopTest, EveryControlSaysWhatItShows) {
    const std::pair<const char*, const char*> rows[] = {
        {"sldStartTime", "Loop start in whole seconds, 0 to 600"},
        {"sldStopTime", "Loop stop in whole seconds, 0 to 600"},
        {"txtStartTime", "Loop start in samples, 44,100 per second: what Save writes"},
        {"txtStopTime", "Loop stop in samples, 44,100 per second: what Save writes"},
        {"txtflStartTime", "Loop start in seconds"},
        {"txtflStopTime", "Loop stop in seconds"},
        {"txtActualStartTime", "Loop start, minutes:seconds"},
        {"txtActualStopTime", "Loop stop, minutes:seconds"},
        {"lblStatus", "The file last opened or saved"},
    };
    for (const auto& [name, description] : rows) {
        const auto* control = m_window->findChild<QWidget*>(QString::fromLatin1(name));
        EXPECT_EQ(control->toolTip(), description) << name;
        EXPECT_EQ(control->accessibleDescription(), description) << name;
    }
    // Shown on hover, also over a disabled field.
    QWidget* clock = field("txtActualStopTime");
    const QPoint centre = clock->rect().center();
    QHelpEvent hover(QEvent::ToolTip, centre, clock->mapToGlobal(centre));
    QApplication::sendEvent(clock, &hover);
    EXPECT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 30000));
    EXPECT_EQ(QToolTip::text(), "Loop stop, minutes:seconds");
    QToolTip::hideText();
}

} // namespace
