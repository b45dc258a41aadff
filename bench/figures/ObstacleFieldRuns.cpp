// The long runs behind the obstacle sensor's figures in the README, on the
// virtual robot's default world in real time (the program's own START
// handler, robot-sim): not part of the suite, run by hand from build/:
//   bin/obstacle_field_runs                      both, about 45 minutes at most
//   bin/obstacle_field_runs --gtest_filter='*Creeps*'
// Each prints its figures and records them as properties (--gtest_output=xml:FILE).
#include "sim/testing/Standstill.h"

#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {
using namespace standstill;
// The two avoidance moves the README asks for (see tests/SimObstacleFieldsTest.cpp).
constexpr int BackItem = 0;  // "silnik napedzajacy do tylu"
constexpr int RightItem = 2; // "silnik skrecajacy w prawo"

class ObstacleFieldRuns : public SimEndToEnd {};

// The forward writes after `from` (trace time): one per cycle once the wall is seen.
int ForwardWritesAfter(const std::vector<PortAccess> &trace, int64_t from)
{
    return int(std::count_if(trace.begin(), trace.end(), [&](const PortAccess &a) {
        return a.kind == 'W' && a.port == DataPort && a.value == MotorForwardCode && a.ns > from;
    }));
}
} // namespace

// The fields as they come, until the robot touches the wall (at most 30
// minutes): the creep per cycle and the minutes from START to the contact.
TEST_F(ObstacleFieldRuns, AsTheyComeItCreepsToTheWall)
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
TEST_F(ObstacleFieldRuns, WithTheTwoMovesItRoamsForTwelveMinutesWithoutAContact)
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
