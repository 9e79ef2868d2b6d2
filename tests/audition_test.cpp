// SPDX-License-Identifier: GPL-3.0-or-later
// Audition Seam heard through a real sound server: run under scripts/with-pulse,
// whose null sink's monitor is recorded with parec. Passes repeat with exactly
// the file's frames on both sides of the seam, a nudge of the stop is heard on
// a following pass, and Esc fades out rather than cutting.
#include "audio/read/audio_reader.h"
#include "audio/render/crossfade.h"
#include "core/pos_file.h"
#include "tests/views_fixture.h"
#include "views/find_loop.h"
#include "views/loop_menu.h"
#include "views/waveform_view.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QProcess>
#include <QTimer>
#include <QTreeWidget>

#include <cstring>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr std::int64_t kFade = 220; // 5 ms

class AuditionTest : public ViewsFixture {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            GTEST_SKIP() << "no private sound server: run under scripts/with-pulse";
        ViewsFixture::SetUp();
        m_source = recognisableNoise(kFrames, kChannels, 987654);
        writeShortWave(m_scratch.path() / "BGM01.WAV", m_source, kChannels);
        WritePosFile(m_scratch.path() / "BGM01.POS", {kStart, kStop});
        open("BGM01.POS");
    }
    // What a pass plays with this stop, without its faded edges.
    std::vector<short> passCore(std::int64_t stop, std::int64_t before, std::int64_t after) const {
        const auto at = [this](std::int64_t frame) { return m_source.begin() + frame * kChannels; };
        std::vector<short> v(at(stop - before + kFade), at(stop));
        v.insert(v.end(), at(kStart), at(kStart + after - kFade));
        return v;
    }
    std::vector<short> heard() const {
        const Bytes raw = readFileBytes(m_recording.toStdString());
        std::vector<short> v(raw.size() / 2);
        // Nothing recorded yet leaves both empty, and memcpy takes no null.
        if (!v.empty())
            std::memcpy(v.data(), raw.data(), v.size() * 2);
        return v;
    }
    // Where `core` lies whole in the recording at or after sample `from`.
    std::optional<std::size_t> find(const std::vector<short>& core, std::size_t from) const {
        const std::vector<short> h = heard();
        if (from >= h.size())
            return std::nullopt;
        auto it = std::search(h.begin() + static_cast<std::ptrdiff_t>(from), h.end(), core.begin(),
                              core.end());
        if (it == h.end())
            return std::nullopt;
        return static_cast<std::size_t>(it - h.begin());
    }

    // A stop within Play Seam's 3 s of the file's beginning: the crossfade's
    // F5 then plays 1.5 s up to the seam instead of 3.
    static constexpr std::int64_t kFrames = 2 * kRate;
    static constexpr std::int32_t kStart = kRate / 2 + 123;
    static constexpr std::int32_t kStop = kRate * 3 / 2 - 77;
    std::vector<short> m_source;
    QString m_recording;
};

