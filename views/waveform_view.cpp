// SPDX-License-Identifier: GPL-3.0-or-later
// Both views draw in device pixels, one column of the waveform per device
// pixel, so the drawing stays sharp at any scale factor. Colours come from
// the palette, so a dark theme gives a dark waveform.
#include "views/waveform_view.h"

#include "core/positions.h"
#include "views/waveform_session.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <vector>

namespace kestrin::views {

namespace {

constexpr double kGrabDistance = 6.0; // logical pixels either side of a marker
// How far outside the audio a position is still drawn where it is; beyond
// that it is drawn at this distance, which is off every view anyway.
constexpr double kDrawLimit = 1099511627776.0; // 2^40 frames

double drawable(double frame) {
    return std::clamp(frame, -kDrawLimit, kDrawLimit);
}

// One horizontal band per channel, with the vertical pixel of a sample.
struct Lanes {
    double top = 0;
    double height = 0;
    int count = 1;

    double middle(int lane) const { return top + height * (lane + 0.5); }
    double y(int lane, float sample) const {
        return middle(lane) - std::clamp(sample, -1.0f, 1.0f) * height * 0.45;
    }
};

Lanes lanesFor(double height, int channels) {
    const int count = std::max(1, channels);
    return {0, height / count, count};
}

// A vertical line covering [low, high] of `lane` in device column `x`; at
// least one device pixel tall, so flat audio still shows.
void addColumn(std::vector<QLineF>& lines, const Lanes& lanes, int lane, double x,
               const audio::SampleRange& r) {
    const double y1 = lanes.y(lane, r.high);
    const double y2 = std::max(lanes.y(lane, r.low), y1 + 1.0);
    lines.emplace_back(x, y1, x, y2);
}

QPen devicePen(const QColor& color) {
    QPen pen(color, 1.0);
    pen.setCosmetic(false);
    pen.setCapStyle(Qt::FlatCap);
    return pen;
}

void drawZeroLines(QPainter& p, const Lanes& lanes, double width, const QColor& color) {
    p.setPen(devicePen(color));
    for (int lane = 0; lane < lanes.count; ++lane)
        p.drawLine(QLineF(0, std::floor(lanes.middle(lane)) + 0.5, width,
                          std::floor(lanes.middle(lane)) + 0.5));
}

// One half of the seam in device columns. Column u (device pixels from the
// centre) shows frames from anchor + u * perColumn: the stop's half ends at
// the centre, the start's half begins there.
struct SeamHalf {
    bool isStop = false;
    double anchor = 0;
    int firstColumn = 0;
    int endColumn = 0;
    double firstFrame = 0;
    double endFrame = 0;
};

SeamHalf seamHalf(bool isStop, double position, int half, int deviceWidth, double perColumn) {
    SeamHalf h;
    h.isStop = isStop;
    h.anchor = std::round(drawable(position));
    h.firstColumn = isStop ? 0 : half;
    h.endColumn = isStop ? half : deviceWidth;
    h.firstFrame = h.anchor + (h.firstColumn - half) * perColumn;
    h.endFrame = h.anchor + (h.endColumn - half) * perColumn;
    return h;
}

// The frames `h` shows, and one more on either side.
const sound::FrameWindow& framesOf(WaveformSession& session, const SeamHalf& h) {
    const auto from = static_cast<std::int64_t>(std::floor(h.firstFrame)) - 1;
    const auto to = static_cast<std::int64_t>(std::ceil(h.endFrame)) + 1;
    return session.framesAround(
        from, to - from, h.isStop ? WaveformSession::LeftOfSeam : WaveformSession::RightOfSeam);
}

// The range of channel `c` over frames [lo, hi) of `window`.
audio::SampleRange windowRange(const sound::FrameWindow& window, int c, std::int64_t lo,
                               std::int64_t hi) {
    audio::SampleRange r;
    const std::int64_t a = std::max(lo, window.from);
    const std::int64_t b = std::min(hi, window.from + window.frames());
    const float* s = window.samples.data();
    for (std::int64_t f = a; f < b; ++f) {
        const float v = s[(f - window.from) * window.channels + c];
        r.include({v, v});
    }
    return r;
}

// A line per device column of `h` and lane: from the frames in `window`,
// or from the peaks when there is no window (a zoom the peaks serve).
void addColumns(std::vector<QLineF>& lines, const Lanes& lanes, const SeamHalf& h, int half,
                double perColumn, std::int64_t frames, const audio::Peaks* peaks,
                const sound::FrameWindow* window) {
    for (int column = h.firstColumn; column < h.endColumn; ++column) {
        const double u = column - half;
        const auto lo = static_cast<std::int64_t>(std::floor(h.anchor + u * perColumn));
        const auto hi =
            std::max(lo + 1, static_cast<std::int64_t>(std::floor(h.anchor + (u + 1) * perColumn)));
        if (hi <= 0 || lo >= frames)
            continue;
        for (int c = 0; c < lanes.count; ++c) {
            const audio::SampleRange r =
                window ? windowRange(*window, c, lo, hi) : peaks->range(c, lo, hi);
            if (!r.empty())
                addColumn(lines, lanes, c, column + 0.5, r);
        }
    }
}

// Fewer frames than pixels: a point per sample of `h` and lane, the lanes'
// points later joined across the seam.
void addPoints(std::vector<std::vector<QPointF>>& curves, const Lanes& lanes, const SeamHalf& h,
               int half, double perColumn, const sound::FrameWindow& window) {
    const std::int64_t a = std::max<std::int64_t>(
        window.from,
        h.isStop ? static_cast<std::int64_t>(std::floor(h.firstFrame)) : std::int64_t(h.anchor));
    const std::int64_t b = std::min<std::int64_t>(
        window.from + window.frames(),
        h.isStop ? std::int64_t(h.anchor) : static_cast<std::int64_t>(std::ceil(h.endFrame)));
    for (std::int64_t f = a; f < b; ++f) {
        const double x = half + (static_cast<double>(f) - h.anchor + 0.5) / perColumn;
        for (int c = 0; c < lanes.count; ++c)
            curves[static_cast<std::size_t>(c)].emplace_back(
                x, lanes.y(c, window.samples[static_cast<std::size_t>(
                                  (f - window.from) * window.channels + c)]));
    }
}

// Each lane's points joined, and drawn as dots once samples lie four device
// pixels apart.
void drawPoints(QPainter& p, const std::vector<std::vector<QPointF>>& curves, double perColumn,
                double dpr, const QColor& color) {
    p.setRenderHint(QPainter::Antialiasing);
    const double dot = 1.0 / perColumn >= 4.0 ? std::max(3.0, 2.0 * dpr + 1.0) : 0.0;
    for (const auto& curve : curves) {
        p.drawPolyline(curve.data(), static_cast<int>(curve.size()));
        if (dot > 0)
            for (const QPointF& point : curve)
                p.fillRect(QRectF(point.x() - dot / 2, point.y() - dot / 2, dot, dot), color);
    }
}

} // namespace

// ---- OverviewView ----

OverviewView::OverviewView(WaveformSession& session, QWidget* parent)
    : QWidget(parent), m_session(session) {
    setObjectName(QStringLiteral("waveformOverview"));
    setAccessibleName(tr("Track overview"));
    setAccessibleDescription(tr("The whole audio track with the loop start and stop markers; "
                                "drag a marker to move it, with Shift to a zero crossing."));
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
    connect(&m_session, &WaveformSession::changed, this, qOverload<>(&QWidget::update));
}

double OverviewView::xOfFrame(double frame) const {
    const auto frames = static_cast<double>(m_session.frames());
    if (frames <= 0)
        return 0;
    return std::clamp(frame, 0.0, frames) / frames * width();
}

std::int64_t OverviewView::frameAtX(double x) const {
    if (width() <= 0)
        return 0;
    return std::llround(std::clamp(x / width(), 0.0, 1.0) *
                        static_cast<double>(m_session.frames()));
}

void OverviewView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)
        m_waveform = QPixmap();
    QWidget::changeEvent(event);
}

