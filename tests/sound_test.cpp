// SPDX-License-Identifier: GPL-3.0-or-later
// The Loop menu against a real sound server: a private PulseAudio with a null
// sink, started and stopped by this test, whose monitor is recorded with
// parec to check what a listener would have heard.
#include "core/pos_file.h"
#include "dialogs/common_dialogs.h"
#include "tests/file_bytes.h"
#include "tests/gui_support.h"
#include "tests/short_wave.h"
#include "views/loop_menu.h"

#include <QAction>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <cstring>

using namespace kestrin;
using namespace kestrin::testing_support;
namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;

// One server for the whole run: Qt keeps its connection to the first one.
class PulseServer : public testing::Environment {
public:
    void SetUp() override {
        const QString dir = m_dir.path();
        m_socket = dir + QStringLiteral("/native");
        QStringList args = {
            QStringLiteral("-n"),
            QStringLiteral("--daemonize=no"),
            QStringLiteral("--exit-idle-time=-1"),
            QStringLiteral("--use-pid-file=no"),
            QStringLiteral("--disable-shm=yes"),
            QStringLiteral("-L"),
            QStringLiteral("module-null-sink sink_name=kestrin_null rate=44100 "
                           "format=s16le channels=2"),
            QStringLiteral("-L"),
            QStringLiteral("module-native-protocol-unix socket=%1 auth-anonymous=1").arg(m_socket)};
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), dir);
        env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), dir);
        env.insert(QStringLiteral("PULSE_STATE_PATH"), dir);
        m_server.setProcessEnvironment(env);
        m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_server.start(QStringLiteral("pulseaudio"), args);
        if (!m_server.waitForStarted(30000)) {
            m_unavailable =
                QStringLiteral("pulseaudio could not be started: ") + m_server.errorString();
            return;
        }
        // A busy machine may take long to start it; the socket is the sign.
        if (!QTest::qWaitFor([this] { return QFile::exists(m_socket); }, 30000)) {
            m_unavailable = QStringLiteral("pulseaudio made no socket within 30 s");
            return;
        }
        qputenv("PULSE_SERVER", ("unix:" + m_socket).toLocal8Bit());
        // The server goes after the application's sound engine, whose
        // routine, added later, runs first: streams still open on a server
        // that went away can wedge Qt's sound thread. The process then ends
        // without tearing down statics, so the folder goes here too.
        qAddPostRoutine([] { instance->stop(); });
    }
    void stop() {
        m_server.terminate();
        if (!m_server.waitForFinished(5000))
            m_server.kill();
        m_server.waitForFinished(2000);
        m_dir.remove();
    }
    static PulseServer* instance;
    QString m_unavailable;
    QString m_socket;

private:
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/kestrin-pulse-XXXXXX")};
    QProcess m_server;
};
PulseServer* PulseServer::instance = nullptr;

const bool registered = [] {
    PulseServer::instance =
        static_cast<PulseServer*>(testing::AddGlobalTestEnvironment(new PulseServer));
    return true;
}();

std::vector<short> noise(std::int64_t frames) {
    return recognisableNoise(frames, kChannels, 12345);
}

void writeWave(const fs::path& path, const std::vector<short>& samples) {
    writeShortWave(path, samples, kChannels);
}

class LoopMenuTest : public EditorFixture {
protected:
    void SetUp() override {
        if (!PulseServer::instance->m_unavailable.isEmpty())
            GTEST_SKIP() << PulseServer::instance->m_unavailable.toStdString();
        EditorFixture::SetUp();
        new views::LoopMenu(m_window.get());
        m_previous = CommonDialogs::setChooser([this](const CommonDialogs::DialogRequest&) {
            return std::optional<CommonDialogs::DialogChoice>({m_answer, 0});
        });
    }
    void TearDown() override {
        CommonDialogs::setChooser(std::move(m_previous));
        EditorFixture::TearDown();
    }
    QString file(const char* name) const {
        return QString::fromStdString((m_scratch.path() / name).string());
    }
    void open(const char* name) {
        m_answer = file(name);
        QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier);
    }
    QAction* action(const char* name) const {
        return m_window->findChild<QAction*>(QString::fromLatin1(name));
    }
    QString barText() const { return m_window->statusBar()->currentMessage(); }

    ScratchFolder m_scratch{"kestrin-loopmenu"};
    QString m_answer;
    CommonDialogs::Chooser m_previous;
};

