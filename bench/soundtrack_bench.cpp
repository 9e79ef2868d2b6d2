// SPDX-License-Identifier: GPL-3.0-or-later
// A soundtrack of 200 tracks: the sound module's verdicts on every seam,
// beside the folder listing that the panel shows at once.
#include "bench/bench_window.h"
#include "sound/sound_engine.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <vector>

namespace {

constexpr int kTracks = 200;
constexpr int kRate = 44100;

QTemporaryDir& scratch() {
    static QTemporaryDir dir;
    return dir;
}

// 200 stereo 5-second tracks with their POS files, made once. Judging
// reads only the frames around a seam, so a track's length matters little.
QStringList soundtrack() {
    static QStringList files;
    if (!files.isEmpty())
        return files;
    std::vector<short> samples(static_cast<std::size_t>(5 * kRate * 2));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] =
            static_cast<short>(std::lround(9000 * std::sin(0.031 * static_cast<double>(i / 2))));
    for (int t = 0; t < kTracks; ++t) {
        const QString base = scratch().filePath(QStringLiteral("BGM%1").arg(t, 3, 10, QChar(u'0')));
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((base + QStringLiteral(".WAV")).toLocal8Bit(), SFM_WRITE, &info);
        sf_writef_short(f, samples.data(), 5 * kRate);
        sf_close(f);
        std::ofstream out((base + QStringLiteral(".POS")).toStdString(), std::ios::binary);
        const std::int32_t values[2] = {kRate, 4 * kRate + t};
        out.write(reinterpret_cast<const char*>(values), sizeof values);
        files << base + QStringLiteral(".POS");
    }
    return files;
}

// What the panel shows at once: the folder's POS files by name.
void BM_ListFolderBaseline(benchmark::State& state) {
    const QString folder = QFileInfo(soundtrack().front()).absolutePath();
    for (auto _ : state) {
        const QStringList names = QDir(folder).entryList(
            {QStringLiteral("*.pos")}, QDir::Files | QDir::Readable, QDir::Name | QDir::IgnoreCase);
        benchmark::DoNotOptimize(names.size());
    }
}
BENCHMARK(BM_ListFolderBaseline)->Unit(benchmark::kMillisecond);

// Every verdict of the folder delivered to the UI thread.
void BM_JudgeSoundtrack(benchmark::State& state) {
    const QStringList files = soundtrack();
    QString error;
    kestrin::sound::SoundEngine* engine = kestrin::sound::LoadSoundEngine(&error);
    if (!engine) {
        state.SkipWithError(error.toStdString().c_str());
        return;
    }
    for (auto _ : state) {
        int judged = 0;
        QElapsedTimer t;
        t.start();
        engine->judgeTracks(
            files, [&judged](const QString&, const kestrin::sound::TrackVerdict&) { ++judged; });
        while (judged < files.size() && t.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        state.SetIterationTime(static_cast<double>(t.nsecsElapsed()) / 1e9);
        if (judged < files.size()) {
            state.SkipWithError("the verdicts took over a minute");
            break;
        }
    }
}
BENCHMARK(BM_JudgeSoundtrack)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    return kestrin::bench::RunWindowBenchmarks(argc, argv, [] {});
}