const QPixmap& OverviewView::waveform() {
    const audio::Peaks* peaks = m_session.peaks();
    const double dpr = devicePixelRatioF();
    const QSize device(qRound(width() * dpr), qRound(height() * dpr));
    if (!m_waveform.isNull() && m_waveform.size() == device && m_drawnPeaks == peaks &&
        m_waveform.devicePixelRatio() == dpr)
        return m_waveform;
    m_drawnPeaks = peaks;
    m_waveform = QPixmap(device.expandedTo(QSize(1, 1)));
    m_waveform.fill(Qt::transparent);
    if (peaks && peaks->frames() > 0) {
        const Lanes lanes = lanesFor(device.height(), peaks->channels());
        QPainter p(&m_waveform);
        drawZeroLines(p, lanes, device.width(), palette().color(QPalette::Mid));
        const double perColumn = static_cast<double>(peaks->frames()) / device.width();
        std::vector<QLineF> lines;
        lines.reserve(static_cast<std::size_t>(device.width() * lanes.count));
        for (int x = 0; x < device.width(); ++x) {
            const auto from = static_cast<std::int64_t>(x * perColumn);
            const auto to = std::max(from + 1, static_cast<std::int64_t>((x + 1) * perColumn));
            for (int c = 0; c < lanes.count; ++c)
                if (const audio::SampleRange r = peaks->range(c, from, to); !r.empty())
                    addColumn(lines, lanes, c, x + 0.5, r);
        }
        p.setPen(devicePen(palette().color(QPalette::Text)));
        p.drawLines(lines.data(), static_cast<int>(lines.size()));
    }
    m_waveform.setDevicePixelRatio(dpr);
    return m_waveform;
}

