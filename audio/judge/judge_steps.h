// SPDX-License-Identifier: GPL-3.0-or-later
// The steps of the seam judge (seam_judge.h tells the verdict they make),
// one file each, in the order the judge runs them:
//   judge_silence.cpp     whether music plays on after the stop, and the
//                         silence of a song that has ended
//   judge_copies.cpp      the frames around the seam, its copy scores and
//                         the noise of the loop's own repeat
//   judge_continuity.cpp  the kink, the step and the cut at the junction
//   judge_spectra.cpp     band levels and tonal peaks either side of the
//                         jump: alike copies, restarts, held notes cut
//   judge_musical.cpp     the verdict on two renditions of a passage
//   judge_beat.cpp        whether the beat goes on across the jump
//   seam_judge.cpp        the verdict, asking the steps in turn
// Nothing here is shared between threads: each call reads its own frames.
#pragma once

#include "audio/dsp/copy_sums.h"
#include "audio/judge/seam_judge.h"
#include "core/positions.h"
#include "core/seam_figures.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrin::audio::judge {

// The rate a track's frames are taken at: its own, or that of POS files
// where the source does not say.
inline int rateOf(const FrameSource& audio) {
    return audio.sampleRate() > 0 ? audio.sampleRate() : SamplesPerSecond;
}

// Steps and prediction errors (RMS, in units of full scale) below -60 dB of
// full scale are not heard: a click of a fraction of a millisecond needs
// about 30 dB SPL to be heard, as the ear sums a short sound's energy over
// some 200 ms, and that is -60 dB of full scale played at 90 dB SPL. With
// kClickKink above it, a click starts 10 dB higher, at about 100 of 32,768.
inline constexpr double kInaudibleError = 1e-3;

// The frames [from, to) of a track, clipped to it.
struct Span {
    std::vector<float> samples;
    std::int64_t from = 0;
    std::int64_t to = 0;
    int channels = 1;

    Span(FrameSource& audio, std::int64_t first, std::int64_t last) : channels(audio.channels()) {
        from = std::max<std::int64_t>(0, first);
        to = from + audio.append(from, last, samples);
    }
    // Frames read before frame t and from it on: none where the file held
    // fewer frames than its header said.
    std::int64_t before(std::int64_t t) const {
        return t <= to ? std::max<std::int64_t>(0, t - from) : 0;
    }
    std::int64_t after(std::int64_t t) const {
        return t >= from ? std::max<std::int64_t>(0, to - t) : 0;
    }
    // Frame `t` of the track; t must lie in [from, to).
    const float* at(std::int64_t t) const {
        return samples.data() + static_cast<std::size_t>((t - from) * channels);
    }
};

// ---- whether music plays on (judge_silence.cpp) ------------------------------

// The first audible frame in [from, to), or `to` when all is silent.
std::int64_t firstAudible(FrameSource& audio, std::int64_t from, std::int64_t to);

// The frames of silence heard at the jump where the music has ended before
// the stop (see the file); nullopt where it goes on. Requires that nothing
// audible follows the stop.
std::optional<std::int64_t> silenceOfTheEnd(FrameSource& audio, std::int64_t start,
                                            std::int64_t stop);

// ---- the seam's frames and copies (judge_copies.cpp, judge_continuity.cpp) ---

// How `frames` frames of one copy compare with those of another, every
// channel.
struct CopySums {
    PairSums pairs;
    SeamSums sums;

    CopySums(const PairSums& p, std::int64_t frames, int channels)
        : pairs(p), sums{p.aa + p.bb, p.aa + p.bb - 2 * p.ab, frames * channels} {}
    CopySums(const float* a, const float* b, std::int64_t frames, int channels)
        : CopySums(pairsOf(a, b, frames, channels), frames, channels) {}
    double score() const { return sums.score(); }
    // The same once the levels are matched: codec noise stays in it, a
    // difference of level alone (a swell, or a tremolo caught at another
    // phase) does not.
    double unshared() const {
        const auto& [aa, bb, ab] = pairs;
        return sums.silent() || aa <= 0 ? 0.0 : std::max(0.0, bb - ab * ab / aa) / (aa + bb);
    }

private:
    static PairSums pairsOf(const float* a, const float* b, std::int64_t frames, int channels) {
        const auto ch = static_cast<std::size_t>(channels);
        PairSums p;
        AddPairs(a, b, static_cast<std::size_t>(frames), ch, ch, p);
        return p;
    }
};

// Frames the continuity's predictor is fitted over, before the stop and
// after the start: 23 ms, shorter than a note and longer than the period
// of the bass.
inline constexpr std::int64_t kFitFrames = 1024;

// The frames around start and around stop, with a margin for the stops
// nearby, and what the track's length allows to compare.
class Seam {
public:
    // `playsOn`: the track holds music after the stop to compare with what
    // follows the start; not where only silence follows it to the end.
    Seam(FrameSource& audio, std::int64_t start, std::int64_t stop, bool playsOn);

    // The copy comparisons of the seam at (start, stop): after the jump and
    // before it, each when it has enough frames.
    struct Copies {
        std::optional<double> after;
        std::optional<double> before;
        double afterGain = 1;
        double beforeGain = 1;
        double jump = 0;
        // The level of the better copy against what plays, 1 for the same.
        double gain() const {
            if (after && before)
                return *after <= *before ? afterGain : beforeGain;
            return after ? afterGain : beforeGain;
        }
        std::optional<double> best() const {
            if (after && before)
                return std::min(*after, *before);
            return after ? after : before;
        }
    };

