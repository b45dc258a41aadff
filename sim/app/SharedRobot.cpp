#include "sim/app/SharedRobot.h"

#include "core/Clock.h"
#include "sim/core/Geometry.h"
#include "sim/protocol/SimProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

SharedRobot::SharedRobot(const sim::World &world) : sim_(world), start_(MonotonicNs()) {}

int64_t SharedRobot::Checked(int64_t ns) const
{
    return sim::CheckedTimestamp(ns, start_, MonotonicNs(), sim_.time());
}

void SharedRobot::Write(int64_t ns, int port, int value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sim_.Write(Checked(ns), port, value);
    if (port == DataPort)
        timeline_.Data(sim_.time(), sim_.data());
}

int SharedRobot::Read(int64_t ns, int port)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const int value = sim_.Read(Checked(ns), port);
    if (port == StatusPort)
        timeline_.Status(sim_.time(), value);
    return value;
}

void SharedRobot::NoteStatus(int64_t ns, int status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    timeline_.Status(ns, status);
}

sim::PortTimeline SharedRobot::Timeline() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return timeline_;
}

sim::Simulation SharedRobot::Snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sim_;
}

void SharedRobot::ControllerArrived()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++controllers_;
    everConnected_ = true;
}

void SharedRobot::ControllerLeft(int64_t ns)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (controllers_ > 0 && --controllers_ == 0) {
        sim_.Write(ns, DataPort, 0);
        timeline_.Data(sim_.time(), 0);
    }
}

ControllerState SharedRobot::Controller() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (controllers_ > 0)
        return ControllerState::Connected;
    return everConnected_ ? ControllerState::Gone : ControllerState::Waiting;
}

std::string StateJson(const sim::Simulation &s, ControllerState controller, int cameraClients,
                      int64_t cameraFrames)
{
    const sim::World &world = s.world();
    const sim::Pose &pose = s.pose();
    const sim::Vec2 centre{pose.x, pose.y};
    const sim::Vec2 between = sim::ToWorld(pose, 0.5 * (world.robot.leftSensor + world.robot.rightSensor));
    // JSON has no infinity: distances to nothing (no line, nothing in sight) are -1.
    auto finite = [](double d) { return std::isfinite(d) ? d : -1.0; };
    const sim::PathProjection onTrack = world.track.Project(centre);
    const sim::SensorReadings sensors = s.Sensors();
    const char *who = controller == ControllerState::Connected ? "connected"
                      : controller == ControllerState::Gone    ? "gone"
                                                               : "waiting";
    // Built by Qt's JSON writer, whose numbers do not follow the locale.
    const QJsonObject o{
        {"t", static_cast<qint64>(s.time())},
        {"x", pose.x},
        {"y", pose.y},
        {"heading", pose.heading * 180 / sim::Pi},
        {"data", s.data()},
        {"status", sim::StatusValue(sensors)},
        {"contacts", s.contacts()},
        {"touching", s.touching()},
        {"odometer", s.odometer()},
        {"lineDistance", finite(onTrack.distance)},
        {"sensorLineDistance", finite(world.track.Project(between).distance)},
        {"trackPosition", onTrack.arcLength},
        {"trackLength", world.track.Length()},
        {"obstacleDistance", finite(sensors.obstacleDistance)},
        {"controller", who},
        {"cameraClients", cameraClients},
        {"cameraFrames", static_cast<qint64>(cameraFrames)},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}