TEST_F(LoopMenuTest, PlaySeamIsHeardSampleExactThroughTheServer) {
    // A stop 1.5 s in, within the 3 s the seam plays before it, and a loop
    // of 1 s, shorter than the 3 s after the jump: the seam plays from the
    // file's first frame and jumps three times.
    const std::int64_t frames = 2 * kRate;
    const auto source = noise(frames);
    writeWave(m_scratch.path() / "BGM01.WAV", source);
    const std::int64_t start = kRate / 2 + 123;
    const std::int64_t stop = kRate * 3 / 2 - 77;
    WritePosFile(m_scratch.path() / "BGM01.POS",
                 {static_cast<std::int32_t>(start), static_cast<std::int32_t>(stop)});
    open("BGM01.POS");
    ASSERT_TRUE(action("mnuPlaySeam")->isEnabled())
        << action("mnuPlaySeam")->statusTip().toStdString();

    const QString recording = file("heard.raw");
    QProcess parec;
    parec.setStandardOutputFile(recording);
    parec.start(QStringLiteral("parec"),
                {QStringLiteral("--device=kestrin_null.monitor"), QStringLiteral("--format=s16le"),
                 QStringLiteral("--rate=44100"), QStringLiteral("--channels=2"),
                 QStringLiteral("--raw")});
    ASSERT_TRUE(parec.waitForStarted(30000));
    // The monitor delivers silence at once; wait until it does.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(recording).size() > 0; }, 30000));

    QTest::keyClick(m_window.get(), Qt::Key_F5);
    EXPECT_TRUE(action("mnuStopPlaying")->isEnabled());
    // Play Seam ends once the sink has played the seam's last frame.
    ASSERT_TRUE(QTest::qWaitFor([this] { return !action("mnuStopPlaying")->isEnabled(); }, 60000))
        << "the seam never finished";

    std::vector<short> expected(source.begin(), source.begin() + stop * kChannels);
    for (std::int64_t left = 3 * kRate; left > 0; left -= stop - start)
        expected.insert(expected.end(), source.begin() + start * kChannels,
                        source.begin() + (start + std::min(left, stop - start)) * kChannels);
    // What the sink played reaches parec's file a little later: wait until
    // the recording runs past the seam. A tail the player cut off comes as
    // silence, which the comparison below catches.
    std::vector<short> heard;
    std::vector<short>::iterator at;
    const auto heardPastTheSeam = [&] {
        const Bytes raw = readFileBytes(recording.toStdString());
        heard.assign(raw.size() / 2, 0);
        std::memcpy(heard.data(), raw.data(), heard.size() * 2);
        at = std::search(heard.begin(), heard.end(), expected.begin(),
                         expected.begin() + 64 * kChannels);
        return at != heard.end() && static_cast<std::size_t>(heard.end() - at) >= expected.size();
    };
    const bool complete = QTest::qWaitFor(heardPastTheSeam, 30000);
    parec.terminate();
    parec.waitForFinished(30000);
    ASSERT_NE(at, heard.end()) << "the seam's first frames were never heard (" << heard.size()
                               << " samples recorded)";
    ASSERT_TRUE(complete) << "the recording ends inside the seam";
    if (barText().contains("broke off")) // the player says the sink ran dry on a busy machine
        GTEST_SKIP() << barText().toStdString();
    const auto [wanted, got] = std::mismatch(expected.begin(), expected.end(), at);
    EXPECT_EQ(wanted, expected.end())
        << "what was heard departs from the audio before stop followed by the audio from start at "
           "frame "
        << (wanted - expected.begin()) / kChannels << " of the seam (the jumps are every "
        << stop - start << " frames from frame " << stop << "): heard " << *got << ", expected "
        << *wanted;
}

