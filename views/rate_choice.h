// SPDX-License-Identifier: GPL-3.0-or-later
// The editor's way forward for audio at another rate than 44,100: the
// positions may count the audio's own frames, as kestrin-pos does with
// --frames-of-audio, once the user agrees for that file.
#pragma once

#include "sound/sound_engine.h"

#include <QSet>
#include <QString>

class QWidget;

namespace kestrin::views {

// Remembers, for the run, the audio files whose positions the user agreed
// to count in the audio's own frames.
class RateChoice {
public:
    // True when positions may be written for or taken from `audio`: at
    // 44,100, or as frames of it once the user agreed. Asks the first time
    // (a box titled `title`, objectName "otherRateRefusal", naming both
    // rates); declining returns false and is asked again next time.
    bool agreed(QWidget* parent, const sound::CompanionAudio& audio, const QString& title,
                const QString& consequence);
    // Whether the user agreed to count `audio`'s frames; never asks.
    bool framesOfAudio(const sound::CompanionAudio& audio) const;

private:
    QSet<QString> m_framesOfAudio; // absolute paths
};

// " (as frames of BGM02.WAV at 48,000 Hz, as vgmstream reads them)" for a
// status line whose positions count `audio`'s own frames; empty at 44,100.
QString FramesNote(const QString& audioPath, int sampleRate);

} // namespace kestrin::views
