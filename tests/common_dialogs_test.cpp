// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/common_dialogs.h"
#include "tests/gui_support.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <functional>

using namespace kestrin;
using namespace kestrin::CommonDialogs;

namespace {

class ShowFileDialogTest : public testing::Test {
protected:
    void SetUp() override {
        m_saved = FileDialogSettings;
        FileDialogSettings = {};
        FileDialogSettings.DialogTitle = QStringLiteral("Open an QRV POS File");
        FileDialogSettings.Filter =
            QStringLiteral("POS Files") + QChar(u'\0') + QStringLiteral("*.POS") + QChar(u'\0') +
            QStringLiteral("All Files") + QChar(u'\0') + QStringLiteral("*");
        FileDialogSettings.DefaultExt = QStringLiteral("POS");
        FileDialogSettings.FileTitle = QStringLiteral("*.POS");
        FileDialogSettings.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    }
    void TearDown() override {
        setChooser({});
        FileDialogSettings = m_saved;
    }

    // Scripts the chooser to answer `choice` and remember what it was asked.
    void answer(std::optional<DialogChoice> choice) {
        setChooser([this, choice](const DialogRequest& r) {
            m_request = r;
            return choice;
        });
    }

    FileDialogSettingsType m_saved;
    DialogRequest m_request;
};

TEST_F(ShowFileDialogTest, ConfirmedChoiceFillsResults) {
    answer(DialogChoice{QStringLiteral("/music/BGM01.POS"), 0});
    ASSERT_TRUE(ShowFileDialog());
    EXPECT_EQ(FileDialogSettings.FileName, "/music/BGM01.POS");
    EXPECT_EQ(FileDialogSettings.FileTitle, "BGM01.POS");
    EXPECT_EQ(FileDialogSettings.FilterIndex, 1);

    EXPECT_EQ(m_request.title, "Open an QRV POS File");
    EXPECT_EQ(m_request.filterNames, (QStringList{"POS Files", "All Files"}));
    EXPECT_EQ(m_request.filterPatterns, (QStringList{"*.POS", "*"}));
    EXPECT_EQ(m_request.selectedFilter, 0);
    EXPECT_EQ(m_request.defaultExtension, "POS");
    EXPECT_TRUE(m_request.pathMustExist);
    EXPECT_TRUE(m_request.fileMustExist);
}

TEST_F(ShowFileDialogTest, SelectedFilterCarriesOverToNextDialog) {
    answer(DialogChoice{QStringLiteral("/music/x"), 1});
    ASSERT_TRUE(ShowFileDialog());
    EXPECT_EQ(FileDialogSettings.FilterIndex, 2);
    answer(std::nullopt);
    EXPECT_FALSE(ShowFileDialog());
    EXPECT_EQ(m_request.selectedFilter, 1);
    EXPECT_EQ(FileDialogSettings.FilterIndex, 2);
}

struct CancelRow {
    const char* name;
    std::optional<DialogChoice> choice;
};

void PrintTo(const CancelRow& row, std::ostream* os) {
    *os << row.name;
}

class DialogFailures : public ShowFileDialogTest, public testing::WithParamInterface<CancelRow> {};

TEST_P(DialogFailures, LeaveResultsUnchanged) {
    FileDialogSettings.FileName = QStringLiteral("/old/A.POS");
    FileDialogSettings.FileTitle = QStringLiteral("A.POS");
    FileDialogSettings.FilterIndex = 1;
    answer(GetParam().choice);
    EXPECT_FALSE(ShowFileDialog());
    EXPECT_EQ(FileDialogSettings.FileName, "/old/A.POS");
    EXPECT_EQ(FileDialogSettings.FileTitle, "A.POS");
    EXPECT_EQ(FileDialogSettings.FilterIndex, 1);
}

INSTANTIATE_TEST_SUITE_P(
    ShowFileDialog, DialogFailures,
    testing::Values(CancelRow{"cancelled", std::nullopt},
                    CancelRow{"path_of_256_characters",
                              DialogChoice{u'/' + QString(251, u'a') + QStringLiteral(".POS"), 0}},
                    CancelRow{"empty_path", DialogChoice{QString(), 0}}),
    [](const testing::TestParamInfo<CancelRow>& info) { return std::string(info.param.name); });

TEST_F(ShowFileDialogTest, PathOfExactly255CharactersIsTakenWhole) {
    const QString path = u'/' + QString(250, u'b') + QStringLiteral(".POS");
    ASSERT_EQ(path.size(), 255);
    answer(DialogChoice{path, 0});
    ASSERT_TRUE(ShowFileDialog());
    EXPECT_EQ(FileDialogSettings.FileName, path);
    EXPECT_EQ(FileDialogSettings.FileTitle, QString(250, u'b') + QStringLiteral(".POS"));
}

TEST_F(ShowFileDialogTest, LongTitleIsCutTo255Characters) {
    FileDialogSettings.DialogTitle = QString(300, u't');
    answer(std::nullopt);
    ShowFileDialog();
    EXPECT_EQ(m_request.title.size(), 255);
}

TEST_F(ShowFileDialogTest, PendingEventsRunBeforeTheDialog) {
    bool ranBefore = false;
    bool pending = true;
    QTimer::singleShot(0, [&] { pending = false; });
    setChooser([&](const DialogRequest&) {
        ranBefore = !pending;
        return std::optional<DialogChoice>{};
    });
    ShowFileDialog();
    EXPECT_TRUE(ranBefore);
}

// The real dialog, driven by keys typed into its file name field.
class RealFileDialogTest : public ShowFileDialogTest {
protected:
    void SetUp() override {
        ShowFileDialogTest::SetUp();
        ASSERT_TRUE(m_dir.isValid());
        for (const char* name : {"BGM01.POS", "bgm02.pos", "Bgm03.Pos", "notes.txt"})
            std::ofstream(m_dir.filePath(name).toStdString()) << "12345678";
        setChooser({});
        m_owner.show();
        FileDialogSettings.OwnerWindow = &m_owner;
    }

