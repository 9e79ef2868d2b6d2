// SPDX-License-Identifier: GPL-3.0-or-later
// The waveform panel on the real editor window: markers moved by keys and
// drags end up in the sample fields, clipped to the audio and snapped to
// zero crossings of a generated sine; odd field values are drawn safely; the
// seam of the positions is judged live, and a seamless stop nearby offered;
// Find Loop Points sets a found loop.
#include "core/clock_text.h"
#include "core/pos_file.h"
#include "core/positions.h"
#include "tests/file_bytes.h"
#include "tests/loop_corpus.h"
#include "tests/views_fixture.h"
#include "views/find_loop.h"
#include "views/loop_menu.h"
#include "views/seam_report.h"
#include "views/waveform_panel.h"
#include "views/waveform_session.h"
#include "views/waveform_view.h"

#include <QAction>
#include <QDockWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>

#include <sndfile.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

constexpr int kRate = 44100;
constexpr std::int64_t kFrames = 2 * kRate;
constexpr std::int32_t kStart = 1000;
constexpr std::int32_t kStop = 80000;

// 441 Hz sampled half a sample off its zero: the sign changes between
// frames 49 and 50, 99 and 100, ..., so every multiple of 50 is a zero
// crossing and no sample is zero.
void writeSine(const std::filesystem::path& path) {
    std::vector<short> samples(static_cast<std::size_t>(kFrames * 2));
    for (std::int64_t n = 0; n < kFrames; ++n) {
        const auto v = static_cast<short>(
            std::lround(16000 * std::sin(2 * M_PI * (static_cast<double>(n) + 0.5) / 100)));
        samples[static_cast<std::size_t>(2 * n)] = v;
        samples[static_cast<std::size_t>(2 * n + 1)] = v;
    }
    writeShortWave(path, samples, 2);
}

class WaveformTest : public ViewsFixture {
protected:
    void SetUp() override {
        ViewsFixture::SetUp();
        writeSine(m_scratch.path() / "LOOP.WAV");
        WritePosFile(m_scratch.path() / "LOOP.POS", {kStart, kStop});
    }
    // Opens LOOP.POS and waits for its summary.
    void openWithAudio() {
        open("LOOP.POS");
        auto* panel = m_window->findChild<views::WaveformPanel*>();
        ASSERT_NE(panel, nullptr);
        m_session = &panel->session();
        ASSERT_TRUE(QTest::qWaitFor(
            [this] { return m_session->peaks() || !m_session->failure().isEmpty(); }, 30000));
        ASSERT_NE(m_session->peaks(), nullptr) << m_session->failure().toStdString();
        m_overview = m_window->findChild<views::OverviewView*>();
        m_seam = m_window->findChild<views::SeamView*>();
        ASSERT_TRUE(m_overview && m_seam && m_seam->isVisible());
    }
    std::int64_t samples(bool stop) const {
        return PositionFromSampleText(text(stop ? "txtStopTime" : "txtStartTime").toStdString());
    }
    void drag(QWidget* view, QPointF from, QPointF to, Qt::KeyboardModifiers modifiers = {}) {
        QTest::mousePress(view, Qt::LeftButton, modifiers, from.toPoint());
        // Several steps, as a hand makes them; the last one lands on `to`.
        for (int i = 1; i <= 4; ++i) {
            const QPointF at = from + (to - from) * i / 4.0;
            QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton,
                             Qt::LeftButton, modifiers);
            QApplication::sendEvent(view, &move);
        }
        QTest::mouseRelease(view, Qt::LeftButton, modifiers, to.toPoint());
        settle();
    }
    // Until frames read off the UI thread, and placements waiting, are done.
    void settle() {
        ASSERT_TRUE(QTest::qWaitFor([this] { return !m_session->readingFrames(); }, 30000));
    }

    views::WaveformSession* m_session = nullptr;
    views::OverviewView* m_overview = nullptr;
    views::SeamView* m_seam = nullptr;
};

struct KeyRow {
    const char* name;
    std::int32_t start; // typed into the sample fields first
    std::int32_t stop;
    Qt::Key select; // S or E
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    std::int64_t expected; // the selected position afterwards
};

void PrintTo(const KeyRow& row, std::ostream* os) {
    *os << row.name;
}

class MarkerKeys : public WaveformTest, public testing::WithParamInterface<KeyRow> {};

