// Fuzz harness: a world file, and when it is accepted, the robot driven on it
// through a fixed series of motor codes over short and very long times, its
// sensors read, its state written as a query answers it, and one camera frame
// rendered. Faults it reports besides the sanitizers': an undefined pose, a
// status out of its byte, the body entering a wall deeper than where it
// started, or a state that is not a JSON object of numbers, texts and truths.
#include "sim/app/SharedRobot.h"
#include "sim/core/Camera.h"
#include "sim/core/Kinematics.h"
#include "sim/core/Simulation.h"
#include "sim/core/World.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
constexpr int64_t Second = 1'000'000'000;
// The floor is painted coarsely here: the same code, a fraction of the time.
constexpr double FloorPixelsAcross = 200;
// How far (metres) the contact search may end inside a wall: its time
// tolerance at the fastest wheels.
constexpr double ContactSlack = 1e-5;

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

bool Finite(const sim::Pose &p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.heading); }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim::World world;
    try {
        world = sim::ParseWorld(QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size)));
    } catch (const sim::WorldError &) {
        return 0;
    }
    const sim::FloorMap floor(world, std::max(world.width, world.height) / FloorPixelsAcross);

    // Motor codes with the time each is held: pulses, turns, arcs, and gaps
    // of hours and decades.
    const struct {
        int code;
        int64_t ns;
    } script[] = {
        {18, Second / 2}, {16, 3 * Second},      {17, Second / 10}, {2, 3600 * Second},
        {9, 1'000'000},   {18, 1'000'000'000 * Second}, {10, 7}, {8, 40 * Second}, {0, Second},
    };
    sim::Simulation s(world);
    const double startRoom = sim::Clearance(world, {s.pose().x, s.pose().y}, world.robot.bodyRadius);
    int64_t t = Second;
    for (const auto &step : script) {
        s.Write(t, DataPort, step.code);
        t += step.ns;
        const int status = s.Read(t, StatusPort);
        Check(status >= 0 && status <= 255);
        Check(Finite(s.pose()));
        const double room = sim::Clearance(world, {s.pose().x, s.pose().y}, world.robot.bodyRadius);
        Check(room >= std::min(0.0, startRoom) - ContactSlack);
    }
    SimulatorFacts facts;
    facts.controller = ControllerState::Connected;
    facts.forcedStop = MotorStop::ControllerStopped;
    facts.paused = true;
    facts.world = "world.json";
    const QJsonDocument state = QJsonDocument::fromJson(QByteArray::fromStdString(StateJson(s, facts)));
    Check(state.isObject());
    for (const QJsonValue &value : state.object())
        Check(value.isDouble() || value.isString() || value.isBool());
    const QImage picture = sim::RenderCamera(floor, world.robot.camera, s.pose());
    std::vector<uint8_t> frame(sim::CameraFrameBytes);
    sim::RgbToI420(picture, frame.data());
    return 0;
}
