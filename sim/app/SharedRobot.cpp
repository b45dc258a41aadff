#include "sim/app/SharedRobot.h"

#include "sim/core/Geometry.h"

#include <cmath>
#include <cstdio>

void SharedRobot::Write(int64_t ns, int port, int value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sim_.Write(ns, port, value);
}

int SharedRobot::Read(int64_t ns, int port)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sim_.Read(ns, port);
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
    if (controllers_ > 0 && --controllers_ == 0)
        sim_.Write(ns, sim::DataRegister, 0);
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
    const sim::PathProjection onTrack = world.track.Project(centre);
    const sim::SensorReadings sensors = s.Sensors();
    const double obstacle = std::isfinite(sensors.obstacleDistance) ? sensors.obstacleDistance : -1;
    const char *who = controller == ControllerState::Connected ? "connected"
                      : controller == ControllerState::Gone    ? "gone"
                                                               : "waiting";
    char text[1024];
    std::snprintf(text, sizeof(text),
                  "{\"t\":%lld,\"x\":%.6f,\"y\":%.6f,\"heading\":%.4f,\"data\":%d,\"status\":%d,"
                  "\"contacts\":%d,\"touching\":%s,\"odometer\":%.6f,\"lineDistance\":%.6f,"
                  "\"sensorLineDistance\":%.6f,\"trackPosition\":%.6f,\"trackLength\":%.6f,"
                  "\"obstacleDistance\":%.6f,\"controller\":\"%s\",\"cameraClients\":%d,"
                  "\"cameraFrames\":%lld}",
                  static_cast<long long>(s.time()), pose.x, pose.y, pose.heading * 180 / sim::Pi, s.data(),
                  sim::StatusValue(sensors), s.contacts(), s.touching() ? "true" : "false", s.odometer(),
                  onTrack.distance, world.track.Project(between).distance, onTrack.arcLength,
                  world.track.Length(), obstacle, who, cameraClients, static_cast<long long>(cameraFrames));
    return text;
}
