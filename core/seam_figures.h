// SPDX-License-Identifier: GPL-3.0-or-later
// How a seam sounds: the figures the judge measures at a loop's jump, and
// their verdict in words, worded once for check (a problem), set (a
// warning), the waveform panel and the Find dialog.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrin {

// Seam scores below this are not heard when no stop close by scores lower:
// the difference across the jump lies about 30 dB below the audio itself.
inline constexpr double SeamlessScore = 1e-3;

// Audio that went through a lossy codec (Vorbis, MP3, ...), even when stored
// again as PCM, carries the codec's noise 25 to 30 dB below the audio in each
// copy of a loop. Where the loop holds no second copy in which to measure that
// noise, a seam below this score is seamless when no stop close by scores
// lower.
inline constexpr double NoisySeamlessScore = 1e-2;

// How a seam sounds: the same three words wherever a seam is reported.
enum class SeamSound {
    Seamless, // what plays after the jump is what the track itself plays
    Soft,     // no step at the jump, but the audio goes on differently
    Click,    // a step or a kink at the jump stands out of the audio
};

// How the jump from stop back to start sounds, as measured in the audio.
struct SeamFigures {
    SeamSound sound = SeamSound::Click;
    // Whether the audio after the jump could be compared with a copy of it
    // in the track; the loop of the whole track has none.
    bool compared = true;
    // The seam score (the exact finder's seamScore): 0 for identical audio on both sides
    // of the jump, about 1 for unrelated audio, at most 2. 1 when nothing
    // was compared.
    double score = 1.0;
    // The step at the jump, 0 to 2 in units of full scale: the largest
    // difference, over the channels and the first few frames, between what
    // plays after the jump and what would have played without it (at the end
    // of the audio: between what precedes stop and what precedes start).
    // Without a copy: how far the first frame after the jump lies from where
    // the frames before it were heading.
    double jump = 0.0;
    // How far the junction stands out of the audio around it: the change of
    // step and slope across it over their own variation nearby; a few in
    // natural audio.
    double kink = 0.0;
    // The same with only the audio before the stop for its measure, so that
    // an attack right after the start counts against the junction: under a
    // few where the end truly flows into the start.
    double kinkFromBefore = 0.0;
    // The seam score of the loop's own repeat, measured inside it away from
    // the seam: the noise the copies carry (0 when they are exact, negative
    // when the loop holds no second copy).
    double noise = -1.0;
    // Judged as music (SeamMode::Musical): two renditions of the same
    // passage meet at the jump, so no copy is expected; the verdict rests on
    // continuity and on the spectra across the jump.
    bool musical = false;
    // Musical only: the difference in dB between the band levels of what
    // plays after the jump and what would have played (or before start and
    // before stop, the closer pair), RMS over the bands; negative when not
    // measured. Band levels are taken no lower than the floor of 24-bit
    // audio, -144.5 dB of full scale, where digital silence lies: the figure
    // never exceeds what 24-bit audio can show.
    double spectralDb = -1.0;
    // Musical only: the correlation of the tones' peaks in the spectra on
    // that side, -1 to 1 (1 for the same chords); -1 when not measured.
    double tonalLikeness = -1.0;
    // The music starts again at another level across the jump (a fade to
    // silence, then the loud beginning), with no copy to say the track
    // moves so itself: soft. spectralDb then holds the band levels' RMS
    // difference between the frames before the stop and after the start.
    bool restarts = false;
    // The music is over at the stop: it lies in digital silence that runs to
    // the end of the track. The seconds of silence heard at the jump, before
    // the music starts again; 0 otherwise.
    double silenceSeconds = 0.0;
    // Musical only: how far in seconds the beat after the jump lies from
    // where it would have fallen (positive: late); 0 when not measured. A
    // seam whose beat jumps beyond a listener's tolerance is soft.
    double gridJump = 0.0;
    // Musical only: the frequency of a note the track holds on past the
    // stop that stops dead after the jump (soft); 0 when none does.
    double cutNoteHz = 0.0;
    // The beat jumps so far that a listener hears it stumble: soft.
    bool stumbles = false;
    // The times per second the jump comes back when the loop is so short
    // that a seam which is not seamless is heard as a buzz: a click; 0
    // otherwise.
    double buzzHz = 0.0;
    // The stop nearest the measured one, within a second of it, that makes a
    // seamless seam with the same start; nullopt when there is none.
    std::optional<std::int64_t> seamlessStop;
    // No other stop within a few samples, with the same start, scores lower:
    // the loop is as close as the audio repeats.
    bool lowestNearby = false;
};

// The seam cannot be heard.
inline bool IsSeamless(const SeamFigures& seam) {
    return seam.sound == SeamSound::Seamless;
}

// The verdict's word: "seamless", "soft" or "click".
const char* SeamSoundWord(SeamSound sound);

// The seam in a few words: "seamless", "soft: no click, but not what the
// track plays on" or "click: step of 23,594 (-2.9 dB of full scale)", then ", seam score
// 0.84"; as music, "seamless as music, spectra 3.2 dB apart, tones 0.83
// alike, step of ..."; without a copy to compare, the step alone ("seamless, step of 3
// (-80.8 dB of full scale) where the end meets the start"); "soft: the music restarts,
// band levels 27.0 dB apart" or, from a stop in the silence after the song's
// end, "soft: the music ends and restarts after 0.52 s of silence"; "click:
// buzzes at 44 Hz, step of ...".
std::string SeamVerdict(const SeamFigures& seam);

// The problem of a seam that will be heard, with its figures, where it is
// (the stop at `sampleRate`) and the nearest seamless stop when there is
// one; nullopt for a seamless seam.
std::optional<std::string> SeamProblem(const SeamFigures& seam, std::int64_t stop, int sampleRate);

} // namespace kestrin
