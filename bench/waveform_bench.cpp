// SPDX-License-Identifier: GPL-3.0-or-later
// The waveform panel on a 10-minute stereo 44.1 kHz track, each figure
// beside a baseline measured in the same run: the summary beside reading
// the file alone, Open with the overview beside Open of a POS file without
// audio, a seam repaint at each zoom beside a blank widget's repaint, and a
// marker drag step beside a slider key step (both run the field cascade).
#include "audio/read/audio_reader.h"
#include "audio/read/peak_scan.h"
#include "bench/bench_window.h"
#include "dialogs/common_dialogs.h"
#include "editor/editor_window.h"
#include "platform/slider.h"
#include "views/waveform_panel.h"
#include "views/waveform_session.h"
#include "views/waveform_view.h"

#include <QApplication>
#include <QDockWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <cmath>
#include <ctime>
#include <fstream>
#include <memory>
#include <vector>

namespace {

constexpr int kRate = 44100;

QTemporaryDir& scratch() {
    static QTemporaryDir dir;
    return dir;
}

QString scratchFile(const char* name) {
    return scratch().filePath(QString::fromLatin1(name));
}

void writePos(const QString& path, std::int32_t start, std::int32_t stop) {
    std::ofstream out(path.toStdString(), std::ios::binary);
    const std::int32_t values[2] = {start, stop};
    out.write(reinterpret_cast<const char*>(values), sizeof values);
}

// TRACK.WAV (10 minutes of a gliding tone, stereo 16-bit) with TRACK.POS,
// and ALONE.POS without audio; made once.
void makeFiles() {
    if (QFile::exists(scratchFile("TRACK.POS")))
        return;
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(scratchFile("TRACK.WAV").toLocal8Bit(), SFM_WRITE, &info);
    std::vector<short> second(2 * kRate);
    double phase = 0;
    for (int s = 0; s < 600; ++s) {
        for (int i = 0; i < kRate; ++i) {
            phase += 2 * M_PI * (110.0 + s) / kRate;
            const auto v = static_cast<short>(12000 * std::sin(phase) * (0.5 + 0.5 * (s % 7) / 7));
            second[static_cast<std::size_t>(2 * i)] = v;
            second[static_cast<std::size_t>(2 * i + 1)] = static_cast<short>(-v);
        }
        sf_writef_short(f, second.data(), kRate);
    }
    sf_close(f);
    writePos(scratchFile("TRACK.POS"), 10 * kRate + 17, 590 * kRate - 33);
    writePos(scratchFile("ALONE.POS"), 10 * kRate, 590 * kRate);
}

std::int64_t residentKiB() {
    std::ifstream statm("/proc/self/statm");
    std::int64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * 4;
}

// ---- the summary ----

void BM_ReadWholeFile_Baseline(benchmark::State& state) {
    makeFiles();
    std::vector<char> block(1 << 18);
    for (auto _ : state) {
        kestrin::audio::AudioReader reader(scratchFile("TRACK.WAV").toStdString());
        for (std::int64_t at = 0;;) {
            const std::int64_t got = reader.read(at, 1 << 16, block.data());
            if (got <= 0)
                break;
            at += got;
        }
    }
}
BENCHMARK(BM_ReadWholeFile_Baseline)->Unit(benchmark::kMillisecond);

void BM_SummaryOfTenMinutes(benchmark::State& state) {
    makeFiles();
    std::size_t bytes = 0;
    for (auto _ : state) {
        kestrin::audio::AudioReader reader(scratchFile("TRACK.WAV").toStdString());
        const auto peaks = kestrin::audio::ScanPeaks(reader, {});
        bytes = peaks->bytes();
    }
    state.counters["summary_MiB"] = static_cast<double>(bytes) / (1 << 20);
}
BENCHMARK(BM_SummaryOfTenMinutes)->Unit(benchmark::kMillisecond);

// ---- the window ----

using kestrin::bench::showEditor;

void chooseFile(const QString& path) {
    kestrin::CommonDialogs::setChooser([path](const kestrin::CommonDialogs::DialogRequest&) {
        return std::optional<kestrin::CommonDialogs::DialogChoice>({path, 0});
    });
}

kestrin::views::WaveformSession& sessionOf(kestrin::EditorWindow& window) {
    return window.findChild<kestrin::views::WaveformPanel*>()->session();
}

// Ctrl+O with the dialog answered at once, until the fields are filled.
void BM_OpenWithoutAudio_Baseline(benchmark::State& state) {
    makeFiles();
    auto window = showEditor();
    chooseFile(scratchFile("ALONE.POS"));
    for (auto _ : state) {
        QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
        QApplication::processEvents();
    }
}
BENCHMARK(BM_OpenWithoutAudio_Baseline)->Unit(benchmark::kMillisecond);

// Ctrl+O until the overview has been painted from the finished summary.
void BM_OpenToOverview(benchmark::State& state) {
    makeFiles();
    auto window = showEditor();
    const std::int64_t idle = residentKiB();
    chooseFile(scratchFile("TRACK.POS"));
    std::int64_t opened = idle;
    for (auto _ : state) {
        QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
        auto& session = sessionOf(*window);
        while (!session.peaks())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        window->findChild<kestrin::views::OverviewView*>()->repaint();
        opened = std::max(opened, residentKiB());
    }
    // Meaningful in a process of its own (--benchmark_filter=OpenToOverview):
    // memory freed by earlier benchmarks would hide what Open takes.
    state.counters["rss_above_idle_MiB"] = static_cast<double>(opened - idle) / 1024;
}
BENCHMARK(BM_OpenToOverview)->Unit(benchmark::kMillisecond)->UseRealTime();

// An editor with the track open, its panel 1000 pixels wide.
std::unique_ptr<kestrin::EditorWindow> openedEditor() {
    makeFiles();
    auto window = showEditor();
    chooseFile(scratchFile("TRACK.POS"));
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
    auto& session = sessionOf(*window);
    while (!session.peaks())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    window->resize(1000, 520);
    QApplication::processEvents();
    return window;
}

// What every repaint costs at least: the background filled.
class Blank : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(rect(), palette().color(QPalette::Base));
    }
};