void OverviewView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    if (!m_session.hasAudio())
        return;
    const QColor highlight = palette().color(QPalette::Highlight);
    if (m_session.peaks()) {
        p.drawPixmap(0, 0, waveform());
    } else {
        QString note = m_session.failure();
        if (note.isEmpty() && m_session.progress() >= 0) {
            note = tr("Reading the waveform... %1 %").arg(qRound(m_session.progress() * 100));
            p.fillRect(QRectF(0, height() - 3, width() * m_session.progress(), 3), highlight);
        }
        p.setPen(palette().color(QPalette::Text));
        p.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, note);
    }

    const auto start = m_session.position(false);
    const auto stop = m_session.position(true);
    if (start && stop && *stop > *start) {
        QColor shade = highlight;
        shade.setAlpha(60);
        const double x1 = xOfFrame(drawable(*start));
        const double x2 = xOfFrame(drawable(*stop));
        p.fillRect(QRectF(x1, 0, std::max(x2 - x1, 1.0), height()), shade);
    }
    for (const bool isStop : {false, true}) {
        const auto pos = m_session.position(isStop);
        if (!pos)
            continue;
        const bool selected = m_session.stopSelected() == isStop;
        const double x = std::clamp(xOfFrame(drawable(*pos)), 1.0, width() - 1.0);
        p.setPen(QPen(highlight, selected ? 3 : 1.5));
        p.drawLine(QLineF(x, 0, x, height()));
        const QString flag = isStop ? tr("E") : tr("S");
        const QRectF box(isStop ? x - 14 : x, 0, 14, 14);
        p.fillRect(box, highlight);
        p.setPen(palette().color(QPalette::HighlightedText));
        p.drawText(box, Qt::AlignCenter, flag);
    }
    if (m_session.playhead() >= 0) {
        const double x = xOfFrame(static_cast<double>(m_session.playhead()));
        p.setPen(QPen(palette().color(QPalette::Link), 2));
        p.drawLine(QLineF(x, 0, x, height()));
    }
}

void OverviewView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_session.hasAudio())
        return QWidget::mousePressEvent(event);
    const double x = event->position().x();
    double best = kGrabDistance;
    m_dragging = -1;
    // The selected marker wins a tie, so two markers on one pixel stay reachable.
    for (const bool isStop : {m_session.stopSelected(), !m_session.stopSelected()}) {
        const auto pos = m_session.position(isStop);
        if (!pos)
            continue;
        const double distance = std::abs(xOfFrame(drawable(*pos)) - x);
        if (distance < best || (m_dragging < 0 && distance <= best)) {
            best = distance;
            m_dragging = isStop ? 1 : 0;
        }
    }
    if (m_dragging >= 0)
        m_session.select(m_dragging == 1);
}

