// SPDX-License-Identifier: GPL-3.0-or-later
// The editor window's place and size, and where its floating docks sit,
// kept from one run to the next.
#pragma once

#include <QHash>
#include <QObject>
#include <QPoint>
#include <QSize>

class QDockWidget;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

// Restores the window's geometry at once (it is made before the window is
// shown) and saves it when the window closes, in the settings
// (Kestrin/Kestrin.conf, "window/geometry"). Each dock added to the window
// later (the waveform panel, the soundtrack panel) is followed too: a
// floating dock reopens at the same offset from the window's top-left
// corner and with the same size ("<dock name>/floatingOffset", "...Size");
// the first time, beside the window's right edge rather than at the
// screen's corner, kept on the window's screen. While docked, the window's
// own size is kept as well ("window/dockedSize"): the form alone has a
// fixed size.
class WindowMemory : public QObject {
    Q_OBJECT
public:
    explicit WindowMemory(EditorWindow& window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void follow(QDockWidget* dock);
    // Puts a floating dock where it was last, or beside the window (always
    // with `beside`).
    void placeFloating(QDockWidget* dock, bool beside = false);
    void remember(QDockWidget* dock);
    void save();
    // The window's size grown by what its docked panels ask for beyond the
    // room they have.
    QSize wantedSize() const;

    struct Floating {
        QPoint offset;
        QSize size;
        bool known = false;
        bool placed = false;        // shown once in this run
        bool floatedBefore = false; // ever floating, in this run or one before
    };

    EditorWindow& m_window;
    QHash<QDockWidget*, Floating> m_docks;
    QSize m_dockedSize;
    // Whether the window has been given its remembered size in this run.
    bool m_sizeRestored = false;
    // Whether a window manager has framed the window in this run.
    bool m_framed = false;
    bool m_placing = false;
};

} // namespace kestrin::views
