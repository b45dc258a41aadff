#include "Pictures.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

void Wheel(QPainter &p, const QRectF &r)
{
    // Tyre with tread, then the hub.
    p.setPen(QPen(QColor(20, 20, 20), 1));
    p.setBrush(QColor(38, 38, 38));
    p.drawRoundedRect(r, 6, 6);
    p.setPen(QPen(QColor(70, 70, 70), 2));
    for (qreal y = r.top() + 5; y < r.bottom() - 3; y += 7)
        p.drawLine(QPointF(r.left() + 3, y), QPointF(r.right() - 3, y));
    const QRectF hub(r.center().x() - r.width() * 0.28, r.center().y() - 12, r.width() * 0.56, 24);
    QLinearGradient g(hub.topLeft(), hub.topRight());
    g.setColorAt(0, QColor(150, 150, 150));
    g.setColorAt(0.5, QColor(225, 225, 225));
    g.setColorAt(1, QColor(130, 130, 130));
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(g);
    p.drawRoundedRect(hub, 3, 3);
}

void Motor(QPainter &p, const QRectF &can, bool gearboxLeft)
{
    // A cylindrical motor lying flat, with its gearbox and the two leads.
    QLinearGradient g(can.topLeft(), can.bottomLeft());
    g.setColorAt(0, QColor(140, 140, 145));
    g.setColorAt(0.35, QColor(235, 235, 240));
    g.setColorAt(1, QColor(110, 110, 115));
    p.setPen(QPen(QColor(70, 70, 75), 1));
    p.setBrush(g);
    p.drawRoundedRect(can, 5, 5);
    const qreal gw = can.height() * 0.9;
    const QRectF box(gearboxLeft ? can.left() - gw : can.right(), can.top() - 4, gw, can.height() + 8);
    p.setBrush(QColor(230, 190, 40));
    p.setPen(QPen(QColor(150, 115, 10), 1));
    p.drawRect(box);
    p.setPen(QPen(QColor(170, 130, 20), 1));
    for (int i = 1; i < 4; ++i)
        p.drawLine(QPointF(box.left() + 2, box.top() + i * box.height() / 4),
                   QPointF(box.right() - 2, box.top() + i * box.height() / 4));
    const qreal lx = gearboxLeft ? can.right() : can.left();
    const qreal dir = gearboxLeft ? 1 : -1;
    p.setPen(QPen(QColor(200, 30, 30), 2));
    p.drawLine(QPointF(lx, can.top() + 5), QPointF(lx + dir * 10, can.top() - 2));
    p.setPen(QPen(QColor(30, 30, 30), 2));
    p.drawLine(QPointF(lx, can.bottom() - 5), QPointF(lx + dir * 10, can.bottom() + 2));
}

void Chip(QPainter &p, const QRectF &r)
{
    p.setPen(QPen(QColor(190, 190, 190), 1));
    const int pins = std::max(2, int(r.width() / 5));
    for (int i = 0; i < pins; ++i) {
        const qreal x = r.left() + 2.5 + i * (r.width() - 5) / (pins - 1);
        p.drawLine(QPointF(x, r.top() - 3), QPointF(x, r.top()));
        p.drawLine(QPointF(x, r.bottom()), QPointF(x, r.bottom() + 3));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(25, 25, 30));
    p.drawRect(r);
    p.setBrush(QColor(80, 80, 85));
    p.drawEllipse(QPointF(r.left() + 4, r.center().y()), 1.5, 1.5);
}

void Board(QPainter &p, const QRectF &r, int chips)
{
    p.setPen(QPen(QColor(10, 70, 30), 1));
    p.setBrush(QColor(25, 120, 55));
    p.drawRect(r);
    // Copper traces and solder pads.
    p.setPen(QPen(QColor(200, 160, 70), 1));
    for (int i = 0; i < 6; ++i) {
        const qreal y = r.top() + 6 + i * (r.height() - 12) / 5;
        p.drawLine(QPointF(r.left() + 4, y), QPointF(r.left() + r.width() * 0.3, y));
        p.drawLine(QPointF(r.left() + r.width() * 0.3, y), QPointF(r.left() + r.width() * 0.38, y + 5));
    }
    p.setBrush(QColor(215, 215, 200));
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 4; ++i)
        p.drawEllipse(QPointF(r.left() + 5 + i * (r.width() - 10) / 3, r.bottom() - 4), 2, 2);
    const qreal cw = std::min<qreal>(34, (r.width() * 0.6) / chips - 6);
    for (int i = 0; i < chips; ++i)
        Chip(p, QRectF(r.left() + r.width() * 0.4 + i * (cw + 6), r.center().y() - 8, cw, 14));
    // Screw holes at the corners.
    p.setBrush(QColor(200, 200, 200));
    for (const QPointF c : {r.topLeft() + QPointF(4, 4), r.topRight() + QPointF(-4, 4),
                            r.bottomLeft() + QPointF(4, -4), r.bottomRight() + QPointF(-4, -4)})
        p.drawEllipse(c, 2, 2);
}

} // namespace

