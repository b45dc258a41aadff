#include "sim/app/SharedRobot.h"

#include "core/Clock.h"
#include "sim/core/Geometry.h"
#include "sim/core/Kinematics.h"
#include "sim/protocol/SimProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

SharedRobot::SharedRobot(std::shared_ptr<const sim::World> world, std::shared_ptr<const sim::FloorMap> floor,
                         std::string name)
    : world_(std::move(world)), floor_(std::move(floor)), worldName_(std::move(name)), sim_(world_),
      start_(MonotonicNs())
{
}

SharedRobot::SharedRobot(const sim::World &world) : sim_(world), start_(MonotonicNs()) {}

int64_t SharedRobot::Checked(int64_t ns) const
{
    return sim::CheckedTimestamp(ns, start_, MonotonicNs(), sim_.time());
}

void SharedRobot::Write(int64_t ns, int port, int value, uint64_t client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sim_.Write(Checked(ns), port, value);
    if (port == DataPort) {
        timeline_.Data(sim_.time(), sim_.data());
        driver_ = client;
        forcedStop_ = MotorStop::None;
    }
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

SimScene SharedRobot::Scene() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {sim_, floor_};
}

void SharedRobot::ApplyHold(int64_t ns) { sim_.Hold(ns, paused_ || inHand_); }

void SharedRobot::Restart(int64_t ns)
{
    const int code = sim_.data();
    sim_ = world_ ? sim::Simulation(world_) : sim::Simulation(sim_.world());
    // A fresh simulation takes its first time from its first access.
    sim_.Write(ns, DataPort, code);
    ApplyHold(ns);
}

void SharedRobot::PutBack(int64_t ns)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Restart(Checked(ns));
}

bool SharedRobot::MoveTo(int64_t ns, const sim::Pose &pose)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const sim::World &world = sim_.world();
    if (!(sim::Clearance(world, {pose.x, pose.y}, world.robot.bodyRadius) >= 0))
        return false; // into a wall or an obstacle, or not a number
    sim_.AdvanceTo(Checked(ns));
    sim_.MoveTo(pose);
    return true;
}

void SharedRobot::SetInHand(int64_t ns, bool inHand)
{
    std::lock_guard<std::mutex> lock(mutex_);
    inHand_ = inHand;
    ApplyHold(Checked(ns));
}

void SharedRobot::SetPaused(int64_t ns, bool paused)
{
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = paused;
    ApplyHold(Checked(ns));
}

bool SharedRobot::Paused() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return paused_;
}

void SharedRobot::ReplaceWorld(int64_t ns, std::shared_ptr<const sim::World> world,
                               std::shared_ptr<const sim::FloorMap> floor, std::string name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    world_ = std::move(world);
    floor_ = std::move(floor);
    worldName_ = std::move(name);
    Restart(Checked(ns));
}

void SharedRobot::NoteTrail(int points, sim::Vec2 start)
{
    std::lock_guard<std::mutex> lock(mutex_);
    trailPoints_ = points;
    trailStart_ = start;
}

void SharedRobot::ControllerArrived()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++controllers_;
    everConnected_ = true;
}

void SharedRobot::StopMotors(int64_t ns, MotorStop why)
{
    sim_.Write(Checked(ns), DataPort, 0);
    timeline_.Data(sim_.time(), 0);
    forcedStop_ = why;
    ++forcedStops_;
}

void SharedRobot::ControllerLeft(int64_t ns, uint64_t client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (controllers_ > 0)
        --controllers_;
    if (client == 0 || client != driver_)
        return;
    driver_ = 0;
    if (sim_.data() != 0)
        StopMotors(ns, MotorStop::ControllerLeft);
}

void SharedRobot::ControllerStopped(int64_t ns, uint64_t client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (client != 0 && client == driver_ && sim_.data() != 0)
        StopMotors(ns, MotorStop::ControllerStopped);
}

uint64_t SharedRobot::RunningDriver() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sim_.data() != 0 ? driver_ : 0;
}

SimulatorFacts SharedRobot::Facts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    SimulatorFacts facts;
    facts.controller = ControllerUnlocked();
    facts.forcedStop = forcedStop_;
    facts.forcedStops = forcedStops_;
    facts.paused = paused_;
    facts.world = worldName_;
    facts.trailPoints = trailPoints_;
    facts.trailStart = trailStart_;
    return facts;
}

ControllerState SharedRobot::Controller() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ControllerUnlocked();
}

ControllerState SharedRobot::ControllerUnlocked() const
{
    if (controllers_ > 0)
        return ControllerState::Connected;
    return everConnected_ ? ControllerState::Gone : ControllerState::Waiting;
}

std::string StateJson(const sim::Simulation &s, const SimulatorFacts &facts)
{
    const sim::World &world = s.world();
    const sim::Pose &pose = s.pose();
    const sim::Vec2 centre{pose.x, pose.y};
    const sim::Vec2 between = sim::ToWorld(pose, 0.5 * (world.robot.leftSensor + world.robot.rightSensor));
    // JSON has no infinity: distances to nothing (no line, nothing in sight) are -1.
    auto finite = [](double d) { return std::isfinite(d) ? d : -1.0; };
    const sim::PathProjection onTrack = world.track.Project(centre);
    const sim::SensorReadings sensors = s.Sensors();
    const char *who = facts.controller == ControllerState::Connected ? "connected"
                      : facts.controller == ControllerState::Gone    ? "gone"
                                                                     : "waiting";
    const char *stop = facts.forcedStop == MotorStop::ControllerLeft      ? "controller left"
                       : facts.forcedStop == MotorStop::ControllerStopped ? "controller stopped"
                                                                          : "";
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
        {"forcedStop", stop},
        {"forcedStops", facts.forcedStops},
        {"cameraClients", facts.cameraClients},
        {"cameraFrames", static_cast<qint64>(facts.cameraFrames)},
        {"arenaWidth", world.width},
        {"arenaHeight", world.height},
        {"paused", facts.paused},
        {"world", QString::fromStdString(facts.world)},
        {"trailPoints", facts.trailPoints},
        {"trailX", facts.trailStart.x},
        {"trailY", facts.trailStart.y},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}
