#include "sim/core/Simulation.h"

#include "sim/core/Kinematics.h"

#include <cstdint>
#include <utility>

namespace sim {
namespace {
// A touching robot counts as free again once this far (metres) from
// everything, so that pressing on against the same wall is one contact.
constexpr double ContactRelease = 0.001;
} // namespace

int64_t CheckedTimestamp(int64_t stamped, int64_t start, int64_t now, int64_t last)
{
    const int64_t latest = now > INT64_MAX - TimestampMargin ? INT64_MAX : now + TimestampMargin;
    return stamped >= start && stamped >= last && stamped <= latest ? stamped : now;
}

// Not owned: a shared pointer with no owner, which deletes nothing.
Simulation::Simulation(const World &world) : world_(std::shared_ptr<const World>(), &world), pose_(world.robot.start)
{
}

Simulation::Simulation(std::shared_ptr<const World> world) : world_(std::move(world)), pose_(world_->robot.start) {}

void Simulation::AdvanceTo(int64_t ns)
{
    if (!started_) {
        started_ = true;
        time_ = ns;
        return;
    }
    if (ns <= time_)
        return;
    // Unsigned: the difference of any two times, however far apart, without overflow.
    const double seconds = double(uint64_t(ns) - uint64_t(time_)) * 1e-9;
    time_ = ns;
    if (held_)
        return;
    if (stalled_)
        return; // pressed against a wall: the wheels stall until the code changes
    const WheelDirections wheels = DecodeMotors(data_);
    if (wheels.left == 0 && wheels.right == 0)
        return;
    const double speed = world_->robot.wheelSpeed;
    const Motion m = MoveWithContacts(*world_, pose_, wheels.left * speed, wheels.right * speed, seconds);
    pose_ = m.pose;
    odometer_ += m.travelled;
    if (m.blocked) {
        stalled_ = true;
        if (!touching_)
            ++contacts_;
        touching_ = true;
    } else if (touching_ && Clearance(*world_, {pose_.x, pose_.y}, world_->robot.bodyRadius) > ContactRelease) {
        touching_ = false;
    }
}

void Simulation::Write(int64_t ns, int port, int value)
{
    AdvanceTo(ns);
    if (port != DataPort)
        return;
    data_ = value & 0xFF;
    stalled_ = false; // a new command tries again
}

int Simulation::Read(int64_t ns, int port)
{
    AdvanceTo(ns);
    if (port == StatusPort)
        return StatusValue(Sensors());
    if (port == DataPort)
        return data_;
    return 0;
}

void Simulation::Place(const Pose &pose)
{
    MoveTo(pose);
    data_ = 0;
}

void Simulation::MoveTo(const Pose &pose)
{
    pose_ = pose;
    stalled_ = false;
    touching_ = false;
}

void Simulation::Hold(int64_t ns, bool held)
{
    AdvanceTo(ns);
    held_ = held;
}

} // namespace sim