    // Runs ShowFileDialog while `drive` works the dialog once it is shown.
    bool runDialog(const std::function<void(QFileDialog&)>& drive) {
        QTimer poll;
        poll.setInterval(10);
        bool driven = false;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (driven || !dialog || !dialog->isVisible())
                return;
            driven = true;
            m_title = dialog->windowTitle();
            m_parent = dialog->parentWidget();
            dialog->setDirectory(m_dir.path());
            drive(*dialog);
        });
        poll.start();
        return ShowFileDialog();
    }

    static void typeName(QFileDialog& dialog, const QString& name) {
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(edit, nullptr);
        edit->setFocus();
        QTest::keyClicks(edit, name);
        QTest::keyClick(edit, Qt::Key_Return);
    }

    QTemporaryDir m_dir;
    QWidget m_owner;
    QString m_title;
    QWidget* m_parent = nullptr;
};

TEST_F(RealFileDialogTest, TypedNameGetsDefaultExtension) {
    ASSERT_TRUE(runDialog([](QFileDialog& d) { typeName(d, QStringLiteral("BGM01")); }));
    EXPECT_EQ(FileDialogSettings.FileName, m_dir.filePath("BGM01.POS"));
    EXPECT_EQ(FileDialogSettings.FileTitle, "BGM01.POS");
    EXPECT_EQ(FileDialogSettings.FilterIndex, 1);
    EXPECT_EQ(m_title, "Open an QRV POS File");
    EXPECT_EQ(m_parent, &m_owner);
}