TEST_P(MarkerKeys, MoveTheSelectedPosition) {
    const KeyRow& row = GetParam();
    openWithAudio();
    typeInto("txtStartTime", QString::number(row.start));
    typeInto("txtStopTime", QString::number(row.stop));
    m_seam->setFocus(Qt::TabFocusReason);
    QTest::keyClick(m_seam, row.select);
    QTest::keyClick(m_seam, row.key, row.modifiers);
    settle();
    const bool stop = row.select == Qt::Key_E;
    EXPECT_EQ(samples(stop), row.expected);
    EXPECT_EQ(samples(!stop), stop ? row.start : row.stop) << "the other position moved";
    // Every form followed, as after a slider movement.
    const std::int32_t moved = static_cast<std::int32_t>(row.expected);
    EXPECT_EQ(text(stop ? "txtflStopTime" : "txtflStartTime").toStdString(), SecondsText(moved));
    EXPECT_EQ(value(stop ? "sldStopTime" : "sldStartTime"), SliderValueOfPosition(moved));
}

INSTANTIATE_TEST_SUITE_P(
    Waveform, MarkerKeys,
    testing::Values(
        KeyRow{"right_one_sample", 1000, 80000, Qt::Key_S, Qt::Key_Right, {}, 1001},
        KeyRow{"left_one_sample", 1000, 80000, Qt::Key_S, Qt::Key_Left, {}, 999},
        KeyRow{"stop_right_one_sample", 1000, 80000, Qt::Key_E, Qt::Key_Right, {}, 80001},
        KeyRow{"next_crossing", 1010, 80000, Qt::Key_S, Qt::Key_Right, Qt::ControlModifier, 1050},
        KeyRow{"previous_crossing", 1010, 80000, Qt::Key_S, Qt::Key_Left, Qt::ControlModifier,
               1000},
        KeyRow{"next_from_a_crossing", 1050, 80000, Qt::Key_S, Qt::Key_Right, Qt::ControlModifier,
               1100},
        KeyRow{"previous_from_a_crossing", 1050, 80000, Qt::Key_S, Qt::Key_Left,
               Qt::ControlModifier, 1000},
        KeyRow{"stop_previous_crossing", 0, 79999, Qt::Key_E, Qt::Key_Left, Qt::ControlModifier,
               79950},
        KeyRow{"page_up_one_second", 1000, 80000, Qt::Key_S, Qt::Key_PageUp, {}, 45100},
        KeyRow{"page_down_clipped_at_0", 1000, 80000, Qt::Key_S, Qt::Key_PageDown, {}, 0},
        KeyRow{"left_at_0_stays", 0, 80000, Qt::Key_S, Qt::Key_Left, {}, 0},
        KeyRow{"start_stays_on_the_last_frame",
               kFrames - 1,
               kFrames,
               Qt::Key_S,
               Qt::Key_Right,
               {},
               kFrames - 1},
        KeyRow{"stop_stays_at_the_end", 0, kFrames, Qt::Key_E, Qt::Key_Right, {}, kFrames},
        KeyRow{"negative_field_moves_from_0", -5000, 80000, Qt::Key_S, Qt::Key_Right, {}, 1},
        KeyRow{"field_beyond_the_audio_moves_from_the_end",
               0,
               2000000000,
               Qt::Key_E,
               Qt::Key_Left,
               {},
               kFrames - 1}),
    [](const testing::TestParamInfo<KeyRow>& info) { return std::string(info.param.name); });

struct DragRow {
    const char* name;
    bool seam;       // the seam view, else the overview
    bool stop;       // the marker dragged
    double distance; // logical pixels; the overview's from the marker, the seam's at 1 frame/pixel
    bool shift;
    std::int64_t expected;
};

void PrintTo(const DragRow& row, std::ostream* os) {
    *os << row.name;
}

class MarkerDrags : public WaveformTest, public testing::WithParamInterface<DragRow> {};

TEST_P(MarkerDrags, PlaceWholeClippedPositions) {
    const DragRow& row = GetParam();
    openWithAudio();
    QWidget* view = row.seam ? static_cast<QWidget*>(m_seam) : m_overview;
    const double y = view->height() / 2.0;
    QPointF from;
    if (row.seam) {
        m_seam->setZoomStep(0);
        // On a whole pixel, where a press lands, whatever the view's width.
        from = {std::round(view->width() * (row.stop ? 0.25 : 0.75)), y};
    } else {
        from = {m_overview->xOfFrame(row.stop ? kStop : kStart), y};
    }
    drag(view, from, from + QPointF(row.distance, 0),
         row.shift ? Qt::ShiftModifier : Qt::NoModifier);
    EXPECT_EQ(text(row.stop ? "txtStopTime" : "txtStartTime").toStdString(),
              IntegerText(static_cast<std::int32_t>(row.expected)));
    EXPECT_EQ(samples(!row.stop), row.stop ? kStart : kStop) << "the other position moved";
}

