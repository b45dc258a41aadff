#pragma once
// The port as a logic analyser shows it, under the arena: the last seconds of
// each wheel's state (forward, back, stop) from the motor codes written, and
// of the three sensor lines (left line, right line, obstacle), with a time
// axis ending at "now" on the right.
#include "sim/core/PortTimeline.h"

#include <QColor>
#include <QRect>
#include <QWidget>

#include <cstdint>

class TimelineStrip : public QWidget {
public:
    // The rows, top to bottom.
    enum Row { LeftWheelRow, RightWheelRow, LeftLineRow, RightLineRow, ObstacleRow, RowCount };
    // What the rows are drawn in: a wheel forward (the band's upper half),
    // backward (its lower half), stopped (a line in the middle); a sensor
    // firing (the whole band) or not (a line at the bottom).
    static const QColor ForwardColour, BackwardColour, StoppedColour, FiringColour, QuietColour;
    // The strip shows this much of the past.
    static constexpr int64_t SpanNs = 10'000'000'000;

    explicit TimelineStrip(QWidget *parent = nullptr);

    // What to show, ending at `nowNs`.
    void Show(sim::PortTimeline timeline, int64_t nowNs);

    // Draws the strip into `painter`'s device over `area`; the window's paint
    // event, the benchmark and the tests use it.
    static void Draw(QPainter &painter, const QRect &area, const sim::PortTimeline &timeline, int64_t nowNs,
                     int64_t spanNs = SpanNs);
    // Where a row's band lies in `area`, and the column of the time `ns`.
    static QRect RowBand(const QRect &area, int row);
    static int Column(const QRect &area, int64_t ns, int64_t nowNs, int64_t spanNs = SpanNs);

    QSize sizeHint() const override;
    // The strip's height, pixels: its rows and the time axis.
    static int PreferredHeight();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    sim::PortTimeline timeline_;
    int64_t nowNs_ = 0;
};