void OverviewView::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging < 0)
        return QWidget::mouseMoveEvent(event);
    m_session.place(m_dragging == 1, frameAtX(event->position().x()),
                    event->modifiers() & Qt::ShiftModifier);
}

void OverviewView::mouseReleaseEvent(QMouseEvent* event) {
    if (m_dragging >= 0 && event->button() == Qt::LeftButton)
        m_dragging = -1;
    QWidget::mouseReleaseEvent(event);
}

// ---- SeamView ----

SeamView::SeamView(WaveformSession& session, QWidget* parent)
    : QWidget(parent), m_session(session) {
    setObjectName(QStringLiteral("waveformSeam"));
    setAccessibleName(tr("Loop seam"));
    setAccessibleDescription(
        tr("The audio before the loop stop on the left joined to the audio from the loop start "
           "on the right, as the loop is heard. S selects the start, E the stop; Left and Right "
           "move it by one sample, Ctrl+Left and Ctrl+Right to the previous or next zero "
           "crossing, Page Up and Page Down by one second; + and - zoom."));
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::OpenHandCursor);
    connect(&m_session, &WaveformSession::changed, this, qOverload<>(&QWidget::update));
}

double SeamView::framesPerPixel() const {
    return std::ldexp(1.0, m_zoom);
}

void SeamView::setZoomStep(int step) {
    step = std::clamp(step, MinZoomStep, MaxZoomStep);
    if (step == m_zoom)
        return;
    m_zoom = step;
    update();
}

void SeamView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    if (!m_session.hasAudio())
        return;
    tintSelectedHalf(p);
    const double dpr = devicePixelRatioF();
    // The device column where the halves meet.
    const int half = qRound(width() * dpr) / 2;
    const bool waiting = drawWaveform(p, dpr, half);
    drawSeamAndCaptions(p, half / dpr, waiting);
    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1));
        p.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
}

void SeamView::tintSelectedHalf(QPainter& p) {
    QColor tint = palette().color(QPalette::Highlight);
    tint.setAlpha(28);
    p.fillRect(m_session.stopSelected() ? QRectF(0, 0, width() / 2.0, height())
                                        : QRectF(width() / 2.0, 0, width() / 2.0, height()),
               tint);
}

bool SeamView::drawWaveform(QPainter& p, double dpr, int half) {
    const QPalette& pal = palette();
    const int deviceWidth = qRound(width() * dpr);
    const Lanes lanes = lanesFor(height() * dpr, m_session.channels());
    const double perColumn = framesPerPixel() / dpr; // frames per device pixel
    const std::int64_t frames = m_session.frames();
    const audio::Peaks* peaks = m_session.peaks();
    const bool fromPeaks = perColumn >= static_cast<double>(audio::Peaks::BucketSizes[0]);
    bool waiting = false;

    p.save();
    p.scale(1.0 / dpr, 1.0 / dpr);
    drawZeroLines(p, lanes, deviceWidth, pal.color(QPalette::Mid));
    p.setPen(devicePen(pal.color(QPalette::Text)));
    std::vector<QLineF> lines;
    std::vector<std::vector<QPointF>> curves(static_cast<std::size_t>(lanes.count));
    for (const bool isStop : {true, false}) {
        const auto pos = m_session.position(isStop);
        if (!pos)
            continue;
        const SeamHalf h = seamHalf(isStop, *pos, half, deviceWidth, perColumn);
        if (h.endFrame <= 0 || h.firstFrame >= static_cast<double>(frames))
            continue;
        if (fromPeaks && !peaks) {
            waiting = true;
            continue;
        }
        const sound::FrameWindow* window = fromPeaks ? nullptr : &framesOf(m_session, h);
        if (perColumn >= 1.0)
            addColumns(lines, lanes, h, half, perColumn, frames, peaks, window);
        else
            addPoints(curves, lanes, h, half, perColumn, *window);
    }
    p.drawLines(lines.data(), static_cast<int>(lines.size()));
    if (perColumn < 1.0)
        drawPoints(p, curves, perColumn, dpr, pal.color(QPalette::Text));
    p.restore();
    return waiting;
}