INSTANTIATE_TEST_SUITE_P(
    Waveform, MarkerDrags,
    testing::Values(
        // The seam view's waveform follows the pointer: moving right brings
        // earlier frames to the seam.
        DragRow{"seam_stop_right", true, true, 10, false, kStop - 10},
        DragRow{"seam_start_left", true, false, -7, false, kStart + 7},
        DragRow{"seam_start_past_0", true, false, 5000, false, 0},
        DragRow{"seam_stop_shift_snaps", true, true, -12, true, 80000 + 0},
        DragRow{"seam_start_shift_snaps", true, false, -30, true, 1050},
        DragRow{"overview_stop_past_the_end", false, true, 5000, false, kFrames},
        DragRow{"overview_start_past_0", false, false, -5000, false, 0}),
    [](const testing::TestParamInfo<DragRow>& info) { return std::string(info.param.name); });

TEST_F(WaveformTest, OverviewShiftDragLandsOnAZeroCrossing) {
    openWithAudio();
    // On a whole pixel, where a press lands, whatever the view's width.
    const QPointF from(std::round(m_overview->xOfFrame(kStart)), m_overview->height() / 2.0);
    // Where the release lands, in the geometry the press saw; the snap runs
    // when the frames around it arrive.
    const std::int64_t want = m_overview->frameAtX(from.x() + 37);
    drag(m_overview, from, from + QPointF(37, 0), Qt::ShiftModifier);
    settle();
    const std::int64_t placed = samples(false);
    EXPECT_NE(placed, kStart);
    EXPECT_EQ(placed % 50, 0) << placed;
    EXPECT_LE(std::abs(placed - want), 25) << placed << " against " << want;
}

// Typing a stop far away paints at once from what is cached: its frames are
// read off the UI thread and drawn when they arrive.
TEST_F(WaveformTest, FarStopIsDrawnWhenItsFramesArrive) {
    openWithAudio();
    m_seam->setZoomStep(0);
    m_seam->repaint();
    settle();
    typeInto("txtStopTime", QStringLiteral("88000"));
    m_seam->repaint();
    EXPECT_TRUE(m_session->readingFrames());
    settle();
    const sound::FrameWindow& w =
        m_session->framesAround(88000 - 10, 20, views::WaveformSession::LeftOfSeam);
    EXPECT_TRUE(w.from <= 87990 && w.from + w.frames() >= 88010) << w.from << "+" << w.frames();
}

// A step made while a jump waits for its frames wins: the jump is dropped.
TEST_F(WaveformTest, StepMadeWhileAJumpReadsReplacesIt) {
    openWithAudio();
    typeInto("txtStartTime", QStringLiteral("30010"));
    m_seam->setFocus(Qt::TabFocusReason);
    QTest::keyClick(m_seam, Qt::Key_S);
    QTest::keyClick(m_seam, Qt::Key_Right, Qt::ControlModifier);
    ASSERT_TRUE(m_session->readingFrames());
    QTest::keyClick(m_seam, Qt::Key_Right);
    settle();
    EXPECT_EQ(samples(false), 30011);
}

// A drag leaves the fields as typing the same position's seconds does. Typed
// seconds leave their own product in the sample field (e.g.
// "12344.9999999999"), a marker a whole number: what counts is the position
// that text stands for, and every other form.
class DragEqualsTyping : public WaveformTest, public testing::WithParamInterface<std::int32_t> {
protected:
    QStringList forms() const {
        QStringList all;
        for (const char* name : {"txtflStartTime", "txtflStopTime", "txtActualStartTime",
                                 "txtActualStopTime", "txtStopTime"})
            all << text(name);
        all << QString::number(value("sldStartTime")) << QString::number(value("sldStopTime"))
            << QString::number(samples(false));
        return all;
    }
};

TEST_P(DragEqualsTyping, SameFormsAndPosition) {
    const std::int32_t target = GetParam();
    openWithAudio();
    m_seam->setZoomStep(0);
    const QPointF from(std::round(m_seam->width() * 0.75), m_seam->height() / 2.0);
    drag(m_seam, from, from - QPointF(target - kStart, 0));
    ASSERT_EQ(samples(false), target);
    EXPECT_EQ(text("txtStartTime"), QString::number(target));
    const QStringList dragged = forms();

    open("LOOP.POS");
    typeInto("txtflStartTime", QString::fromStdString(SecondsText(target)));
    EXPECT_EQ(forms(), dragged);
}

