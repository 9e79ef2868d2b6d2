// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/gui_support.h"

#include "platform/assignment_trace.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>

namespace kestrin::testing_support {

QPoint sliderHandleCenter(const QSlider& slider) {
    QStyleOptionSlider opt;
    opt.initFrom(&slider);
    opt.orientation = slider.orientation();
    opt.minimum = slider.minimum();
    opt.maximum = slider.maximum();
    opt.sliderPosition = slider.sliderPosition();
    opt.sliderValue = slider.value();
    opt.tickPosition = slider.tickPosition();
    opt.tickInterval = slider.tickInterval();
    return slider.style()
        ->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, &slider)
        .center();
}

void EditorFixture::SetUp() {
    m_window = std::make_unique<EditorWindow>();
    beforeShow(*m_window);
    m_window->show();
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get(), 30000));
    platform::setAssignmentObserver([trace = m_trace](const QWidget& w, const QString& v) {
        trace->append(w.objectName() + u'=' + v);
    });
}

void EditorFixture::TearDown() {
    platform::setAssignmentObserver({});
    m_window.reset();
}

platform::TextField* EditorFixture::field(const char* name) const {
    auto* f = m_window->findChild<platform::TextField*>(QString::fromLatin1(name));
    EXPECT_NE(f, nullptr) << name;
    return f;
}

platform::Slider* EditorFixture::slider(const char* name) const {
    auto* s = m_window->findChild<platform::Slider*>(QString::fromLatin1(name));
    EXPECT_NE(s, nullptr) << name;
    return s;
}

QString EditorFixture::status() const {
    return m_window->findChild<QLabel*>(QStringLiteral("lblStatus"))->text();
}

void EditorFixture::typeInto(const char* name, const QString& keys) {
    platform::TextField* f = field(name);
    QTest::mouseClick(f, Qt::LeftButton);
    QTest::keyClick(f, Qt::Key_A, Qt::ControlModifier);
    if (keys.isEmpty()) {
        QTest::keyClick(f, Qt::Key_Delete);
        return;
    }
    QTest::keyClicks(f, keys);
}

void EditorFixture::pressOnSlider(const char* name, Qt::Key key, int times) {
    platform::Slider* s = slider(name);
    s->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < times; ++i)
        QTest::keyClick(s, key);
}

MessageBoxWatcher::MessageBoxWatcher(const QString& click) : m_timer(new QTimer) {
    m_timer->setInterval(5);
    QObject::connect(m_timer, &QTimer::timeout, [this, click] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        m_seen.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                          box->textFormat()});
        if (auto* button = box->findChild<QPushButton*>(click); button && !click.isEmpty())
            QTest::mouseClick(button, Qt::LeftButton);
        else
            QTest::keyClick(box, Qt::Key_Enter);
    });
    m_timer->start();
}

MessageBoxWatcher::~MessageBoxWatcher() {
    delete m_timer;
}

} // namespace kestrin::testing_support