QImage DrawRobot(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Designed on a 370 x 278 canvas; other sizes scale it.
    p.scale(width / 370.0, height / 278.0);

    // A table top and the robot's shadow.
    QLinearGradient table(0, 0, 0, 278);
    table.setColorAt(0, QColor(222, 214, 198));
    table.setColorAt(1, QColor(196, 186, 166));
    p.fillRect(QRectF(0, 0, 370, 278), table);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 45));
    p.drawRoundedRect(QRectF(72, 30, 238, 236), 18, 18);

    // Chassis plate with its rows of holes.
    const QRectF chassis(64, 22, 238, 234);
    QLinearGradient metal(chassis.topLeft(), chassis.bottomRight());
    metal.setColorAt(0, QColor(205, 208, 212));
    metal.setColorAt(0.5, QColor(175, 178, 184));
    metal.setColorAt(1, QColor(150, 153, 160));
    p.setPen(QPen(QColor(95, 98, 105), 1.5));
    p.setBrush(metal);
    p.drawRoundedRect(chassis, 14, 14);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 123, 130));
    for (qreal x = chassis.left() + 14; x < chassis.right() - 8; x += 21) {
        p.drawEllipse(QPointF(x, chassis.top() + 10), 2.2, 2.2);
        p.drawEllipse(QPointF(x, chassis.bottom() - 10), 2.2, 2.2);
    }

    // Front: a skid ball and the steering motor.
    p.setBrush(QColor(60, 60, 60));
    p.drawEllipse(QPointF(183, 40), 9, 9);
    p.setBrush(QColor(160, 160, 160));
    p.drawEllipse(QPointF(181, 38), 3, 3);
    Motor(p, QRectF(160, 56, 62, 24), false);

    // Circuit boards: the driver board and the interface board with the
    // parallel-port connector and its ribbon cable.
    Board(p, QRectF(84, 92, 198, 50), 3);
    Board(p, QRectF(112, 148, 142, 38), 2);
    const QRectF connector(214, 154, 34, 12);
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(QColor(170, 170, 175));
    p.drawRoundedRect(connector, 2, 2);
    QLinearGradient ribbon(0, 0, 14, 0);
    ribbon.setSpread(QGradient::RepeatSpread);
    ribbon.setColorAt(0, QColor(150, 150, 160));
    ribbon.setColorAt(0.5, QColor(210, 210, 220));
    ribbon.setColorAt(1, QColor(150, 150, 160));
    QPainterPath cable;
    cable.moveTo(218, 154);
    cable.cubicTo(230, 120, 300, 150, 348, 10);
    cable.lineTo(364, 14);
    cable.cubicTo(316, 158, 244, 132, 244, 154);
    cable.closeSubpath();
    p.setPen(QPen(QColor(120, 120, 130), 1));
    p.setBrush(ribbon);
    p.drawPath(cable);

    // Battery pack between the boards and the rear axle.
    const QRectF battery(104, 192, 116, 30);
    QLinearGradient cells(battery.topLeft(), battery.bottomLeft());
    cells.setColorAt(0, QColor(40, 80, 170));
    cells.setColorAt(0.4, QColor(80, 130, 220));
    cells.setColorAt(1, QColor(25, 55, 130));
    p.setPen(QPen(QColor(15, 30, 80), 1));
    p.setBrush(cells);
    p.drawRoundedRect(battery, 4, 4);
    p.setPen(QPen(QColor(15, 30, 80), 1));
    for (int i = 1; i < 4; ++i)
        p.drawLine(QPointF(battery.left() + i * battery.width() / 4, battery.top() + 2),
                   QPointF(battery.left() + i * battery.width() / 4, battery.bottom() - 2));
    p.setPen(QPen(QColor(200, 30, 30), 2));
    p.drawLine(QPointF(battery.right(), battery.top() + 8), QPointF(battery.right() + 18, battery.top() - 20));
    p.setPen(QPen(QColor(30, 30, 30), 2));
    p.drawLine(QPointF(battery.right(), battery.bottom() - 8), QPointF(battery.right() + 24, battery.top() - 16));
    p.setPen(QColor(235, 235, 245));
    QFont small(QStringLiteral("Liberation Sans"));
    small.setPixelSize(11);
    small.setBold(true);
    p.setFont(small);
    p.drawText(battery, Qt::AlignCenter, QStringLiteral("4 x AA"));

    // Rear axle: the driving motor between the two wheels.
    p.setPen(QPen(QColor(90, 90, 90), 4));
    p.drawLine(QPointF(60, 238), QPointF(306, 238));
    Motor(p, QRectF(162, 226, 70, 24), true);
    Wheel(p, QRectF(26, 186, 36, 88));
    Wheel(p, QRectF(304, 186, 36, 88));
    return image;
}