    // The copy comparisons with the stop at `stop`; `known` sums, where
    // given, are those the comparisons after and before the jump make.
    Copies copies(std::int64_t stop, const std::optional<CopySums>& knownAfter = std::nullopt,
                  const std::optional<CopySums>& knownBefore = std::nullopt) const;

    // The kink of the header, and the step of the first frame after the jump
    // from where the two before it were heading (judge_continuity.cpp).
    struct Continuity {
        double kink = 0;
        double kinkFromBefore = 0;
        double step = 0;
        // The RMS of the junction's prediction error: the step from where
        // the audio was heading.
        double junction = 0;
        bool cut = false; // the sound before the jump stops short
    };
    Continuity continuity(std::int64_t stop) const;

    // Whether a stop within a few samples of `stop` compares lower.
    bool lowestNearby(std::int64_t stop, double score) const;

private:
    // Sums of copies made kPairLanes at once.
    using Lanes = std::array<std::optional<CopySums>, kPairLanes>;

    // The frames compared after the jump and before it for a stop at `stop`.
    std::int64_t framesAfter(std::int64_t stop) const;
    std::int64_t framesBefore(std::int64_t stop) const;
    // The sums copies() makes for each of `stops`, on each side where all
    // compare as many frames; left empty elsewhere.
    void sumLanes(const std::array<std::int64_t, kPairLanes>& stops, Lanes& after,
                  Lanes& before) const;
    // Whether the sound before the jump stops short: its level falls far
    // over the `left` and `right` frames either side.
    bool cutAt(std::int64_t stop, std::int64_t left, std::int64_t right) const;

    std::int64_t m_n;
    int m_ch;
    std::int64_t m_start;
    bool m_playsOn;
    Span m_aroundStart;
    Span m_aroundStop;
};

// The seam score of the loop's repeat away from the seam; negative when the
// audio after the loop is too short to hold any.
double repeatNoise(FrameSource& audio, std::int64_t start, std::int64_t stop);

// ---- spectra either side of the jump (judge_spectra.cpp) ---------------------

// Bands and window of the musical spectra: 24 bands, a third of an octave
// wide, over 186 ms, long enough that a drum hit humanised by 10 ms shifts
// little of its energy out of the window.
inline constexpr int kMusicalBands = 24;
inline constexpr std::int64_t kMusicalSpectrumFrames = 8192;

// Band levels within this RMS difference are one passage played again: a
// re-performance (new drum noise, a few cents of tuning, other reverb)
// moves them by 1 to 3 dB, a recorded orchestra playing the passage again
// with other instruments by up to 5.5 dB (16 jumps of real songs that an
// ear of its own calls clean, on their closer side), while two places of
// the same songs taken at random lie 6.4 dB apart or more nine times in ten.
inline constexpr double kMusicalSpectralDb = 6.0;

// The band levels across a musical jump may change this much more than the
// music's own change where it goes on: twice the loudness of a passage
// swelling by itself, a step a listener hears.
inline constexpr double kAcrossOverOwnDb = 3.0;

// The band of the musical spectra that `hz` lies in, -1 outside them.
int musicalBand(double hz);

// The frequency of bin k of a transform of n frames. The track's rate is
// not known where the bands are made, so that of POS files is taken: at
// 48,000 the bands shift by 9 %, alike on both sides of the jump.
inline double binHz(std::size_t k, std::int64_t n) {
    return static_cast<double>(k) * SamplesPerSecond / static_cast<double>(n);
}

// The band levels in dB (kMusicalBands) of the kMusicalSpectrumFrames from
// a frame, and the peaks of the fine spectrum where the tones are (see
// spectrumAt).
struct Spectrum {
    std::vector<double> bands;
    std::vector<double> peaks;
};

// The spectrum of the kMusicalSpectrumFrames from `from`; its peaks only
// when `withPeaks`. nullopt where they do not lie wholly in the track.
std::optional<Spectrum> spectrumAt(FrameSource& audio, std::int64_t from, bool withPeaks = true);

// The RMS difference in dB of two band level lists over the bands within 60
// dB of the loudest; negative when all is silent.
double spectralDistance(const std::vector<double>& a, const std::vector<double>& b);

// Whether the copy that scores best keeps the band levels of what it copies.
bool copyBandsAlike(FrameSource& audio, std::int64_t start, std::int64_t stop,
                    const Seam::Copies& copies);

// Whether the music starts again at another level across a jump with
// nothing after the stop; sets the figures' restarts and spectralDb.
bool restarts(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamFigures& figures);

// Whether the band levels change across a musical jump more than the music
// does by itself; sets the figures' restarts and spectralDb.
bool changesAcross(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamFigures& figures);

// The frequency of a note held into the stop, carried on by the track past
// it, that stops dead after the start; nullopt where none does.
std::optional<double> cutHeldNote(FrameSource& audio, std::int64_t start, std::int64_t stop);

// ---- the musical verdict (judge_musical.cpp) ---------------------------------

// The musical verdict of the header, for a seam whose copy is not exact.
void judgeMusically(FrameSource& audio, std::int64_t start, std::int64_t stop,
                    const Seam::Continuity& continuity, SeamFigures& figures);

// ---- the beat (judge_beat.cpp) -----------------------------------------------

// A seamless seam whose beat jumps by more than a listener takes for the
// same is soft: it stumbles. Sets the figures' gridJump and stumbles.
void checkBeat(FrameSource& audio, std::int64_t start, std::int64_t stop, SeamFigures& figures);

} // namespace kestrin::audio::judge
