// SPDX-License-Identifier: GPL-3.0-or-later
// The editor window with every view attached, its settings in the test's own
// folder, and tracks generated at run time to open.
#pragma once

#include "dialogs/common_dialogs.h"
#include "tests/file_bytes.h"
#include "tests/gui_support.h"
#include "tests/short_wave.h"
#include "views/attach_views.h"

#include <QSettings>
#include <QTest>

#include <cmath>
#include <filesystem>
#include <vector>

namespace kestrin::testing_support {

// A mono 16-bit WAVE of a steady tone, `frames` long at 44,100 Hz.
inline void writeTone(const std::filesystem::path& path, std::int64_t frames, double step = 0.05) {
    std::vector<short> samples(static_cast<std::size_t>(frames));
    for (std::size_t n = 0; n < samples.size(); ++n)
        samples[n] =
            static_cast<short>(std::lround(12000 * std::sin(step * static_cast<double>(n))));
    writeShortWave(path, samples, 1);
}

class ViewsFixture : public EditorFixture {
protected:
    void SetUp() override {
        // The settings file of this test alone: tests run side by side.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString((m_scratch.path() / "config").string()));
        EditorFixture::SetUp();
        m_previous = CommonDialogs::setChooser([this](const CommonDialogs::DialogRequest&) {
            return std::optional<CommonDialogs::DialogChoice>({m_answer, 0});
        });
    }
    void beforeShow(EditorWindow& window) override { views::AttachViews(window); }
    void TearDown() override {
        CommonDialogs::setChooser(std::move(m_previous));
        EditorFixture::TearDown();
    }
    QString file(const std::string& name) const {
        return QString::fromStdString((m_scratch.path() / name).string());
    }
    // Ctrl+O, with the dialog answering `name`.
    void open(const std::string& name) {
        m_answer = file(name);
        QTest::keyClick(m_window.get(), Qt::Key_O, Qt::ControlModifier);
    }

    ScratchFolder m_scratch{"kestrin-views"};
    QString m_answer;
    CommonDialogs::Chooser m_previous;
};

} // namespace kestrin::testing_support
