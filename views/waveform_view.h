// SPDX-License-Identifier: GPL-3.0-or-later
// The two drawings of the companion audio: the whole track with its loop,
// and the seam as a listener hears it.
#pragma once

#include <QPixmap>
#include <QWidget>

#include <cstdint>

class QPainter;

namespace kestrin::views {

class WaveformSession;

// The whole track: one lane per channel, the loop shaded between the start
// and stop markers, and the playhead while playing. A marker is dragged with
// the left button (Shift snaps to the nearest zero crossing).
class OverviewView : public QWidget {
    Q_OBJECT
public:
    explicit OverviewView(WaveformSession& session, QWidget* parent = nullptr);

    // The horizontal pixel of `frame` and the frame under pixel `x`.
    double xOfFrame(double frame) const;
    std::int64_t frameAtX(double x) const;

    QSize sizeHint() const override { return {480, 64}; }
    QSize minimumSizeHint() const override { return {120, 40}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The waveform alone, drawn again only when the summary, size or
    // palette change; markers are painted over it.
    const QPixmap& waveform();

    WaveformSession& m_session;
    QPixmap m_waveform;
    const void* m_drawnPeaks = nullptr;
    int m_dragging = -1; // -1 none, 0 start, 1 stop
};

// The seam: the frames before the stop on the left and the frames from the
// start on the right, meeting at the centre line, so a step or a phase jump
// at the loop's jump shows. Zoom (wheel, + and -) goes from seconds on
// either side down to single samples, drawn as points. Dragging either half
// sideways moves its position with the waveform under the pointer (Shift
// snaps to a zero crossing). Keys move the selected marker: S and E select
// start or stop, Left/Right one sample, Ctrl+Left/Right the previous or next
// zero crossing, Page Up/Down one second.
class SeamView : public QWidget {
    Q_OBJECT
public:
    explicit SeamView(WaveformSession& session, QWidget* parent = nullptr);

    // Frames per logical pixel: a power of two from 1/16 to 4096.
    double framesPerPixel() const;
    void setZoomStep(int step);
    static constexpr int MinZoomStep = -4;
    static constexpr int MaxZoomStep = 12;

    QSize sizeHint() const override { return {480, 160}; }
    QSize minimumSizeHint() const override { return {120, 80}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The steps of a paint, in order: the selected half tinted, the waveform
    // either side of the seam (true while the peaks this zoom needs are
    // still being read), and the seam line with the captions around it.
    void tintSelectedHalf(QPainter& p);
    bool drawWaveform(QPainter& p, double dpr, int half);
    void drawSeamAndCaptions(QPainter& p, double centre, bool waiting);

    WaveformSession& m_session;
    int m_zoom = 4;
    int m_wheelAngle = 0; // eighths of a degree not yet turned into a step
    int m_dragging = -1;  // -1 none, 0 start, 1 stop
    double m_pressX = 0;
    std::int64_t m_pressPosition = 0;
};

} // namespace kestrin::views
