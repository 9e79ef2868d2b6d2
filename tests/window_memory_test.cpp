// SPDX-License-Identifier: GPL-3.0-or-later
// The window's place and the floating waveform panel's place, kept from one
// run to the next through the settings file.
#include "core/pos_file.h"
#include "tests/comfort_support.h"

#include <QDockWidget>
#include <QTest>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

class WindowMemoryTest : public ComfortFixture {
protected:
    void SetUp() override {
        ComfortFixture::SetUp();
        writeTone(m_scratch.path() / "A.WAV", 44100);
        WritePosFile(m_scratch.path() / "A.POS", {0, 1000});
        QSettings(QStringLiteral("Kestrin"), QStringLiteral("Kestrin"))
            .setValue(QStringLiteral("waveform/floating"), true);
    }
    QDockWidget* openAndWaitForDock() {
        open("A.POS");
        auto* dock = m_window->findChild<QDockWidget*>(QStringLiteral("waveformPanel"));
        EXPECT_NE(dock, nullptr);
        if (dock) {
            EXPECT_TRUE(QTest::qWaitFor([dock] { return dock->isVisible(); }, 10000));
        }
        return dock;
    }
    // What the next start sees: this window closes, a new one is made.
    void restart() {
        m_window->close();
        m_window = std::make_unique<EditorWindow>();
        views::AttachViews(*m_window);
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get(), 30000));
    }
};

TEST_F(WindowMemoryTest, AFloatingPanelFirstOpensBesideTheWindow) {
    QDockWidget* dock = openAndWaitForDock();
    ASSERT_TRUE(dock && dock->isFloating());
    const QRect window = m_window->frameGeometry();
    const QRect panel = dock->frameGeometry();
    EXPECT_FALSE(panel.intersects(window)) << "the panel covers the window";
    EXPECT_TRUE(panel.left() > window.right() || panel.top() > window.bottom())
        << "not beside the window: " << panel.left() << ',' << panel.top();
}

TEST_F(WindowMemoryTest, WindowAndPanelPlacesComeBackAfterARestart) {
    m_window->move(40, 30);
    QDockWidget* dock = openAndWaitForDock();
    ASSERT_TRUE(dock && dock->isFloating());
    // Where the user puts them, as the window manager would report it.
    const QPoint windowAt(60, 20);
    m_window->move(windowAt);
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_window->pos() == windowAt; }, 5000));
    const QPoint offset(25, 240);
    const QSize size(700, 420);
    dock->resize(size);
    dock->move(m_window->frameGeometry().topLeft() + offset);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock->size() == size; }, 5000));

    restart();
    EXPECT_EQ(m_window->pos(), windowAt);
    dock = openAndWaitForDock();
    ASSERT_TRUE(dock && dock->isFloating());
    EXPECT_EQ(dock->frameGeometry().topLeft() - m_window->frameGeometry().topLeft(), offset);
    EXPECT_EQ(dock->size(), size);
}

} // namespace
