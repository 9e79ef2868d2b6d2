// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/sound_engine.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>

namespace kestrin::sound {

SoundEngine* LoadSoundEngine(QString* error) {
    static SoundEngine* engine = nullptr;
    static QString failure;
    if (engine || !failure.isEmpty()) {
        if (!engine && error)
            *error = failure;
        return engine;
    }
    QString file = qEnvironmentVariable("KESTRIN_SOUND_MODULE");
    if (file.isEmpty())
        file = QDir(QCoreApplication::applicationDirPath())
                   .filePath(QStringLiteral("../lib/kestrin/libkestrin_sound.so"));
    QLibrary library(file);
    const auto factory =
        reinterpret_cast<KestrinSoundEngineFactory>(library.resolve("kestrin_sound_engine"));
    if (factory)
        engine = factory();
    if (!engine) {
        failure =
            QCoreApplication::translate("Kestrin", "The sound module %1 could not be loaded: %2")
                .arg(QDir::toNativeSeparators(file), library.errorString());
        if (error)
            *error = failure;
    }
    return engine;
}

} // namespace kestrin::sound
