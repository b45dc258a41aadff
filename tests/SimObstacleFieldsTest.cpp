// "Czujnik przeszkody" on the default world, end to end (the program's own
// START handler, the virtual robot in robot-sim, real time): with the two
// avoidance moves the README asks for, it turns away from the wall.
//
// As they come no avoidance move is chosen and the robot creeps to the wall
// over many minutes; that run, and twelve minutes of roaming with the two
// moves, are the figure runs in bench/figures/ObstacleFieldRuns.cpp, run by
// hand (from build/): bin/obstacle_field_runs
#include "sim/testing/Standstill.h"

#include <algorithm>
#include <cmath>

namespace {
using namespace standstill;
// The two avoidance moves the README asks for, with their times as they come:
// back 2800 ms (7 cm at the default robot's 2.5 cm/s), then right 2150 ms
// (about 47 degrees for it; a quarter turn takes 4.1 s).
constexpr int BackItem = 0;  // "silnik napedzajacy do tylu"
constexpr int RightItem = 2; // "silnik skrecajacy w prawo"

class SimObstacleFields : public SimEndToEnd {};
} // namespace

TEST_F(SimObstacleFields, TheTwoReadmeMovesTurnItAwayFromTheWallWithoutAContact)
{
    StartSim(); // the default world: the robot on the line, facing the south wall about 1 m away
    TForm1 &f = Form();
    f.ComboBox16->setCurrentIndex(BackItem);
    f.ComboBox17->setCurrentIndex(RightItem);
    SimWatcher watcher(*sim, 50);
    At(75000, [&f] { f.BitBtn2Click(); });
    f.BitBtn1Click(); // runs until the STOP above
    watcher.Stop();

    const auto samples = watcher.Samples();
    ASSERT_GT(samples.size(), 500u);
    for (const SimState &s : samples)
        ASSERT_EQ(s.contacts, 0) << "touched at " << s.x << ", " << s.y;
    // It stood at the wall, backed off and turned right, then drove on.
    const std::vector<PortAccess> trace = Trace();
    const int64_t stood = FirstStandstill(trace);
    ASSERT_GT(stood, 0) << "never stood at the wall";
    std::vector<int> moves; // the codes after it, each repeat once
    for (const PortAccess &a : trace)
        if (a.kind == 'W' && a.port == DataPort && a.ns >= stood && a.value != 0 &&
            (moves.empty() || moves.back() != a.value))
            moves.push_back(a.value);
    ASSERT_GE(moves.size(), 3u);
    EXPECT_EQ(std::vector<int>(moves.begin(), moves.begin() + 3),
              (std::vector<int>{MotorBackwardCode, MotorRightCode, MotorForwardCode}))
        << "back, right, then forward again";

    const double start = samples.front().heading;
    double turned = 0;
    for (const SimState &s : samples)
        turned = std::max(turned, std::abs(std::remainder(s.heading - start, 360.0)));
    EXPECT_GT(turned, 30) << "turned away from the wall";
    const double stoppedAt = OdometerAtFirstStop(samples, StandstillMs);
    ASSERT_GT(stoppedAt, 0);
    // Driving on, not creeping: well over the 7 cm it backed.
    EXPECT_GT(samples.back().odometer - stoppedAt, 0.25);
    RecordProperty("drivenAfterTheWallCm", static_cast<int>((samples.back().odometer - stoppedAt) * 100));
    RecordProperty("turnedDegrees", static_cast<int>(turned));
    const auto end = sim->Query();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->data, 0) << "STOP left the motors off";
}
