// SPDX-License-Identifier: GPL-3.0-or-later
// Loop ▸ Import Loop from Audio and Export Loop… on the real editor window,
// and the waveform panel's note when the audio's smpl loop differs.
#include "core/loop_formats.h"
#include "core/pos_file.h"
#include "tests/file_bytes.h"
#include "tests/loop_corpus.h"
#include "tests/views_fixture.h"
#include "views/find_loop.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>

#include <sndfile.h>

#include <vector>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

class LoopInterchangeGui : public ViewsFixture {
protected:
    void SetUp() override {
        ViewsFixture::SetUp();
        writeWave(4410, 22050);
        WritePosFile(m_scratch.path() / "LOOP.POS", {1000, 20000});
    }
    // `samples` at `rate`, by default half a second of a ramp, with a forward
    // loop start..end in its smpl chunk.
    void writeWave(unsigned start, unsigned end, int rate = 44100,
                   std::vector<short> samples = {}) {
        m_answer = file("LOOP.POS");
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((m_scratch.path() / "LOOP.WAV").c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        SF_INSTRUMENT instrument{};
        instrument.loop_count = 1;
        instrument.loops[0] = {SF_LOOP_FORWARD, start, end, 0};
        ASSERT_EQ(sf_command(f, SFC_SET_INSTRUMENT, &instrument, sizeof instrument), SF_TRUE);
        for (short n = 0; rate == 44100 && n < 22050; ++n)
            samples.push_back(n);
        sf_writef_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(f);
    }
    QAction* action(const char* name) const {
        return m_window->findChild<QAction*>(QLatin1String(name));
    }
};

TEST_F(LoopInterchangeGui, ImportTakesTheSmplLoopIntoTheFieldsUnsaved) {
    QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([this] { return action("mnuImportLoop")->isEnabled(); }, 30000));
    auto* note = m_window->findChild<QLabel*>(QStringLiteral("loopTagsNote"));
    ASSERT_NE(note, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([note] { return note->isVisible(); }, 30000));
    EXPECT_EQ(note->text(),
              QStringLiteral("LOOP.WAV's smpl loop is 4410..22050; the POS file's is 1000..20000"));

    action("mnuImportLoop")->trigger();
    EXPECT_EQ(text("txtStartTime"), QStringLiteral("4410"));
    EXPECT_EQ(text("txtStopTime"), QStringLiteral("22050"));
    EXPECT_EQ(text("txtflStartTime"), QStringLiteral("0.1"));
    EXPECT_TRUE(note->isHidden());
    EXPECT_EQ(ReadPosFile(m_scratch.path() / "LOOP.POS"), (PosValues{1000, 20000}));
}

// smpl counts are unsigned: from 2^31 on they are no position a POS file can
// hold, and must not wrap to a negative one.
class ImportBeyondPos : public LoopInterchangeGui,
                        public testing::WithParamInterface<std::pair<unsigned, unsigned>> {};

TEST_P(ImportBeyondPos, IsRefusedNamingTheFileAndTheLoop) {
    const auto [start, end] = GetParam();
    writeWave(start, end);
    QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([this] { return action("mnuImportLoop")->isEnabled(); }, 30000));
    QTest::keyClick(m_window.get(), Qt::Key_L, Qt::AltModifier);
    QMenu* menu = m_window->findChild<QMenu*>(QStringLiteral("mnuLoop"));
    ASSERT_TRUE(QTest::qWaitFor([menu] { return menu->isVisible(); }, 30000));
    QTest::keyClick(menu, Qt::Key_I);
    EXPECT_EQ(text("txtStartTime"), QStringLiteral("1000"));
    EXPECT_EQ(text("txtStopTime"), QStringLiteral("20000"));
    const QString status = m_window->statusBar()->currentMessage();
    EXPECT_TRUE(status.startsWith(
        QStringLiteral("Not imported: the smpl loop %1..%2 of LOOP.WAV").arg(start).arg(end)))
        << status.toStdString();
    EXPECT_EQ(m_window->statusBar()->toolTip(), status) << "too long for the bar: whole in its tip";
}

INSTANTIATE_TEST_SUITE_P(LoopInterchangeGui, ImportBeyondPos,
                         testing::Values(std::pair{0x80000000u, 0x80000010u},
                                         std::pair{0x80000000u, 22050u},
                                         std::pair{4410u, 0xFFFFFFFFu}));

TEST_F(LoopInterchangeGui, ExportWritesTheFieldsAsALabelTrack) {
    QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([this] { return action("mnuExportLoop")->isEnabled(); }, 30000));
    typeInto("txtStopTime", QStringLiteral("21000"));
    action("mnuExportLoop")->trigger();
    QFileDialog* dialog = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (dialog = m_window->findChild<QFileDialog*>("exportLoopDialog")); }, 30000));
    const auto target = m_scratch.path() / "LOOP.txt";
    dialog->selectFile(QString::fromStdString(target.string()));
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    QTest::keyClick(name, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(target); }, 30000));
    const Bytes bytes = readFileBytes(target);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), LabelText({1000, 21000}));
}