TEST_F(RealFileDialogTest, LowerCaseFilesAreListedAndChosen) {
    QStringList listed;
    ASSERT_TRUE(runDialog([&](QFileDialog& d) {
        auto* view = d.findChild<QAbstractItemView*>(QStringLiteral("listView"));
        ASSERT_NE(view, nullptr);
        EXPECT_TRUE(QTest::qWaitFor([&] { return view->model()->rowCount(view->rootIndex()) >= 3; },
                                    30000));
        for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
            listed << view->model()->index(row, 0, view->rootIndex()).data().toString();
        typeName(d, QStringLiteral("bgm02.pos"));
    }));
    listed.sort();
    EXPECT_EQ(listed, (QStringList{"BGM01.POS", "Bgm03.Pos", "bgm02.pos"}));
    EXPECT_EQ(FileDialogSettings.FileTitle, "bgm02.pos");
}

TEST_F(RealFileDialogTest, MissingFileIsRefusedThenCancel) {
    FileDialogSettings.FileName = QStringLiteral("/old/A.POS");
    testing_support::MessageBoxWatcher watcher;
    const bool chosen = runDialog([&](QFileDialog& d) {
        typeName(d, QStringLiteral("NOPE"));
        // The dialog stays open after refusing; Escape cancels it.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !watcher.seen().empty(); }, 30000));
        QTest::keyClick(&d, Qt::Key_Escape);
    });
    EXPECT_FALSE(chosen);
    EXPECT_EQ(FileDialogSettings.FileName, "/old/A.POS");
    EXPECT_FALSE(watcher.seen().empty());
}

struct CaseRow {
    const char* name;
    const char* typed;
    const char* opened; // nullptr: refused, the dialog stays open
};

void PrintTo(const CaseRow& row, std::ostream* os) {
    *os << row.name;
}

class TypedNameIgnoringCase : public RealFileDialogTest,
                              public testing::WithParamInterface<CaseRow> {};

// A typed name that exists only in another case opens the one file it
// matches; with two such files the dialog refuses, as for any missing name.
TEST_P(TypedNameIgnoringCase, OpensTheOnlyMatch) {
    for (const char* name : {"Twin.pos", "TWIN.POS"})
        std::ofstream(m_dir.filePath(name).toStdString()) << "12345678";
    FileDialogSettings.FileName = QStringLiteral("/old/A.POS");
    testing_support::MessageBoxWatcher watcher;
    const bool chosen = runDialog([&](QFileDialog& d) {
        typeName(d, QString::fromLatin1(GetParam().typed));
        if (!GetParam().opened) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return !watcher.seen().empty(); }, 30000));
            QTest::keyClick(&d, Qt::Key_Escape);
        }
    });
    if (!GetParam().opened) {
        EXPECT_FALSE(chosen);
        EXPECT_EQ(FileDialogSettings.FileName, "/old/A.POS");
        return;
    }
    ASSERT_TRUE(chosen);
    EXPECT_EQ(FileDialogSettings.FileName, m_dir.filePath(GetParam().opened));
    EXPECT_EQ(FileDialogSettings.FileTitle, GetParam().opened);
    EXPECT_TRUE(watcher.seen().empty());
}

INSTANTIATE_TEST_SUITE_P(
    RealFileDialog, TypedNameIgnoringCase,
    testing::Values(CaseRow{"lower_case_file_typed_without_extension", "bgm02", "bgm02.pos"},
                    CaseRow{"mixed_case_file_typed_in_capitals", "BGM03", "Bgm03.Pos"},
                    CaseRow{"upper_case_file_typed_in_lower_case", "bgm01.pos", "BGM01.POS"},
                    CaseRow{"exact_name_still_wins", "Twin.pos", "Twin.pos"},
                    CaseRow{"two_matches_are_refused", "twin", nullptr},
                    CaseRow{"no_match_is_refused", "bgm04", nullptr}),
    [](const testing::TestParamInfo<CaseRow>& info) { return std::string(info.param.name); });

TEST_F(RealFileDialogTest, EscapeCancels) {
    FileDialogSettings.FileTitle = QStringLiteral("*.POS");
    EXPECT_FALSE(runDialog([](QFileDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }));
    EXPECT_EQ(FileDialogSettings.FileTitle, "*.POS");
}

} // namespace
