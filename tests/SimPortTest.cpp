// The virtual robot's port library against a running robot-sim: accesses
// reach the simulator with their times, the trace is the recording library's,
// and neither side hangs when the other goes away.
#include "core/Clock.h"
#include "sim/protocol/SimLink.h"
#include "sim/testing/OtherUser.h"
#include "sim/testing/SimProcess.h"
#include "support/Harness.h"

#include "drive/Motor.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

// Lines of `text` that contain `part`.
int LinesWith(const QString &text, const QString &part)
{
    int n = 0;
    for (const QString &line : text.split('\n'))
        n += line.contains(part);
    return n;
}

// CPU time (user and system, all threads) of process `pid`, in seconds.
double CpuSeconds(qint64 pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) { // fields 14 and 15 of stat(5)
        if (i == 14)
            utime = std::stoll(field);
        if (i == 15)
            stime = std::stoll(field);
    }
    return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

// Share of one core that process `pid` used over `ms` milliseconds.
double CpuShare(qint64 pid, int ms)
{
    const double before = CpuSeconds(pid);
    QElapsedTimer t;
    t.start();
    SleepMs(ms);
    return (CpuSeconds(pid) - before) / (t.nsecsElapsed() / 1e9);
}

int ConnectStream(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
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
        ASSERT_TRUE(controller.Write(888, 18, MonotonicNs()));
        ASSERT_EQ(controller.Read(888, MonotonicNs(), 1000), 18);
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

// Queries until `done` holds for the state (at most `ms`); the last state.
template <class Done> std::optional<SimState> QueryUntil(const SimProcess &sim, int ms, Done done)
{
    QElapsedTimer t;
    t.start();
    std::optional<SimState> state;
    while (!(state = sim.Query()) || !done(*state)) {
        if (t.elapsed() > ms)
            break;
        SleepMs(5);
    }
    return state;
}

// The robot moves: its odometer grows over 150 ms.
bool Moving(const SimProcess &sim)
{
    const auto before = sim.Query();
    SleepMs(150);
    const auto after = sim.Query();
    return before && after && after->odometer > before->odometer;
}

// The robot stands: its odometer stays over 300 ms.
bool Standing(const SimProcess &sim)
{
    const auto before = sim.Query();
    SleepMs(300);
    const auto after = sim.Query();
    return before && after && after->odometer == before->odometer;
}

TEST_F(SimPort, MotorsStopWhenTheirControllerIsKilledWhoeverElseStaysConnected)
{
    SimProcess sim(LineWorld);
    ASSERT_TRUE(sim.Start()) << sim.error().toStdString();
    // Another control program of the same user, connected and idle (a second
    // copy of the program, a tool reading the sensors).
    simproto::SimLink idle(0, sim.socketPath());
    ASSERT_EQ(idle.Read(StatusPort, MonotonicNs(), 1000), StatusIdle);

    Peer driver({"drive", QString::fromStdString(sim.socketPath()), "18"}, false);
    ASSERT_TRUE(driver.WaitFor("driving 18")) << driver.Output().toStdString();
    EXPECT_TRUE(Moving(sim));

    // A client that only read comes and goes: the driver's motors run on.
    {
        simproto::SimLink passer(0, sim.socketPath());
        ASSERT_EQ(passer.Read(StatusPort, MonotonicNs(), 1000), StatusIdle);
    }
    SleepMs(100);
    EXPECT_EQ(sim.Query()->data, 18);
    EXPECT_TRUE(Moving(sim)) << "a client that did not drive took the motors with it";

    // The driver is killed: its motors stop at once, though the idle client is still there.
    ASSERT_EQ(kill(pid_t(driver.pid()), SIGKILL), 0);
    QElapsedTimer t;
    t.start();
    const auto stopped = QueryUntil(sim, 3000, [](const SimState &s) { return s.data == 0; });
    ASSERT_TRUE(stopped);
    RecordProperty("stopAfterKillMs", static_cast<int>(t.elapsed()));
    EXPECT_EQ(stopped->data, 0);
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_EQ(stopped->forcedStop, "controller left");
    EXPECT_EQ(stopped->forcedStops, 1);
    EXPECT_EQ(stopped->controller, "connected") << "the idle client is still connected";
    EXPECT_TRUE(Standing(sim));
    EXPECT_EQ(idle.Read(DataPort, MonotonicNs(), 1000), 0) << "the idle client still gets its answers";

    // The idle client takes over: its write drives, and clears the notice.
    ASSERT_TRUE(idle.Write(DataPort, 9, MonotonicNs()));
    ASSERT_EQ(idle.Read(DataPort, MonotonicNs(), 1000), 9);
    EXPECT_EQ(sim.Query()->forcedStop, "");
    EXPECT_TRUE(Moving(sim));
}

TEST_F(SimPort, AStoppedControllerHasItsMotorsStopped)
{
    SimProcess sim(LineWorld);
    ASSERT_TRUE(sim.Start()) << sim.error().toStdString();
    Peer driver({"drive", QString::fromStdString(sim.socketPath()), "18"}, false);
    ASSERT_TRUE(driver.WaitFor("driving 18")) << driver.Output().toStdString();
    // Waiting in a system call, as a program does while it holds a pulse, is
    // no reason to stop.
    SleepMs(400);
    EXPECT_EQ(sim.Query()->data, 18);
    EXPECT_TRUE(Moving(sim));

    ASSERT_EQ(kill(pid_t(driver.pid()), SIGSTOP), 0);
    QElapsedTimer t;
    t.start();
    const auto stopped = QueryUntil(sim, 3000, [](const SimState &s) { return s.data == 0; });
    const qint64 ms = t.elapsed();
    kill(pid_t(driver.pid()), SIGCONT);
    ASSERT_TRUE(stopped);
    RecordProperty("stopAfterSigstopMs", static_cast<int>(ms));
    EXPECT_EQ(stopped->data, 0);
    EXPECT_LT(ms, 1000) << "goal: within 200 ms";
    EXPECT_EQ(stopped->forcedStop, "controller stopped");
    EXPECT_EQ(stopped->controller, "connected") << "it is stopped, not gone";
    // Continued, it has written nothing new: the motors stay off.
    EXPECT_TRUE(Standing(sim));
}

TEST_F(SimPort, AFloodingClientDoesNotDelayTheControllersReads)
{
    SimProcess sim(LineWorld);
    ASSERT_TRUE(sim.Start()) << sim.error().toStdString();
    UseSocket(sim.socketPath());
    ASSERT_EQ(lib.Inp32(StatusPort), StatusIdle);
    Peer flooder({"flood", QString::fromStdString(sim.socketPath())}, false);
    ASSERT_TRUE(flooder.WaitFor("flooding")) << flooder.Output().toStdString();

    // The sensor follower's pace: a read every 2 ms.
    constexpr int Reads = 400;
    std::vector<double> ms;
    int wrong = 0;
    for (int i = 0; i < Reads; ++i) {
        QElapsedTimer t;
        t.start();
        wrong += lib.Inp32(StatusPort) != StatusIdle;
        ms.push_back(MsSince(t));
        SleepMs(2);
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2], worst = ms.back();
    RecordProperty("readMedianUs", static_cast<int>(median * 1000));
    RecordProperty("readWorstUs", static_cast<int>(worst * 1000));
    EXPECT_EQ(wrong, 0) << "reads timed out and were taken as 0";
    EXPECT_LT(worst, 50) << "goal: a few ms; median " << median;
    EXPECT_FALSE(flooder.Output().contains("closed")) << "the flooding client is served too";
}

TEST_F(SimPort, ServerOfAnotherUserIsRefusedAndSaidOnce)
{
    if (const QString why = OtherUserUnavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    // An impostor of another user listens where the library looks.
    OtherUsersFolder folder;
    ASSERT_TRUE(folder.ok());
    const std::string path = (folder.path() + "/robot-sim.sock").toStdString();
    Peer impostor({"port", QString::fromStdString(path)}, true);
    ASSERT_TRUE(impostor.WaitFor("ready")) << impostor.Output().toStdString();
    UseSocket(path);

    testing::internal::CaptureStderr();
    QElapsedTimer t;
    t.start();
    std::vector<short> reads;
    for (int i = 0; i < 15; ++i) { // over more than one retry interval
        lib.Out32(888, 18);
        reads.push_back(lib.Inp32(889));
        SleepMs(100);
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reads, std::vector<short>(15, 0)) << "not the impostor's 94";
    EXPECT_EQ(LinesWith(QString::fromStdString(said), "refusing the server"), 1) << said;
    EXPECT_NE(said.find("user 2002"), std::string::npos) << said;
    EXPECT_NE(said.find(path), std::string::npos) << said;
    EXPECT_LT(MsSince(t), 3500) << "a refused server does not hold the caller up";
    // Nothing reached it: neither the motor code nor the reads.
    const QString heard = impostor.Output();
    EXPECT_FALSE(heard.contains("W ") || heard.contains("R ")) << heard.toStdString();

    // The user's own simulator is taken as soon as the library is pointed at it.
    SimProcess sim(LineWorld);
    ASSERT_TRUE(sim.Start()) << sim.error().toStdString();
    UseSocket(sim.socketPath());
    EXPECT_EQ(lib.Inp32(889), 254);
}

TEST_F(SimPort, WithoutAPrivateFolderOrANamedSocketTheLibrarySaysSoOnce)
{
    // XDG_RUNTIME_DIR open to others: no socket path is guessed.
    QTemporaryDir open;
    ASSERT_TRUE(QFile::setPermissions(open.path(), QFileDevice::Permissions(0x7777)));
    const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(open.path()));
    unsetenv("ROBOT_SIM_SOCKET");
    EXPECT_EQ(simproto::SocketPath(), "");
    testing::internal::CaptureStderr();
    lib.Out32(888, 18);
    EXPECT_EQ(lib.Inp32(889), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    qputenv("XDG_RUNTIME_DIR", oldRuntime);
    EXPECT_EQ(LinesWith(QString::fromStdString(said), "socket is not known"), 1) << said;
    EXPECT_EQ(simproto::SocketPath(), oldRuntime.toStdString() + "/robot-sim.sock") << "a private one is used";
}

TEST_F(SimPort, OutOfDescriptorsTheServersRestInsteadOfSpinningAndRecover)
{
    SimProcess sim(LineWorld);
    ASSERT_TRUE(sim.Start()) << sim.error().toStdString();
    const qint64 pid = sim.pid();
    ASSERT_TRUE(sim.Query()); // settled: its window drawn, its fonts loaded
    SleepMs(300);
    // Its descriptor limit lowered below what it has open (one it held for a
    // moment while counted included): no accept can succeed.
    const auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
    const auto open = std::distance(std::filesystem::begin(fds), std::filesystem::end(fds));
    rlimit old{};
    ASSERT_EQ(prlimit(pid_t(pid), RLIMIT_NOFILE, nullptr, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = rlim_t(open - 1);
    ASSERT_EQ(prlimit(pid_t(pid), RLIMIT_NOFILE, &tight, nullptr), 0);

    // A controller and a camera client knock; the kernel queues them.
    simproto::SimLink controller(0, sim.socketPath());
    ASSERT_TRUE(controller.Write(888, 18, MonotonicNs()));
    const int camera = ConnectStream(sim.cameraSocket());
    ASSERT_GE(camera, 0);
    SleepMs(300);
    const double share = CpuShare(pid, 1000);
    RecordProperty("cpuPercentOutOfDescriptors", static_cast<int>(share * 100));
    EXPECT_LT(share, 0.25) << "the servers spin on a failing accept";
    const QString log = sim.Output();
    EXPECT_EQ(LinesWith(log, "cannot accept connections on " + QString::fromStdString(sim.socketPath())), 1)
        << log.toStdString();
    EXPECT_EQ(LinesWith(log, "cannot accept connections on " + QString::fromStdString(sim.cameraSocket())), 1)
        << log.toStdString();

    // Descriptors free again: both get in, the controller's write included.
    ASSERT_EQ(prlimit(pid_t(pid), RLIMIT_NOFILE, &old, nullptr), 0);
    EXPECT_EQ(controller.Read(888, MonotonicNs(), 2000), 18);
    EXPECT_EQ(sim.Query()->controller, "connected");
    pollfd p{camera, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 2000), 1) << "the camera client gets its stream";
    close(camera);
    const QString later = sim.Output();
    EXPECT_EQ(LinesWith(later, "accepting connections on"), 2) << later.toStdString();
    EXPECT_EQ(LinesWith(later, "cannot accept"), 2) << "said once per socket";
    EXPECT_TRUE(sim.Stop());
}
