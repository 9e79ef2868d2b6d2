// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/gui_support.h"

#include <QTest>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

using FieldSyncTest = EditorFixture;

// Dragging the start slider to 10 with the stop at 60 s: the whole nested
// cascade, assignment by assignment.
TEST_F(FieldSyncTest, SliderMovementUnfoldsInNestedOrder) {
    typeInto("txtStopTime", "2646000");
    pressOnSlider("sldStartTime", Qt::Key_Right, 9);
    clearTrace();
    pressOnSlider("sldStartTime", Qt::Key_Right);
    EXPECT_EQ(trace(), (QStringList{
                           "txtStartTime=441000",
                           "txtflStartTime=10",
                           "txtStartTime=441000",
                           "txtActualStartTime=00:10",
                           "txtActualStopTime=01:00",
                           "sldStartTime=10",
                           "sldStopTime=60",
                           "txtflStopTime=60",
                           "txtStopTime=2646000",
                           "txtActualStartTime=00:10",
                           "txtActualStopTime=01:00",
                           "sldStartTime=10",
                           "sldStopTime=60",
                           "txtStartTime=441000",
                           "txtStopTime=2646000",
                       }));
    EXPECT_EQ(text("txtStartTime"), "441000");
    EXPECT_EQ(text("txtflStartTime"), "10");
    EXPECT_EQ(text("txtActualStartTime"), "00:10");
    EXPECT_EQ(value("sldStartTime"), 10);
    EXPECT_EQ(text("txtStopTime"), "2646000");
    EXPECT_EQ(text("txtflStopTime"), "60");
    EXPECT_EQ(text("txtActualStopTime"), "01:00");
    EXPECT_EQ(value("sldStopTime"), 60);
}

struct TypingRow {
    const char* name;
    const char* seconds;
    const char* keys;
    const char* samples;
    const char* clock;
    int slider;
};

void PrintTo(const TypingRow& row, std::ostream* os) {
    *os << testing::PrintToString(row.keys) << " typed into " << row.seconds;
}

class TypingSeconds : public EditorFixture, public testing::WithParamInterface<TypingRow> {};

TEST_P(TypingSeconds, UpdatesSamplesClockAndSlider) {
    const TypingRow& row = GetParam();
    const bool start = QByteArray(row.seconds) == "txtflStartTime";
    typeInto(row.seconds, QString::fromUtf8(row.keys));
    EXPECT_EQ(text(row.seconds), QString::fromUtf8(row.keys));
    EXPECT_EQ(text(start ? "txtStartTime" : "txtStopTime"), row.samples);
    EXPECT_EQ(text(start ? "txtActualStartTime" : "txtActualStopTime"), row.clock);
    EXPECT_EQ(value(start ? "sldStartTime" : "sldStopTime"), row.slider);
}

INSTANTIATE_TEST_SUITE_P(
    FieldSync, TypingSeconds,
    testing::Values(
        TypingRow{"quarter_seconds", "txtflStopTime", "2.25", "99225", "00:02", 2},
        TypingRow{"letters_only", "txtflStartTime", "abc", "0", "00:00", 0},
        TypingRow{"letters_after_digits", "txtflStartTime", "12a", "529200", "00:12", 12},
        // "1e2" set 100 s; the overflowing "1e20" leaves clock and slider there.
        TypingRow{"overflow_keeps_previous_forms", "txtflStartTime", "1e20", "4.41E+24", "01:40",
                  100},
        TypingRow{"beyond_slider_range", "txtflStartTime", "700", "30870000", "11:40", 600},
        TypingRow{"negative_zero", "txtflStopTime", "-0", "0", "00:00", 0},
        TypingRow{"tiny_fraction", "txtflStopTime", "0.00001", "0.441", "00:00", 0},
        TypingRow{"negative_seconds", "txtflStartTime", "-30", "-1323000", "-00:30", 0},
        TypingRow{"clock_seconds_can_read_60", "txtflStopTime", "59.7", "2632770", "00:60", 60},
        TypingRow{"tie_rounds_to_even_slider", "txtflStopTime", "2.5", "110250", "00:03", 2},
        TypingRow{"blanks_inside", "txtflStopTime", " 1 2", "529200", "00:12", 12}),
    [](const testing::TestParamInfo<TypingRow>& info) { return std::string(info.param.name); });

TEST_F(FieldSyncTest, TypingOneSideStillSetsTheOtherSlider) {
    typeInto("txtflStopTime", "90");
    pressOnSlider("sldStopTime", Qt::Key_Home); // user moves it away; the field keeps 90 s
    EXPECT_EQ(value("sldStopTime"), 0);
    EXPECT_EQ(text("txtflStopTime"), "0");
    typeInto("txtflStopTime", "90");
    slider("sldStopTime")->assign(5); // out of step, silently
    typeInto("txtflStartTime", "700");
    EXPECT_EQ(value("sldStartTime"), 600);
    EXPECT_EQ(value("sldStopTime"), 90);
    EXPECT_EQ(text("txtActualStopTime"), "01:30");
}