TEST_F(AuditionTest, PassesRepeatTheAskedFramesFollowANudgeAndFadeOutOnStop) {
    // Short passes, typed into the panel as the locale writes them: each
    // still holds thousands of the file's frames on both sides of the seam.
    for (const char* name : {"auditionBefore", "auditionAfter"}) {
        auto* box = m_window->findChild<QDoubleSpinBox*>(QLatin1String(name));
        ASSERT_NE(box, nullptr);
        box->setFocus(Qt::TabFocusReason);
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(box, QStringLiteral("0") + box->locale().decimalPoint() + u'3');
        QTest::keyClick(box, Qt::Key_Tab);
        ASSERT_DOUBLE_EQ(box->value(), 0.3) << name;
    }
    const std::int64_t before = kRate * 3 / 10;
    const std::int64_t after = kRate * 3 / 10;

    m_recording = file("heard.raw");
    QProcess parec;
    parec.setStandardOutputFile(m_recording);
    parec.start(QStringLiteral("parec"),
                {QStringLiteral("--device=kestrin_null.monitor"), QStringLiteral("--format=s16le"),
                 QStringLiteral("--rate=44100"), QStringLiteral("--channels=2"),
                 QStringLiteral("--raw"), QStringLiteral("--latency-msec=100")});
    ASSERT_TRUE(parec.waitForStarted(30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(m_recording).size() > 0; }, 30000));

    QTest::keyClick(m_window.get(), Qt::Key_F7);
    auto* stop = m_window->findChild<QAction*>(QStringLiteral("mnuStopPlaying"));
    ASSERT_TRUE(stop->isEnabled());
    const auto first = passCore(kStop, before, after);
    std::optional<std::size_t> firstAt;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (firstAt = find(first, 0)).has_value(); }, 30000))
        << "no pass of the file's frames around the seam was heard";
    // The next pass follows after the short silence, the same frames again.
    std::optional<std::size_t> secondAt;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (secondAt = find(first, *firstAt + first.size())).has_value(); }, 30000));
    // A sink that ran dry on a busy machine may spoil a pass in between.
    const std::size_t passSamples = static_cast<std::size_t>((before + after) * kChannels);
    EXPECT_GT(*secondAt - *firstAt, passSamples) << "no silence between the passes";

    // A nudge of the stop by one sample, by key in the panel.
    auto* seam = m_window->findChild<views::SeamView*>();
    seam->setFocus(Qt::TabFocusReason);
    QTest::keyClick(seam, Qt::Key_E);
    QTest::keyClick(seam, Qt::Key_Left);
    ASSERT_EQ(text("txtStopTime"), QString::number(kStop - 1));
    const auto nudged = passCore(kStop - 1, before, after);
    ASSERT_TRUE(QTest::qWaitFor([&] { return find(nudged, *secondAt).has_value(); }, 30000))
        << "the nudged stop was never heard";

    QTest::keyClick(m_window.get(), Qt::Key_Escape);
    EXPECT_FALSE(stop->isEnabled());
    // Played out once the recording ends in more silence than the 0.4 s between passes
    // or a sink running dry on a busy machine leaves.
    const auto silentTail = [this] {
        const std::vector<short> h = heard(); // passes long enough were heard above
        return std::all_of(h.end() - 2 * kRate * kChannels, h.end(), [](short s) { return !s; });
    };
    ASSERT_TRUE(QTest::qWaitFor(silentTail, 30000));
    parec.terminate();
    parec.waitForFinished(30000);
    // Whatever played last went out through a fade: the frames just before
    // the silence are far quieter than the noise, whose samples reach 10,000.
    const std::vector<short> h = heard();
    auto last = std::find_if(h.rbegin(), h.rend(), [](short s) { return s != 0; });
    ASSERT_NE(last, h.rend());
    for (int i = 0; i < 8 * kChannels && last + i != h.rend(); ++i)
        EXPECT_LE(std::abs(last[i]), 10000 * 10 / kFade + 1)
            << "sample " << i << " before the silence: a cut, not a fade";
}

// In the Find dialog F5 and F6 play the highlighted candidate, not the
// fields' positions, and set nothing: a loop is picked by ear.
TEST_F(AuditionTest, F5AndF6InFindPlayTheHighlightedCandidate) {
    // Half a second of its own, then 3 s of noise three times over.
    std::vector<short> song = recognisableNoise(kRate / 2, kChannels, 1);
    const std::vector<short> phrase = recognisableNoise(3 * kRate, kChannels, 2);
    for (int i = 0; i < 3; ++i)
        song.insert(song.end(), phrase.begin(), phrase.end());
    writeShortWave(m_scratch.path() / "SONG.WAV", song, kChannels);
    WritePosFile(m_scratch.path() / "SONG.POS", {0, 100});
    open("SONG.POS");
    QTest::keyClick(m_window.get(), Qt::Key_F, Qt::ControlModifier);
    auto* dialog = m_window->findChild<views::FindLoopDialog*>();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->searching(); }, 60000));
    auto* list = dialog->findChild<QTreeWidget*>();
    ASSERT_NE(list->currentItem(), nullptr);
    const auto column = [&](int c) {
        return list->currentItem()->text(c).section(u' ', 0, 0).toLongLong();
    };
    const qint64 start = column(0);
    const qint64 stop = column(1);
    ASSERT_GT(start, 100);
    sound::SoundEngine* engine = m_window->findChild<views::LoopMenu*>()->engine();
    // The seam from 3 s before the candidate's stop; the loop from its start.
    for (const auto& [key, from, to] :
         {std::tuple{Qt::Key_F5, stop - 3 * kRate, stop}, std::tuple{Qt::Key_F6, start, stop}}) {
        QTest::keyClick(list, key);
        std::int64_t first = -1;
        ASSERT_TRUE(QTest::qWaitFor([&] { return (first = engine->playhead()) >= 0; }, 30000));
        EXPECT_TRUE(first >= from && first < to) << first << " not in " << from << ".." << to;
        QTest::keyClick(list, key); // the same key again stops
        EXPECT_FALSE(engine->isPlaying());
    }
    EXPECT_EQ(text("txtStartTime"), QStringLiteral("0"));
    EXPECT_EQ(text("txtStopTime"), QStringLiteral("100"));
}

