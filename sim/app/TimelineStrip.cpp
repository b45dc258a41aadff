#include "sim/app/TimelineStrip.h"

#include "sim/core/Kinematics.h"
#include "sim/core/Sensors.h"

#include <QPainter>

#include <algorithm>
#include <vector>

const QColor TimelineStrip::ForwardColour(90, 200, 90);
const QColor TimelineStrip::BackwardColour(240, 150, 50);
const QColor TimelineStrip::StoppedColour(130, 130, 130);
const QColor TimelineStrip::FiringColour(255, 90, 60);
const QColor TimelineStrip::QuietColour(110, 110, 110);

namespace {
constexpr int64_t NsPerSecond = 1'000'000'000;
constexpr int RowHeight = 16;
constexpr int Rows = TimelineStrip::RowCount;
constexpr int AxisHeight = 16;
constexpr int LabelWidth = 72;
constexpr int Padding = 4;

const QColor Background(28, 28, 32);
const QColor Grid(60, 60, 68);
const QColor Text(200, 200, 200);

// The states a row draws: a wheel's -1/0/+1, a sensor's 0/1.
int LeftWheel(int data) { return sim::DecodeMotors(data).left; }
int RightWheel(int data) { return sim::DecodeMotors(data).right; }
// A sensor fires when it pulls its line low.
int LeftLine(int status) { return (status & LeftLineBit) == 0; }
int RightLine(int status) { return (status & RightLineBit) == 0; }
int Obstacle(int status) { return (status & ObstacleBit) == 0; }

struct RowShown {
    const char *label;
    bool wheel; // three levels rather than two
    int (*stateOf)(int);
};
constexpr RowShown RowsShown[Rows] = {
    {"left wheel", true, LeftWheel},   {"right wheel", true, RightWheel}, {"left line", false, LeftLine},
    {"right line", false, RightLine}, {"obstacle", false, Obstacle},
};
} // namespace

TimelineStrip::TimelineStrip(QWidget *parent) : QWidget(parent)
{
    setMinimumHeight(sizeHint().height());
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize TimelineStrip::sizeHint() const { return {640, PreferredHeight()}; }

int TimelineStrip::PreferredHeight() { return Rows * RowHeight + AxisHeight + 2 * Padding; }

void TimelineStrip::Show(sim::PortTimeline timeline, int64_t nowNs)
{
    timeline_ = std::move(timeline);
    nowNs_ = nowNs;
    update();
}

void TimelineStrip::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    Draw(painter, rect(), timeline_, nowNs_, SpanNs);
}

namespace {
// Where the plot lies in an area of the strip.
QRect PlotArea(const QRect &area)
{
    return {area.left() + LabelWidth, area.top() + Padding, std::max(1, area.width() - LabelWidth - Padding),
            Rows * RowHeight};
}

// What does not move: the background, the row labels and the time axis (its
// ticks stay put; "now" is always at the right edge). Drawn once per size:
// text is most of the strip's drawing.
const QImage &StaticLayer(QSize size, int64_t spanNs)
{
    static QImage layer;
    static int64_t layerSpan = 0;
    if (layer.size() == size && layerSpan == spanNs)
        return layer;
    layer = QImage(size, QImage::Format_RGB32);
    layerSpan = spanNs;
    layer.fill(Background);
    QPainter painter(&layer);
    const QRect area(QPoint(0, 0), size);
    const QRect plot = PlotArea(area);
    QFont font = painter.font();
    font.setPointSizeF(7.5);
    painter.setFont(font);
    // A tick and a faint line every second, labelled every other second.
    for (int64_t s = 0; s * NsPerSecond <= spanNs; ++s) {
        const double x = plot.right() + 1 - double(s * NsPerSecond) * plot.width() / double(spanNs);
        painter.setPen(Grid);
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom() + 3));
        if (s % 2 == 0) {
            painter.setPen(Text);
            // "now" ends at the right edge rather than past it.
            if (s == 0)
                painter.drawText(QRectF(x - 48, plot.bottom() + 3, 48, AxisHeight - 3),
                                 Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("now"));
            else
                painter.drawText(QRectF(x - 24, plot.bottom() + 3, 48, AxisHeight - 3), Qt::AlignCenter,
                                 QStringLiteral("-%1 s").arg(s));
        }
    }
    painter.setPen(Text);
    for (int r = 0; r < Rows; ++r)
        painter.drawText(QRectF(Padding, plot.top() + r * RowHeight, LabelWidth - 2 * Padding, RowHeight),
                         Qt::AlignLeft | Qt::AlignVCenter, QString::fromLatin1(RowsShown[r].label));
    return layer;
}
} // namespace

QRect TimelineStrip::RowBand(const QRect &area, int row)
{
    const QRect plot = PlotArea(area);
    return {plot.left(), plot.top() + row * RowHeight + 2, plot.width(), RowHeight - 4};
}

int TimelineStrip::Column(const QRect &area, int64_t ns, int64_t nowNs, int64_t spanNs)
{
    const QRect plot = PlotArea(area);
    return plot.left() + int(double(ns - (nowNs - spanNs)) * plot.width() / double(spanNs));
}

void TimelineStrip::Draw(QPainter &painter, const QRect &area, const sim::PortTimeline &timeline, int64_t nowNs,
                         int64_t spanNs)
{
    painter.drawImage(area.topLeft(), StaticLayer(area.size(), spanNs));
    const int64_t from = nowNs - spanNs;
    // Rectangles gathered per colour and drawn in one call each: a busy
    // strip has a thousand of them.
    enum Paint { PaintForward, PaintBackward, PaintStopped, PaintFiring, PaintQuiet, PaintCount };
    static const QColor colours[PaintCount] = {ForwardColour, BackwardColour, StoppedColour, FiringColour,
                                               QuietColour};
    std::vector<QRect> rects[PaintCount];
    for (int r = 0; r < Rows; ++r) {
        const RowShown &row = RowsShown[r];
        const QRect band = RowBand(area, r);
        const int top = band.top(), bottom = band.bottom();
        const int middle = (top + bottom) / 2;
        const auto &levels = row.wheel ? timeline.DataLevels() : timeline.StatusLevels();
        // Before anything was seen: motors off, sensors idle.
        const int before = row.wheel ? 0 : StatusIdle;
        for (const sim::PortTimeline::Span &span :
             sim::PortTimeline::Spans(levels, from, nowNs, before, row.stateOf)) {
            // Whole pixels; a change shorter than a pixel still shows as one.
            const int x0 = Column(area, span.from, nowNs, spanNs);
            const int width = std::max(Column(area, span.to, nowNs, spanNs) - x0, 1);
            if (row.wheel && span.state > 0) // forward high, back low, stop in the middle
                rects[PaintForward].emplace_back(x0, top, width, middle - top + 1);
            else if (row.wheel && span.state < 0)
                rects[PaintBackward].emplace_back(x0, middle, width, bottom - middle + 1);
            else if (row.wheel)
                rects[PaintStopped].emplace_back(x0, middle, width, 2);
            else if (span.state)
                rects[PaintFiring].emplace_back(x0, top, width, bottom - top + 1);
            else
                rects[PaintQuiet].emplace_back(x0, bottom - 1, width, 2);
        }
    }
    painter.setPen(Qt::NoPen);
    for (int p = 0; p < PaintCount; ++p) {
        painter.setBrush(colours[p]);
        painter.drawRects(rects[p].data(), int(rects[p].size()));
    }
}
