// SPDX-License-Identifier: GPL-3.0-or-later
// Start and Exit when the settings keep the unsaved positions of many files:
// the settings file is read at every start and written whole at every exit.
#include "bench/bench_window.h"
#include "core/pos_file.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fstream>

namespace {

QTemporaryDir& scratch() {
    static QTemporaryDir dir;
    return dir;
}

// A settings file keeping the positions of `files` files, as a user of an
// earlier version could have gathered them, and the POS file to edit.
QString prepare(std::int64_t files) {
    QDir(scratch().path()).mkpath(QStringLiteral("Kestrin"));
    std::ofstream out(scratch().filePath(QStringLiteral("Kestrin/Kestrin.conf")).toStdString());
    out << "[keptPositions]\n";
    for (std::int64_t i = 0; i < files; ++i) {
        char hash[41];
        std::snprintf(hash, sizeof hash, "%040llx", static_cast<unsigned long long>(i));
        out << hash << "\\path=/music/track" << i << ".POS\n"
            << hash << "\\start=500\n"
            << hash << "\\stop=1000\n"
            << hash << "\\stamp=8 1700000000000\n"
            << hash << "\\time=" << i << '\n';
    }
    const QString pos = scratch().filePath(QStringLiteral("A.POS"));
    kestrin::WritePosFile(std::filesystem::path(pos.toStdString()), {0, 1000});
    return pos;
}

// Making the window, with the views, over that settings file.
void BM_StartWithKeptFiles(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        prepare(state.range(0));
        state.ResumeTiming();
        auto window = kestrin::bench::showEditor();
        state.PauseTiming();
        window.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StartWithKeptFiles)->Arg(100)->Arg(200000)->Unit(benchmark::kMillisecond);

// Exit with one position edited and unsaved, over that settings file as
// the start left it.
void BM_ExitWithKeptFiles(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        const QString pos = prepare(state.range(0));
        auto window = kestrin::bench::showEditor();
        window->openPosFile(pos);
        window->setPositionFromView(kestrin::LoopEnd::Stop, 2000);
        state.ResumeTiming();
        window->close();
        state.PauseTiming();
        window.reset();
        state.ResumeTiming();
    }
}
// Each round first makes a window over the full file, which takes seconds.
BENCHMARK(BM_ExitWithKeptFiles)
    ->Arg(100)
    ->Arg(200000)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return kestrin::bench::RunWindowBenchmarks(argc, argv, [] {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, scratch().path());
    });
}