// A generated track at 48 kHz whose smpl loop is 4800..96000, with a POS
// file near the track's loop, for Refine, yet not on it; opened.
class OtherRateGui : public LoopInterchangeGui {
protected:
    void SetUp() override {
        LoopInterchangeGui::SetUp();
        const Track track = RenderTrack({.channels = 1, .sampleRate = 48000});
        std::vector<short> pcm;
        for (const float sample : track.samples)
            pcm.push_back(static_cast<short>(std::lround(sample * 32000)));
        writeWave(4800, 96000, 48000, pcm);
        m_held = {static_cast<std::int32_t>(track.loopStart + 100),
                  static_cast<std::int32_t>(track.loopStart + track.loopFrames + 100)};
        WritePosFile(m_scratch.path() / "LOOP.POS", m_held);
        QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier);
        ASSERT_TRUE(
            QTest::qWaitFor([this] { return action("mnuImportLoop")->isEnabled(); }, 30000));
    }
    // Opens the Loop menu by its key and picks the item with key `item`.
    void menuKey(Qt::Key item) {
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get(), 10000));
        QTest::keyClick(m_window.get(), Qt::Key_L, Qt::AltModifier);
        ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget(); }, 10000));
        QTest::keyClick(QApplication::activePopupWidget(), item);
    }
    PosValues m_held;
};

// A POS file counts at 44,100 per second: every writer of positions asks
// before taking 48 kHz audio's frames, naming both rates; declined (Enter),
// it changes nothing.
TEST_F(OtherRateGui, EveryWriterDeclinedChangesNothing) {
    const PosValues held = m_held;
    // Find's and Refine's Use (Enter on the list of loops), Import and Export (menu keys).
    const struct {
        Qt::Key key;
        bool inMenu;
        const char* title;
    } rows[] = {{Qt::Key_F, false, "Loop Not Used"},
                {Qt::Key_R, false, "Loop Not Used"},
                {Qt::Key_I, true, "Loop Not Imported"},
                {Qt::Key_E, true, "Loop Not Exported"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        // Back on the window after the dialog before: its keys reach the window.
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get(), 10000));
        MessageBoxWatcher boxes;
        QTest::keyClick(m_window.get(), row.inMenu ? Qt::Key_L : row.key,
                        row.inMenu ? Qt::AltModifier : Qt::ControlModifier);
        QWidget* target = nullptr;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                auto* dialog = qobject_cast<views::FindLoopDialog*>(QApplication::activeWindow());
                target = row.inMenu                       ? QApplication::activePopupWidget()
                         : dialog && !dialog->searching() ? dialog->findChild<QTreeWidget*>()
                                                          : nullptr;
                return target != nullptr;
            },
            60000));
        QTest::keyClick(target, row.inMenu ? row.key : Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.seen().empty(); }, 60000));
        EXPECT_EQ(boxes.seen().front().title, row.title);
        EXPECT_TRUE(boxes.seen().front().text.startsWith(
            QStringLiteral("LOOP.WAV is 48,000 Hz; a POS file counts at 44,100 per second.")))
            << boxes.seen().front().text.toStdString();
        if (!row.inMenu)
            QTest::keyClick(target, Qt::Key_Escape);
        EXPECT_EQ(text("txtStartTime"), QString::number(held.start));
        EXPECT_EQ(text("txtStopTime"), QString::number(held.stop));
        EXPECT_EQ(ReadPosFile(m_scratch.path() / "LOOP.POS"), held);
        EXPECT_EQ(m_window->findChild<QFileDialog*>("exportLoopDialog"), nullptr);
    }
}

} // namespace

namespace {

// Agreed once, in Import's box, the audio's frames are the positions for
// that file: Export writes its label track at the audio's rate without
// asking, and the waveform panel reads the stop on both clocks.
TEST_F(OtherRateGui, FramesOfAudioAgreedOnceServeEveryWriter) {
    {
        MessageBoxWatcher agree(QStringLiteral("useFramesOfAudio"));
        menuKey(Qt::Key_I);
        ASSERT_TRUE(QTest::qWaitFor([&] { return text("txtStopTime") == "96000"; }, 30000));
        EXPECT_EQ(agree.seen().size(), 1u);
    }
    EXPECT_EQ(text("txtStartTime"), "4800");
    EXPECT_TRUE(m_window->statusBar()->currentMessage().contains("as frames of LOOP.WAV at 48,000"))
        << m_window->statusBar()->currentMessage().toStdString();
    auto* report = m_window->findChild<QLabel*>("seamReport");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return report->text().contains(
                "Seam at 00:02.000 of the audio at 48,000 Hz, 00:02.177 on the POS file's "
                "44,100 clock");
        },
        30000))
        << report->text().toStdString();

    MessageBoxWatcher none;
    menuKey(Qt::Key_E);
    QFileDialog* dialog = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (dialog = m_window->findChild<QFileDialog*>("exportLoopDialog")); }, 30000));
    const auto target = m_scratch.path() / "LOOP.txt";
    dialog->selectFile(QString::fromStdString(target.string()));
    QTest::keyClick(dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(target); }, 30000));
    const Bytes bytes = readFileBytes(target);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), LabelText({4800, 96000}, 48000));
    EXPECT_TRUE(none.seen().empty());
}

} // namespace
