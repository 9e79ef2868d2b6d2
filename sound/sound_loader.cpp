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
    const auto interfaceOf =
        reinterpret_cast<KestrinSoundInterface>(library.resolve("kestrin_sound_interface"));
    const QString built = interfaceOf ? QString::fromUtf8(interfaceOf()) : QString();
    if (interfaceOf && built != QLatin1String(KESTRIN_SOUND_INTERFACE)) {
        // Its types may differ from this program's: never call into it.
        failure =
            QCoreApplication::translate("Kestrin",
                                        "The sound module %1 belongs to another build of Kestrin "
                                        "(%2; this program is %3): install both from one build")
                .arg(QDir::toNativeSeparators(file), built, QLatin1String(KESTRIN_SOUND_INTERFACE));
    } else if (interfaceOf) {
        if (const auto factory = reinterpret_cast<KestrinSoundEngineFactory>(
                library.resolve("kestrin_sound_engine")))
            engine = factory();
    }
    if (!engine && failure.isEmpty())
        failure =
            QCoreApplication::translate("Kestrin", "The sound module %1 could not be loaded: %2")
                .arg(QDir::toNativeSeparators(file), library.errorString());
    if (!engine && error)
        *error = failure;
    return engine;
}

} // namespace kestrin::sound