INSTANTIATE_TEST_SUITE_P(Waveform, DragEqualsTyping, testing::Values(1100, 1345),
                         [](const testing::TestParamInfo<std::int32_t>& info) {
                             return "to_" + std::to_string(info.param);
                         });

struct FieldRow {
    const char* name;
    const char* start;
    const char* stop;
};

void PrintTo(const FieldRow& row, std::ostream* os) {
    *os << row.name;
}

class OddFields : public WaveformTest, public testing::WithParamInterface<FieldRow> {};

TEST_P(OddFields, DrawAtEveryZoomAndPlaceInsideTheAudio) {
    openWithAudio();
    typeInto("txtStartTime", GetParam().start);
    typeInto("txtStopTime", GetParam().stop);
    for (int zoom = views::SeamView::MinZoomStep; zoom <= views::SeamView::MaxZoomStep; ++zoom) {
        m_seam->setZoomStep(zoom);
        EXPECT_FALSE(m_seam->grab().isNull());
    }
    EXPECT_FALSE(m_overview->grab().isNull());
    for (const bool stop : {false, true}) {
        const std::int64_t p = m_session->placeablePosition(stop);
        EXPECT_GE(p, 0);
        EXPECT_LE(p, stop ? kFrames : kFrames - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Waveform, OddFields,
    testing::Values(FieldRow{"negative", "-5000", "-1"},
                    FieldRow{"lowest_and_highest", "-2147483648", "2147483647"},
                    FieldRow{"beyond_32_bits", "-1e20", "1e20"},
                    FieldRow{"beyond_every_number", "1e400", "-1e400"},
                    FieldRow{"not_numbers", "abc", ""}),
    [](const testing::TestParamInfo<FieldRow>& info) { return std::string(info.param.name); });

TEST_F(WaveformTest, WithoutAudioThePanelStaysAwayAndTheWindowTakesItsOwnSize) {
    WritePosFile(m_scratch.path() / "ALONE.POS", {0, 44100});
    open("ALONE.POS");
    // The window's size settles once the layout's posted events are handled.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(m_window->findChild<QDockWidget*>(QStringLiteral("waveformPanel")), nullptr);
    const QSize designed = m_window->size();

    openWithAudio();
    EXPECT_GT(m_window->height(), designed.height());
    const QSize withPanel = m_window->size();
    // Stepping on to a track without audio changes no size the user sees.
    open("ALONE.POS");
    EXPECT_TRUE(m_window->findChild<QDockWidget*>(QStringLiteral("waveformPanel"))->isHidden());
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(m_window->size(), withPanel);
}

TEST_F(WaveformTest, TabReachesTheSeamAfterTheForm) {
    openWithAudio();
    field("txtflStartTime")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), m_seam);
    EXPECT_FALSE(m_seam->accessibleName().isEmpty());
    EXPECT_FALSE(m_seam->accessibleDescription().isEmpty());
}

TEST_F(WaveformTest, HidingThePanelIsRemembered) {
    openWithAudio();
    auto* dock = m_window->findChild<QDockWidget*>(QStringLiteral("waveformPanel"));
    dock->toggleViewAction()->trigger();
    EXPECT_TRUE(dock->isHidden());

    m_window = std::make_unique<EditorWindow>();
    views::AttachViews(*m_window);
    m_window->show();
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get(), 30000));
    open("LOOP.POS");
    ASSERT_NE(m_window->findChild<QDockWidget*>(QStringLiteral("waveformPanel")), nullptr);
    EXPECT_TRUE(m_window->findChild<QDockWidget*>(QStringLiteral("waveformPanel"))->isHidden());
}

