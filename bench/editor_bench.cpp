// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of one user action on the real window, nested cascade included.
#include "editor/editor_window.h"
#include "platform/slider.h"
#include "platform/text_field.h"

#include <QApplication>
#include <QTest>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

std::unique_ptr<kestrin::EditorWindow> makeWindow() {
    auto window = std::make_unique<kestrin::EditorWindow>();
    window->show();
    window->activateWindow();
    (void)QTest::qWaitForWindowActive(window.get());
    return window;
}

// One key press on the stop slider: scroll reaction, UpdateTimeFields and
// the two nested change reactions with their clock and slider updates.
void BM_SliderKeyCascade(benchmark::State& state) {
    auto window = makeWindow();
    auto* slider = window->findChild<kestrin::platform::Slider*>("sldStopTime");
    window->findChild<kestrin::platform::TextField*>("txtStartTime")->setText("2646000");
    slider->setFocus();
    bool right = true;
    for (auto _ : state) {
        QTest::keyClick(slider, right ? Qt::Key_Right : Qt::Key_Left);
        right = !right;
    }
}
BENCHMARK(BM_SliderKeyCascade);

// One typed character in a seconds field (alternately a digit and Backspace).
void BM_TypedSecondsCharacter(benchmark::State& state) {
    auto window = makeWindow();
    auto* field = window->findChild<kestrin::platform::TextField*>("txtflStartTime");
    field->setFocus();
    QTest::keyClicks(field, "12.2");
    bool digit = true;
    for (auto _ : state) {
        if (digit)
            QTest::keyClick(field, Qt::Key_5);
        else
            QTest::keyClick(field, Qt::Key_Backspace);
        digit = !digit;
    }
}
BENCHMARK(BM_TypedSecondsCharacter);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
