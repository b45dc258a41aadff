#pragma once
// The robot's sensors and the status register they pull low.
#include "core/RobotWiring.h"
#include "sim/core/Geometry.h"
#include "sim/core/World.h"

namespace sim {

struct SensorReadings {
    bool leftLine = false;
    bool rightLine = false;
    bool obstacle = false;
    double obstacleDistance = 0; // metres from the sensor to what it sees; infinity if nothing
};

// True when the point lies on the track's line (within half its width of the
// centre line).
bool OnLine(const World &world, Vec2 point);

// Distance from the obstacle sensor to the nearest wall or obstacle within its
// cone (infinity when the cone holds none).
double ObstacleDistance(const World &world, const Pose &pose);

SensorReadings ReadSensors(const World &world, const Pose &pose);

// The status register's value for these readings: the idle value with the
// line of each firing sensor pulled low.
int StatusValue(const SensorReadings &readings);

} // namespace sim
