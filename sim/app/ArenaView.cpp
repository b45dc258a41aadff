#include "sim/app/ArenaView.h"

#include "core/Clock.h"
#include "sim/core/Kinematics.h"
#include "sim/protocol/SimProtocol.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QResizeEvent>
#include <QShortcut>
#include <QWheelEvent>

#include <cmath>
#include <cstdio>

namespace {
constexpr int RefreshMs = 33;
// The trail gets a new point once the robot is this far (metres) from the last.
constexpr double TrailStep = 0.005;
// The trail keeps at most this many points (500 m); the oldest go first.
constexpr size_t TrailPoints = 100000;
// The camera picture's size in the corner of the window.
constexpr int InsetWidth = 160;
constexpr int InsetHeight = 120;
// A press this close (pixels) to the robot's body takes hold of it.
constexpr double GripSlack = 4;
// One notch of the mouse wheel (an angle delta of 120) turns the robot this far.
constexpr double WheelTurnDegrees = 15;
constexpr int WheelNotch = 120;

QString Motors(int data)
{
    const sim::WheelDirections w = sim::DecodeMotors(data);
    auto name = [](int d) { return d > 0 ? QStringLiteral("fwd") : d < 0 ? QStringLiteral("back") : QStringLiteral("stop"); };
    return QStringLiteral("code %1: left %2, right %3").arg(data).arg(name(w.left), name(w.right));
}

QString WorldName(const SimulatorFacts &facts) { return QString::fromStdString(facts.world); }
} // namespace

QString ArenaView::Title(const QString &worldName) { return QStringLiteral("Virtual robot - %1").arg(worldName); }

ArenaView::ArenaView(SharedRobot &robot, std::function<QImage()> cameraPicture, const QString &worldFile,
                     QWidget *parent)
    : QWidget(parent), robot_(robot), cameraPicture_(std::move(cameraPicture)), worldFile_(worldFile),
      layout_(size(), 1, 1), strip_(new TimelineStrip(this)), putBack_(new QPushButton(this)),
      pause_(new QPushButton(this)), open_(new QPushButton(this))
{
    setMinimumSize(320, 240);
    setMouseTracking(true); // the cursor shows where the robot can be taken
    putBack_->setText(QStringLiteral("Put back  [R]"));
    putBack_->setToolTip(QStringLiteral("The robot back at the world's start; its trail and counts start afresh"));
    pause_->setText(QStringLiteral("Pause  [P]"));
    pause_->setToolTip(QStringLiteral("Stops time for the robot; the control program's writes still arrive. "
                                      "Escape and Space here are the control program's emergency stop"));
    open_->setText(QStringLiteral("Open world...  [Ctrl+O]"));
    open_->setToolTip(QStringLiteral("Another world file; the control program stays connected"));
    // The keys stay with the window: a focused button would take a key for
    // itself. Escape and Space are not the window's: the control program
    // watches them here as its emergency stop (core/ArenaWindow.h).
    for (QPushButton *button : {putBack_, pause_, open_})
        button->setFocusPolicy(Qt::NoFocus);
    connect(putBack_, &QPushButton::clicked, this, &ArenaView::PutBack);
    connect(pause_, &QPushButton::clicked, this, &ArenaView::TogglePause);
    connect(open_, &QPushButton::clicked, this, &ArenaView::OpenWorld);
    auto key = [this](const QKeySequence &keys, void (ArenaView::*action)()) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, action);
    };
    key(QKeySequence(Qt::Key_R), &ArenaView::PutBack);
    key(QKeySequence(Qt::Key_Home), &ArenaView::PutBack);
    key(QKeySequence(Qt::Key_P), &ArenaView::TogglePause);
    key(QKeySequence::Open, &ArenaView::OpenWorld);

    connect(&timer_, &QTimer::timeout, this, &ArenaView::Tick);
    timer_.start(RefreshMs);
    Tick();
}

QSize ArenaView::sizeHint() const
{
    const sim::Simulation now = robot_.Snapshot(); // keeps its world alive while looked at
    return ArenaLayout::Preferred(now.world().width, now.world().height);
}

void ArenaView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Relayout();
}

