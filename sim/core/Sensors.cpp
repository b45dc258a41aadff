#include "sim/core/Sensors.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sim {
namespace {
// Rays cast across the obstacle sensor's cone, edges included.
constexpr int ConeRays = 9;
} // namespace

bool OnLine(const World &world, Vec2 point)
{
    return world.track.Project(point).distance <= world.track.width / 2;
}

double ObstacleDistance(const World &world, const Pose &pose)
{
    const ObstacleSensor &sensor = world.robot.obstacleSensor;
    const Vec2 origin = ToWorld(pose, sensor.position);
    double nearest = std::numeric_limits<double>::infinity();
    const bool inside = origin.x >= 0 && origin.y >= 0 && origin.x <= world.width && origin.y <= world.height;
    if (!inside)
        return 0; // the sensor itself is in the wall
    for (int i = 0; i < ConeRays; ++i) {
        const double angle = pose.heading + sensor.halfAngle * (2.0 * i / (ConeRays - 1) - 1);
        const Vec2 dir{std::cos(angle), std::sin(angle)};
        nearest = std::min(nearest, RayToBoxWalls(origin, dir, world.width, world.height));
        for (const Obstacle &o : world.obstacles) {
            const double d = RayToRect(origin, dir, o.rect);
            if (d >= 0)
                nearest = std::min(nearest, d);
        }
    }
    return nearest;
}

SensorReadings ReadSensors(const World &world, const Pose &pose)
{
    SensorReadings r;
    r.leftLine = OnLine(world, ToWorld(pose, world.robot.leftSensor));
    r.rightLine = OnLine(world, ToWorld(pose, world.robot.rightSensor));
    r.obstacleDistance = ObstacleDistance(world, pose);
    r.obstacle = r.obstacleDistance <= world.robot.obstacleSensor.range;
    return r;
}

int StatusValue(const SensorReadings &readings)
{
    int value = StatusIdle;
    if (readings.leftLine)
        value &= ~LeftLineBit;
    if (readings.rightLine)
        value &= ~RightLineBit;
    if (readings.obstacle)
        value &= ~ObstacleBit;
    return value;
}

} // namespace sim
