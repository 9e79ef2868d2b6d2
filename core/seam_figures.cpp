// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/seam_figures.h"

#include "core/clock_text.h"

#include <charconv>
#include <cmath>

namespace kestrin {

namespace {

// Locale-free: the editor runs with the user's LC_NUMERIC.
std::string decimal(double value, std::chars_format format, int precision) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value, format, precision).ptr;
    return std::string(text, end);
}

std::string scoreText(double score) {
    return score >= 0.01 ? decimal(score, std::chars_format::fixed, 2)
                         : decimal(score, std::chars_format::general, 2);
}

// "27.0 dB".
std::string decibelText(double db) {
    return decimal(db, std::chars_format::fixed, 1) + " dB";
}

// "45 ms early" or "45 ms late", from seconds (positive: late).
std::string millisecondsText(double seconds) {
    return decimal(std::abs(seconds) * 1000.0, std::chars_format::fixed, 0) + " ms" +
           (seconds < 0 ? " early" : " late");
}

// "the music restarts, band levels 27.0 dB apart", or after the song's end
// "the music ends and restarts after 0.52 s of silence".
std::string restartText(const SeamFigures& seam) {
    if (seam.silenceSeconds > 0)
        return "the music ends and restarts after " +
               decimal(seam.silenceSeconds, std::chars_format::fixed, 2) + " s of silence";
    return "the music restarts, band levels " + decibelText(seam.spectralDb) + " apart";
}

// "a held note at 1,765 Hz stops dead at the jump".
std::string cutNoteText(double hz) {
    return "a held note at " + GroupedText(std::llround(hz)) + " Hz stops dead at the jump";
}

// "44 Hz".
std::string hertzText(double hz) {
    return decimal(hz, std::chars_format::fixed, 0) + " Hz";
}

// The step in 16-bit sample values, as most tracks hold them, and in dB.
std::string stepText(double jump) {
    std::string text = GroupedText(std::llround(jump * 32768.0));
    if (jump > 0.0)
        text += " (" + decimal(20.0 * std::log10(jump), std::chars_format::fixed, 1) +
                " dB of full scale)";
    return text;
}

} // namespace

const char* SeamSoundWord(SeamSound sound) {
    switch (sound) {
    case SeamSound::Seamless:
        return "seamless";
    case SeamSound::Soft:
        return "soft";
    case SeamSound::Click:
        break;
    }
    return "click";
}

std::string SeamVerdict(const SeamFigures& seam) {
    std::string text = SeamSoundWord(seam.sound);
    if (seam.sound == SeamSound::Soft && seam.restarts)
        return text + ": " + restartText(seam);
    if (seam.sound == SeamSound::Soft && seam.cutNoteHz > 0)
        return text + ": " + cutNoteText(seam.cutNoteHz) + ", as music";
    if (seam.sound == SeamSound::Soft && seam.stumbles)
        return text + ": the beat jumps by " + millisecondsText(seam.gridJump) +
               (seam.musical ? ", as music" : "");
    if (seam.sound == SeamSound::Click && seam.buzzHz > 0)
        text += ": buzzes at " + hertzText(seam.buzzHz) + ", step of " + stepText(seam.jump);
    else if (seam.sound == SeamSound::Click)
        text += ": step of " + stepText(seam.jump);
    else if (seam.sound == SeamSound::Soft)
        text += ": no click, but not what the track plays on";
    if (seam.musical && seam.spectralDb >= 0) {
        char figures[80];
        std::snprintf(figures, sizeof figures, " as music, spectra %.1f dB apart, tones %.2f alike",
                      seam.spectralDb, seam.tonalLikeness);
        return text + figures + ", step of " + stepText(seam.jump);
    }
    if (!seam.compared)
        return seam.sound == SeamSound::Seamless ? text + ", step of " + stepText(seam.jump) : text;
    return text + ", seam score " + scoreText(seam.score);
}

std::optional<std::string> SeamProblem(const SeamFigures& seam, std::int64_t stop, int sampleRate) {
    if (IsSeamless(seam))
        return std::nullopt;
    std::string text = "seam at " + ClockText(stop, sampleRate);
    if (seam.buzzHz > 0)
        text += " buzzes at " + hertzText(seam.buzzHz) + ", as the loop is too short";
    else if (seam.sound == SeamSound::Click)
        text += " jumps by " + stepText(seam.jump);
    else if (seam.restarts)
        text += ": " + restartText(seam);
    else if (seam.cutNoteHz > 0)
        text += ": " + cutNoteText(seam.cutNoteHz);
    else if (seam.stumbles)
        text += ": the beat jumps by " + millisecondsText(seam.gridJump);
    else
        text += " plays on unlike the track";
    if (seam.compared)
        text += ", seam score " + scoreText(seam.score);
    text += ": a listener hears it";
    if (seam.seamlessStop)
        text += "; a seamless seam nearby: stop " + std::to_string(*seam.seamlessStop);
    return text;
}

} // namespace kestrin
