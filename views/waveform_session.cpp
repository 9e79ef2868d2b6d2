// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/waveform_session.h"

#include "audio/zero_crossing.h"
#include "core/positions.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrin::views {

namespace {

constexpr std::int64_t kMaxWindow = std::int64_t{1} << 20;
constexpr std::int64_t kSnapReach = 4096;               // about 0.1 s either side
constexpr std::int64_t kSearchReach = SamplesPerSecond; // Ctrl+arrow looks a second away
constexpr std::int64_t kSearchBlock = 8192;

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

const sound::FrameWindow& WaveformSession::framesAround(std::int64_t from, std::int64_t count,
                                                        FrameSlot slot) {
    sound::FrameWindow& cached = m_cache[slot];
    count = std::clamp<std::int64_t>(count, 0, kMaxWindow);
    const std::int64_t first = std::clamp<std::int64_t>(from, 0, frames());
    const std::int64_t last = std::clamp<std::int64_t>(from + count, 0, frames());
    const bool covered =
        cached.channels > 0 && cached.from <= first && cached.from + cached.frames() >= last;
    if (covered || !m_engine || !m_audio || first >= last)
        return cached;
    // Half the window again on each side, so a drag reads once in a while.
    QString error;
    cached = m_engine->readFrames(m_audio->path, first - count / 2, count * 2, &error);
    return cached;
}

void WaveformSession::place(bool stop, std::int64_t frame, bool snap) {
    if (!m_audio)
        return;
    frame = clampPlacement(stop, frame);
    if (snap) {
        const sound::FrameWindow& w = framesAround(frame - kSnapReach, 2 * kSnapReach + 1, Search);
        if (const auto crossing = audio::NearestZeroCrossing(spanOf(w), frame);
            crossing && std::abs(*crossing - frame) <= kSnapReach)
            frame = clampPlacement(stop, *crossing);
    }
    emit placeRequested(stop ? LoopEnd::Stop : LoopEnd::Start, static_cast<std::int32_t>(frame));
}

void WaveformSession::stepSelected(std::int64_t frames) {
    place(m_stopSelected, placeablePosition(m_stopSelected) + frames, false);
}

void WaveformSession::jumpToZeroCrossing(bool forward) {
    if (!m_audio)
        return;
    const std::int64_t from = placeablePosition(m_stopSelected);
    // Block by block away from the marker, so a crossing close by costs little.
    for (std::int64_t reach = 0; reach < kSearchReach; reach += kSearchBlock) {
        const std::int64_t begin = forward ? from + reach - 1 : from - reach - kSearchBlock;
        const sound::FrameWindow& w = framesAround(begin, kSearchBlock + 2, Search);
        const auto found =
            forward ? audio::NextZeroCrossing(spanOf(w), from + reach)
                    : audio::PreviousZeroCrossing(spanOf(w), reach == 0 ? from : from - reach + 1);
        if (found) {
            place(m_stopSelected, *found, false);
            return;
        }
        if (forward ? begin + kSearchBlock >= frames() : begin <= 0)
            return;
    }
}

} // namespace kestrin::views
