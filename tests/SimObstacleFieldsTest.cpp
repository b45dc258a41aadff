// "Czujnik przeszkody" on the default world, end to end (the program's own
// START handler, the virtual robot in robot-sim, real time): what the fields
// do as they come, and with the two avoidance moves the README asks for.
//
// As they come no avoidance move is chosen: at the wall the drive stands,
// then every cycle begins with a forward write held for the cycle's samples,
// so the robot creeps on, a little each cycle, until it touches the wall.
// That takes many minutes; the measurement behind the README's figures is
// DISABLED_ here, to be run by hand (from build/):
//   bin/robot_tests --gtest_also_run_disabled_tests --gtest_filter='SimObstacleFields.DISABLED_*'
#include "sim/testing/SimFixture.h"

#include "core/RobotWiring.h"

#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {
// The drive's standstill as it comes (3000 ms): a write of 0 held this long
// is one; the short zeros between pulses are not.
constexpr double StandstillMs = 2900;
// The two avoidance moves the README asks for, with their times as they come:
// back 2800 ms (7 cm at the default robot's 2.5 cm/s), then right 2150 ms
// (about 47 degrees for it; a quarter turn takes 4.1 s).
constexpr int BackItem = 0;  // "silnik napedzajacy do tylu"
constexpr int RightItem = 2; // "silnik skrecajacy w prawo"

class SimObstacleFields : public SimEndToEnd {};

// When the first standstill of at least StandstillMs began (trace time), or -1.
int64_t FirstStandstill(const std::vector<PortAccess> &trace)
{
    const PortAccess *off = nullptr;
    for (const PortAccess &a : trace) {
        if (a.kind != 'W' || a.port != DataPort)
            continue;
        if (off && a.value != 0 && (a.ns - off->ns) / 1e6 >= StandstillMs)
            return off->ns;
        if (a.value == 0 && !off)
            off = &a;
        else if (a.value != 0)
            off = nullptr;
    }
    return -1;
}

// The forward writes after `from` (trace time): one per cycle once the wall is seen.
int ForwardWritesAfter(const std::vector<PortAccess> &trace, int64_t from)
{
    return int(std::count_if(trace.begin(), trace.end(), [&](const PortAccess &a) {
        return a.kind == 'W' && a.port == DataPort && a.value == MotorForwardCode && a.ns > from;
    }));
}

// The odometer where the robot first stood still for `ms` (samples only).
double OdometerAtFirstStop(const std::vector<SimState> &samples, double ms)
{
    for (size_t i = 0; i < samples.size(); ++i)
        for (size_t j = i + 1; j < samples.size() && samples[j].odometer == samples[i].odometer; ++j)
            if ((samples[j].t - samples[i].t) / 1e6 >= ms)
                return samples[i].odometer;
    return -1;
}
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

// The fields as they come, until the robot touches the wall (at most 30
// minutes): the creep per cycle and the minutes from START to the contact.
TEST_F(SimObstacleFields, DISABLED_AsTheyComeItCreepsToTheWall)
{
    StartSim();
    TForm1 &f = Form();
    SimWatcher watcher(*sim, 100);
    QTimer contact;
    QObject::connect(&contact, &QTimer::timeout, [&] {
        const auto s = sim->Query();
        if (s && s->contacts > 0)
            f.BitBtn2Click();
    });
    contact.start(500);
    At(30 * 60 * 1000, [&f] { f.BitBtn2Click(); });
    f.BitBtn1Click(); // runs until a contact, or half an hour
    contact.stop();
    watcher.Stop();

    const auto samples = watcher.Samples();
    ASSERT_FALSE(samples.empty());
    const auto touched = std::find_if(samples.begin(), samples.end(), [](const SimState &s) { return s.contacts > 0; });
    ASSERT_NE(touched, samples.end()) << "no contact in half an hour";
    const std::vector<PortAccess> trace = Trace();
    const int64_t stood = FirstStandstill(trace);
    ASSERT_GT(stood, 0);
    const int cycles = ForwardWritesAfter(trace, stood);
    const double stoppedAt = OdometerAtFirstStop(samples, StandstillMs);
    const double crept = touched->odometer - stoppedAt;
    const double minutes = (touched->t - samples.front().t) / 60e9;
    // How long each cycle's forward write held, from the first standstill on.
    std::vector<double> forwardMs;
    const PortAccess *forward = nullptr;
    for (const PortAccess &a : trace) {
        if (a.kind != 'W' || a.port != DataPort || a.ns <= stood)
            continue;
        if (forward)
            forwardMs.push_back((a.ns - forward->ns) / 1e6);
        forward = a.value == MotorForwardCode ? &a : nullptr;
    }
    std::sort(forwardMs.begin(), forwardMs.end());
    std::printf("first stand after %.1f m; crept %.1f cm in %d cycles: %.2f mm per cycle; "
                "contact %.1f min after START; forward pulses: median %.1f ms\n",
                stoppedAt, crept * 100, cycles, crept * 1000 / std::max(cycles, 1), minutes,
                forwardMs.empty() ? 0.0 : forwardMs[forwardMs.size() / 2]);
    RecordProperty("creepMicrometresPerCycle", static_cast<int>(crept * 1e6 / std::max(cycles, 1)));
    RecordProperty("secondsToContact", static_cast<int>(minutes * 60));
}

// The two moves for twelve minutes: how far it roams, how often it turns
// away, and that it never touches anything.
TEST_F(SimObstacleFields, DISABLED_WithTheTwoMovesItRoamsForTwelveMinutesWithoutAContact)
{
    StartSim();
    TForm1 &f = Form();
    f.ComboBox16->setCurrentIndex(BackItem);
    f.ComboBox17->setCurrentIndex(RightItem);
    SimWatcher watcher(*sim, 200);
    At(12 * 60 * 1000, [&f] { f.BitBtn2Click(); });
    f.BitBtn1Click(); // runs until the STOP above
    watcher.Stop();

    const auto samples = watcher.Samples();
    ASSERT_FALSE(samples.empty());
    for (const SimState &s : samples)
        ASSERT_EQ(s.contacts, 0) << "touched at " << s.x << ", " << s.y << " after "
                                 << (s.t - samples.front().t) / 1e9 << " s";
    const std::vector<PortAccess> trace = Trace();
    const int turns = int(std::count_if(trace.begin(), trace.end(), [](const PortAccess &a) {
        return a.kind == 'W' && a.port == DataPort && a.value == MotorRightCode;
    }));
    std::printf("%.1f m driven in %.1f min, %d turns away, no contact\n", samples.back().odometer,
                (samples.back().t - samples.front().t) / 60e9, turns);
    EXPECT_GT(turns, 1);
}
