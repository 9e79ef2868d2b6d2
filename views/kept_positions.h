// SPDX-License-Identifier: GPL-3.0-or-later
// Positions left unsaved when the window closed, kept in the settings and
// offered again at the next Open of the same file.
#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

// Exit saves nothing and asks nothing. When the window closes with sample
// fields that differ from the opened file, the two positions are kept in
// the settings ("keptPositions/<hash of the path>": the path, start, stop,
// and the file's size and time). The next Open of that file, while it has
// not changed, shows this line (objectName "keptPositions") below the form,
// with or without audio: "not saved when Kestrin last closed: start …, stop … — Restore".
// Restore (Alt+R) puts them into the fields through the field
// synchronisation, unsaved; Save or Restore forgets them. Nothing here
// writes the POS file.
class KeptPositions : public QWidget {
    Q_OBJECT
public:
    KeptPositions(EditorWindow& window, QWidget* parent);

private:
    // Shows the line when positions were kept for the opened file.
    void offer();
    void restore();
    void forget();

    EditorWindow& m_window;
    QLabel* m_text;
    QPushButton* m_restore;
    qint64 m_start = 0;
    qint64 m_stop = 0;
};

// Forgets the positions kept for `path`, if any.
void ForgetKeptPositions(const QString& path);

// Keeps the fields' positions when the window closes and they differ from
// the opened file, else forgets any kept before; made with the window, so
// that it holds for files without audio (and so without the panel) too.
class PositionKeeper : public QObject {
    Q_OBJECT
public:
    explicit PositionKeeper(EditorWindow& window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void keep();

    EditorWindow& m_window;
};

} // namespace kestrin::views
