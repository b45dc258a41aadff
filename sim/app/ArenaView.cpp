#include "sim/app/ArenaView.h"

#include "core/Clock.h"
#include "sim/core/Kinematics.h"
#include "sim/protocol/SimProtocol.h"

#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>

#include <cmath>

namespace {
constexpr int RefreshMs = 33;
// The trail gets a new point once the robot is this far (metres) from the last.
constexpr double TrailStep = 0.005;
// The trail keeps at most this many points (500 m); the oldest go first.
constexpr size_t TrailPoints = 100000;
// Height of the status strip under the arena, pixels.
constexpr int StatusHeight = 64;
constexpr int Margin = 8;
// The camera picture's size in the corner of the window.
constexpr int InsetWidth = 160;
constexpr int InsetHeight = 120;

QString Motors(int data)
{
    const sim::WheelDirections w = sim::DecodeMotors(data);
    auto name = [](int d) { return d > 0 ? QStringLiteral("fwd") : d < 0 ? QStringLiteral("back") : QStringLiteral("stop"); };
    return QStringLiteral("code %1: left %2, right %3").arg(data).arg(name(w.left), name(w.right));
}
} // namespace

ArenaView::ArenaView(SharedRobot &robot, const sim::FloorMap &floor, std::function<QImage()> cameraPicture,
                     QWidget *parent)
    : QWidget(parent), robot_(robot), floor_(floor), cameraPicture_(std::move(cameraPicture)),
      strip_(new TimelineStrip(this))
{
    setMinimumSize(320, 240);
    connect(&timer_, &QTimer::timeout, this, &ArenaView::Tick);
    timer_.start(RefreshMs);
    Tick();
}

QSize ArenaView::sizeHint() const
{
    const sim::World &world = robot_.Snapshot().world();
    const double scale = std::min(900 / world.width, 640 / world.height);
    return {int(world.width * scale) + 2 * Margin,
            int(world.height * scale) + 2 * Margin + StatusHeight + strip_->sizeHint().height()};
}

void ArenaView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const sim::World &world = robot_.Snapshot().world();
    const int stripHeight = strip_->sizeHint().height();
    strip_->setGeometry(0, height() - stripHeight, width(), stripHeight);
    const double w = width() - 2 * Margin, h = height() - 2 * Margin - StatusHeight - stripHeight;
    // The arena fits the widget, however large it is: the pictures drawn at
    // this scale never outgrow the window.
    pixelsPerMetre_ = std::min(std::max(w, 1.0) / world.width, std::max(h, 1.0) / world.height);
    const QSizeF arena(world.width * pixelsPerMetre_, world.height * pixelsPerMetre_);
    arenaRect_ = QRectF(QPointF(std::max<double>(Margin, (width() - arena.width()) / 2), Margin), arena);
    background_ = floor_.image().scaled(arenaRect_.size().toSize().expandedTo(QSize(1, 1)), Qt::IgnoreAspectRatio,
                                        Qt::SmoothTransformation);
    trailLayer_ = QImage(background_.size(), QImage::Format_ARGB32_Premultiplied);
    DrawTrail(0);
}

