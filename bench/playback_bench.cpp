// SPDX-License-Identifier: GPL-3.0-or-later
// Playback through the real window and a real sound server: latency from the
// shortcut to the first frame handed to the device, and the cost of playing
// a 10-minute stereo file, each beside a bare Qt Multimedia or idle baseline.
// Needs PULSE_SERVER (scripts/with-pulse starts a private server).
#include "bench/bench_window.h"
#include "dialogs/common_dialogs.h"
#include "editor/editor_window.h"
#include "sound/sound_engine.h"

#include <QAction>
#include <QApplication>
#include <QAudioSink>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QTemporaryDir>
#include <QTest>

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <sys/resource.h>

#include <fstream>
#include <memory>
#include <vector>

namespace {

constexpr int kRate = 44100;

QTemporaryDir& scratch() {
    static QTemporaryDir dir;
    return dir;
}

// A 10-minute stereo 16-bit WAV and its POS file, made once.
QString tenMinuteTrack() {
    const QString pos = scratch().filePath(QStringLiteral("LONG.POS"));
    if (QFile::exists(pos))
        return pos;
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f =
        sf_open(scratch().filePath(QStringLiteral("LONG.WAV")).toLocal8Bit(), SFM_WRITE, &info);
    std::vector<short> second(2 * kRate);
    for (std::size_t i = 0; i < second.size(); ++i)
        second[i] = static_cast<short>((i * 37) % 4000);
    for (int s = 0; s < 600; ++s)
        sf_writef_short(f, second.data(), kRate);
    sf_close(f);
    std::ofstream out(pos.toStdString(), std::ios::binary);
    const std::int32_t values[2] = {10 * kRate, 590 * kRate};
    out.write(reinterpret_cast<const char*>(values), sizeof values);
    return pos;
}

using kestrin::bench::showEditor;

void openTrack(kestrin::EditorWindow* window) {
    const QString pos = tenMinuteTrack();
    kestrin::CommonDialogs::setChooser([pos](const kestrin::CommonDialogs::DialogRequest&) {
        return std::optional<kestrin::CommonDialogs::DialogChoice>({pos, 0});
    });
    QTest::keyClick(window, Qt::Key_O, Qt::ControlModifier);
}

std::unique_ptr<kestrin::EditorWindow> openEditor() {
    auto window = showEditor();
    openTrack(window.get());
    return window;
}

kestrin::sound::SoundEngine* engine() {
    return kestrin::sound::LoadSoundEngine(nullptr);
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

void BM_ShortcutToFirstFrame(benchmark::State& state) {
    auto window = openEditor();
    for (auto _ : state) {
        QElapsedTimer t;
        t.start();
        QTest::keyClick(window.get(), Qt::Key_F5);
        if (!waitFor([] { return engine()->playhead() >= 0; }, 5000)) {
            state.SkipWithError("no frame reached the device");
            break;
        }
        state.SetIterationTime(static_cast<double>(t.nsecsElapsed()) * 1e-9);
        QTest::keyClick(window.get(), Qt::Key_Escape);
        waitFor([] { return !engine()->isPlaying(); }, 5000);
    }
}
BENCHMARK(BM_ShortcutToFirstFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// Baseline: a bare QAudioSink started on the UI thread, to its first read.
class FirstReadDevice : public QIODevice {
public:
    bool read = false;

protected:
    qint64 readData(char* data, qint64 max) override {
        read = true;
        std::memset(data, 0, static_cast<std::size_t>(max));
        return max;
    }
    qint64 writeData(const char*, qint64) override { return -1; }
};

void BM_BareSinkToFirstRead(benchmark::State& state) {
    QAudioFormat format;
    format.setSampleRate(kRate);
    format.setChannelCount(2);
    format.setSampleFormat(QAudioFormat::Int16);
    for (auto _ : state) {
        QElapsedTimer t;
        t.start();
        FirstReadDevice device;
        device.open(QIODevice::ReadOnly);
        QAudioSink sink(QMediaDevices::defaultAudioOutput(), format);
        sink.start(&device);
        if (!waitFor([&] { return device.read; }, 5000)) {
            state.SkipWithError("no read");
            break;
        }
        state.SetIterationTime(static_cast<double>(t.nsecsElapsed()) * 1e-9);
        sink.stop();
    }
}
BENCHMARK(BM_BareSinkToFirstRead)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// Five seconds of Play Loop over the 10-minute file (or of idling, as the
// baseline): CPU as a share of one core, and resident memory above the idle
// editor before its first Open (so the sound module counts too).
void playFor(benchmark::State& state, bool play) {
    tenMinuteTrack();
    auto window = showEditor();
    QTest::qWait(200);
    const long idleKiB = residentKiB();
    openTrack(window.get());
    for (auto _ : state) {
        if (play)
            QTest::keyClick(window.get(), Qt::Key_F6);
        QTest::qWait(300); // settle
        const double cpu0 = cpuSeconds();
        QElapsedTimer t;
        t.start();
        QTest::qWait(5000);
        state.counters["cpu_percent"] =
            100.0 * (cpuSeconds() - cpu0) / (static_cast<double>(t.nsecsElapsed()) * 1e-9);
        state.counters["rss_above_idle_MiB"] =
            static_cast<double>(residentKiB() - idleKiB) / 1024.0;
        if (play)
            QTest::keyClick(window.get(), Qt::Key_Escape);
    }
}
void BM_PlayLoopTenMinuteStereo(benchmark::State& state) {
    playFor(state, true);
}
void BM_IdleEditorBaseline(benchmark::State& state) {
    playFor(state, false);
}
BENCHMARK(BM_PlayLoopTenMinuteStereo)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_IdleEditorBaseline)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    return kestrin::bench::RunWindowBenchmarks(argc, argv, [] {});
}