// In Loop > Crossfade Seam... F5 and F7 play the crossfaded seam before it is
// written: its blended frames are heard, once by F5 and again by F7.
TEST_F(AuditionTest, F5AndF7InTheCrossfadeDialogPlayItBeforeItIsWritten) {
    // The last frames of the crossfade the dialog proposes: never played without it.
    const auto source = m_scratch.path() / "BGM01.WAV";
    audio::AudioReader reader(source);
    audio::ReaderSource frames(reader);
    const auto choice = audio::ChooseCrossfade(frames, kStart, kStop, kRate);
    ASSERT_TRUE(choice.has_value());
    audio::WriteCrossfaded(source, m_scratch.path() / "made.wav", choice->fade, false);
    const Bytes made = readFileBytes(m_scratch.path() / "made.wav"); // the data chunk ends it
    std::vector<short> blend(kFade * kChannels);
    std::memcpy(blend.data(), made.data() + made.size() - (kFrames - kStop + kFade) * 4, kFade * 4);
    m_recording = file("heard.raw");
    QProcess parec;
    parec.setStandardOutputFile(m_recording);
    // A short fragment, so that what plays reaches the file while the seam still plays.
    parec.start("parec", QString("--device=kestrin_null.monitor --format=s16le --rate=44100 "
                                 "--channels=2 --raw --latency-msec=100")
                             .split(' '));
    ASSERT_TRUE(parec.waitForStarted(30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(m_recording).size() > 0; }, 30000));
    sound::SoundEngine* engine = m_window->findChild<views::LoopMenu*>()->engine();
    QAction* action = m_window->findChild<QAction*>(QStringLiteral("mnuCrossfadeSeam"));
    ASSERT_TRUE(QTest::qWaitFor([action] { return action->isEnabled(); }, 60000));
    QTimer::singleShot(0, [&] {
        QWidget* dialog = nullptr;
        const bool ready = QTest::qWaitFor(
            [&] {
                dialog = QApplication::activeModalWidget();
                const auto* write =
                    dialog ? dialog->findChild<QWidget*>(QStringLiteral("crossfadeWrite"))
                           : nullptr;
                return write && write->isEnabled();
            },
            60000);
        EXPECT_TRUE(ready) << "the dialog proposed no crossfade";
        if (!ready) {
            if (dialog)
                dialog->close();
            return;
        }
        // F5 plays the seam once and ends by itself; it is played out before
        // F7 is pressed, or F7 would stop it. A pass spoilt by a sink that ran
        // dry on a busy machine is played again.
        std::optional<std::size_t> at; // where the blend is heard
        for (int pass = 0; pass < 3 && !at; ++pass) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_F5);
            EXPECT_TRUE(QTest::qWaitFor([&] { return !engine->isPlaying(); }, 60000));
            (void)QTest::qWaitFor([&] { return (at = find(blend, 0)).has_value(); }, 30000);
        }
        EXPECT_TRUE(at.has_value()) << "F5 never played the blend";
        // F7's passes go on until the same key stops them. A sink that ran
        // dry breaks a playback off (and says so): those passes are started
        // again.
        std::size_t from = at.value_or(0) + blend.size();
        bool stoppedByKey = false;
        for (int pass = 0; pass < 3 && !stoppedByKey; ++pass) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_F7);
            const std::optional<std::size_t> heard = [&] {
                std::optional<std::size_t> found;
                (void)QTest::qWaitFor([&] { return (found = find(blend, from)).has_value(); },
                                      30000);
                return found;
            }();
            EXPECT_TRUE(heard.has_value()) << "F7 never played the blend";
            from = heard.value_or(from) + blend.size();
            if (!engine->isPlaying())
                continue;
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_F7);
            EXPECT_FALSE(engine->isPlaying());
            stoppedByKey = true;
        }
        EXPECT_TRUE(stoppedByKey) << "F7's passes never went on until F7 stopped them";
        dialog->close();
    });
    action->trigger();
    parec.terminate();
    parec.waitForFinished(30000);
}

} // namespace
