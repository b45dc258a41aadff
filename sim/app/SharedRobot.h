#pragma once
// The one simulated robot, shared by the socket server's thread (register
// accesses), the camera's thread and the arena window, which also handles it
// (puts it back, moves it, pauses time, gives it another world). Every access
// takes the lock for a moment; whoever only looks takes a copy and advances
// that. A copy keeps its world (and a scene its floor) alive, so a world can
// be replaced while copies of the old one are still in use.
#include "sim/core/Camera.h"
#include "sim/core/PortTimeline.h"
#include "sim/core/Simulation.h"
#include "sim/core/World.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Whether a control program is connected.
enum class ControllerState {
    Waiting,   // none has connected yet
    Connected, // at least one is connected
    Gone,      // the last one went away (exited or crashed)
};

// Why the simulator stopped the motors itself, as a port guard does for a
// real port: nobody is left to stop them.
enum class MotorStop {
    None,              // it has not, since the data register was last written
    ControllerLeft,    // the client that set the running code went away
    ControllerStopped, // that client's process was stopped (SIGSTOP, a debugger)
};

// What the simulator says about itself beside the robot's state.
struct SimulatorFacts {
    ControllerState controller = ControllerState::Waiting;
    MotorStop forcedStop = MotorStop::None;
    int forcedStops = 0;
    int cameraClients = 0;
    int64_t cameraFrames = 0;
    bool paused = false;
    std::string world;  // the world's name: its file's, or "default"
    int trailPoints = 0; // the arena window's trail
    sim::Vec2 trailStart{};
};

// The robot with the floor of its world, taken together.
struct SimScene {
    sim::Simulation sim;
    std::shared_ptr<const sim::FloorMap> floor; // null when the robot has none
};

class SharedRobot {
public:
    // The simulator starts now, on `world` painted as `floor`, called `name`.
    SharedRobot(std::shared_ptr<const sim::World> world, std::shared_ptr<const sim::FloorMap> floor,
                std::string name);
    // The same on a world that outlives the robot, without a floor.
    explicit SharedRobot(const sim::World &world);

    // A port access stamped `ns` by the client `client` (the port server's
    // number for the connection; 0 for none). A stamp the client cannot
    // have taken (before the simulator started, ahead of its clock, or
    // earlier than the simulation's time) is replaced by the simulator's own
    // clock (see sim::CheckedTimestamp). A write of the data register makes
    // its client the one in charge of the motors.
    void Write(int64_t ns, int port, int value, uint64_t client = 0);
    int Read(int64_t ns, int port);
    // A copy of the state as it stands (not advanced to any time).
    sim::Simulation Snapshot() const;
    // The same with its world's floor.
    SimScene Scene() const;

    // Handling by the user, at `ns`. Through all of it the motor code stays
    // as the control program wrote it, and its accesses go on.
    //
    // The robot back at its world's start, as if just set down there: its
    // contacts and the distance it drove counted afresh.
    void PutBack(int64_t ns);
    // The robot set down at `pose` (its counts kept), when its body fits
    // there: within the arena and clear of every obstacle. False, and
    // nothing changed, when it does not.
    bool MoveTo(int64_t ns, const sim::Pose &pose);
    // The robot in the user's hand (dragged): it stays where it is put.
    void SetInHand(int64_t ns, bool inHand);
    // Time paused: the robot stays where it is; writes still set the motor
    // code (which drives once time runs again), reads answer from where it stands.
    void SetPaused(int64_t ns, bool paused);
    bool Paused() const;
    // Another world with its floor and its name: the robot at its start,
    // counted afresh. The controllers, the port's timeline and the pause stay.
    void ReplaceWorld(int64_t ns, std::shared_ptr<const sim::World> world, std::shared_ptr<const sim::FloorMap> floor,
                      std::string name);
    // The arena window's trail: how many points, from where; for Facts.
    void NoteTrail(int points, sim::Vec2 start);

    // The motor codes written and the sensor lines seen over the last
    // seconds. The window adds what the sensors show at `ns` when it looks.
    void NoteStatus(int64_t ns, int status);
    sim::PortTimeline Timeline() const;

    // A control program made its first port access.
    void ControllerArrived();
    // The control program `client` went away at `ns`. When it was the one in
    // charge of the motors they stop, whoever else is connected: nobody else
    // knows to stop them.
    void ControllerLeft(int64_t ns, uint64_t client);
    // The process of `client` was found stopped at `ns`: when it is in charge
    // of running motors they stop, as they would if it had gone.
    void ControllerStopped(int64_t ns, uint64_t client);
    // The client in charge of the motors while they run; 0 while they stand.
    uint64_t RunningDriver() const;
    ControllerState Controller() const;
    // The controller's state, the motor stops the simulator made itself (see
    // MotorStop), the pause, the world's name and the window's trail (the
    // camera's fields are left 0).
    SimulatorFacts Facts() const;

private:
    // The controller's state; under the lock.
    ControllerState ControllerUnlocked() const;
    // The time to take for an access stamped `ns`; under the lock.
    int64_t Checked(int64_t ns) const;
    // Stops the motors at `ns` for `why`; under the lock.
    void StopMotors(int64_t ns, MotorStop why);
    // The robot at the start of `world_` at `ns`, with the motor code and the
    // hold it had; under the lock.
    void Restart(int64_t ns);
    // Holds the robot while paused or in the hand; under the lock.
    void ApplyHold(int64_t ns);

    mutable std::mutex mutex_;
    std::shared_ptr<const sim::World> world_;
    std::shared_ptr<const sim::FloorMap> floor_;
    std::string worldName_;
    sim::Simulation sim_;
    sim::PortTimeline timeline_;
    int64_t start_; // the simulator's clock when it started
    int controllers_ = 0;
    bool everConnected_ = false;
    uint64_t driver_ = 0; // the client whose write set the motor code
    MotorStop forcedStop_ = MotorStop::None;
    int forcedStops_ = 0;
    bool paused_ = false;
    bool inHand_ = false;
    int trailPoints_ = 0;
    sim::Vec2 trailStart_{};
};

// The state of `atTime` as one line of JSON, the answer to a query on the
// socket: t, x, y (metres), heading (degrees), data, status, contacts, touching,
// odometer, lineDistance (of the robot's centre from the line's centre; -1
// without a line), sensorLineDistance (of the point between the line sensors), trackPosition
// (metres along the line to the nearest point), trackLength, obstacleDistance
// (metres; -1 for nothing in sight), controller ("waiting", "connected",
// "gone"), forcedStop ("", "controller left", "controller stopped"),
// forcedStops, cameraClients, cameraFrames, arenaWidth, arenaHeight, paused,
// world (its name), trailPoints, trailX and trailY (where the arena window's
// trail starts).
std::string StateJson(const sim::Simulation &atTime, const SimulatorFacts &facts);
