#pragma once
// The virtual robot's state over time: its pose, the motor code on the data
// register, and its contacts. Time is CLOCK_MONOTONIC in nanoseconds, as the
// port library stamps the accesses; between two register writes the wheel
// speeds are constant, so the pose is exact however short a pulse is.
//
// Plain value type: copy it and advance the copy to look ahead without
// changing the original.
#include "core/RobotWiring.h"
#include "sim/core/Geometry.h"
#include "sim/core/Sensors.h"
#include "sim/core/World.h"

#include <cstdint>
#include <memory>

namespace sim {

// How far ahead of the simulator's clock a port access's time may lie. Both
// sides read the same clock (CLOCK_MONOTONIC), so a true time is never ahead
// by more than the moments between the two readings.
constexpr int64_t TimestampMargin = 10'000'000; // 10 ms

// The time to take for a port access stamped `stamped`, when the simulator
// started at `start`, its clock reads `now` and its simulation stands at
// `last`: the stamp itself when it lies from the start (and from `last`) to
// TimestampMargin past now; otherwise, a time the client cannot have taken,
// the simulator's own `now`.
int64_t CheckedTimestamp(int64_t stamped, int64_t start, int64_t now, int64_t last);

class Simulation {
public:
    // The robot at the world's start pose with its motors off. `world` must
    // outlive the simulation and its copies.
    explicit Simulation(const World &world);
    // The same on a world that the simulation and its copies keep alive, so
    // that one can be replaced while copies of the old are still in use.
    explicit Simulation(std::shared_ptr<const World> world);

    // Moves the robot on to `ns`. Times earlier than the simulation's own
    // (an access that arrived late) count as now.
    void AdvanceTo(int64_t ns);
    // A register write at `ns`: a new motor code from then on.
    void Write(int64_t ns, int port, int value);
    // A register read at `ns`: the status register gives the sensors, the
    // data register the last code written, any other port 0.
    int Read(int64_t ns, int port);
    // Places the robot, motors off, out of contact.
    void Place(const Pose &pose);
    // Puts the robot down at `pose`, out of contact, as a hand does: the
    // motor code stays and drives on from there.
    void MoveTo(const Pose &pose);
    // From `ns` on, while held, the clock runs on but the robot stays where
    // it is (time paused, or the robot in the user's hand); writes still set
    // the motor code, which drives once it is let go.
    void Hold(int64_t ns, bool held);
    bool held() const { return held_; }

    const World &world() const { return *world_; }
    const Pose &pose() const { return pose_; }
    int data() const { return data_; }
    int64_t time() const { return time_; }
    // Contacts so far: each time the body came up against a wall or obstacle.
    int contacts() const { return contacts_; }
    // The body touches a wall or obstacle now.
    bool touching() const { return touching_; }
    // Metres the robot's centre has travelled.
    double odometer() const { return odometer_; }
    SensorReadings Sensors() const { return ReadSensors(*world_, pose_); }

private:
    std::shared_ptr<const World> world_;
    Pose pose_;
    int data_ = 0;
    int64_t time_ = 0;
    bool started_ = false; // time_ holds a time
    bool stalled_ = false; // the current motor code drove the robot into contact
    bool held_ = false;
    bool touching_ = false;
    int contacts_ = 0;
    double odometer_ = 0;
};

} // namespace sim