void SeamView::drawSeamAndCaptions(QPainter& p, double centre, bool waiting) {
    const QPalette& pal = palette();
    const QColor highlight = pal.color(QPalette::Highlight);
    const bool stopSelected = m_session.stopSelected();
    p.setPen(QPen(highlight, 1.5, Qt::DashLine));
    p.drawLine(QLineF(centre, 0, centre, height()));
    const auto label = [&](bool isStop) {
        const auto pos = m_session.position(isStop);
        const QString where = pos ? QString::number(std::llround(drawable(*pos))) : tr("none");
        return isStop ? tr("before stop %1").arg(where) : tr("from start %1").arg(where);
    };
    const QRectF textArea = QRectF(rect()).adjusted(4, 2, -4, -2);
    p.setPen(stopSelected ? highlight : pal.color(QPalette::PlaceholderText));
    p.drawText(QRectF(textArea.left(), textArea.top(), centre - 8, textArea.height()),
               Qt::AlignLeft | Qt::AlignTop, label(true));
    p.setPen(!stopSelected ? highlight : pal.color(QPalette::PlaceholderText));
    p.drawText(QRectF(centre + 4, textArea.top(), textArea.right() - centre - 4, textArea.height()),
               Qt::AlignRight | Qt::AlignTop, label(false));
    p.setPen(pal.color(QPalette::PlaceholderText));
    const QString zoom = m_zoom >= 0 ? tr("%1 samples per pixel").arg(1 << m_zoom)
                                     : tr("%1 pixels per sample").arg(1 << -m_zoom);
    p.drawText(textArea, Qt::AlignRight | Qt::AlignBottom,
               waiting ? tr("Reading the waveform... %1 %")
                             .arg(qRound(std::max(0.0, m_session.progress()) * 100))
                       : zoom);
}

void SeamView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_session.hasAudio())
        return QWidget::mousePressEvent(event);
    const bool isStop = event->position().x() < width() / 2.0;
    m_session.select(isStop);
    m_dragging = isStop ? 1 : 0;
    m_pressX = event->position().x();
    m_pressPosition = m_session.placeablePosition(isStop);
    setCursor(Qt::ClosedHandCursor);
}

void SeamView::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging < 0)
        return QWidget::mouseMoveEvent(event);
    // The waveform follows the pointer: moving right brings earlier frames
    // to the seam.
    const double moved = (event->position().x() - m_pressX) * framesPerPixel();
    m_session.place(m_dragging == 1, m_pressPosition - std::llround(moved),
                    event->modifiers() & Qt::ShiftModifier);
}

void SeamView::mouseReleaseEvent(QMouseEvent* event) {
    if (m_dragging >= 0 && event->button() == Qt::LeftButton) {
        m_dragging = -1;
        setCursor(Qt::OpenHandCursor);
    }
    QWidget::mouseReleaseEvent(event);
}

void SeamView::wheelEvent(QWheelEvent* event) {
    // 120 eighths of a degree make one step of an ordinary wheel; touchpads
    // send less at a time.
    m_wheelAngle += event->angleDelta().y();
    const int steps = m_wheelAngle / 120;
    m_wheelAngle -= steps * 120;
    setZoomStep(m_zoom - steps);
    event->accept();
}

void SeamView::keyPressEvent(QKeyEvent* event) {
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right: {
        const bool forward = event->key() == Qt::Key_Right;
        if (ctrl)
            m_session.jumpToZeroCrossing(forward);
        else
            m_session.stepSelected(forward ? 1 : -1);
        break;
    }
    case Qt::Key_PageUp:
        m_session.stepSelected(SamplesPerSecond);
        break;
    case Qt::Key_PageDown:
        m_session.stepSelected(-SamplesPerSecond);
        break;
    case Qt::Key_S:
        m_session.select(false);
        break;
    case Qt::Key_E:
        m_session.select(true);
        break;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        setZoomStep(m_zoom - 1);
        break;
    case Qt::Key_Minus:
        setZoomStep(m_zoom + 1);
        break;
    default:
        return QWidget::keyPressEvent(event);
    }
    event->accept();
}

} // namespace kestrin::views