void BM_BlankRepaint_Baseline(benchmark::State& state) {
    auto window = openedEditor();
    auto* seam = window->findChild<kestrin::views::SeamView*>();
    Blank blank;
    blank.setAttribute(Qt::WA_OpaquePaintEvent);
    blank.resize(seam->size());
    blank.show();
    (void)QTest::qWaitForWindowExposed(&blank);
    for (auto _ : state)
        blank.repaint();
    state.counters["width"] = blank.width();
}
BENCHMARK(BM_BlankRepaint_Baseline)->Unit(benchmark::kMicrosecond);

// Zoom steps: -4 (16 pixels per sample) to 12 (4096 samples per pixel).
void BM_SeamRepaint(benchmark::State& state) {
    auto window = openedEditor();
    auto* seam = window->findChild<kestrin::views::SeamView*>();
    seam->setZoomStep(static_cast<int>(state.range(0)));
    seam->repaint(); // the frames around the seam are read once
    for (auto _ : state)
        seam->repaint();
    state.counters["width"] = seam->width();
}
BENCHMARK(BM_SeamRepaint)
    ->Arg(-4)
    ->Arg(0)
    ->Arg(4)
    ->Arg(7)
    ->Arg(8)
    ->Arg(12)
    ->Unit(benchmark::kMicrosecond);

// One key press on the stop slider: the scroll reaction and its cascade,
// with the panel following the sample fields.
void BM_SliderKeyStep_Baseline(benchmark::State& state) {
    auto window = openedEditor();
    auto* slider = window->findChild<kestrin::platform::Slider*>(QStringLiteral("sldStopTime"));
    slider->setFocus();
    bool right = true;
    for (auto _ : state) {
        QTest::keyClick(slider, right ? Qt::Key_Right : Qt::Key_Left);
        QApplication::processEvents(); // the repaint the change scheduled
        right = !right;
    }
}
BENCHMARK(BM_SliderKeyStep_Baseline)->Unit(benchmark::kMicrosecond);

// One mouse move of a drag on the seam view's stop half: the placed
// position, the field cascade and the repaints it causes. At 60 moves per
// second, the share of a core is 60 times this.
void BM_SeamDragStep(benchmark::State& state) {
    auto window = openedEditor();
    auto* seam = window->findChild<kestrin::views::SeamView*>();
    seam->setZoomStep(static_cast<int>(state.range(0)));
    const QPointF from(seam->width() * 0.25, seam->height() / 2.0);
    QTest::mousePress(seam, Qt::LeftButton, {}, from.toPoint());
    int step = 0;
    const std::clock_t cpuBefore = std::clock();
    for (auto _ : state) {
        const QPointF at = from + QPointF((step++ % 40) - 20, 0);
        QMouseEvent move(QEvent::MouseMove, at, seam->mapToGlobal(at), Qt::NoButton, Qt::LeftButton,
                         {});
        QApplication::sendEvent(seam, &move);
        QApplication::processEvents();
    }
    QTest::mouseRelease(seam, Qt::LeftButton, {}, from.toPoint());
    // Process CPU time, worker threads included.
    const double cpuSeconds = static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    state.counters["core_percent_at_60_per_s"] =
        100.0 * 60.0 * cpuSeconds / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SeamDragStep)->Arg(0)->Arg(4)->Arg(10)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    return kestrin::bench::RunWindowBenchmarks(argc, argv, [] {
        // The panel's remembered state stays out of the user's settings.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, scratch().path());
    });
}
