// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/loop_history.h"

#include "editor/editor_window.h"
#include "views/saved_positions.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QStatusBar>
#include <QTimer>

namespace kestrin::views {

namespace {

// A pause this long without a change ends a step: a burst of arrow keys
// with short pauses between is one step, a second burst another.
constexpr int kStepIdleMs = 1000;

bool isModifier(int key) {
    return key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt ||
           key == Qt::Key_Meta || key == Qt::Key_AltGr;
}

} // namespace

LoopHistory::LoopHistory(EditorWindow& window)
    : QObject(&window), m_window(window), m_idle(new QTimer(this)) {
    QMenu* menu = window.loopMenu();
    menu->addSeparator();
    m_undo = menu->addAction(tr("&Undo Loop Change"), this, &LoopHistory::undo);
    m_undo->setObjectName(QStringLiteral("mnuUndoLoopChange"));
    m_undo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    m_redo = menu->addAction(tr("&Redo Loop Change"), this, &LoopHistory::redo);
    m_redo->setObjectName(QStringLiteral("mnuRedoLoopChange"));
    m_redo->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    m_revert = menu->addAction(tr("Re&vert to Saved"), this, &LoopHistory::revertToSaved);
    m_revert->setObjectName(QStringLiteral("mnuRevertToSaved"));
    const QString field = tr("; in a text field Ctrl+Z first undoes its own typing");
    m_undo->setStatusTip(tr("Puts back the positions before the last change") + field);
    m_redo->setStatusTip(tr("Makes the last undone change again") + field);
    m_revert->setStatusTip(tr("Puts the two values of the opened file back into the fields; "
                              "Undo takes them back out"));

    m_idle->setSingleShot(true);
    m_idle->setInterval(kStepIdleMs);
    connect(m_idle, &QTimer::timeout, this, [this] {
        // A drag held still is still one action.
        if (QGuiApplication::mouseButtons() != Qt::NoButton)
            m_idle->start();
        else
            closeStep();
    });
    connect(&window, &EditorWindow::sampleFieldsChanged, this, &LoopHistory::fieldsChanged);
    connect(&window, &EditorWindow::fileOpened, this, &LoopHistory::fileOpened);
    qApp->installEventFilter(this);
    m_current = readFields();
    updateActions();
}

std::optional<LoopHistory::Positions> LoopHistory::readFields() const {
    const auto values = m_window.storedPositions().values();
    if (!values)
        return std::nullopt;
    return Positions{values->start, values->stop};
}

int LoopHistory::undoCount() const {
    const auto now = readFields();
    const bool pending = m_stepOpen && now && now != m_current;
    return static_cast<int>(m_undoStack.size()) + (pending ? 1 : 0);
}

bool LoopHistory::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride)
        return leavesUndoToHistory(watched, static_cast<QKeyEvent*>(event));
    const bool press = event->type() == QEvent::MouseButtonPress;
    if ((!press && event->type() != QEvent::KeyPress) || !watched->isWidgetType())
        return false;
    // Only presses on this window and the dialogs it owns count.
    QWidget* top = static_cast<QWidget*>(watched)->window();
    if (top != &m_window && top->parentWidget() != &m_window)
        return false;
    if (press) {
        m_lastKey = 0;
        closeStep();
        return false;
    }
    const int key = static_cast<QKeyEvent*>(event)->key();
    // Typing into a field is one step until it pauses.
    if (isModifier(key) || qobject_cast<QLineEdit*>(watched))
        return false;
    if (key != m_lastKey)
        closeStep();
    m_lastKey = key;
    return false;
}

bool LoopHistory::leavesUndoToHistory(QObject* watched, QKeyEvent* event) const {
    auto* field = qobject_cast<QLineEdit*>(watched);
    if (!field || field->window() != &m_window)
        return false;
    const bool undo = event->matches(QKeySequence::Undo);
    const bool redo = event->matches(QKeySequence::Redo) ||
                      event->keyCombination() == QKeyCombination(Qt::CTRL | Qt::SHIFT, Qt::Key_Z);
    // A field keeps Ctrl+Z while it has typing of its own to undo; otherwise
    // (after Open, Find's Use, a drag) the key would do nothing there.
    if ((undo && !field->isUndoAvailable()) || (redo && !field->isRedoAvailable())) {
        event->ignore();
        return true; // not overridden: the menu's shortcut takes the key
    }
    return false;
}

