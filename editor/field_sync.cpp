// SPDX-License-Identifier: GPL-3.0-or-later
// Keeps the four forms of both positions in step. The sample fields are the
// reference: every step that needs a number reads it back from them.
#include "editor/editor_window.h"

#include "core/positions.h"
#include "platform/resume.h"
#include "platform/slider.h"
#include "platform/text_field.h"

namespace kestrin {

using platform::resumeNext;

namespace {

QString toText(const std::string& s) {
    return QString::fromStdString(s);
}

std::string toUtf8(const platform::TextField& field) {
    return field.text().toStdString();
}

} // namespace

void EditorWindow::UpdateTimeFields(const std::int32_t& start, const std::int32_t& stop) {
    // Assigning a seconds field runs its change reaction before the next step.
    resumeNext([&] { txtflStartTime->assign(toText(SecondsText(start))); });
    resumeNext([&] { txtflStopTime->assign(toText(SecondsText(stop))); });
    resumeNext([&] { txtStartTime->assign(toText(IntegerText(start))); });
    resumeNext([&] { txtStopTime->assign(toText(IntegerText(stop))); });
}

void EditorWindow::UpdateActualTimes(const std::int32_t& start, const std::int32_t& stop) {
    resumeNext([&] { txtActualStartTime->assign(toText(ClockText(start))); });
    resumeNext([&] { txtActualStopTime->assign(toText(ClockText(stop))); });
}

void EditorWindow::UpdateSliders(const std::int32_t& start, const std::int32_t& stop) {
    resumeNext([&] { sldStartTime->assign(SliderValueOfPosition(start)); });
    resumeNext([&] { sldStopTime->assign(SliderValueOfPosition(stop)); });
}

namespace {

// Both sample fields are parsed before the procedure that takes them runs;
// an overflow in either skips the call.
template <class Procedure>
void withSampleFields(const platform::TextField& startField, const platform::TextField& stopField,
                      Procedure&& procedure) {
    resumeNext([&] {
        const std::int32_t start = PositionFromSampleText(toUtf8(startField));
        const std::int32_t stop = PositionFromSampleText(toUtf8(stopField));
        procedure(start, stop);
    });
}

} // namespace

void EditorWindow::sldStartTime_Scroll() {
    sliderScrolled(*sldStartTime, *txtStartTime);
}

void EditorWindow::sldStopTime_Scroll() {
    sliderScrolled(*sldStopTime, *txtStopTime);
}

void EditorWindow::txtflStartTime_Change() {
    secondsChanged(*txtflStartTime, *txtStartTime);
}

void EditorWindow::txtflStopTime_Change() {
    secondsChanged(*txtflStopTime, *txtStopTime);
}

void EditorWindow::sliderScrolled(const platform::Slider& slider, platform::TextField& samples) {
    samplesPlaced(samples, [&] { return SampleTextFromSliderValue(slider.value()); });
}

void EditorWindow::setPositionFromView(LoopEnd end, std::int32_t samples) {
    samplesPlaced(end == LoopEnd::Stop ? *txtStopTime : *txtStartTime,
                  [samples] { return IntegerText(samples); });
}

void EditorWindow::samplesPlaced(platform::TextField& samples,
                                 const std::function<std::string()>& text) {
    resumeNext([&] { samples.assign(toText(text())); });
    withSampleFields(*txtStartTime, *txtStopTime,
                     [this](const std::int32_t& start, const std::int32_t& stop) {
                         UpdateTimeFields(start, stop);
                     });
}

void EditorWindow::secondsChanged(const platform::TextField& seconds,
                                  platform::TextField& samples) {
    resumeNext([&] { samples.assign(toText(SampleTextFromSecondsText(toUtf8(seconds)))); });
    withSampleFields(*txtStartTime, *txtStopTime,
                     [this](const std::int32_t& start, const std::int32_t& stop) {
                         UpdateActualTimes(start, stop);
                     });
    withSampleFields(*txtStartTime, *txtStopTime,
                     [this](const std::int32_t& start, const std::int32_t& stop) {
                         UpdateSliders(start, stop);
                     });
}

} // namespace kestrin
