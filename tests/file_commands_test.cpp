// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/pos_file.h"
#include "dialogs/common_dialogs.h"
#include "tests/file_bytes.h"
#include "tests/gui_support.h"

#include <QAction>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

using testing_support::Bytes;

// The editor with a scripted open dialog and a temporary folder of POS files.
class FileCommandsTest : public EditorFixture {
protected:
    void SetUp() override {
        EditorFixture::SetUp();
        ASSERT_TRUE(m_dir.isValid());
        m_previousChooser =
            CommonDialogs::setChooser([this](const CommonDialogs::DialogRequest& r) {
                m_requests.push_back(r);
                std::optional<CommonDialogs::DialogChoice> answer;
                if (!m_answers.empty()) {
                    if (!m_answers.front().isEmpty())
                        answer = CommonDialogs::DialogChoice{m_answers.front(), 0};
                    m_answers.erase(m_answers.begin());
                }
                return answer;
            });
    }
    void TearDown() override {
        CommonDialogs::setChooser(std::move(m_previousChooser));
        EditorFixture::TearDown();
    }

    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    static void put(const QString& file, const Bytes& bytes) {
        testing_support::writeFileBytes(file.toStdString(), bytes);
    }
    static Bytes get(const QString& file) {
        return testing_support::readFileBytes(file.toStdString());
    }

    // Ctrl+O with the dialog answering `file` (an empty text cancels).
    void openThroughShortcut(const QString& file) {
        m_answers.push_back(file);
        QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier);
    }
    void saveThroughShortcut() {
        // A message box that just closed may have left no window active.
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get(), 30000));
        QTest::keyClick(m_window.get(), Qt::Key_S, Qt::ControlModifier);
    }

    QTemporaryDir m_dir;
    std::vector<QString> m_answers;
    std::vector<CommonDialogs::DialogRequest> m_requests;
    CommonDialogs::Chooser m_previousChooser;
};

const Bytes k1And60 = {0x44, 0xAC, 0x00, 0x00, 0xF0, 0x5F, 0x28, 0x00}; // 44100, 2646000

TEST_F(FileCommandsTest, OpenFillsEveryFormAndReportsTheFile) {
    put(path("BGM01.POS"), k1And60);
    openThroughShortcut(path("BGM01.POS"));
    ASSERT_EQ(m_requests.size(), 1u);
    EXPECT_EQ(m_requests[0].title, "Open an QRV POS File");
    EXPECT_EQ(m_requests[0].filterNames, QStringList{"POS Files"});
    EXPECT_EQ(m_requests[0].filterPatterns, QStringList{"*.POS"});
    EXPECT_EQ(m_requests[0].defaultExtension, "POS");
    EXPECT_TRUE(m_requests[0].fileMustExist);
    EXPECT_TRUE(m_requests[0].pathMustExist);
    EXPECT_EQ(m_requests[0].owner, m_window.get());

    EXPECT_EQ(text("txtStartTime"), "44100");
    EXPECT_EQ(text("txtStopTime"), "2646000");
    EXPECT_EQ(text("txtflStartTime"), "1");
    EXPECT_EQ(text("txtflStopTime"), "60");
    EXPECT_EQ(text("txtActualStartTime"), "00:01");
    EXPECT_EQ(text("txtActualStopTime"), "01:00");
    EXPECT_EQ(value("sldStartTime"), 1);
    EXPECT_EQ(value("sldStopTime"), 60);
    EXPECT_EQ(status(), "BGM01.POS Loaded...");
    EXPECT_EQ(m_window->currentFile(), path("BGM01.POS"));
}

TEST_F(FileCommandsTest, OpenBeyondSliderRangeShowsOtherForms) {
    put(path("long.POS"), {0, 0, 0, 0, 0xF0, 0x09, 0xD7, 0x01}); // stop 30,870,000
    openThroughShortcut(path("long.POS"));
    EXPECT_EQ(text("txtStopTime"), "30870000");
    EXPECT_EQ(text("txtflStopTime"), "700");
    EXPECT_EQ(text("txtActualStopTime"), "11:40");
    EXPECT_EQ(value("sldStopTime"), 600);
}

TEST_F(FileCommandsTest, SaveWritesSliderMovementIntoStopBytes) {
    put(path("a.POS"), k1And60);
    openThroughShortcut(path("a.POS"));
    pressOnSlider("sldStopTime", Qt::Key_End);       // 600
    pressOnSlider("sldStopTime", Qt::Key_Left, 480); // 120
    ASSERT_EQ(value("sldStopTime"), 120);
    saveThroughShortcut();
    EXPECT_EQ(get(path("a.POS")), (Bytes{0x44, 0xAC, 0, 0, 0xE0, 0xBF, 0x50, 0x00}));
    EXPECT_EQ(status(), "a.POS Updated...");
}

