#include "sim/core/Kinematics.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {
// Below this turn rate (rad/s) a move is taken as straight.
constexpr double StraightTurnRate = 1e-12;
// Smallest step of the contact search, metres of the centre's path: near a
// wall the search creeps on in steps of this length.
constexpr double ContactStep = 1e-4;
// The contact point is found to within this many seconds.
constexpr double ContactTimeTolerance = 1e-7;

int WheelDirection(int data, int forwardBit, int backwardBit)
{
    const bool forward = (data & forwardBit) != 0;
    const bool backward = (data & backwardBit) != 0;
    return forward == backward ? 0 : (forward ? 1 : -1);
}
} // namespace

WheelDirections DecodeMotors(int dataRegister)
{
    return {WheelDirection(dataRegister, LeftForwardBit, LeftBackwardBit),
            WheelDirection(dataRegister, RightForwardBit, RightBackwardBit)};
}

Pose AdvancePose(const Pose &pose, double leftSpeed, double rightSpeed, double trackWidth, double seconds)
{
    const double v = (leftSpeed + rightSpeed) / 2;
    const double omega = (rightSpeed - leftSpeed) / trackWidth;
    Pose out = pose;
    if (std::abs(omega) < StraightTurnRate) {
        out.x += v * seconds * std::cos(pose.heading);
        out.y += v * seconds * std::sin(pose.heading);
        return out;
    }
    // A circular arc of radius v/omega around the instantaneous centre.
    const double heading = pose.heading + omega * seconds;
    const double radius = v / omega;
    out.x += radius * (std::sin(heading) - std::sin(pose.heading));
    out.y -= radius * (std::cos(heading) - std::cos(pose.heading));
    out.heading = WrapAngle(heading);
    return out;
}

double Clearance(const World &world, Vec2 centre, double bodyRadius)
{
    double room = std::min({centre.x, world.width - centre.x, centre.y, world.height - centre.y});
    for (const Obstacle &o : world.obstacles)
        room = std::min(room, SignedDistanceToRect(centre, o.rect));
    return room - bodyRadius;
}

Motion MoveWithContacts(const World &world, const Pose &pose, double leftSpeed, double rightSpeed,
                        double seconds)
{
    const double trackWidth = world.robot.trackWidth;
    const double radius = world.robot.bodyRadius;
    const double speed = std::abs(leftSpeed + rightSpeed) / 2; // of the centre along its path
    Motion result;
    if (seconds <= 0) {
        result.pose = pose;
        return result;
    }
    if (speed == 0) { // a turn on the spot: the round body sweeps nothing new
        result.pose = AdvancePose(pose, leftSpeed, rightSpeed, trackWidth, seconds);
        return result;
    }
    auto at = [&](double t) { return AdvancePose(pose, leftSpeed, rightSpeed, trackWidth, t); };
    auto clearance = [&](double t) {
        const Pose p = at(t);
        return Clearance(world, {p.x, p.y}, radius);
    };
    // Clearance is the distance to the nearest wall, and the centre never
    // moves farther than its path length: a step of the clearance's length
    // cannot reach a wall. Near a wall the steps shrink to ContactStep and a
    // step that would end inside is cut back to the point of contact.
    double t = 0;
    double room = clearance(0);
    while (t < seconds) {
        const double next = std::min(seconds, t + std::max(room, ContactStep) / speed);
        const double nextRoom = clearance(next);
        const double startRoom = room;
        auto free = [&](double r) { return r >= 0 || r >= startRoom; };
        if (free(nextRoom)) {
            t = next;
            room = nextRoom;
            continue;
        }
        double lo = t, hi = next;
        while (hi - lo > ContactTimeTolerance) {
            const double mid = (lo + hi) / 2;
            (free(clearance(mid)) ? lo : hi) = mid;
        }
        t = lo;
        result.blocked = true;
        break;
    }
    result.pose = at(t);
    result.travelled = speed * t;
    return result;
}

} // namespace sim