// The seam report under the waveform, for the sine's loop and edits of its
// stop: 79,000 frames are 790 periods, 50 more are half a period.
TEST_F(WaveformTest, SeamReportFollowsThePositions) {
    openWithAudio();
    auto* report = m_window->findChild<views::SeamReport*>();
    ASSERT_NE(report, nullptr);
    const struct {
        const char* stop;
        std::vector<QString> shown;
    } rows[] = {
        {"80000",
         {"LOOP.WAV: 44100 Hz, 88,200 samples (00:02.000), 2 channels",
          "Seam at 00:01.814: seamless, seam score 0"}},
        {"80050",
         {"Seam at 00:01.815: click: step of 26,466 (-1.9 dB of full scale), seam score 2.00",
          "Problem: seam at 00:01.815 jumps by 26,466 (-1.9 dB of full scale), seam score "
          "2.00: a listener hears it; a seamless seam nearby: stop 80000"}},
        {"1", {"Seam: none", "Problem: stop 1 is not after start 1000: players drop the loop"}},
        {"90000",
         {"Problem: stop 90000 lies beyond the end of the audio (88200 samples): players loop "
          "at the end instead"}},
    };
    for (const auto& row : rows) {
        typeInto("txtStopTime", row.stop);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !report->measuring() && !report->text().isEmpty(); }, 30000))
            << row.stop;
        for (const QString& line : row.shown)
            EXPECT_TRUE(report->text().contains(line)) << row.stop << "\n"
                                                       << report->text().toStdString();
        EXPECT_EQ(report->text().contains(QStringLiteral("Problem")), row.stop != QString("80000"))
            << report->text().toStdString();
    }
}

struct DamagedRow {
    const char* name;
    int format; // libsndfile's, for two channels
    int frames;
    std::function<double(int)> value;
    std::uintmax_t keptBytes; // 0: the whole file
    std::int32_t start, stop;
    const char* shown; // in the waveform's failure or the loop check
};

void PrintTo(const DamagedRow& row, std::ostream* os) {
    *os << row.name;
}

class DamagedCompanions : public WaveformTest, public testing::WithParamInterface<DamagedRow> {};

// Whatever is wrong with the audio, the editor says so and stays up: the
// waveform, the loop check and Find Loop Points each end in words.
TEST_P(DamagedCompanions, EndInMessagesNotAborts) {
    const DamagedRow& row = GetParam();
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = row.format;
    if (!sf_format_check(&info))
        GTEST_SKIP() << "this libsndfile cannot write " << row.name;
    const auto audio = m_scratch.path() / "BAD.WAV";
    SNDFILE* f = sf_open(audio.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<double> samples(static_cast<std::size_t>(row.frames) * 2);
    for (int n = 0; n < row.frames; ++n)
        samples[static_cast<std::size_t>(2 * n)] = samples[static_cast<std::size_t>(2 * n + 1)] =
            row.value(n);
    sf_writef_double(f, samples.data(), row.frames);
    sf_close(f);
    if (row.keptBytes > 0)
        std::filesystem::resize_file(audio, row.keptBytes);
    WritePosFile(m_scratch.path() / "BAD.POS", {row.start, row.stop});

    open("BAD.POS");
    auto* panel = m_window->findChild<views::WaveformPanel*>();
    auto* report = m_window->findChild<views::SeamReport*>();
    ASSERT_TRUE(panel && report);
    const views::WaveformSession& session = panel->session();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return (session.peaks() || !session.failure().isEmpty()) && !report->measuring() &&
                   !report->text().isEmpty();
        },
        30000));
    const QString shown = session.failure() + "\n" + report->text();
    EXPECT_TRUE(shown.contains(QLatin1String(row.shown))) << shown.toStdString();
    if (row.keptBytes > 0) {
        // The length shown is what decodes, never what the header claims.
        EXPECT_GT(session.frames(), 0);
        EXPECT_LT(session.frames(), row.frames);
        EXPECT_TRUE(report->text().contains(QString::fromStdString(GroupedText(session.frames())) +
                                            QStringLiteral(" samples (")))
            << report->text().toStdString();
    }

    QTest::keyClick(m_window.get(), Qt::Key_F, Qt::ControlModifier);
    auto* dialog = m_window->findChild<views::FindLoopDialog*>();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->searching(); }, 30000));
    EXPECT_FALSE(dialog->findChild<QLabel*>(QStringLiteral("findLoopMessage"))->text().isEmpty());
}

double noiseAt(int n) {
    std::uint32_t x = static_cast<std::uint32_t>(n) * 2654435761u;
    x ^= x >> 13;
    return static_cast<double>(x % 20001) / 20000.0 - 0.5;
}

// A sine whose frame 100,001 is `bad`.
std::function<double(int)> sineWith(double bad) {
    return [bad](int n) { return n == 100001 ? bad : 0.5 * std::sin(n * 0.01); };
}

