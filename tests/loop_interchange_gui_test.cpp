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
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>

#include <sndfile.h>

#include <functional>
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
    // Half a second of a ramp with a forward loop start..end in its smpl chunk.
    void writeWave(unsigned start, unsigned end) {
        m_answer = file("LOOP.POS");
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((m_scratch.path() / "LOOP.WAV").c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        SF_INSTRUMENT instrument{};
        instrument.loop_count = 1;
        instrument.loops[0] = {SF_LOOP_FORWARD, start, end, 0};
        ASSERT_EQ(sf_command(f, SFC_SET_INSTRUMENT, &instrument, sizeof instrument), SF_TRUE);
        std::vector<short> ramp(22050);
        for (std::size_t n = 0; n < ramp.size(); ++n)
            ramp[n] = static_cast<short>(n);
        sf_writef_short(f, ramp.data(), 22050);
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

// A POS file counts at 44,100 per second: the loop of 48 kHz audio (found,
// refined, or in its smpl chunk) is no POS position, nor are the fields a
// playlist's frames of it. Each writer says so in a message box naming both
// rates and changes nothing.
TEST_F(LoopInterchangeGui, EveryWriterRefusesAudioAtAnotherRate) {
    TrackSpec spec;
    spec.channels = 1;
    spec.sampleRate = 48000;
    const Track track = RenderTrack(spec);
    std::vector<short> pcm(track.samples.size());
    for (std::size_t n = 0; n < pcm.size(); ++n)
        pcm[n] = static_cast<short>(std::lround(track.samples[n] * 32000));
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open((m_scratch.path() / "LOOP.WAV").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    SF_INSTRUMENT instrument{};
    instrument.loop_count = 1;
    instrument.loops[0] = {SF_LOOP_FORWARD, 4800, 96000, 0};
    ASSERT_EQ(sf_command(f, SFC_SET_INSTRUMENT, &instrument, sizeof instrument), SF_TRUE);
    sf_writef_short(f, pcm.data(), static_cast<sf_count_t>(pcm.size()));
    sf_close(f);
    // Near the track's loop, for Refine, yet not on it.
    const PosValues held{static_cast<std::int32_t>(track.loopStart + 100),
                         static_cast<std::int32_t>(track.loopStart + track.loopFrames + 100)};
    WritePosFile(m_scratch.path() / "LOOP.POS", held);
    QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([this] { return action("mnuImportLoop")->isEnabled(); }, 30000));

    const auto search = [this](Qt::Key key) {
        QTest::keyClick(m_window.get(), key, Qt::ControlModifier);
        views::FindLoopDialog* dialog = nullptr;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                for (auto* d : m_window->findChildren<views::FindLoopDialog*>())
                    if (d->isVisible() && !d->searching())
                        dialog = d;
                return dialog != nullptr;
            },
            60000));
        auto* list = dialog->findChild<QTreeWidget*>();
        ASSERT_GT(list->topLevelItemCount(), 0);
        QTest::keyClick(list, Qt::Key_Return);
        QTest::keyClick(list, Qt::Key_Escape);
    };
    const auto menuKey = [this](Qt::Key key) {
        QTest::keyClick(m_window.get(), Qt::Key_L, Qt::AltModifier);
        QMenu* menu = m_window->findChild<QMenu*>(QStringLiteral("mnuLoop"));
        ASSERT_TRUE(QTest::qWaitFor([menu] { return menu->isVisible(); }, 30000));
        QTest::keyClick(menu, key);
    };
    const struct {
        const char* writer;
        std::function<void()> keys;
        QString title;
    } rows[] = {
        {"Find's Use", [&] { search(Qt::Key_F); }, QStringLiteral("Loop Not Used")},
        {"Refine's Use", [&] { search(Qt::Key_R); }, QStringLiteral("Loop Not Used")},
        {"Import Loop from Audio", [&] { menuKey(Qt::Key_I); },
         QStringLiteral("Loop Not Imported")},
        {"Export Loop", [&] { menuKey(Qt::Key_E); }, QStringLiteral("Loop Not Exported")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.writer);
        // Back on the window after the dialog before: its keys reach the window.
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get(), 10000));
        MessageBoxWatcher boxes;
        row.keys();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.seen().empty(); }, 60000));
        EXPECT_EQ(boxes.seen().front().title, row.title);
        EXPECT_TRUE(boxes.seen().front().text.startsWith(
            QStringLiteral("LOOP.WAV is 48,000 Hz; a POS file counts at 44,100 per second.")))
            << boxes.seen().front().text.toStdString();
        EXPECT_EQ(text("txtStartTime"), QString::number(held.start));
        EXPECT_EQ(text("txtStopTime"), QString::number(held.stop));
        EXPECT_EQ(ReadPosFile(m_scratch.path() / "LOOP.POS"), held);
        EXPECT_EQ(m_window->findChild<QFileDialog*>("exportLoopDialog"), nullptr);
    }
}

} // namespace