void ArenaView::DrawTrail(size_t from)
{
    if (from == 0)
        trailLayer_.fill(Qt::transparent);
    if (trailLayer_.isNull() || trail_.size() < 2)
        return;
    QPainter painter(&trailLayer_);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(-arenaRect_.topLeft());
    painter.setPen(QPen(QColor(40, 110, 220, 170), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath path(ToScreen(trail_[from == 0 ? 0 : from - 1]));
    for (size_t i = from == 0 ? 1 : from; i < trail_.size(); ++i)
        path.lineTo(ToScreen(trail_[i]));
    painter.drawPath(path);
}

QPointF ArenaView::ToScreen(sim::Vec2 p) const
{
    return {arenaRect_.left() + p.x * pixelsPerMetre_, arenaRect_.bottom() - p.y * pixelsPerMetre_};
}

void ArenaView::Tick()
{
    sim::Simulation view = robot_.Snapshot();
    const int64_t now = MonotonicNs();
    view.AdvanceTo(now);
    // The sensor lines change as the robot moves, read or not.
    robot_.NoteStatus(now, sim::StatusValue(view.Sensors()));
    strip_->Show(robot_.Timeline(), now);
    const sim::Vec2 at{view.pose().x, view.pose().y};
    if (trail_.empty() || sim::Length(at - trail_.back()) >= TrailStep) {
        if (trail_.size() >= TrailPoints) {
            trail_.erase(trail_.begin(), trail_.begin() + TrailPoints / 4);
            trail_.push_back(at);
            DrawTrail(0);
        } else {
            trail_.push_back(at);
            DrawTrail(trail_.size() - 1);
        }
    }
    view_ = view;
    facts_ = robot_.Facts();
    update();
}

void ArenaView::paintEvent(QPaintEvent *)
{
    if (!view_)
        return;
    QPainter painter(this);
    painter.fillRect(rect(), QColor(40, 40, 44));
    painter.drawImage(arenaRect_.topLeft(), background_);
    painter.setRenderHint(QPainter::Antialiasing);

    painter.drawImage(arenaRect_.topLeft(), trailLayer_);
    const sim::SensorReadings sensors = view_->Sensors();
    DrawRobot(painter, *view_, sensors);

    if (const QImage picture = cameraPicture_ ? cameraPicture_() : QImage(); !picture.isNull()) {
        const QRect inset(int(arenaRect_.right()) - InsetWidth - 4, int(arenaRect_.top()) + 4, InsetWidth,
                          InsetHeight);
        painter.drawImage(inset, picture);
        painter.setPen(QPen(QColor(0, 170, 200), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(inset);
    }
    DrawStatus(painter, *view_, sensors);
}

void ArenaView::DrawRobot(QPainter &painter, const sim::Simulation &view, const sim::SensorReadings &sensors)
{
    const sim::World &world = view.world();
    const sim::RobotSpec &body = world.robot;
    const sim::Pose &pose = view.pose();

    // The camera's field of view.
    const auto corners = sim::CameraCorners(body.camera, pose);
    QPolygonF fov;
    for (const sim::Vec2 &c : corners)
        fov << ToScreen(c);
    painter.setPen(QPen(QColor(0, 170, 200), 1.5));
    painter.setBrush(QColor(0, 170, 200, 40));
    painter.drawPolygon(fov);

    // The obstacle sensor's cone, red while something is within range.
    const sim::Vec2 origin = sim::ToWorld(pose, body.obstacleSensor.position);
    const double range = body.obstacleSensor.range;
    QPainterPath cone(ToScreen(origin));
    const int steps = 12;
    for (int i = 0; i <= steps; ++i) {
        const double a = pose.heading + body.obstacleSensor.halfAngle * (2.0 * i / steps - 1);
        cone.lineTo(ToScreen(origin + range * sim::Vec2{std::cos(a), std::sin(a)}));
    }
    cone.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(sensors.obstacle ? QColor(230, 40, 30, 120) : QColor(250, 200, 40, 50));
    painter.drawPath(cone);

    // The body, its wheels and its heading.
    const double r = body.bodyRadius * pixelsPerMetre_;
    const QPointF centre = ToScreen({pose.x, pose.y});
    painter.setPen(QPen(view.touching() ? QColor(230, 30, 30) : QColor(30, 30, 30), 2));
    painter.setBrush(QColor(90, 150, 90, 200));
    painter.drawEllipse(centre, r, r);
    painter.setPen(QPen(QColor(20, 20, 20), std::max(3.0, 0.015 * pixelsPerMetre_), Qt::SolidLine, Qt::FlatCap));
    for (double side : {1.0, -1.0}) {
        const sim::Vec2 a = sim::ToWorld(pose, {0.025, side * body.trackWidth / 2});
        const sim::Vec2 b = sim::ToWorld(pose, {-0.025, side * body.trackWidth / 2});
        painter.drawLine(ToScreen(a), ToScreen(b));
    }
    painter.setPen(QPen(QColor(250, 250, 250), 2));
    painter.drawLine(centre, ToScreen(sim::ToWorld(pose, {body.bodyRadius, 0})));

    // The line sensors, lit while over the line.
    const double dot = std::max(3.0, 0.008 * pixelsPerMetre_);
    for (const auto &[where, lit] : {std::pair{body.leftSensor, sensors.leftLine},
                                     std::pair{body.rightSensor, sensors.rightLine}}) {
        painter.setPen(QPen(QColor(20, 20, 20), 1));
        painter.setBrush(lit ? QColor(255, 60, 30) : QColor(120, 120, 120));
        painter.drawEllipse(ToScreen(sim::ToWorld(pose, where)), dot, dot);
    }
}

void ArenaView::DrawStatus(QPainter &painter, const sim::Simulation &view, const sim::SensorReadings &sensors)
{
    const QRectF strip(arenaRect_.left(), arenaRect_.bottom() + 6, arenaRect_.width(), StatusHeight - 8);
    const sim::Pose &pose = view.pose();
    painter.setPen(QColor(230, 230, 230));
    QFont font = painter.font();
    font.setPointSizeF(10);
    painter.setFont(font);
    const QString left =
        QStringLiteral("motors %1   status %2\nx %3 m  y %4 m  heading %5°   driven %6 m")
            .arg(Motors(view.data()))
            .arg(sim::StatusValue(sensors))
            .arg(pose.x, 0, 'f', 3)
            .arg(pose.y, 0, 'f', 3)
            .arg(pose.heading * 180 / sim::Pi, 0, 'f', 1)
            .arg(view.odometer(), 0, 'f', 2);
    painter.drawText(strip, Qt::AlignLeft | Qt::AlignTop, left);

    font.setBold(true);
    font.setPointSizeF(12);
    painter.setFont(font);
    painter.setPen(view.contacts() > 0 ? QColor(255, 90, 80) : QColor(150, 220, 150));
    painter.drawText(strip, Qt::AlignRight | Qt::AlignTop, QStringLiteral("contacts: %1").arg(view.contacts()));

    QString notice;
    QColor colour;
    switch (facts_.controller) {
    case ControllerState::Waiting:
        notice = QStringLiteral("waiting for the control program");
        colour = QColor(220, 200, 120);
        break;
    case ControllerState::Connected:
        notice = QStringLiteral("control program connected");
        colour = QColor(150, 220, 150);
        // The one in charge of the motors went away or was stopped, while
        // another client stays connected.
        if (facts_.forcedStop == MotorStop::ControllerLeft) {
            notice = QStringLiteral("motors stopped: the program driving them went away");
            colour = QColor(255, 80, 70);
        } else if (facts_.forcedStop == MotorStop::ControllerStopped) {
            notice = QStringLiteral("motors stopped: the program driving them was stopped");
            colour = QColor(255, 80, 70);
        }
        break;
    case ControllerState::Gone:
        notice = QStringLiteral("THE CONTROL PROGRAM HAS GONE - motors stopped");
        colour = QColor(255, 80, 70);
        break;
    }
    painter.setPen(colour);
    painter.drawText(strip, Qt::AlignRight | Qt::AlignBottom, notice);
    if (facts_.controller == ControllerState::Gone) {
        // Also across the arena, where it cannot be missed.
        const QRectF banner(arenaRect_.left(), arenaRect_.top() + arenaRect_.height() / 2 - 24, arenaRect_.width(), 48);
        painter.fillRect(banner, QColor(150, 20, 20, 200));
        painter.setPen(Qt::white);
        font.setPointSizeF(16);
        painter.setFont(font);
        painter.drawText(banner, Qt::AlignCenter, QStringLiteral("The control program has gone"));
    }
}