INSTANTIATE_TEST_SUITE_P(
    Waveform, DamagedCompanions,
    testing::Values(
        // libsndfile gives 2^63 - 1 frames for an Ogg file cut short.
        DamagedRow{"ogg_cut_short", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 3 * kRate, noiseAt, 16000, 0,
                   100000, "the file gives no length and holds "},
        // Its Info header still counts ten seconds; the start lies past the real end.
        DamagedRow{"mp3_cut_short", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 10 * kRate, noiseAt,
                   80000, 300000, 400000, "the file claims 441,000 frames but holds "},
        DamagedRow{"nan_at_the_seam", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 200000,
                   sineWith(std::numeric_limits<double>::quiet_NaN()), 0, 10000, 100000,
                   "BAD.WAV: sample 100,001 is not a number"}),
    [](const testing::TestParamInfo<DamagedRow>& info) { return std::string(info.param.name); });

// A track made for looping and one that never repeats, beside POS files.
class FindLoopTest : public WaveformTest {
protected:
    void SetUp() override {
        WaveformTest::SetUp();
        m_track = RenderTrack({});
        WriteTrack(m_track, m_scratch.path() / "SONG.WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        WritePosFile(m_scratch.path() / "SONG.POS", {kStart, kStop});
        WriteTrack(RenderTrack({.layout = LoopLayout::NoRepeat}), m_scratch.path() / "FLAT.WAV",
                   SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        WritePosFile(m_scratch.path() / "FLAT.POS", {kStart, kStop});
    }
    // Ctrl+F on the window; the dialog it shows.
    views::FindLoopDialog* find() {
        QTest::keyClick(m_window.get(), Qt::Key_F, Qt::ControlModifier);
        auto* dialog = m_window->findChild<views::FindLoopDialog*>();
        if (dialog) {
            EXPECT_TRUE(QTest::qWaitForWindowActive(dialog, 30000));
        }
        return dialog;
    }
    QString message(const views::FindLoopDialog* dialog) const {
        return dialog->findChild<QLabel*>(QStringLiteral("findLoopMessage"))->text();
    }
    void expectUnchanged(const char* file) {
        EXPECT_EQ(text("txtStartTime"), QString::number(kStart));
        EXPECT_EQ(text("txtStopTime"), QString::number(kStop));
        EXPECT_EQ(ReadPosFile(m_scratch.path() / file), (PosValues{kStart, kStop}));
    }

    Track m_track;
};

TEST_F(FindLoopTest, EnterOnTheFirstCandidateSetsTheKnownLoop) {
    open("SONG.POS");
    views::FindLoopDialog* dialog = find();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->isModal());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->searching(); }, 30000));
    auto* list = dialog->findChild<QTreeWidget*>();
    ASSERT_GT(list->topLevelItemCount(), 0) << message(dialog).toStdString();
    ASSERT_EQ(QApplication::focusWidget(), list);
    const int found = list->topLevelItemCount();
    EXPECT_TRUE(message(dialog).startsWith(
        found == 1 ? QStringLiteral("1 seamless loop in SONG.WAV.")
                   : QStringLiteral("%1 seamless loops in SONG.WAV").arg(found)))
        << message(dialog).toStdString();
    EXPECT_EQ(list->headerItem()->text(3), QStringLiteral("Match"));
    EXPECT_TRUE(list->topLevelItem(0)->toolTip(3).startsWith(
        QStringLiteral("Match %1 (1 is best); seam score ").arg(list->topLevelItem(0)->text(3))));
    QTest::keyClick(list, Qt::Key_Return);

    const auto start = static_cast<std::int32_t>(m_track.loopStart);
    const auto stop = static_cast<std::int32_t>(m_track.loopStart + m_track.loopFrames);
    EXPECT_EQ(text("txtStartTime"), QString::number(start));
    EXPECT_EQ(text("txtStopTime"), QString::number(stop));
    EXPECT_EQ(text("txtflStartTime").toStdString(), SecondsText(start));
    EXPECT_EQ(text("txtflStopTime").toStdString(), SecondsText(stop));
    EXPECT_EQ(value("sldStopTime"), SliderValueOfPosition(stop));
    EXPECT_EQ(m_window->findChild<views::WaveformPanel*>()->session().placeablePosition(true), stop)
        << "the waveform did not follow";
    EXPECT_EQ(ReadPosFile(m_scratch.path() / "SONG.POS"), (PosValues{kStart, kStop}))
        << "nothing is saved before Save";

    // F5 and the Play Seam button play the highlighted candidate (heard in
    // the audition tests).
    qputenv("PULSE_SERVER", "unix:/nonexistent");
    auto* menu = m_window->findChild<views::LoopMenu*>();
    auto* play = dialog->findChild<QPushButton*>(QStringLiteral("findLoopPlay"));
    ASSERT_TRUE(play && play->isVisible() && play->isEnabled());
    for (const bool button : {false, true}) {
        menu->stop();
        QSignalSpy played(menu, &views::LoopMenu::playingChanged);
        if (button)
            QTest::mouseClick(play, Qt::LeftButton);
        else
            QTest::keyClick(list, Qt::Key_F5);
        ASSERT_GE(played.count(), 1) << button;
        EXPECT_TRUE(played.first().first().toBool()) << button;
    }
}

