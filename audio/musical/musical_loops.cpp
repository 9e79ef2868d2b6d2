// SPDX-License-Identifier: GPL-3.0-or-later
// The musical finder's search: takes a track; runs the steps of
// musical_steps.h over it in order, timing each stage, and gives its
// seamless candidates best first.
#include "audio/musical/musical_loops.h"

#include "audio/musical/musical_steps.h"
#include "audio/read/audio_reader.h"
#include "core/positions.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace kestrin::audio::musical {

namespace {

double secondsSince(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One search over a track: steps 1 to 4 once, then each search of pairs
// (steps 5 to 7, or 10), steps 8 and 9 refining the pairs it gives, until
// one gives a loop. Steps 8 and 9 read windows of `audio` back. One
// thread's.
class Search {
public:
    Search(FrameSource& audio, int rate, const MusicalSearchOptions& options,
           const ProgressCallback& progress)
        : m_audio(audio), m_rate(rate), m_options(options), m_progress(progress),
          m_hopSeconds(static_cast<double>(kHop) / rate),
          m_minLoop(options.minLoopFrames > 0 ? options.minLoopFrames : 2 * rate),
          m_reach(options.nearFrames > 0 ? options.nearFrames : 2 * rate),
          m_shortest(std::max(m_minLoop, static_cast<std::int64_t>(
                                             std::ceil(std::clamp(options.minShare, 0.0, 1.0) *
                                                       static_cast<double>(audio.frames()))))) {}

    // The search, step 1 reading `stream` (the same track as `audio`) once
    // in order.
    MusicalSearch run(FrameSource& stream) {
        if (m_audio.channels() <= 0 || m_audio.frames() < kFrame)
            return m_result;
        if (!findBeats(stream) || m_beats.size() < 2 || !findLoops())
            return m_result;
        if (m_options.near)
            std::stable_sort(m_result.candidates.begin(), m_result.candidates.end(),
                             [](const LoopCandidate& a, const LoopCandidate& b) {
                                 const double da = a.judged.musical ? a.judged.spectralDb : -1.0;
                                 const double db = b.judged.musical ? b.judged.spectralDb : -1.0;
                                 return da < db;
                             });
        m_result.seconds.refining = secondsSince(m_clock);
        return m_result;
    }

private:
    // Steps 1 to 4; false when cancelled.
    bool findBeats(FrameSource& stream) {
        m_clock = std::chrono::steady_clock::now();
        m_frames = analyse(stream, m_rate, m_progress);
        if (!m_frames)
            return cancelled();
        m_result.seconds.spectra = secondsSince(m_clock);
        m_clock = std::chrono::steady_clock::now();
        const std::vector<std::size_t> beatFrames = trackBeats(*m_frames, m_hopSeconds, m_period);
        m_beats = beatFeatures(*m_frames, beatFrames, m_period);
        m_result.beats = m_beats.size();
        if (m_period > 0)
            m_result.beatsPerMinute = 60.0 / (m_period * m_hopSeconds);
        m_result.seconds.beats = secondsSince(m_clock);
        if (m_progress && !m_progress(0.6))
            return cancelled();
        return true;
    }

    // Steps 5 to 10: the searches of pairs in turn, each refined; false
    // when cancelled.
    bool findLoops() {
        m_clock = std::chrono::steady_clock::now();
        Likeness like(m_beats);
        const std::vector<Pair> pairs =
            m_options.near ? nearPairs(like, m_beats, *m_options.near, m_reach, m_minLoop)
                           : sectionPairs(like, m_beats, m_shortest, m_rate);
        m_result.seconds.matching = secondsSince(m_clock);
        m_clock = std::chrono::steady_clock::now();
        m_periodSamples = m_period * kHop;
        m_rhythm.emplace(risingOnsets(*m_frames, m_hopSeconds));
        if (!admit(pairs, 0.6, m_options.near ? 1.0 : 0.8))
            return cancelled();
        // Step 7's second search: where no section comes back sounding as it
        // did (an orchestra plays the theme again with other instruments, a
        // recording moves its levels), a passage whose chords come back over
        // four bars is still the same musical place; the judge tells whether the
        // sound across the jump goes on.
        bool comesBack = !pairs.empty();
        if (!m_options.near && m_result.candidates.empty()) {
            m_clock = std::chrono::steady_clock::now();
            const std::vector<Pair> harmonic =
                harmonyPairs(m_beats, m_result.beatsPerMinute, m_shortest, m_rate);
            comesBack = comesBack || !harmonic.empty();
            m_result.seconds.matching += secondsSince(m_clock);
            if (!admit(harmonic, 0.8, 0.9))
                return cancelled();
        }
        // Its last: where the song's passages come back (their chords at
        // least) but no jump between them passes the judge (played again at
        // another level, or on other instruments), bars that sound alike
        // around a jump elsewhere still make a loop the listener does not
        // notice. Music that never comes back gets none: its bars are alike
        // only by chance.
        if (!m_options.near && m_result.candidates.empty() && comesBack) {
            m_clock = std::chrono::steady_clock::now();
            const std::vector<Pair> seams = seamPairs(like, m_beats, m_shortest, m_rate);
            m_result.seconds.matching += secondsSince(m_clock);
            if (!admit(seams, 0.9, 1.0))
                return cancelled();
        }
        return true;
    }

    // Steps 8 and 9 for `found`, their progress from `from` to `to`; false
    // when cancelled. Where none of them gives a loop at its best beats,
    // their other places are tried in a second round: a song with a loop
    // there pays nothing for them.
    bool admit(const std::vector<Pair>& found, double from, double to) {
        const double half = from + (to - from) / 2;
        for (int round = 0; round < 2; ++round) {
            if (round == 1 && !m_result.candidates.empty())
                break;
            const double a = round == 0 ? from : half;
            const double b = round == 0 ? half : to;
            for (std::size_t k = 0; k < found.size(); ++k) {
                if (m_result.candidates.size() >= m_options.maxCandidates)
                    break;
                if (m_progress && !m_progress(a + (b - a) * static_cast<double>(k) / found.size()))
                    return false;
                const std::optional<LoopCandidate> c =
                    round == 0 ? refinePair(found[k]) : refineElsewhere(found[k]);
                if (c && !listed(*c))
                    m_result.candidates.push_back(*c);
            }
        }
        return true;
    }

    // Steps 8 and 9 for one pair.
    std::optional<LoopCandidate> refinePair(const Pair& pair) const {
        return refine(m_audio, m_rate, m_beats, *m_rhythm, pair, m_periodSamples, m_minLoop,
                      m_options.near, m_reach);
    }

    // Steps 8 and 9 at the other places of `pair`'s repeat, the first that
    // gives a loop.
    std::optional<LoopCandidate> refineElsewhere(const Pair& pair) const {
        for (const std::size_t i : pair.elsewhere) {
            Pair there = pair;
            there.j = i + (there.j - there.i);
            there.i = i;
            if (std::optional<LoopCandidate> c = refinePair(there))
                return c;
        }
        return std::nullopt;
    }

    // Pairs a beat apart may settle on one loop: it is listed once.
    bool listed(const LoopCandidate& c) const {
        return std::any_of(m_result.candidates.begin(), m_result.candidates.end(),
                           [&](const LoopCandidate& other) {
                               return std::abs(other.start - c.start) < m_periodSamples / 2 &&
                                      std::abs(other.stop - c.stop) < m_periodSamples / 2;
                           });
    }

    bool cancelled() {
        m_result.cancelled = true;
        return false;
    }

    FrameSource& m_audio;
    int m_rate;
    const MusicalSearchOptions& m_options;
    const ProgressCallback& m_progress;
    double m_hopSeconds;
    std::int64_t m_minLoop; // the shortest loop
    std::int64_t m_reach;   // how far from the near points
    // The shortest loop of steps 6 and 7, as long as the least share asks.
    std::int64_t m_shortest;
    MusicalSearch m_result;
    std::chrono::steady_clock::time_point m_clock; // the stage's start
    std::optional<Frames> m_frames;
    double m_period = 0; // the beat period in frames
    std::vector<Beat> m_beats;
    double m_periodSamples = 0;
    std::optional<Rhythm> m_rhythm;
};

// The search: step 1 reads `stream` once in order, steps 8 and 9 read
// windows of `audio` back (the same track).
MusicalSearch searchMusical(FrameSource& stream, FrameSource& audio, int sampleRate,
                            const MusicalSearchOptions& options, const ProgressCallback& progress) {
    return Search(audio, sampleRate > 0 ? sampleRate : SamplesPerSecond, options, progress)
        .run(stream);
}

} // namespace

} // namespace kestrin::audio::musical