void ArenaView::Relayout()
{
    const SimScene scene = robot_.Scene();
    const sim::World &world = scene.sim.world();
    floor_ = scene.floor;
    layout_ = ArenaLayout(size(), world.width, world.height);
    strip_->setGeometry(layout_.strip());
    putBack_->setGeometry(layout_.button(ArenaLayout::PutBackButton));
    pause_->setGeometry(layout_.button(ArenaLayout::PauseButton));
    open_->setGeometry(layout_.button(ArenaLayout::OpenButton));
    // The arena fits the widget, however large it is: the pictures drawn at
    // this scale never outgrow the window.
    const QSize arena = layout_.arena().size().toSize().expandedTo(QSize(1, 1));
    if (floor_)
        background_ = floor_->image().scaled(arena, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    else
        background_ = QImage(arena, QImage::Format_RGB32);
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
    painter.translate(-layout_.arena().topLeft());
    painter.setPen(QPen(QColor(40, 110, 220, 170), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath path(ToScreen(trail_[from == 0 ? 0 : from - 1]));
    for (size_t i = from == 0 ? 1 : from; i < trail_.size(); ++i)
        path.lineTo(ToScreen(trail_[i]));
    painter.drawPath(path);
}

void ArenaView::RestartTrail()
{
    trail_.clear();
    DrawTrail(0);
}

void ArenaView::Tick()
{
    const SimScene scene = robot_.Scene();
    if (scene.floor != floor_) { // another world
        Relayout();
        RestartTrail();
    }
    sim::Simulation view = scene.sim;
    const int64_t now = MonotonicNs();
    view.AdvanceTo(now);
    // The sensor lines change as the robot moves, read or not.
    robot_.NoteStatus(now, sim::StatusValue(view.Sensors()));
    strip_->Show(robot_.Timeline(), now);
    const sim::Vec2 at{view.pose().x, view.pose().y};
    // While the robot is in the hand the trail waits: it starts where it is set down.
    if (hand_ == Hand::None && (trail_.empty() || sim::Length(at - trail_.back()) >= TrailStep)) {
        if (trail_.size() >= TrailPoints) {
            trail_.erase(trail_.begin(), trail_.begin() + TrailPoints / 4);
            trail_.push_back(at);
            DrawTrail(0);
        } else {
            trail_.push_back(at);
            DrawTrail(trail_.size() - 1);
        }
    }
    robot_.NoteTrail(static_cast<int>(trail_.size()), trail_.empty() ? sim::Vec2{} : trail_.front());
    view_ = view;
    facts_ = robot_.Facts();
    pause_->setText(facts_.paused ? QStringLiteral("Resume  [P]") : QStringLiteral("Pause  [P]"));
    const QString title = Title(WorldName(facts_));
    if (windowTitle() != title)
        setWindowTitle(title);
    update();
}

void ArenaView::PutBack()
{
    robot_.PutBack(MonotonicNs());
    RestartTrail();
    Tick();
}

void ArenaView::TogglePause()
{
    robot_.SetPaused(MonotonicNs(), !robot_.Paused());
    Tick();
}

void ArenaView::OpenWorld()
{
    const QString folder = worldFile_.isEmpty() ? QDir::currentPath() : QFileInfo(worldFile_).path();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open a world"), folder,
                                                      QStringLiteral("World files (*.json);;All files (*)"));
    if (path.isEmpty())
        return; // cancelled
    // Read and painted before anything changes: a refused file leaves the
    // running world as it was.
    try {
        auto world = std::make_shared<const sim::World>(sim::LoadWorld(path));
        auto floor = std::make_shared<const sim::FloorMap>(*world);
        robot_.ReplaceWorld(MonotonicNs(), std::move(world), std::move(floor),
                            QFileInfo(path).fileName().toStdString());
    } catch (const std::exception &e) {
        const QString running = WorldName(robot_.Facts());
        std::fprintf(stderr, "robot-sim: world not opened: %s; the robot stays in %s\n", e.what(),
                     running.toLocal8Bit().constData());
        std::fflush(stderr);
        QMessageBox::warning(this, QStringLiteral("Virtual robot: world not opened"),
                             QStringLiteral("The world was not opened:\n\n%1\n\nThe robot stays in %2.")
                                 .arg(QString::fromLocal8Bit(e.what()), running));
        return;
    }
    worldFile_ = path;
    std::printf("robot-sim: world %s\n", path.toLocal8Bit().constData());
    std::fflush(stdout);
    Tick();
}

bool ArenaView::OnRobot(QPointF at) const
{
    if (!view_)
        return false;
    const sim::Pose &pose = view_->pose();
    const QPointF centre = ToScreen({pose.x, pose.y});
    const double radius = view_->world().robot.bodyRadius * layout_.pixelsPerMetre() + GripSlack;
    return std::hypot(at.x() - centre.x(), at.y() - centre.y()) <= radius;
}

void ArenaView::SetDown(const sim::Pose &pose)
{
    robot_.MoveTo(MonotonicNs(), pose); // where it does not fit, it stays where it was
    RestartTrail();
    Tick();
}

void ArenaView::mousePressEvent(QMouseEvent *event)
{
    if (!view_ || hand_ != Hand::None)
        return;
    const QPointF at = event->position();
    const sim::Pose pose = robot_.Snapshot().pose();
    if (event->button() == Qt::LeftButton && OnRobot(at)) {
        hand_ = Hand::Moving;
        grip_ = sim::Vec2{pose.x, pose.y} - layout_.ToWorld(at);
        setCursor(Qt::ClosedHandCursor);
    } else if (event->button() == Qt::RightButton && layout_.arena().contains(at)) {
        hand_ = Hand::Turning;
        setCursor(Qt::SizeAllCursor);
    } else {
        return;
    }
    robot_.SetInHand(MonotonicNs(), true);
    mouseMoveEvent(event); // a right click alone turns it toward the pointer
}

void ArenaView::mouseMoveEvent(QMouseEvent *event)
{
    const QPointF at = event->position();
    if (hand_ == Hand::None) {
        setCursor(OnRobot(at) ? Qt::OpenHandCursor : Qt::ArrowCursor);
        return;
    }
    sim::Pose pose = robot_.Snapshot().pose();
    const sim::Vec2 pointer = layout_.ToWorld(at);
    if (hand_ == Hand::Moving) {
        pose.x = pointer.x + grip_.x;
        pose.y = pointer.y + grip_.y;
    } else if (const sim::Vec2 to = pointer - sim::Vec2{pose.x, pose.y}; sim::Length(to) > 0) {
        pose.heading = std::atan2(to.y, to.x);
    }
    SetDown(pose);
}

void ArenaView::mouseReleaseEvent(QMouseEvent *event)
{
    const bool moving = hand_ == Hand::Moving && event->button() == Qt::LeftButton;
    const bool turning = hand_ == Hand::Turning && event->button() == Qt::RightButton;
    if (!moving && !turning)
        return;
    hand_ = Hand::None;
    setCursor(OnRobot(event->position()) ? Qt::OpenHandCursor : Qt::ArrowCursor);
    robot_.SetInHand(MonotonicNs(), false);
    RestartTrail();
    Tick();
}

void ArenaView::wheelEvent(QWheelEvent *event)
{
    if (!layout_.arena().contains(event->position())) {
        event->ignore();
        return;
    }
    sim::Pose pose = robot_.Snapshot().pose();
    pose.heading = sim::WrapAngle(pose.heading +
                                  event->angleDelta().y() * WheelTurnDegrees / WheelNotch * sim::Pi / 180);
    SetDown(pose);
}

void ArenaView::paintEvent(QPaintEvent *)
{
    if (!view_)
        return;
    QPainter painter(this);
    painter.fillRect(rect(), QColor(40, 40, 44));
    painter.drawImage(layout_.arena().topLeft(), background_);
    painter.setRenderHint(QPainter::Antialiasing);

    painter.drawImage(layout_.arena().topLeft(), trailLayer_);
    const sim::SensorReadings sensors = view_->Sensors();
    DrawRobot(painter, *view_, sensors);

    if (const QImage picture = cameraPicture_ ? cameraPicture_() : QImage(); !picture.isNull()) {
        const QRect inset(int(layout_.arena().right()) - InsetWidth - 4, int(layout_.arena().top()) + 4,
                          InsetWidth, InsetHeight);
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
    const double r = body.bodyRadius * layout_.pixelsPerMetre();
    const QPointF centre = ToScreen({pose.x, pose.y});
    painter.setPen(QPen(view.touching() ? QColor(230, 30, 30) : QColor(30, 30, 30), 2));
    painter.setBrush(QColor(90, 150, 90, 200));
    painter.drawEllipse(centre, r, r);
    painter.setPen(QPen(QColor(20, 20, 20), std::max(3.0, 0.015 * layout_.pixelsPerMetre()), Qt::SolidLine, Qt::FlatCap));
    for (double side : {1.0, -1.0}) {
        const sim::Vec2 a = sim::ToWorld(pose, {0.025, side * body.trackWidth / 2});
        const sim::Vec2 b = sim::ToWorld(pose, {-0.025, side * body.trackWidth / 2});
        painter.drawLine(ToScreen(a), ToScreen(b));
    }
    painter.setPen(QPen(QColor(250, 250, 250), 2));
    painter.drawLine(centre, ToScreen(sim::ToWorld(pose, {body.bodyRadius, 0})));

    // The line sensors, lit while over the line.
    const double dot = std::max(3.0, 0.008 * layout_.pixelsPerMetre());
    for (const auto &[where, lit] : {std::pair{body.leftSensor, sensors.leftLine},
                                     std::pair{body.rightSensor, sensors.rightLine}}) {
        painter.setPen(QPen(QColor(20, 20, 20), 1));
        painter.setBrush(lit ? QColor(255, 60, 30) : QColor(120, 120, 120));
        painter.drawEllipse(ToScreen(sim::ToWorld(pose, where)), dot, dot);
    }
}

void ArenaView::DrawStatus(QPainter &painter, const sim::Simulation &view, const sim::SensorReadings &sensors)
{
    const QRectF strip = layout_.status();
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
    const QRectF arena = layout_.arena();
    font.setPointSizeF(16);
    painter.setFont(font);
    if (facts_.controller == ControllerState::Gone) {
        // Also across the arena, where it cannot be missed.
        const QRectF banner(arena.left(), arena.top() + arena.height() / 2 - 24, arena.width(), 48);
        painter.fillRect(banner, QColor(150, 20, 20, 200));
        painter.setPen(Qt::white);
        painter.drawText(banner, Qt::AlignCenter, QStringLiteral("The control program has gone"));
    }
    if (facts_.paused) {
        // Along the arena's bottom, clear of the camera's picture: the robot
        // stands only because time does.
        const QRectF banner(arena.left(), arena.bottom() - 36, arena.width(), 36);
        painter.fillRect(banner, QColor(30, 60, 140, 200));
        painter.setPen(Qt::white);
        painter.drawText(banner, Qt::AlignCenter, QStringLiteral("PAUSED - the port's writes still arrive"));
    }
}