// A stored stop one sample past the loop clicks: the panel offers the loop's
// own stop and sets it, by mouse and by keyboard, as a drag of the marker
// would, without saving. After each use the stop is typed one sample long
// again.
TEST_F(FindLoopTest, UseSeamlessStopSetsTheStopUnsaved) {
    const auto start = static_cast<std::int32_t>(m_track.loopStart);
    const auto seamless = static_cast<std::int32_t>(m_track.loopStart + m_track.loopFrames);
    const std::filesystem::path pos = m_scratch.path() / "SONG.POS";
    WritePosFile(pos, {start, seamless + 1});
    const Bytes stored = readFileBytes(pos);
    open("SONG.POS");
    auto* report = m_window->findChild<views::SeamReport*>();
    auto* button = m_window->findChild<QPushButton*>(QStringLiteral("useSeamlessStop"));
    ASSERT_TRUE(report && button);
    enum Press { Click, TabAndSpace, AltU };
    for (const Press press : {Click, TabAndSpace, AltU}) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return button->isVisible(); }, 10000));
        EXPECT_EQ(button->text(), QStringLiteral("&Use Seamless Stop %1").arg(seamless));
        EXPECT_TRUE(button->toolTip().contains(QString::number(seamless)));
        EXPECT_FALSE(button->accessibleName().isEmpty());
        EXPECT_EQ(button->accessibleDescription(), button->toolTip());
        if (press == TabAndSpace) {
            field("txtflStartTime")->setFocus(Qt::TabFocusReason);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            ASSERT_EQ(QApplication::focusWidget(), button);
            QTest::keyClick(button, Qt::Key_Space);
        } else if (press == AltU) {
            // A mnemonic animates the press: the click comes a moment later.
            QSignalSpy clicked(button, &QPushButton::clicked);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_U, Qt::AltModifier);
            ASSERT_TRUE(QTest::qWaitFor([&] { return clicked.count() == 1; }, 5000));
        } else {
            QTest::mouseClick(button, Qt::LeftButton);
        }
        EXPECT_EQ(text("txtStopTime"), QString::number(seamless));
        EXPECT_EQ(text("txtflStopTime").toStdString(), SecondsText(seamless));
        EXPECT_EQ(text("txtActualStopTime").toStdString(), ClockText(seamless));
        EXPECT_EQ(value("sldStopTime"), SliderValueOfPosition(seamless));
        EXPECT_EQ(text("txtStartTime"), QString::number(start));
        EXPECT_EQ(m_window->findChild<views::WaveformPanel*>()->session().placeablePosition(true),
                  seamless);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !report->measuring(); }, 10000));
        EXPECT_TRUE(report->text().contains(QStringLiteral(": seamless, seam score")))
            << report->text().toStdString();
        EXPECT_TRUE(button->isHidden());
        EXPECT_EQ(readFileBytes(pos), stored) << "nothing is saved before Save";
        typeInto("txtStopTime", QString::number(seamless + 1));
    }
    // Positions typed while the offer shows take it away at once: it never
    // outlives the positions it was measured for.
    ASSERT_TRUE(QTest::qWaitFor([&] { return button->isVisible(); }, 10000));
    typeInto("txtStopTime", QString::number(seamless));
    EXPECT_TRUE(button->isHidden());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !report->measuring(); }, 10000));
    EXPECT_TRUE(button->isHidden());
}

TEST_F(FindLoopTest, ANonRepeatingTrackHasNoSeamlessLoop) {
    open("FLAT.POS");
    views::FindLoopDialog* dialog = find();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->searching(); }, 30000));
    EXPECT_TRUE(message(dialog).startsWith(QStringLiteral("No seamless loop in FLAT.WAV")))
        << message(dialog).toStdString();
    EXPECT_EQ(m_window->statusBar()->currentMessage(), message(dialog));
    EXPECT_EQ(dialog->findChild<QTreeWidget*>()->topLevelItemCount(), 0);
    QTest::keyClick(dialog->findChild<QTreeWidget*>(), Qt::Key_Return);
    expectUnchanged("FLAT.POS");
}

