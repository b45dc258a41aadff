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
// A move's contact search takes about this many steps at most: the bound on
// the work of one move whatever the speed and the time.
constexpr int ContactSteps = 4000;

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
    if (!(seconds > 0)) {
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
    // The part of the move that can meet anything. An arc repeats itself
    // after one full circle: what the first circle does not meet, no later
    // one does. A straight line, or an arc too wide to stay inside, meets a
    // wall within its reach: half a circle around the arena's diagonal, plus
    // however far outside the centre starts.
    const double turnRate = std::abs(rightSpeed - leftSpeed) / trackWidth;
    const double circle = turnRate >= StraightTurnRate ? 2 * Pi / turnRate : seconds;
    const double outside = std::max({0.0, -pose.x, pose.x - world.width, -pose.y, pose.y - world.height});
    const double reach = Pi * (std::hypot(world.width, world.height) + outside) + 2 * radius;
    const double searched = std::min(seconds, circle);
    const double searchedPath = std::min(speed * searched, reach);
    // Clearance is the distance to the nearest wall, and the centre never
    // moves farther than its path length: a step of the clearance's length
    // cannot reach a wall. Near a wall the steps shrink to the smallest step
    // and a step that would end inside is cut back to the point of contact.
    // The smallest step grows with the path so that no move takes more than
    // about ContactSteps steps, however fast or long.
    const double smallest = std::max(ContactStep, searchedPath / ContactSteps);
    double t = 0;
    double room = clearance(0);
    for (int steps = 0; t < searched && steps < 2 * ContactSteps; ++steps) {
        const double next = std::min(searched, t + std::max(room, smallest) / speed);
        const double nextRoom = clearance(next);
        const double startRoom = room;
        auto free = [&](double r) { return r >= 0 || r >= startRoom; };
        if (free(nextRoom)) {
            t = next;
            room = nextRoom;
            continue;
        }
        double lo = t, hi = next;
        while (hi - lo > ContactTimeTolerance && lo < (lo + hi) / 2 && (lo + hi) / 2 < hi) {
            const double mid = (lo + hi) / 2;
            (free(clearance(mid)) ? lo : hi) = mid;
        }
        result.pose = at(lo);
        result.blocked = true;
        result.travelled = speed * lo;
        return result;
    }
    if (t < searched) { // the step bound ended the search: stay where it ended
        result.pose = at(t);
        result.travelled = speed * t;
        return result;
    }
    // Free all the way; whole circles bring the robot back where it was.
    result.pose = at(seconds > circle ? std::fmod(seconds, circle) : seconds);
    result.travelled = speed * seconds;
    return result;
}

} // namespace sim