namespace kestrin::audio {

std::vector<std::int64_t> FindBeats(const AudioSamples& audio) {
    SamplesSource source(audio);
    const int rate = audio.sampleRate > 0 ? audio.sampleRate : SamplesPerSecond;
    const std::optional<musical::Frames> frames = musical::analyse(source, rate, {});
    double period = 0;
    const std::vector<std::size_t> beatFrames =
        musical::trackBeats(*frames, static_cast<double>(musical::kHop) / rate, period);
    std::vector<std::int64_t> out;
    out.reserve(beatFrames.size());
    for (const std::size_t t : beatFrames) // as beatFeatures places them
        out.push_back(static_cast<std::int64_t>(t) * musical::kHop + musical::kBeatInFrame);
    return out;
}

MusicalSearch FindMusicalLoops(const AudioSamples& audio, const MusicalSearchOptions& options,
                               const ProgressCallback& progress) {
    SamplesSource source(audio);
    return musical::searchMusical(source, source, audio.sampleRate, options, progress);
}

MusicalSearch FindMusicalLoops(AudioReader& reader, const MusicalSearchOptions& options,
                               const ProgressCallback& progress) {
    // Step 1 reads the file through in order, keeping nothing; the windows
    // of steps 8 and 9 are read back after it, from what a lossy file then
    // keeps decoded.
    ReaderSource stream(reader, ReaderSource::Keep::Never);
    ReaderSource windows(reader, ReaderSource::Keep::OnFirstRead);
    return musical::searchMusical(stream, windows, reader.info().sampleRate, options, progress);
}

} // namespace kestrin::audio
