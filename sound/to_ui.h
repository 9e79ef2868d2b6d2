// SPDX-License-Identifier: GPL-3.0-or-later
// How the sound module's threads hand their work back: a result crosses to
// the UI thread only while the application is still there to take it, and
// whatever a job throws becomes a message naming its file.
//
// Threads: toUi() and failureOf() are called on any of the module's threads
// (the audio thread, the workers, the threads of a judgement); g_uiGone is
// set by the module's entry point as the application ends.
#pragma once

#include "audio/read/audio_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QString>

#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <utility>

namespace kestrin::sound {

// The file system's name of `path`.
inline std::filesystem::path toPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Runs `work` and gives the reason it failed, naming `audio`, or an empty
// string. Whatever it throws ends here: an exception leaving a worker thread
// or an event handler would end the program.
template <typename Work> QString failureOf(const QString& audio, Work&& work) {
    try {
        work();
        return {};
    } catch (const audio::AudioError& e) {
        return QString::fromStdString(e.what()); // names the file itself
    } catch (const std::bad_alloc&) {
        return QCoreApplication::translate("Kestrin", "%1 is too long to hold in memory.")
            .arg(QDir::toNativeSeparators(audio));
    } catch (const std::exception& e) {
        return QCoreApplication::translate("Kestrin", "%1 could not be read: %2")
            .arg(QDir::toNativeSeparators(audio), QString::fromLocal8Bit(e.what()));
    }
}

// Whether the application is still there to take results; guarded by
// g_uiMutex. The workers still busy when it ends are not waited for.
inline std::mutex g_uiMutex;
inline bool g_uiGone = false;

// Runs `work` on the UI thread, or nowhere once the application has ended:
// a job left running at exit may finish after qApp is gone.
template <typename Work> void toUi(Work&& work) {
    const std::lock_guard lock(g_uiMutex);
    if (!g_uiGone)
        QMetaObject::invokeMethod(qApp, std::forward<Work>(work));
}

} // namespace kestrin::sound
