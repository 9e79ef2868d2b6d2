// SPDX-License-Identifier: GPL-3.0-or-later
// Loop ▸ Crossfade Seam… on the real editor window: the length found, the
// seam shown before anything is written, a new file, and the companion
// replaced only after asking, its original kept.
#include "core/pos_file.h"
#include "tests/views_fixture.h"

#include <QAction>
#include <QApplication>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <memory>
#include <random>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

class CrossfadeSeamGui : public ViewsFixture {};

TEST_F(CrossfadeSeamGui, ProposesShowsThenWritesBesideAndReplacesOnlyAfterAsking) {
    std::vector<short> noise(3 * 44100);
    std::mt19937 random(5);
    for (short& s : noise)
        s = static_cast<short>(static_cast<int>(random() % 20001) - 10000);
    const auto dir = m_scratch.path();
    writeShortWave(dir / "N.WAV", noise, 1);
    WritePosFile(dir / "N.POS", {44100, 110250});
    const Bytes original = readFileBytes(dir / "N.WAV");
    open("N.POS");
    QAction* action = m_window->findChild<QAction*>(QStringLiteral("mnuCrossfadeSeam"));
    ASSERT_TRUE(QTest::qWaitFor([action] { return action->isEnabled(); }, 30000));
    auto* report = m_window->findChild<QLabel*>(QStringLiteral("seamReport"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return report->text().contains("Seam at"); }, 30000));
    ASSERT_FALSE(report->text().contains(": seamless"));

    bool driven = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        // Closed however this ends, so that a failure never leaves it waiting.
        const std::unique_ptr<QDialog, void (*)(QDialog*)> closer(dialog,
                                                                  [](QDialog* d) { d->reject(); });
        const auto button = [dialog](const char* name) {
            return dialog->findChild<QPushButton*>(QLatin1String(name));
        };
        auto* summary = dialog->findChild<QLabel*>(QStringLiteral("crossfadeSummary"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return button("crossfadeWrite")->isEnabled(); }, 30000));
        EXPECT_TRUE(summary->text().endsWith(QStringLiteral("the seam is seamless.")))
            << summary->text().toStdString();
        EXPECT_GT(dialog->findChild<QDoubleSpinBox*>(QStringLiteral("crossfadeLength"))->value(),
                  0.0);
        // Nothing beside the companion yet.
        EXPECT_FALSE(std::filesystem::exists(dir / "N-crossfaded.WAV"));
        QTest::mouseClick(button("crossfadeWrite"), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return summary->text().startsWith("Wrote"); }, 30000))
            << summary->text().toStdString();
        EXPECT_EQ(readFileBytes(dir / "N.WAV"), original);
        // Replace asks; No keeps everything, Yes keeps the original as .orig.
        for (const auto answer : {QMessageBox::Cancel, QMessageBox::Yes}) {
            QTimer::singleShot(0, [answer] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                ASSERT_NE(box, nullptr);
                QTest::mouseClick(box->button(answer), Qt::LeftButton);
            });
            QTest::mouseClick(button("crossfadeReplace"), Qt::LeftButton);
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return summary->text().startsWith("Replaced"); }, 30000))
            << summary->text().toStdString();
        for (const char* name : {"crossfadeWrite", "crossfadeWriteAs", "crossfadeReplace"})
            EXPECT_FALSE(button(name)->isEnabled()) << name; // no second crossfade
        driven = true;
    });
    action->trigger();
    ASSERT_TRUE(driven);
    EXPECT_EQ(readFileBytes(dir / "N.WAV.orig"), original);
    EXPECT_EQ(readFileBytes(dir / "N.WAV"), readFileBytes(dir / "N-crossfaded.WAV"));
    EXPECT_NE(readFileBytes(dir / "N.WAV"), original);
    // The panel behind the dialog has read the replaced companion again.
    EXPECT_TRUE(QTest::qWaitFor([&] { return report->text().contains(": seamless"); }, 30000));
}

} // namespace
