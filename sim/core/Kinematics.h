#pragma once
// How the motor code on the data register moves the robot: which way each
// wheel turns, the exact pose after a time at constant wheel speeds, and the
// stop at contact with a wall or an obstacle.
#include "core/RobotWiring.h"
#include "sim/core/Geometry.h"
#include "sim/core/World.h"

namespace sim {

// Direction of each wheel: +1 forward, -1 backward, 0 stopped; taken from the
// motor lines of the data register (core/RobotWiring.h), where one line of a
// wheel's pair turns it and both or neither stop it.
struct WheelDirections {
    int left = 0;
    int right = 0;
};
WheelDirections DecodeMotors(int dataRegister);

// The pose after `seconds` with the wheel rims at constant speeds (m/s), the
// wheels `trackWidth` apart: a straight line, a circular arc, or a turn on
// the spot, computed in closed form.
Pose AdvancePose(const Pose &pose, double leftSpeed, double rightSpeed, double trackWidth, double seconds);

// Room between the robot's body (a disc of `bodyRadius` around `centre`) and
// the nearest wall or obstacle; negative where they overlap.
double Clearance(const World &world, Vec2 centre, double bodyRadius);

// One stretch at constant wheel speeds, stopped at the first contact.
struct Motion {
    Pose pose;            // where the robot ends
    bool blocked = false; // it came up against a wall or an obstacle and stopped there
    double travelled = 0; // metres its centre moved
};

// Moves the robot for `seconds` at the given wheel speeds. Its body cannot
// enter a wall or an obstacle: it stops where it first touches one and stays
// there for the rest of the time. A move that leads out of contact (or out of
// an overlap it started in) is free. The work is bounded (a few thousand
// steps of the contact search) whatever the speed and the time.
Motion MoveWithContacts(const World &world, const Pose &pose, double leftSpeed, double rightSpeed,
                        double seconds);

} // namespace sim