// A song as a game ships it, one pass: a quiet bar, 20 s of noise, then a
// bar of 8 s played twice, to the last frame. Its whole track comes first,
// as it sounds, and the message does not call it seamless.
TEST_F(FindLoopTest, AWholeTrackThatCanBeHeardIsNotCountedSeamless) {
    std::minstd_rand random(7);
    std::uniform_real_distribution<float> noise(-0.5F, 0.5F);
    Track once{1, 44100, std::vector<float>(30 * 44100)};
    for (std::size_t i = 0; i < once.samples.size(); ++i)
        once.samples[i] = noise(random) / (i < 2 * 44100 ? 32 : 1);
    const std::vector<float> bar(once.samples.end() - 8 * 44100, once.samples.end());
    once.samples.insert(once.samples.end(), bar.begin(), bar.end());
    WriteTrack(once, m_scratch.path() / "ONCE.WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    WritePosFile(m_scratch.path() / "ONCE.POS", {kStart, kStop});
    open("ONCE.POS");
    views::FindLoopDialog* dialog = find();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->searching(); }, 30000));
    auto* list = dialog->findChild<QTreeWidget*>();
    ASSERT_GE(list->topLevelItemCount(), 2) << message(dialog).toStdString();
    EXPECT_EQ(list->headerItem()->text(5), QStringLiteral("Share"));
    EXPECT_EQ(list->topLevelItem(0)->text(4), QStringLiteral("whole track"));
    EXPECT_EQ(list->topLevelItem(0)->text(5), QStringLiteral("100 %"));
    EXPECT_EQ(list->topLevelItem(1)->text(5), QStringLiteral("21 %")); // 8 s of 38 s
    EXPECT_TRUE(message(dialog).startsWith(
        QStringLiteral("%1 loops in ONCE.WAV, best first; %2 of them seamless.")
            .arg(list->topLevelItemCount())
            .arg(list->topLevelItemCount() - 1)))
        << message(dialog).toStdString();
}

TEST_F(FindLoopTest, EscapeCancelsAndChangesNothing) {
    open("SONG.POS");
    views::FindLoopDialog* dialog = find();
    ASSERT_TRUE(dialog->searching());
    auto* list = dialog->findChild<QTreeWidget*>();
    QSignalSpy inserted(list->model(), &QAbstractItemModel::rowsInserted);
    QTest::keyClick(dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(dialog->searching());
    EXPECT_TRUE(m_window->statusBar()->currentMessage().contains(QStringLiteral("cancelled")));
    EXPECT_EQ(list->topLevelItemCount(), 0);
    expectUnchanged("SONG.POS");
    // A result of the cancelled search must never land. A second search
    // runs after it on the same worker, and results arrive in order: once
    // the second one's is in, the first one's would have come before it.
    ASSERT_EQ(find(), dialog);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->searching(); }, 30000));
    int rows = 0;
    for (const QList<QVariant>& batch : inserted)
        rows += batch.value(2).toInt() - batch.value(1).toInt() + 1;
    EXPECT_GT(list->topLevelItemCount(), 0);
    EXPECT_EQ(rows, list->topLevelItemCount()) << "the cancelled search's result landed too";
    expectUnchanged("SONG.POS");
}

// Closing the window cancels a search still running: no work goes on for a
// window that is gone, and nothing of it lands.
TEST_F(FindLoopTest, ClosingTheWindowCancelsTheSearch) {
    open("SONG.POS");
    views::FindLoopDialog* dialog = find();
    ASSERT_TRUE(dialog->searching());
    ASSERT_TRUE(m_window->close());
    EXPECT_FALSE(dialog->searching());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(m_window->statusBar()->currentMessage().contains(QStringLiteral("cancelled")));
}

TEST_F(FindLoopTest, WithoutAudioTheStatusBarSaysSo) {
    WritePosFile(m_scratch.path() / "ALONE.POS", {kStart, kStop});
    open("ALONE.POS");
    find();
    EXPECT_TRUE(m_window->statusBar()->currentMessage().contains(
        QStringLiteral("no audio file beside ALONE.POS")))
        << m_window->statusBar()->currentMessage().toStdString();
    EXPECT_EQ(m_window->findChild<views::FindLoopDialog*>(), nullptr);
    expectUnchanged("ALONE.POS");
}

} // namespace
