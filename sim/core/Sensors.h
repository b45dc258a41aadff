#pragma once
// The robot's sensors and the status register they pull low.
#include "sim/core/Geometry.h"
#include "sim/core/World.h"

namespace sim {

// The status register with no sensor firing: every line high but S0, which
// the port does not have.
constexpr int StatusIdle = 254;
// Lines a firing sensor pulls low.
constexpr int ObstacleBit = 1 << 7;  // S7: something within the obstacle sensor's range
constexpr int LeftLineBit = 1 << 5;  // S5: the left line sensor is over the line
constexpr int RightLineBit = 1 << 4; // S4: the right line sensor is over the line

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

// The status register's value for these readings.
int StatusValue(const SensorReadings &readings);

} // namespace sim
