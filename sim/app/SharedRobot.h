#pragma once
// The one simulated robot, shared by the socket server's thread (register
// accesses), the camera's thread and the arena window. Every access takes the
// lock for a moment; whoever only looks takes a copy and advances that.
#include "sim/core/PortTimeline.h"
#include "sim/core/Simulation.h"
#include "sim/core/World.h"

#include <cstdint>
#include <mutex>
#include <string>

// Whether a control program is connected.
enum class ControllerState {
    Waiting,   // none has connected yet
    Connected, // at least one is connected
    Gone,      // the last one went away (exited or crashed)
};

class SharedRobot {
public:
    // The simulator starts now.
    explicit SharedRobot(const sim::World &world);

    // A port access stamped `ns` by the client. A stamp the client cannot
    // have taken (before the simulator started, ahead of its clock, or
    // earlier than the simulation's time) is replaced by the simulator's own
    // clock (see sim::CheckedTimestamp).
    void Write(int64_t ns, int port, int value);
    int Read(int64_t ns, int port);
    // A copy of the state as it stands (not advanced to any time).
    sim::Simulation Snapshot() const;

    // The motor codes written and the sensor lines seen over the last
    // seconds. The window adds what the sensors show at `ns` when it looks.
    void NoteStatus(int64_t ns, int status);
    sim::PortTimeline Timeline() const;

    // A control program made its first port access.
    void ControllerArrived();
    // A control program went away at `ns`. When it was the last one the motors
    // stop: nobody is left to stop them.
    void ControllerLeft(int64_t ns);
    ControllerState Controller() const;

private:
    // The time to take for an access stamped `ns`; under the lock.
    int64_t Checked(int64_t ns) const;

    mutable std::mutex mutex_;
    sim::Simulation sim_;
    sim::PortTimeline timeline_;
    int64_t start_; // the simulator's clock when it started
    int controllers_ = 0;
    bool everConnected_ = false;
};

// The state at `ns` as one line of JSON, the answer to a query on the socket:
// t, x, y (metres), heading (degrees), data, status, contacts, touching,
// odometer, lineDistance (of the robot's centre from the line's centre; -1
// without a line), sensorLineDistance (of the point between the line sensors), trackPosition
// (metres along the line to the nearest point), trackLength, obstacleDistance
// (metres; -1 for nothing in sight), controller ("waiting", "connected",
// "gone"), cameraClients, cameraFrames.
std::string StateJson(const sim::Simulation &atTime, ControllerState controller, int cameraClients,
                      int64_t cameraFrames);
