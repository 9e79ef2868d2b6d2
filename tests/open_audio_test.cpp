// SPDX-License-Identifier: GPL-3.0-or-later
// File ▸ Open on an audio file: the POS file that belongs to it is offered.
#include "tests/views_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

using namespace kestrin;
using namespace kestrin::testing_support;

namespace {

class OpenAudio : public ViewsFixture {};

TEST_F(OpenAudio, OffersToCreateItsPosFileLoopingTheWholeAudio) {
    const auto dir = m_scratch.path();
    writeTone(dir / "Song.wav", 88201);
    for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
        QString asked;
        // Answers the question once it is up: the audio is looked at first.
        QTimer answerer;
        QObject::connect(&answerer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            answerer.stop();
            asked = box->text();
            QTest::mouseClick(box->button(answer), Qt::LeftButton);
        });
        answerer.start(0);
        // Ctrl+O reaches the window's menu only while it is the active one.
        m_window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
        open("Song.wav");
        answerer.stop();
        EXPECT_TRUE(asked.contains(file("Song.pos")) && asked.contains("stop 88201"))
            << answer << asked.toStdString();
        EXPECT_EQ(std::filesystem::exists(dir / "Song.pos"), answer == QMessageBox::Yes);
    }
    EXPECT_EQ(readFileBytes(dir / "Song.pos"), (Bytes{0, 0, 0, 0, 0x89, 0x58, 0x01, 0}));
    EXPECT_EQ(m_window->currentFile(), file("Song.pos"));
}

} // namespace