QImage DrawStatusPicture(int width, int height, const QString &word, const QColor &background,
                         const QColor &ink, int arrow)
{
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(background);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setPen(QPen(background.darker(160), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(1, 1, width - 2, height - 2));

    const qreal arrowWidth = arrow != 0 ? height * 0.6 : 0;
    QFont font(QStringLiteral("Liberation Sans"));
    font.setBold(true);
    int pixels = int(height * 0.6);
    for (; pixels > 6; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetricsF(font).horizontalAdvance(word) + arrowWidth + 12 <= width)
            break;
    }
    p.setFont(font);
    const qreal textWidth = QFontMetricsF(font).horizontalAdvance(word);
    const qreal total = textWidth + (arrow != 0 ? arrowWidth + 4 : 0);
    qreal x = (width - total) / 2;
    const qreal cy = height / 2.0;
    p.setPen(ink);
    p.setBrush(ink);
    auto drawArrow = [&](qreal left, int direction) {
        const qreal h = height * 0.5;
        const qreal tip = direction < 0 ? left : left + arrowWidth;
        const qreal back = direction < 0 ? left + arrowWidth : left;
        const qreal neck = tip - direction * arrowWidth * 0.55;
        QPolygonF shape;
        shape << QPointF(tip, cy) << QPointF(neck, cy - h / 2) << QPointF(neck, cy - h / 5)
              << QPointF(back, cy - h / 5) << QPointF(back, cy + h / 5) << QPointF(neck, cy + h / 5)
              << QPointF(neck, cy + h / 2);
        p.setPen(Qt::NoPen);
        p.drawPolygon(shape);
        p.setPen(ink);
    };
    if (arrow < 0) {
        drawArrow(x, -1);
        x += arrowWidth + 4;
    }
    p.drawText(QRectF(x, 0, textWidth + 1, height), Qt::AlignVCenter | Qt::AlignLeft, word);
    if (arrow > 0)
        drawArrow(x + textWidth + 4, +1);
    return image;
}

QByteArray ToneWav(double frequencyHz, double seconds, int sampleRate)
{
    const auto frames = static_cast<uint32_t>(std::lround(seconds * sampleRate));
    constexpr uint16_t Channels = 1;
    constexpr uint16_t BitsPerSample = 16;
    constexpr uint16_t PcmFormat = 1; // WAVE_FORMAT_PCM
    const uint32_t dataBytes = frames * Channels * BitsPerSample / 8;

    QByteArray out;
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.append(char((v >> (8 * i)) & 0xFF));
    };
    auto put16 = [&](uint16_t v) {
        out.append(char(v & 0xFF));
        out.append(char(v >> 8));
    };
    out.append("RIFF");
    put32(36 + dataBytes);
    out.append("WAVE");
    out.append("fmt ");
    put32(16);
    put16(PcmFormat);
    put16(Channels);
    put32(uint32_t(sampleRate));
    put32(uint32_t(sampleRate) * Channels * BitsPerSample / 8);
    put16(Channels * BitsPerSample / 8);
    put16(BitsPerSample);
    out.append("data");
    put32(dataBytes);

    const double fade = 0.01 * sampleRate; // 10 ms ramps against clicks
    for (uint32_t i = 0; i < frames; ++i) {
        const double envelope = std::min({1.0, i / fade, (frames - 1 - i) / fade});
        const double s = 0.6 * envelope * std::sin(2 * M_PI * frequencyHz * i / sampleRate);
        put16(uint16_t(int16_t(std::lround(s * 32767))));
    }
    return out;
}
