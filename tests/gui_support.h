// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for driving the real editor window with real input events.
//
// Wait with ASSERT_TRUE(QTest::qWaitFor(...)), never QTRY_*: those report a
// timeout to QTest, which these GoogleTest suites do not read, so a wait
// that never ends would pass.
#pragma once

#include "editor/editor_window.h"
#include "platform/slider.h"
#include "platform/text_field.h"

#include <QMessageBox>
#include <QSlider>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <vector>

// Readable QString values in failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace kestrin::testing_support {

// The centre of the slider's handle, where a drag starts.
QPoint sliderHandleCenter(const QSlider& slider);

// A shown, active editor window with an assignment trace.
class EditorFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Adds to the window before it is first shown, as the program adds its views.
    virtual void beforeShow(EditorWindow&) {}

    platform::TextField* field(const char* name) const;
    platform::Slider* slider(const char* name) const;
    QString text(const char* name) const { return field(name)->text(); }
    int value(const char* name) const { return slider(name)->value(); }
    QString status() const;

    // Clicks into the field, selects everything and types `keys` one by one.
    void typeInto(const char* name, const QString& keys);
    // Gives the slider the focus and presses `key` `times` times.
    void pressOnSlider(const char* name, Qt::Key key, int times = 1);

    // "name=value" for every assignment since the last clearTrace().
    const QStringList& trace() const { return *m_trace; }
    void clearTrace() { m_trace->clear(); }

    std::unique_ptr<EditorWindow> m_window;

private:
    std::shared_ptr<QStringList> m_trace = std::make_shared<QStringList>();
};

// What a message box showed before the watcher closed it.
struct SeenMessageBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    Qt::TextFormat format = Qt::AutoText;
};

// Closes every modal message box that opens while it lives, by pressing Enter
// on it or clicking its button named `click`, and remembers what each one showed.
class MessageBoxWatcher {
public:
    explicit MessageBoxWatcher(const QString& click = {});
    ~MessageBoxWatcher();
    const std::vector<SeenMessageBox>& seen() const { return m_seen; }

private:
    std::vector<SeenMessageBox> m_seen;
    class QTimer* m_timer;
};

} // namespace kestrin::testing_support