void LoopHistory::fieldsChanged() {
    if (m_applying)
        return;
    m_stepOpen = true;
    m_idle->start();
    updateActions();
}

void LoopHistory::closeStep() {
    if (!m_stepOpen)
        return;
    m_stepOpen = false;
    m_idle->stop();
    const auto now = readFields();
    // A text no POS file can hold is left to the field; the history resumes
    // with the next value that can be saved.
    if (now && m_current && *now != *m_current) {
        m_undoStack.push_back(*m_current);
        m_redoStack.clear();
    }
    if (now)
        m_current = now;
    updateActions();
}

void LoopHistory::place(const Positions& p) {
    m_applying = true;
    m_window.setPositionFromView(LoopEnd::Start, p.start);
    m_window.setPositionFromView(LoopEnd::Stop, p.stop);
    m_applying = false;
}

QString LoopHistory::savedState(const Positions& p) const {
    QString error;
    const auto saved = readSavedPositions(m_window.currentFile(), &error);
    return saved && saved->start == p.start && saved->stop == p.stop ? tr(", as saved")
                                                                     : tr(", not saved");
}

void LoopHistory::undo() {
    travel(Direction::Back);
}

void LoopHistory::redo() {
    travel(Direction::Forward);
}

void LoopHistory::travel(Direction direction) {
    closeStep();
    const bool back = direction == Direction::Back;
    std::vector<Positions>& from = back ? m_undoStack : m_redoStack;
    std::vector<Positions>& to = back ? m_redoStack : m_undoStack;
    if (from.empty() || !m_current) {
        m_window.statusBar()->showMessage(back ? tr("Nothing to undo") : tr("Nothing to redo"),
                                          3000);
        return;
    }
    to.push_back(*m_current);
    m_current = from.back();
    from.pop_back();
    place(*m_current);
    const QString done =
        back ? tr("Undone: start %1, stop %2%3") : tr("Redone: start %1, stop %2%3");
    m_window.statusBar()->showMessage(done.arg(groupedNumber(m_current->start),
                                               groupedNumber(m_current->stop),
                                               savedState(*m_current)),
                                      5000);
    updateActions();
}

void LoopHistory::revertToSaved() {
    const QString path = m_window.currentFile();
    if (path.isEmpty()) {
        m_window.statusBar()->showMessage(tr("No POS file is open: there is nothing to revert to"),
                                          5000);
        return;
    }
    QString error;
    const auto saved = readSavedPositions(path, &error);
    if (!saved) {
        m_window.statusBar()->showMessage(error + tr(" - the fields were left as they are"));
        return;
    }
    closeStep();
    const Positions target{saved->start, saved->stop};
    const auto now = readFields();
    if (now != target) {
        if (m_current && now)
            m_undoStack.push_back(*now);
        m_redoStack.clear();
    }
    m_current = target;
    place(target);
    m_window.statusBar()->showMessage(tr("Reverted to %1: start %2, stop %3")
                                          .arg(QFileInfo(path).fileName(),
                                               groupedNumber(target.start),
                                               groupedNumber(target.stop)),
                                      5000);
    updateActions();
}

void LoopHistory::fileOpened() {
    m_stepOpen = false;
    m_idle->stop();
    m_undoStack.clear();
    m_redoStack.clear();
    m_current = readFields();
    updateActions();
}

void LoopHistory::updateActions() {
    m_undo->setEnabled(undoCount() > 0);
    m_redo->setEnabled(!m_redoStack.empty());
    m_revert->setEnabled(!m_window.currentFile().isEmpty());
}

} // namespace kestrin::views
