// SPDX-License-Identifier: GPL-3.0-or-later
// The editor on long tracks, each figure beside a baseline in the same run:
// - Find Loop Points on a 2-hour 44.1 kHz stereo WAVE, the whole editor as a
//   process of its own (its VmHWM), beside kestrin-pos find on the same file;
// - the longest the UI thread is held while the stop's sample field is typed
//   digit by digit up to 29:29 of a 30-minute Ogg Vorbis (each key, and each
//   turn of the event loop until the seam view has its frames), beside the
//   same typing into a POS file without audio.
// Tracks are kept in $KESTRIN_BENCH_TRACKS when it is set (a 30-minute Ogg
// takes a while to encode).
#include "bench/bench_window.h"
#include "bench/find_process.h"
#include "dialogs/common_dialogs.h"
#include "editor/editor_window.h"
#include "views/find_loop.h"
#include "views/waveform_panel.h"
#include "views/waveform_session.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QLineEdit>
#include <QSettings>
#include <QTest>

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int kRate = 44100;

const fs::path& scratch() {
    static const fs::path dir = [] {
        const char* kept = std::getenv("KESTRIN_BENCH_TRACKS");
        fs::path d = kept && *kept ? fs::path(kept)
                                   : fs::temp_directory_path() /
                                         ("kestrin-longtrackbench-" + std::to_string(::getpid()));
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

void writePos(const fs::path& path, std::int32_t start, std::int32_t stop) {
    std::ofstream out(path, std::ios::binary);
    const std::int32_t values[2] = {start, stop};
    out.write(reinterpret_cast<const char*>(values), sizeof values);
}

// NAME.WAV of `seconds` in `format`: a few notes over noise, with NAME.POS
// beside it; made once. Players look for the audio under the WAVE name only,
// so an Ogg Vorbis track sits there too, read by its content.
fs::path track(const std::string& name, std::int64_t seconds, int format) {
    const fs::path pos = scratch() / (name + ".POS");
    const fs::path audio = scratch() / (name + ".WAV");
    if (fs::exists(pos) && fs::exists(audio))
        return pos;
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = format;
    const fs::path partial = audio.string() + ".part";
    SNDFILE* f = sf_open(partial.c_str(), SFM_WRITE, &info);
    if (!f)
        throw std::runtime_error("cannot write " + partial.string() + ": " + sf_strerror(nullptr));
    std::vector<short> second(2 * kRate);
    std::uint32_t noise = 1;
    for (std::int64_t s = 0; s < seconds; ++s) {
        const double f0 = 220.0 * std::pow(2.0, static_cast<double>(s % 12) / 12.0);
        for (int i = 0; i < kRate; ++i) {
            noise = noise * 1664525U + 1013904223U;
            const double v = 0.3 * std::sin(2 * M_PI * f0 * i / kRate) +
                             0.05 * (static_cast<double>(noise >> 8) / (1 << 24) - 0.5);
            second[static_cast<std::size_t>(2 * i)] = static_cast<short>(std::lround(v * 32767));
            second[static_cast<std::size_t>(2 * i + 1)] =
                static_cast<short>(std::lround(v * 26000));
        }
        sf_writef_short(f, second.data(), kRate);
    }
    sf_close(f);
    fs::rename(partial, audio);
    writePos(pos, 10 * kRate, 20 * kRate);
    return pos;
}

void chooseFile(const fs::path& path) {
    const QString name = QString::fromStdString(path.string());
    kestrin::CommonDialogs::setChooser([name](const kestrin::CommonDialogs::DialogRequest&) {
        return std::optional<kestrin::CommonDialogs::DialogChoice>({name, 0});
    });
}

// ---- Find on two hours, as a process ----

// In the child: opens `pos`, runs Find Loop Points to its end and prints the
// process's VmHWM in KiB.
int editorFindChild(const char* pos) {
    auto window = kestrin::bench::showEditor();
    chooseFile(pos);
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
    auto* panel = window->findChild<kestrin::views::WaveformPanel*>();
    while (!panel->session().hasAudio())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier);
    kestrin::views::FindLoopDialog* dialog = nullptr;
    while (!(dialog = window->findChild<kestrin::views::FindLoopDialog*>()) || dialog->searching())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            std::cout << line.substr(6) << std::endl;
    return 0;
}

std::string g_self;

// The editor's Find, as a child process; its peak memory beside find's.
void BM_FindTwoHoursPeak(benchmark::State& state) {
    const bool editor = state.range(0) == 1;
    const fs::path pos = track("LONG", 2 * 60 * 60, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    double peak = 0.0;
    for (auto _ : state) {
        kestrin::bench::FindProcess run;
        if (editor) {
            setenv("KESTRIN_POS", g_self.c_str(), 1);
            setenv("KESTRIN_BENCH_EDITOR_FIND", "1", 1);
            run = kestrin::bench::RunFind(pos);
            unsetenv("KESTRIN_BENCH_EDITOR_FIND");
            unsetenv("KESTRIN_POS");
        } else {
            run = kestrin::bench::RunFind(fs::path(pos).replace_extension(".WAV"));
        }
        if (run.exitStatus != 0) {
            state.SkipWithError("the search failed");
            break;
        }
        state.SetIterationTime(run.seconds);
        peak = std::max(peak, static_cast<double>(run.usage.ru_maxrss) / 1024.0);
    }
    state.counters["VmHWM_MiB"] = peak;
}
BENCHMARK(BM_FindTwoHoursPeak)
    ->ArgName("editor")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// ---- typing into a 30-minute Ogg ----

// Types the stop's sample field digit by digit up to 29:29 and waits for the
// seam view's frames and the summary: the longest the UI thread was busy at
// a stretch, a key's handling or a run of the event loop between two waits
// (from the dispatcher's awake() to its next aboutToBlock()), and whether
// the file was opened with its audio.
std::pair<double, bool> longestStall(const fs::path& pos) {
    using Clock = std::chrono::steady_clock;
    auto window = kestrin::bench::showEditor();
    window->resize(900, 700);
    chooseFile(pos);
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
    auto* panel = window->findChild<kestrin::views::WaveformPanel*>();
    auto& session = panel->session();
    auto* stop = window->findChild<QLineEdit*>(QStringLiteral("txtStopTime"));
    stop->setFocus();
    stop->selectAll();
    QApplication::processEvents();
    double longest = 0.0;
    Clock::time_point busySince = Clock::now();
    const auto busyUntilNow = [&] {
        longest =
            std::max(longest, std::chrono::duration<double>(Clock::now() - busySince).count());
    };
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    const QMetaObject::Connection blocking =
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, busyUntilNow);
    const QMetaObject::Connection awake = QObject::connect(
        dispatcher, &QAbstractEventDispatcher::awake, [&] { busySince = Clock::now(); });
    const QString target = QString::number(std::int64_t{(29 * 60 + 29)} * kRate);
    for (const QChar digit : target) {
        busySince = Clock::now();
        QTest::keyClick(stop, digit.toLatin1());
        QApplication::processEvents(); // the repaint it asked for
        busyUntilNow();
    }
    // Until the frames at the new stop are drawn and the summary is done.
    while (session.hasAudio() && (session.readingFrames() || !session.peaks()))
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    busySince = Clock::now();
    QApplication::processEvents();
    busyUntilNow();
    QObject::disconnect(blocking);
    QObject::disconnect(awake);
    return {longest, session.hasAudio()};
}

void BM_TypingLongestStall(benchmark::State& state) {
    const bool ogg = state.range(0) == 1;
    const fs::path pos = ogg ? track("HALFHOUR", 30 * 60, SF_FORMAT_OGG | SF_FORMAT_VORBIS)
                             : scratch() / "ALONE.POS";
    if (!ogg)
        writePos(pos, 10 * kRate, 20 * kRate);
    double worst = 0.0;
    for (auto _ : state) {
        const auto [stall, withAudio] = longestStall(pos);
        if (ogg && !withAudio) {
            state.SkipWithError("the Ogg track was not opened with its audio");
            break;
        }
        worst = std::max(worst, stall);
    }
    state.counters["longest_stall_ms"] = worst * 1000.0;
}
BENCHMARK(BM_TypingLongestStall)
    ->ArgName("ogg")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // The child of BM_FindTwoHoursPeak, started as "PROGRAM find POS".
    if (std::getenv("KESTRIN_BENCH_EDITOR_FIND") && argc == 3) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Kestrin"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(fs::path(argv[2]).parent_path().string()));
        return editorFindChild(argv[2]);
    }
    g_self = fs::canonical("/proc/self/exe").string();
    const int status = kestrin::bench::RunWindowBenchmarks(argc, argv, [] {
        // The panel's remembered state stays out of the user's settings.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(scratch().string()));
    });
    if (const char* kept = std::getenv("KESTRIN_BENCH_TRACKS"); !kept || !*kept)
        fs::remove_all(scratch());
    return status;
}