// Each stop lets go of the playbacks whose fade has ended while a new one starts.
TEST_F(LoopMenuTest, PlaybacksStartedAndStoppedInQuickSuccessionLeaveTheEngineWorking) {
    writeWave(m_scratch.path() / "BGM01.WAV", noise(2 * kRate));
    WritePosFile(m_scratch.path() / "BGM01.POS", {0, 2 * kRate});
    open("BGM01.POS");
    sound::SoundEngine* engine = m_window->findChild<views::LoopMenu*>()->engine();
    for (int i = 0; i < 40; ++i) {
        QTest::keyClick(m_window.get(), Qt::Key_F6);
        ASSERT_TRUE(QTest::qWaitFor([engine] { return engine->playhead() >= 0; }, 30000));
        for (Qt::Key key : {Qt::Key_F6, Qt::Key_F7, Qt::Key_F7})
            QTest::keyClick(m_window.get(), key);
    }
    // Every start done before the server goes: Qt waits for ever on a stream
    // opening to a server that went away.
    QTest::keyClick(m_window.get(), Qt::Key_F6);
    ASSERT_TRUE(QTest::qWaitFor([engine] { return engine->playhead() >= 0; }, 30000));
    QTest::keyClick(m_window.get(), Qt::Key_Escape);
}

struct RefusalRow {
    const char* name;
    const char* startText; // typed into the sample fields after opening
    const char* stopText;
    const char* reason;
};

void PrintTo(const RefusalRow& row, std::ostream* os) {
    *os << row.name;
}

class PlayRefusals : public LoopMenuTest, public testing::WithParamInterface<RefusalRow> {};

TEST_P(PlayRefusals, SayWhyAndChangeNothing) {
    writeWave(m_scratch.path() / "a.wav", noise(kRate));
    WritePosFile(m_scratch.path() / "a.pos", {100, 2000});
    open("a.pos");
    typeInto("txtStartTime", GetParam().startText);
    typeInto("txtStopTime", GetParam().stopText);
    const QStringList before = {text("txtStartTime"), text("txtStopTime"), text("txtflStartTime"),
                                text("txtflStopTime"), status()};
    for (Qt::Key key : {Qt::Key_F5, Qt::Key_F6}) {
        QTest::keyClick(m_window.get(), key);
        EXPECT_TRUE(barText().contains(GetParam().reason)) << barText().toStdString();
        EXPECT_FALSE(action("mnuStopPlaying")->isEnabled());
    }
    EXPECT_EQ((QStringList{text("txtStartTime"), text("txtStopTime"), text("txtflStartTime"),
                           text("txtflStopTime"), status()}),
              before);
    EXPECT_TRUE(m_window->isVisible());
}

INSTANTIATE_TEST_SUITE_P(
    LoopMenu, PlayRefusals,
    testing::Values(RefusalRow{"stop_not_after_start", "2000", "2000",
                               "is not after start 2000: players drop the loop"},
                    RefusalRow{"negative_start", "-5", "2000", "start -5 is negative"},
                    RefusalRow{"stop_beyond_audio", "0", "44101",
                               "stop 44101 lies beyond the end of the audio (44100 samples)"},
                    RefusalRow{"field_out_of_range", "0", "1e20", "does not hold a sample count"}),
    [](const testing::TestParamInfo<RefusalRow>& info) { return std::string(info.param.name); });

TEST_F(LoopMenuTest, WithoutAudioTheItemsAreDisabledWithTheReason) {
    WritePosFile(m_scratch.path() / "BGM02.POS", {0, 44100});
    open("BGM02.POS");
    for (const char* name : {"mnuPlaySeam", "mnuPlayLoop"}) {
        EXPECT_FALSE(action(name)->isEnabled());
        EXPECT_EQ(action(name)->statusTip(), "no audio file beside BGM02.POS");
    }
    QTest::keyClick(m_window.get(), Qt::Key_F5);
    EXPECT_FALSE(action("mnuStopPlaying")->isEnabled());
    EXPECT_EQ(text("txtStopTime"), "44100");
}

} // namespace