TEST_F(FileCommandsTest, SaveKeepsTailOfTwelveByteFile) {
    put(path("tail.POS"), {0x44, 0xAC, 0, 0, 0xF0, 0x5F, 0x28, 0, 0xDE, 0xAD, 0xBE, 0xEF});
    openThroughShortcut(path("tail.POS"));
    typeInto("txtStartTime", "66150.5"); // ties go to even: 66150
    saveThroughShortcut();
    EXPECT_EQ(get(path("tail.POS")),
              (Bytes{0x66, 0x02, 0x01, 0, 0xF0, 0x5F, 0x28, 0, 0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST_F(FileCommandsTest, SaveBeforeOpenWarnsAndKeepsStatusEmpty) {
    MessageBoxWatcher watcher;
    saveThroughShortcut();
    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_EQ(watcher.seen()[0].title, "Kestrin");
    EXPECT_EQ(watcher.seen()[0].text, "No POS File Opened");
    EXPECT_EQ(watcher.seen()[0].icon, QMessageBox::Warning);
    EXPECT_EQ(watcher.seen()[0].buttons, QMessageBox::Ok);
    EXPECT_EQ(status(), "");
}

TEST_F(FileCommandsTest, CancelChangesNothing) {
    put(path("a.POS"), k1And60);
    openThroughShortcut(path("a.POS"));
    typeInto("txtflStopTime", "7");
    const QStringList before = {text("txtStartTime"), text("txtStopTime"), text("txtflStopTime"),
                                text("txtActualStopTime"), status()};
    clearTrace();
    openThroughShortcut(QString());
    EXPECT_TRUE(trace().isEmpty());
    EXPECT_EQ((QStringList{text("txtStartTime"), text("txtStopTime"), text("txtflStopTime"),
                           text("txtActualStopTime"), status()}),
              before);
    EXPECT_EQ(m_window->currentFile(), path("a.POS"));
}

// After a cancelled Open the status names the file really written.
TEST_F(FileCommandsTest, SaveAfterCancelledOpenNamesTheWrittenFile) {
    put(path("a.POS"), k1And60);
    openThroughShortcut(path("a.POS"));
    openThroughShortcut(QString());
    saveThroughShortcut();
    EXPECT_EQ(status(), "a.POS Updated...");
}

TEST_F(FileCommandsTest, StatusShowsMarkupInNamesAsPlainText) {
    put(path("<i>x.POS"), k1And60);
    openThroughShortcut(path("<i>x.POS"));
    const auto* label = m_window->findChild<QLabel*>(QStringLiteral("lblStatus"));
    EXPECT_EQ(label->text(), "<i>x.POS Loaded...");
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
}

// Re-opening runs the change reaction of an unchanged seconds text.
TEST_F(FileCommandsTest, ReopenRewritesTypedSampleField) {
    put(path("a.POS"), k1And60);
    put(path("b.POS"), {0x88, 0x58, 0x01, 0x00, 0xF0, 0x5F, 0x28, 0x00});
    openThroughShortcut(path("a.POS"));
    typeInto("txtStopTime", "88200");
    openThroughShortcut(path("b.POS"));
    EXPECT_EQ(text("txtflStopTime"), "60");
    EXPECT_EQ(text("txtStopTime"), "2646000");
    EXPECT_EQ(text("txtActualStopTime"), "01:00");
    EXPECT_EQ(value("sldStopTime"), 60);
    EXPECT_EQ(text("txtStartTime"), "88200");
}

struct OpenFailureRow {
    const char* name;
    const char* reason; // expected in the message
};

void PrintTo(const OpenFailureRow& row, std::ostream* os) {
    *os << row.name;
}

// A failed Open reports, keeps the editor and everything in it, and leaves
// the current file as it was.
class OpenFailures : public FileCommandsTest, public testing::WithParamInterface<OpenFailureRow> {};

TEST_P(OpenFailures, ReportAndKeepEverything) {
    put(path("good.POS"), k1And60);
    openThroughShortcut(path("good.POS"));
    typeInto("txtflStartTime", "3");
    const QStringList before = {text("txtStartTime"), text("txtflStartTime"), status()};

    const QByteArray name = GetParam().name;
    QString target = path("vanished.POS");
    if (name == "wave_file") {
        target = path("VICTIM.WAV");
        Bytes header = {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E'};
        header.resize(44);
        put(target, header);
    } else if (name == "path_over_255_characters") {
        target = u'/' + QString(260, u'x') + QStringLiteral(".POS");
    } else if (name == "markup_in_name") {
        target = path("<b>gone.POS");
    } else if (name == "directory") {
        target = path("folder.POS");
        QDir(m_dir.path()).mkdir("folder.POS");
    } else if (name == "unreadable") {
        if (::geteuid() == 0)
            GTEST_SKIP() << "root ignores file permissions";
        target = path("locked.POS");
        put(target, k1And60);
        ::chmod(target.toLocal8Bit().constData(), 0);
    }
    MessageBoxWatcher watcher;
    openThroughShortcut(target);
    ASSERT_EQ(watcher.seen().size(), 1u);
    const SeenMessageBox& box = watcher.seen()[0];
    EXPECT_EQ(box.title, "Kestrin");
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttons, QMessageBox::Ok);
    EXPECT_EQ(box.format, Qt::PlainText);
    EXPECT_TRUE(box.text.contains(target)) << box.text.toStdString();
    EXPECT_TRUE(box.text.contains(GetParam().reason)) << box.text.toStdString();
    if (name == "wave_file") {
        EXPECT_TRUE(box.text.contains(path("VICTIM.POS"))) << box.text.toStdString();
    }
    EXPECT_EQ((QStringList{text("txtStartTime"), text("txtflStartTime"), status()}), before);
    EXPECT_EQ(m_window->currentFile(), path("good.POS"));
    EXPECT_TRUE(m_window->isVisible());

    // The refused file is never written: Save still goes to the file that loaded.
    const bool isFile = QFileInfo(target).isFile();
    const Bytes targetBefore = isFile ? get(target) : Bytes{};
    saveThroughShortcut();
    EXPECT_EQ(status(), "good.POS Updated...");
    if (isFile) {
        EXPECT_EQ(get(target), targetBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(
    FileCommands, OpenFailures,
    testing::Values(OpenFailureRow{"vanished", "No such file or directory"},
                    OpenFailureRow{"wave_file", "in WAVE format, not a POS file"},
                    OpenFailureRow{"path_over_255_characters", "265 characters long"},
                    OpenFailureRow{"markup_in_name", "No such file"},
                    OpenFailureRow{"directory", "Is a directory"},
                    OpenFailureRow{"unreadable", "Permission denied"}),
    [](const testing::TestParamInfo<OpenFailureRow>& info) {
        return std::string(info.param.name);
    });

// A failed Save reports, leaves the status empty and the
// fields as they were.
TEST_F(FileCommandsTest, SaveIntoVanishedFolderReports) {
    QDir(m_dir.path()).mkdir("sub");
    const QString file = m_dir.filePath("sub/a.POS");
    put(file, k1And60);
    openThroughShortcut(file);
    QDir(m_dir.filePath("sub")).removeRecursively();
    MessageBoxWatcher watcher;
    saveThroughShortcut();
    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_EQ(watcher.seen()[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(watcher.seen()[0].text.contains("No such file or directory"));
    EXPECT_EQ(status(), "");
    EXPECT_EQ(text("txtStopTime"), "2646000");
}

TEST_F(FileCommandsTest, SaveToFullDeviceIsNeverReportedAsSuccess) {
    if (!QFile::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    openThroughShortcut(QStringLiteral("/dev/full")); // reads as zeros
    ASSERT_EQ(m_window->currentFile(), "/dev/full");
    MessageBoxWatcher watcher;
    saveThroughShortcut();
    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_TRUE(watcher.seen()[0].text.contains("not a regular file"));
    EXPECT_EQ(status(), "");
}

TEST_F(FileCommandsTest, OpenSaysWhenTheZerosAreNoStoredLoop) {
    put(path("empty.POS"), {});
    put(path("short.POS"), {1, 0, 0, 0});
    const std::pair<QString, QString> rows[] = {
        {path("empty.POS"), "empty.POS Loaded... (the file is 0 bytes long, not 8)"},
        {path("short.POS"), "short.POS Loaded... (the file is 4 bytes long, not 8)"},
        {"/dev/zero", "zero Loaded... (a character device, not a regular file)"}};
    for (const auto& [file, said] : rows) {
        openThroughShortcut(file);
        EXPECT_EQ(status(), said);
    }
}

// Makes a file unwritable even for root: read-only permissions for a normal
// user, the immutable attribute for root (which ignores permissions). The
// returned function undoes it; nullopt when neither works here.
std::optional<std::function<void()>> makeUnwritable(const QString& file) {
    const QByteArray name = file.toLocal8Bit();
    if (::geteuid() != 0) {
        ::chmod(name.constData(), 0444);
        return [] {};
    }
    const int fd = ::open(name.constData(), O_RDONLY);
    int flags = 0;
    if (fd < 0 || ::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        if (fd >= 0)
            ::close(fd);
        return std::nullopt;
    }
    const int original = flags;
    flags |= FS_IMMUTABLE_FL;
    const bool done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    if (!done)
        return std::nullopt;
    return [name, original] {
        const int undo = ::open(name.constData(), O_RDONLY);
        int restored = original;
        ::ioctl(undo, FS_IOC_SETFLAGS, &restored);
        ::close(undo);
    };
}

TEST_F(FileCommandsTest, SaveIntoUnwritableFileLeavesItUntouched) {
    put(path("ro.POS"), k1And60);
    openThroughShortcut(path("ro.POS"));
    const auto undo = makeUnwritable(path("ro.POS"));
    if (!undo)
        GTEST_SKIP() << "this file system cannot make a file unwritable for root";
    pressOnSlider("sldStopTime", Qt::Key_Right);
    MessageBoxWatcher watcher;
    saveThroughShortcut();
    (*undo)();
    ASSERT_EQ(watcher.seen().size(), 1u);
    const QString message = watcher.seen()[0].text;
    EXPECT_TRUE(message.contains("Permission denied") ||
                message.contains("Operation not permitted"))
        << message.toStdString();
    EXPECT_TRUE(message.contains(path("ro.POS")));
    EXPECT_EQ(get(path("ro.POS")), k1And60);
    EXPECT_EQ(status(), "");
    EXPECT_EQ(text("txtStopTime"), "2690100");
}

struct OverflowRow {
    const char* name;
    const char* startText;
    const char* stopText;
    const char* which;
};

void PrintTo(const OverflowRow& row, std::ostream* os) {
    *os << row.name;
}

class SaveOverflow : public FileCommandsTest, public testing::WithParamInterface<OverflowRow> {};

TEST_P(SaveOverflow, NeverOpensTheFile) {
    put(path("a.POS"), k1And60);
    openThroughShortcut(path("a.POS"));
    const auto stamp = std::filesystem::last_write_time(path("a.POS").toStdString());
    // A write from here on must show in the modification time: wait until
    // the file system's clock, as a fresh write reads it, has passed the stamp.
    const std::string probe = path("probe").toStdString();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            std::ofstream(probe) << 'x';
            return std::filesystem::last_write_time(probe) > stamp;
        },
        10000));
    typeInto("txtStartTime", GetParam().startText);
    typeInto("txtStopTime", GetParam().stopText);
    MessageBoxWatcher watcher;
    saveThroughShortcut();
    ASSERT_EQ(watcher.seen().size(), 1u);
    const QString message = watcher.seen()[0].text;
    EXPECT_TRUE(message.contains(QStringLiteral("The %1 sample count").arg(GetParam().which)))
        << message.toStdString();
    EXPECT_TRUE(message.contains("outside the range a POS file can hold"));
    EXPECT_EQ(get(path("a.POS")), k1And60);
    EXPECT_EQ(std::filesystem::last_write_time(path("a.POS").toStdString()), stamp);
    EXPECT_EQ(status(), "");
    EXPECT_EQ(text("txtStartTime"), GetParam().startText);
    EXPECT_EQ(text("txtStopTime"), GetParam().stopText);
}

INSTANTIATE_TEST_SUITE_P(
    FileCommands, SaveOverflow,
    testing::Values(OverflowRow{"start_1e20", "1e20", "5", "start"},
                    OverflowRow{"stop_past_int32", "0", "2147483648", "stop"},
                    OverflowRow{"stop_below_int32", "0", "-2147483649", "stop"},
                    OverflowRow{"exponent_text", "4.41E+24", "1", "start"}),
    [](const testing::TestParamInfo<OverflowRow>& info) { return std::string(info.param.name); });

TEST_F(FileCommandsTest, SaveWritesBoundaryValuesExactly) {
    put(path("a.POS"), k1And60);
    openThroughShortcut(path("a.POS"));
    typeInto("txtStartTime", "-2147483648");
    typeInto("txtStopTime", "2147483647.4");
    saveThroughShortcut();
    EXPECT_EQ(get(path("a.POS")), (Bytes{0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(status(), "a.POS Updated...");
}

TEST_F(FileCommandsTest, ExitFromTheMenuClosesWithoutAsking) {
    put(path("a.POS"), k1And60);
    openThroughShortcut(path("a.POS"));
    typeInto("txtflStopTime", "9");
    MessageBoxWatcher watcher;
    m_window->findChild<QAction*>("mnuExit")->trigger();
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_TRUE(watcher.seen().empty());
    EXPECT_EQ(get(path("a.POS")), k1And60);
}

} // namespace
