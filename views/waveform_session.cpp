// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/waveform_session.h"

#include "audio/peaks/zero_crossing.h"
#include "core/positions.h"

#include <QPointer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrin::views {

namespace {

constexpr std::int64_t kMaxWindow = std::int64_t{1} << 20;
constexpr std::int64_t kSnapReach = 4096;               // about 0.1 s either side
constexpr std::int64_t kSearchReach = SamplesPerSecond; // Ctrl+arrow looks a second away

audio::FrameSpan spanOf(const sound::FrameWindow& w) {
    return {w.samples.data(), w.channels, w.from, w.frames()};
}

} // namespace

WaveformSession::WaveformSession(QObject* parent) : QObject(parent) {}

void WaveformSession::setAudio(sound::SoundEngine* engine,
                               const std::optional<sound::CompanionAudio>& audio) {
    m_engine = engine;
    m_audio = audio;
    m_peaks.reset();
    m_progress = -1.0;
    m_failure.clear();
    m_playhead = -1;
    m_cache = {};
    m_reads = {};
    m_pendingSearch.reset();
    ++m_audioGeneration;
    emit changed();
}

void WaveformSession::setPeaks(std::shared_ptr<const audio::Peaks> peaks) {
    m_peaks = std::move(peaks);
    m_progress = -1.0;
    emit changed();
}

void WaveformSession::setProgress(double fraction) {
    m_progress = fraction;
    emit changed();
}

void WaveformSession::setFailure(const QString& reason) {
    m_failure = reason;
    m_progress = -1.0;
    emit changed();
}

void WaveformSession::setPositions(std::optional<double> start, std::optional<double> stop) {
    m_start = start;
    m_stop = stop;
    emit changed();
}

std::int64_t WaveformSession::clampPlacement(bool stop, std::int64_t frame) const {
    const std::int64_t last =
        std::min<std::int64_t>(std::max<std::int64_t>(stop ? frames() : frames() - 1, 0),
                               std::numeric_limits<std::int32_t>::max());
    return std::clamp<std::int64_t>(frame, 0, last);
}

std::int64_t WaveformSession::placeablePosition(bool stop) const {
    const std::optional<double> p = position(stop);
    if (!p || std::isnan(*p))
        return clampPlacement(stop, 0);
    // Beyond ±2^53 a double is no longer whole-exact; clipping comes first.
    const double limited = std::clamp(*p, -9.0e15, 9.0e15);
    return clampPlacement(stop, std::llround(limited));
}

void WaveformSession::select(bool stop) {
    if (m_stopSelected == stop)
        return;
    m_stopSelected = stop;
    emit changed();
}

void WaveformSession::setPlayhead(std::int64_t frame) {
    if (m_playhead == frame)
        return;
    m_playhead = frame;
    emit changed();
}

bool WaveformSession::covers(const sound::FrameWindow& w, std::int64_t from,
                             std::int64_t count) const {
    const std::int64_t first = std::clamp<std::int64_t>(from, 0, frames());
    const std::int64_t last = std::clamp<std::int64_t>(from + count, 0, frames());
    return first >= last || (w.channels > 0 && w.from <= first && w.from + w.frames() >= last);
}

const sound::FrameWindow& WaveformSession::framesAround(std::int64_t from, std::int64_t count,
                                                        FrameSlot slot) {
    count = std::clamp<std::int64_t>(count, 0, kMaxWindow);
    if (m_engine && m_audio && !covers(m_cache[slot], from, count))
        // Half the window again on each side, so a drag reads once in a while.
        request(slot, from - count / 2, count * 2);
    return m_cache[slot];
}

bool WaveformSession::readingFrames() const {
    return m_pendingSearch || std::any_of(m_reads.begin(), m_reads.end(),
                                          [](const FrameRead& r) { return r.inFlight; });
}

void WaveformSession::request(FrameSlot slot, std::int64_t from, std::int64_t count) {
    FrameRead& read = m_reads[slot];
    if (read.inFlight) {
        read.next = {from, count};
        return;
    }
    read.inFlight = true;
    read.next.reset();
    QPointer<WaveformSession> self(this);
    m_engine->readFrames(m_audio->path, from, count,
                         [self, slot, generation = m_audioGeneration](
                             const sound::FrameWindow& window, const QString& error) {
                             if (self && generation == self->m_audioGeneration)
                                 self->arrived(slot, window, error);
                         });
}

void WaveformSession::arrived(FrameSlot slot, const sound::FrameWindow& window,
                              const QString& error) {
    FrameRead& read = m_reads[slot];
    read.inFlight = false;
    // An unreadable file keeps what was drawn; the summary says why.
    if (error.isEmpty())
        m_cache[slot] = window;
    if (const auto next = read.next; next && !covers(m_cache[slot], next->first, next->second))
        request(slot, next->first, next->second);
    read.next.reset();
    if (slot == Search && m_pendingSearch &&
        (covers(m_cache[slot], m_pendingSearch->from, m_pendingSearch->count) ||
         (!error.isEmpty() && !read.inFlight))) {
        const PendingSearch pending = std::move(*m_pendingSearch);
        m_pendingSearch.reset();
        pending.then(m_cache[slot]);
    }
    emit changed();
}

void WaveformSession::withFrames(std::int64_t from, std::int64_t count,
                                 std::function<void(const sound::FrameWindow&)> then) {
    m_pendingSearch.reset();
    if (covers(m_cache[Search], from, count) || !m_engine) {
        then(m_cache[Search]);
        return;
    }
    m_pendingSearch = PendingSearch{from, count, std::move(then)};
    request(Search, from, count);
}

void WaveformSession::place(bool stop, std::int64_t frame, bool snap) {
    if (!m_audio)
        return;
    frame = clampPlacement(stop, frame);
    if (!snap) {
        // A placement that needs no frames replaces one still waiting for them.
        m_pendingSearch.reset();
        emit placeRequested(stop ? LoopEnd::Stop : LoopEnd::Start,
                            static_cast<std::int32_t>(frame));
        return;
    }
    withFrames(frame - kSnapReach, 2 * kSnapReach + 1,
               [this, stop, frame](const sound::FrameWindow& w) {
                   std::int64_t placed = frame;
                   if (const auto crossing = audio::NearestZeroCrossing(spanOf(w), frame);
                       crossing && std::abs(*crossing - frame) <= kSnapReach)
                       placed = clampPlacement(stop, *crossing);
                   emit placeRequested(stop ? LoopEnd::Stop : LoopEnd::Start,
                                       static_cast<std::int32_t>(placed));
               });
}

void WaveformSession::stepSelected(std::int64_t frames) {
    place(m_stopSelected, placeablePosition(m_stopSelected) + frames, false);
}

void WaveformSession::jumpToZeroCrossing(bool forward) {
    if (!m_audio)
        return;
    const bool stop = m_stopSelected;
    const std::int64_t from = placeablePosition(stop);
    // A second away at most, read at once: one request, however far the
    // crossing lies.
    const std::int64_t first = forward ? from - 1 : from - kSearchReach - 1;
    withFrames(first, kSearchReach + 3, [this, stop, from, forward](const sound::FrameWindow& w) {
        const auto found = forward ? audio::NextZeroCrossing(spanOf(w), from)
                                   : audio::PreviousZeroCrossing(spanOf(w), from);
        if (found && std::abs(*found - from) <= kSearchReach)
            place(stop, *found, false);
    });
}

} // namespace kestrin::views
