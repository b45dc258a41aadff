// The virtual robot's port library against a running robot-sim: accesses
// reach the simulator with their times, the trace is the recording library's,
// and neither side hangs when the other goes away.
#include "sim/protocol/SimLink.h"
#include "sim/testing/SimProcess.h"
#include "support/Harness.h"

#include "drive/Motor.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>

namespace {
// A 2 x 2 m arena, the line along y = 1, the robot on it facing east.
const char *LineWorld = R"({
  "arena": {"width": 2, "height": 2},
  "track": {"points": [[0.1, 1.0], [1.9, 1.0]], "closed": false},
  "robot": {"start": {"x": 0.5, "y": 1.0, "heading": 0}, "wheelSpeed": 0.15}
})";

struct SimPortLibrary {
    short (*Inp32)(short) = nullptr;
    void (*Out32)(short, short) = nullptr;
};

// The library, loaded by path (and never unloaded, as the program does).
SimPortLibrary LoadLibrary()
{
    SimPortLibrary lib;
    void *handle = dlopen(SimProcess::PortLibrary().toUtf8().constData(), RTLD_NOW);
    if (!handle)
        return lib;
    lib.Inp32 = reinterpret_cast<short (*)(short)>(dlsym(handle, "Inp32"));
    lib.Out32 = reinterpret_cast<void (*)(short, short)>(dlsym(handle, "Out32"));
    return lib;
}

class SimPort : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        lib = LoadLibrary();
        ASSERT_TRUE(lib.Inp32 && lib.Out32) << dlerror();
    }
    void TearDown() override
    {
        unsetenv("ROBOT_SIM_SOCKET");
        RobotTest::TearDown();
    }
    void UseSocket(const std::string &path) { setenv("ROBOT_SIM_SOCKET", path.c_str(), 1); }

    SimPortLibrary lib;
};

double MsSince(const QElapsedTimer &t) { return t.nsecsElapsed() / 1e6; }
} // namespace

TEST_F(SimPort, AccessesReachTheSimulatorStampedWithTheirTimesAndAreTraced)
{
    SimProcess sim(LineWorld);
    ASSERT_TRUE(sim.Start()) << sim.error().toStdString();
    UseSocket(sim.socketPath());

    EXPECT_EQ(lib.Inp32(889), 254); // astride the line
    lib.Out32(888, 0);
    lib.Out32(888, 18);
    SleepMs(400);
    lib.Out32(888, 0);
    EXPECT_EQ(lib.Inp32(888), 0);

    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 5u);
    EXPECT_EQ(trace[0].kind, 'R');
    EXPECT_EQ(trace[0].port, 889);
    EXPECT_EQ(trace[0].value, 254);
    EXPECT_EQ(DataWrites(trace), (std::vector<int>{0, 18, 0}));
    // The robot drove for exactly the time between the two stamps.
    const double seconds = (trace[3].ns - trace[2].ns) / 1e9;
    const auto state = sim.Query();
    ASSERT_TRUE(state);
    EXPECT_NEAR(state->odometer, 0.15 * seconds, 1e-6);
    EXPECT_NEAR(state->x, 0.5 + 0.15 * seconds, 1e-6);
    EXPECT_EQ(state->controller, "connected");
    EXPECT_EQ(state->status, 254);
    EXPECT_TRUE(sim.Stop()) << "ends cleanly on SIGTERM";
}

TEST_F(SimPort, NeitherSideHangsWhenTheOtherGoesAndTheLibraryFindsANewSimulator)
{
    auto sim = std::make_unique<SimProcess>(LineWorld);
    ASSERT_TRUE(sim->Start()) << sim->error().toStdString();
    const std::string path = sim->socketPath();
    UseSocket(path);
    EXPECT_EQ(lib.Inp32(889), 254);

    // The simulator crashes: reads give 0 without waiting long, writes return.
    sim->Kill();
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(lib.Inp32(889), 0);
    lib.Out32(888, 18);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(lib.Inp32(889), 0);
    EXPECT_LT(MsSince(t), 500) << "no access waits on a simulator that is gone";

    // A new simulator at the same path replaces the socket file the dead one
    // left behind; the library reconnects on its own within about a second.
    SimProcess second(LineWorld);
    ASSERT_TRUE(second.Start(path)) << second.error().toStdString();
    t.restart();
    short value = 0;
    while (value != 254 && MsSince(t) < 3000) {
        value = lib.Inp32(889);
        SleepMs(50);
    }
    EXPECT_EQ(value, 254);
    EXPECT_LT(MsSince(t), 2000);

    // A second simulator on a live socket refuses to start and leaves it alone.
    SimProcess third(LineWorld);
    EXPECT_FALSE(third.Start(path));
    EXPECT_TRUE(third.error().contains("already running")) << third.error().toStdString();
    EXPECT_EQ(lib.Inp32(889), 254);
}

TEST_F(SimPort, ControllerThatGoesAwayStopsTheMotorsAndIsReported)
{
    SimProcess sim(LineWorld);
    ASSERT_TRUE(sim.Start()) << sim.error().toStdString();
    EXPECT_EQ(sim.Query()->controller, "waiting");
    {
        simproto::SimLink controller(0, sim.socketPath());
        ASSERT_TRUE(controller.Write(888, 18, simproto::MonotonicNs()));
        ASSERT_EQ(controller.Read(888, simproto::MonotonicNs(), 1000), 18);
        EXPECT_EQ(sim.Query()->controller, "connected");
        SleepMs(100);
    } // the control program ends with the motors running
    SleepMs(100);
    const auto gone = sim.Query();
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->controller, "gone");
    EXPECT_EQ(gone->data, 0);
    SleepMs(200);
    EXPECT_DOUBLE_EQ(sim.Query()->odometer, gone->odometer) << "the robot stands";
    EXPECT_GT(gone->odometer, 0.0);
}