TEST_F(FieldSyncTest, TypedSampleTextWaitsForTheOtherSlider) {
    typeInto("txtStartTime", "88200");
    EXPECT_EQ(text("txtflStartTime"), "");
    EXPECT_EQ(text("txtActualStartTime"), "00:00");
    EXPECT_EQ(value("sldStartTime"), 0);

    pressOnSlider("sldStopTime", Qt::Key_Right);
    EXPECT_EQ(text("txtStartTime"), "88200");
    EXPECT_EQ(text("txtflStartTime"), "2");
    EXPECT_EQ(text("txtActualStartTime"), "00:02");
    EXPECT_EQ(value("sldStartTime"), 2);

    typeInto("txtStartTime", "88200");
    pressOnSlider("sldStartTime", Qt::Key_Right);
    EXPECT_EQ(text("txtStartTime"), "132300");
    EXPECT_EQ(text("txtflStartTime"), "3");
}

TEST_F(FieldSyncTest, SliderWithEmptySampleFieldsWritesZeroStart) {
    pressOnSlider("sldStopTime", Qt::Key_Right, 2);
    EXPECT_EQ(text("txtStartTime"), "0");
    EXPECT_EQ(text("txtflStartTime"), "0");
    EXPECT_EQ(text("txtActualStartTime"), "00:00");
    EXPECT_EQ(text("txtStopTime"), "88200");
    EXPECT_EQ(text("txtflStopTime"), "2");
    EXPECT_EQ(text("txtActualStopTime"), "00:02");
}

TEST_F(FieldSyncTest, SliderRewritesFractionalSampleTextAsWhole) {
    typeInto("txtflStartTime", "0.00001");
    EXPECT_EQ(text("txtStartTime"), "0.441");
    pressOnSlider("sldStopTime", Qt::Key_Right);
    EXPECT_EQ(text("txtStartTime"), "0");
    EXPECT_EQ(text("txtflStartTime"), "0");
}

TEST_F(FieldSyncTest, OverflowingSampleFieldSkipsOnlyItsSteps) {
    typeInto("txtStartTime", "1e20");
    pressOnSlider("sldStopTime", Qt::Key_Right);
    // Both reading steps overflow: only step 1 of the scroll reaction lands.
    EXPECT_EQ(text("txtStopTime"), "44100");
    EXPECT_EQ(text("txtflStopTime"), "");
    EXPECT_EQ(text("txtStartTime"), "1e20");
    EXPECT_EQ(value("sldStopTime"), 1);
}

TEST_F(FieldSyncTest, StopBelowStartIsKept) {
    typeInto("txtflStartTime", "10");
    typeInto("txtflStopTime", "5");
    pressOnSlider("sldStopTime", Qt::Key_Left);
    EXPECT_EQ(text("txtStartTime"), "441000");
    EXPECT_EQ(text("txtStopTime"), "176400");
    EXPECT_EQ(text("txtActualStopTime"), "00:04");
    EXPECT_EQ(value("sldStartTime"), 10);
    EXPECT_EQ(value("sldStopTime"), 4);
}

TEST_F(FieldSyncTest, EmptyingSecondsFieldMeansZero) {
    typeInto("txtflStopTime", "42");
    typeInto("txtflStopTime", "");
    EXPECT_EQ(text("txtStopTime"), "0");
    EXPECT_EQ(text("txtActualStopTime"), "00:00");
    EXPECT_EQ(value("sldStopTime"), 0);
}

TEST_F(FieldSyncTest, MouseDragUpdatesEveryFormAsItGoes) {
    typeInto("txtStopTime", "2646000");
    auto* s = slider("sldStartTime");
    const QPoint handle = sliderHandleCenter(*s);
    QTest::mousePress(s, Qt::LeftButton, {}, handle);
    QTest::mouseMove(s, handle + QPoint(30, 0));
    const QString midway = text("txtflStartTime");
    EXPECT_NE(midway, "");
    EXPECT_EQ(text("txtStartTime"), QString::number(s->value() * 44100));
    QTest::mouseMove(s, handle + QPoint(60, 0));
    QTest::mouseRelease(s, Qt::LeftButton, {}, handle + QPoint(60, 0));
    EXPECT_GT(value("sldStartTime"), midway.toInt());
    EXPECT_EQ(text("txtflStartTime"), QString::number(value("sldStartTime")));
    EXPECT_EQ(text("txtStopTime"), "2646000");
    EXPECT_EQ(text("txtActualStopTime"), "01:00");
}

} // namespace
