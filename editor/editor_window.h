// SPDX-License-Identifier: GPL-3.0-or-later
// Kestrin's one window: both positions in four forms each, and the File menu.
#pragma once

#include "editor/stored_positions.h"

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QAction;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QLabel;
class QMenu;

namespace kestrin {

namespace platform {
class Slider;
class TextField;
} // namespace platform

// The main window. Its controls carry their names as objectName; the two
// sample fields hold the positions, every other form is derived from them.
//
// What lies beyond the window (the views) sees it only through the typed
// members below, never by object name: a renamed control is then a compile
// error, not a null pointer at run time.
class EditorWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit EditorWindow(QWidget* parent = nullptr);

    // Full path of the last file opened successfully; empty before that.
    const QString& currentFile() const { return CurrentFile; }

    // Opens `path` (relative to the working folder or absolute) exactly as
    // Open does once the dialog is confirmed, with every check and message
    // the same; the dialog's settings are left as they are. False when it
    // did not load.
    bool openPosFile(const QString& path);

    // Sets the sample field of `end` to `samples` and lets every other form
    // follow, exactly as a slider movement does with its own value: for
    // views that place a position directly.
    void setPositionFromView(LoopEnd end, std::int32_t samples);

    // The two sample fields as they stand, each parsed as Save parses it.
    StoredPositions storedPositions() const;

    // The Loop menu (objectName "mnuLoop") on the menu bar after File,
    // created empty on the first call, so a window without views has none.
    QMenu* loopMenu();

    // The last control of the form's own tab order, which views chain their
    // own controls after.
    QWidget* lastInTabOrder() const;
    // The length of the audio a POS file `posFile` would belong to, in its
    // samples (44,100 per second), or nothing when no audio is found there.
    using AudioLength = std::function<std::optional<std::int64_t>(const QString& posFile)>;
    // Lets Open on an audio file offer to create the POS file beside it,
    // looping the whole audio; set by the views, which read audio. Without
    // it, Open names that POS file only.
    void setAudioLength(AudioLength length) { m_audioLength = std::move(length); }

signals:
    // Another file is about to be read into the fields; currentFile() and
    // the fields still hold `path`, the one being left. Not sent for a file
    // that fails to open, as the window then stays where it was.
    void leavingFile(const QString& path);
    // A file was read into every field; `path` is the new current file.
    void fileOpened(const QString& path);
    // The text of a sample field changed, by typing or by any form
    // following; storedPositions() holds the new text.
    void sampleFieldsChanged();
    // Save wrote both positions to currentFile(); not sent when it failed.
    void positionsSaved();

private:
    void createActions();
    void createMenus();
    void createWidgets();
    // The steps of createWidgets: each control made and placed on `client`
    // in twips at `dpi`, its tooltip and description, its signals.
    void placeControls(QWidget* client, double dpi);
    void describeControls();
    void connectControls();
    void setTabOrderAndFocus();

    // Field synchronisation. Each procedure takes both positions and changes
    // neither; each step that fails is abandoned and the next one runs.
    void UpdateTimeFields(const std::int32_t& start, const std::int32_t& stop);
    void UpdateActualTimes(const std::int32_t& start, const std::int32_t& stop);
    void UpdateSliders(const std::int32_t& start, const std::int32_t& stop);

    void sldStartTime_Scroll();
    void sldStopTime_Scroll();
    void txtflStartTime_Change();
    void txtflStopTime_Change();

    // The shared body of the two scroll reactions and of the two change reactions.
    void sliderScrolled(const platform::Slider& slider, platform::TextField& samples);
    // The body of sliderScrolled for any source of the sample text.
    void samplesPlaced(platform::TextField& samples, const std::function<std::string()>& text);
    void secondsChanged(const platform::TextField& seconds, platform::TextField& samples);

    // File commands.
    void mnuOpenPOSFile_Click();
    void mnuSavePOSFile_Click();
    void mnuExit_Click();

    void reportFailure(const QString& message);
    void reportPathTooLong(const QString& path);
    // Reads the POS file `path` (full, cleaned) into every field.
    bool loadChosenFile(const QString& path);
    // For `audio`, opened as a POS file: asks whether to create `posFile`
    // beside it and, on Yes, creates and opens it. Nothing when no offer
    // can be made (the POS file exists, the audio's length is unknown), else
    // whether a file was opened.
    std::optional<bool> offerPosFile(const QString& audio, const QString& posFile);

protected:
    // A dropped file URL opens that file, wherever on the window it lands.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Takes file drops away from the text fields, which would paste the URL.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Lets the window and its text fields take file drops.
    void enableFileDrops();

    QString CurrentFile;
    QMenu* m_loopMenu = nullptr; // made by loopMenu()
    AudioLength m_audioLength;

    // The controls keep the names the form was drawn with, as members
    // and as objectName (by which the tests find them): its reactions are
    // named after them. No view uses these names; the public members above
    // are their one mapping.
    QAction* mnuOpenPOSFile = nullptr;
    QAction* mnuSavePOSFile = nullptr;
    QAction* mnuExit = nullptr;

    platform::Slider* sldStartTime = nullptr;
    platform::Slider* sldStopTime = nullptr;
    platform::TextField* txtStartTime = nullptr;
    platform::TextField* txtStopTime = nullptr;
    platform::TextField* txtflStartTime = nullptr;
    platform::TextField* txtflStopTime = nullptr;
    platform::TextField* txtActualStartTime = nullptr;
    platform::TextField* txtActualStopTime = nullptr;
    QLabel* lblStatus = nullptr;
};

} // namespace kestrin
