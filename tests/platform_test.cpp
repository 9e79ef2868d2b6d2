// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/slider.h"
#include "platform/text_field.h"
#include "platform/twips.h"
#include "tests/gui_support.h"

#include <QApplication>
#include <QClipboard>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

using namespace kestrin;
using namespace kestrin::platform;

namespace {

// A field in a shown window, counting its change notifications.
class TextFieldTest : public testing::Test {
protected:
    void SetUp() override {
        m_field = std::make_unique<TextField>();
        m_field->show();
        m_field->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_field.get(), 30000));
        QObject::connect(m_field.get(), &TextField::changed, [this] {
            ++m_changes;
            m_seenTexts << m_field->text();
        });
    }
    std::unique_ptr<TextField> m_field;
    int m_changes = 0;
    QStringList m_seenTexts;
};

TEST_F(TextFieldTest, AssignRunsReactionOnceEvenForUnchangedText) {
    m_field->assign(QStringLiteral("60"));
    EXPECT_EQ(m_changes, 1);
    m_field->assign(QStringLiteral("60"));
    EXPECT_EQ(m_changes, 2);
    m_field->assign(QString());
    m_field->assign(QString());
    EXPECT_EQ(m_changes, 4);
    EXPECT_EQ(m_seenTexts, (QStringList{"60", "60", "", ""}));
}

TEST_F(TextFieldTest, ReactionHasRunWhenAssignReturns) {
    QString seenInside;
    QObject::connect(m_field.get(), &TextField::changed, [&] { seenInside = m_field->text(); });
    m_field->assign(QStringLiteral("1.5"));
    EXPECT_EQ(seenInside, "1.5");
}

TEST_F(TextFieldTest, EveryUserEditRunsReactionExactlyOnce) {
    QTest::keyClicks(m_field.get(), QStringLiteral("12a"));
    EXPECT_EQ(m_changes, 3);
    EXPECT_EQ(m_seenTexts, (QStringList{"1", "12", "12a"}));

    QTest::keyClick(m_field.get(), Qt::Key_Backspace);
    EXPECT_EQ(m_changes, 4);
    QTest::keyClick(m_field.get(), Qt::Key_Z, Qt::ControlModifier); // undo
    EXPECT_EQ(m_changes, 5);
    EXPECT_EQ(m_field->text(), "12a");

    QTest::keyClick(m_field.get(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(m_field.get(), Qt::Key_X, Qt::ControlModifier); // cut
    EXPECT_EQ(m_changes, 6);
    EXPECT_EQ(m_field->text(), "");
    QTest::keyClick(m_field.get(), Qt::Key_V, Qt::ControlModifier); // paste
    EXPECT_EQ(m_changes, 7);
    EXPECT_EQ(m_field->text(), "12a");
}

TEST_F(TextFieldTest, LongPasteArrivesWhole) {
    const QString pasted = QString(100000, u' ') + QStringLiteral("42");
    QApplication::clipboard()->setText(pasted);
    QTest::keyClick(m_field.get(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(m_changes, 1);
    EXPECT_EQ(m_field->text().size(), pasted.size());
}

class SliderTest : public testing::Test {
protected:
    void SetUp() override {
        m_slider = std::make_unique<Slider>();
        m_slider->setRange(0, 600);
        m_slider->setSingleStep(1);
        m_slider->setPageStep(1);
        m_slider->resize(113, 25);
        m_slider->show();
        m_slider->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_slider.get(), 30000));
        QObject::connect(m_slider.get(), &Slider::scrolled,
                         [this] { m_values << m_slider->value(); });
    }
    std::unique_ptr<Slider> m_slider;
    QList<int> m_values;
};

TEST_F(SliderTest, CodeAssignmentIsSilentAndClamps) {
    m_slider->assign(10);
    m_slider->assign(700);
    EXPECT_EQ(m_slider->value(), 600);
    m_slider->assign(-5);
    EXPECT_EQ(m_slider->value(), 0);
    EXPECT_TRUE(m_values.isEmpty());
}

TEST_F(SliderTest, KeysReportEveryStep) {
    QTest::keyClick(m_slider.get(), Qt::Key_Right);
    QTest::keyClick(m_slider.get(), Qt::Key_Right);
    QTest::keyClick(m_slider.get(), Qt::Key_PageUp);
    QTest::keyClick(m_slider.get(), Qt::Key_Left);
    QTest::keyClick(m_slider.get(), Qt::Key_End);
    EXPECT_EQ(m_values, (QList<int>{1, 2, 3, 2, 600}));
}

TEST_F(SliderTest, DragReportsIntermediatePositions) {
    const QPoint handle = kestrin::testing_support::sliderHandleCenter(*m_slider);
    QTest::mousePress(m_slider.get(), Qt::LeftButton, {}, handle);
    for (int dx = 10; dx <= 40; dx += 10)
        QTest::mouseMove(m_slider.get(), handle + QPoint(dx, 0));
    QTest::mouseRelease(m_slider.get(), Qt::LeftButton, {}, handle + QPoint(40, 0));
    ASSERT_GE(m_values.size(), 4);
    EXPECT_TRUE(std::is_sorted(m_values.begin(), m_values.end()));
    EXPECT_GT(m_values.back(), 100);
    EXPECT_EQ(m_values.back(), m_slider->value());
}

TEST_F(SliderTest, WheelAndTrackClickReport) {
    QWheelEvent wheel(QPointF(50, 12), m_slider->mapToGlobal(QPointF(50, 12)), QPoint(),
                      QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(m_slider.get(), &wheel);
    ASSERT_EQ(m_values.size(), 1);
    const int afterWheel = m_slider->value();
    QTest::mouseClick(m_slider.get(), Qt::LeftButton, {}, QPoint(100, 12));
    EXPECT_GE(m_values.size(), 2);
    EXPECT_GT(m_slider->value(), afterWheel);
}

struct TwipsRow {
    int twips;
    double dpi;
    int pixels;
};

TEST(Twips, ScaleWithLogicalDpi) {
    for (const TwipsRow& row :
         {TwipsRow{120, 96, 8}, TwipsRow{3990, 96, 266}, TwipsRow{3150, 96, 210},
          TwipsRow{285, 96, 19}, TwipsRow{1695, 96, 113}, TwipsRow{3990, 192, 532},
          TwipsRow{120, 120, 10}, TwipsRow{285, 144, 29}}) {
        EXPECT_EQ(twipsToPixels(row.twips, row.dpi), row.pixels) << row.twips << " @ " << row.dpi;
    }
}

} // namespace
