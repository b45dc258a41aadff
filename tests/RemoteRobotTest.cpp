// The program on the remote port library, driving robot-node through a real
// mosquitto (a relay between the program and the broker to cut, silence or
// delay its link): what reaches the node's port against what the program
// wrote, every way of cutting the link, the faults the operator is told of,
// and messages that are not a session's next write.
#include "core/Clock.h"
#include "portio/remote/MqttLink.h"
#include "support/RemoteRobot.h"
#include "support/TextSearch.h"

#include "sim/testing/SimProcess.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dlfcn.h>
#include <fstream>
#include <sys/stat.h>

namespace {
using namespace std::chrono_literals;
namespace rp = remoteproto;
constexpr int LeaseMs = rp::DefaultLeaseMs;
// Room for a loaded test machine on top of the goal (lease + 50 ms).
constexpr double CutMarginMs = 150;
// A pulse's length at the robot against the program's, roughly: a write lost,
// late or applied at its arrival would be off by tens of milliseconds. The
// precision itself is a benchmark's.
constexpr double RoughPulseMs = 10;
// The same through robot-sim, one more process on the loaded machine between
// the node and the register; a write applied at its arrival would still be
// off by the whole delay below.
constexpr double RoughArenaPulseMs = 40;
// The delay of the writes in the tests of pulse lengths: the default's 30 ms
// with room for what a loaded test machine adds to the link.
const EnvVars RoomyDelay{{"ROBOT_REMOTE_DELAY_MS", "100"}};

std::vector<int> Values(const std::vector<Write> &writes)
{
    std::vector<int> values;
    for (const Write &w : writes)
        values.push_back(w.Value);
    return values;
}

// Each pulse at the node against the program's, in ms.
std::vector<double> PulseErrors(const std::vector<Write> &node, const std::vector<Write> &program)
{
    const std::vector<Pulse> a = PulsesOf(node), b = PulsesOf(program);
    std::vector<double> errors;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        errors.push_back(std::abs(a[i].ms - b[i].ms));
    return errors;
}

// The node's writes have stopped for half a second (it reads all the time).
bool Settled(const TestNode &node)
{
    size_t last = 0;
    auto since = std::chrono::steady_clock::now();
    return WaitFor([&] {
        const size_t now = node.Writes().size();
        if (now != last) {
            last = now;
            since = std::chrono::steady_clock::now();
        }
        return std::chrono::steady_clock::now() - since > 500ms;
    });
}

struct RemoteRobot : testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(broker.Start(&error)) << error;
        relay = std::make_unique<TcpRelay>(broker.Port());
        ASSERT_TRUE(node.Start(broker.Url(), "alpha", nodeEnv)) << node.Log();
    }
    // The program reaches the broker through the relay.
    void StartProgram(EnvVars env = {})
    {
        EnvVars all = RemoteEnv("mqtt://127.0.0.1:" + std::to_string(relay->Port()), "alpha");
        all.insert(all.end(), env.begin(), env.end());
        program.Start(all);
    }
    bool NodeHolds(int value)
    {
        return WaitFor([&] {
            const auto w = node.Writes();
            return !w.empty() && w.back().Value == value;
        });
    }
    // Only zeros reached the robot after its first `count` writes.
    bool NoCodeAfter(size_t count)
    {
        const auto w = node.Writes();
        return std::all_of(w.begin() + long(std::min(count, w.size())), w.end(), [](const Write &x) { return x.Value == 0; });
    }

    QTemporaryDir dir;
    std::string path = dir.path().toStdString();
    TestBroker broker{path};
    std::unique_ptr<TcpRelay> relay;
    EnvVars nodeEnv;
    TestNode node{path};
    ProgramOnPort program{Library::Recording};
    RobotProcess &robot = program.robot;
    std::string error;
};

// With 0 or 20 ms of jitter on the program's link, every write reaches the
// robot in order, and each pulse keeps its length.
class JitteryLink : public RemoteRobot, public testing::WithParamInterface<int> {};

TEST_P(JitteryLink, SingleMovesReachTheRobotAsTheProgramWroteThem)
{
    relay->SetDelay(GetParam() ? 2 : 0, GetParam());
    StartProgram(RoomyDelay);
    robot.Type("Edit3", "300");
    robot.Type("Edit35", "150");
    for (const char *button : {"Button2", "Button1", "Button3", "Button4"})
        robot.Click(button);
    ASSERT_TRUE(WaitFor([&] { return node.Writes().size() >= 12; })) << node.Log() << robot.Stderr();
    ASSERT_TRUE(Settled(node));

    EXPECT_EQ(Values(node.Writes()), (std::vector<int>{0, 18, 0, 0, 9, 0, 0, 17, 0, 0, 10, 0}));
    EXPECT_EQ(Values(node.Writes()), Values(program.TracedWrites()));
    const std::vector<double> errors = PulseErrors(node.Writes(), program.TracedWrites());
    ASSERT_EQ(errors.size(), 4u);
    for (double ms : errors)
        EXPECT_LT(ms, RoughPulseMs) << "a pulse's length at the robot, against the program's";
    RecordProperty("worst_pulse_error_us", int(1000 * *std::max_element(errors.begin(), errors.end())));
    EXPECT_TRUE(program.Shown().empty()) << robot.Stderr();
}

INSTANTIATE_TEST_SUITE_P(RemoteRobot, JitteryLink, testing::Values(0, 20),
                         [](const testing::TestParamInfo<int> &info) { return std::to_string(info.param) + "msJitter"; });

// The virtual robot served by robot-node: the sensor follower, reading the
// arena's sensors through the broker, drives it as it drives it locally.
TEST(RemoteVirtualRobot, SensorFollowerDrivesTheArenaWithTheProgramsWrites)
{
    QTemporaryDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start()) << sim.error().toStdString();
    TestBroker broker(dir.path().toStdString());
    std::string error;
    ASSERT_TRUE(broker.Start(&error)) << error;
    TestNode node(dir.path().toStdString());
    ASSERT_TRUE(node.Start(broker.Url(), "arena",
                           {{"ROBOT_PORT", "sim"}, {"ROBOT_SIM_SOCKET", sim.socketPath()}}))
        << node.Log();
    ProgramOnPort program(Library::Recording);
    EnvVars env = RemoteEnv(broker.Url(), "arena");
    env.insert(env.end(), RoomyDelay.begin(), RoomyDelay.end());
    program.Start(env);
    program.robot.Click("Button22");
    std::this_thread::sleep_for(4s);
    program.robot.Click("Button21");
    ASSERT_TRUE(Settled(node));

    EXPECT_EQ(Values(node.Writes()), Values(program.TracedWrites()));
    const std::vector<double> errors = PulseErrors(node.Writes(), program.TracedWrites());
    for (double ms : errors)
        EXPECT_LT(ms, RoughArenaPulseMs);
    if (!errors.empty())
        RecordProperty("worst_pulse_error_us", int(1000 * *std::max_element(errors.begin(), errors.end())));
    EXPECT_GT(program.StatusBytes().size(), 10u) << "it read the arena's sensors";
    const auto state = sim.Query();
    ASSERT_TRUE(state);
    EXPECT_GT(state->odometer, 0.02) << "the arena's robot drove";
    EXPECT_EQ(state->data, 0);
}

// Every way of cutting the link stops the robot by the node's own clock
// within the lease (and the delay); no code comes back by itself afterwards.
struct Cut {
    const char *name;
    std::function<void(RemoteRobot &)> cut;
    // Mends the cut where it can be mended; checks what follows.
    std::function<void(RemoteRobot &)> mend;
};
void PrintTo(const Cut &cut, std::ostream *out) { *out << cut.name; }
class EveryCut : public RemoteRobot, public testing::WithParamInterface<Cut> {};

TEST_P(EveryCut, StopsTheRobotWithinTheLeaseAndNoCodeComesBack)
{
    StartProgram();
    robot.Type("Edit3", "2500");
    robot.Click("Button2");
    ASSERT_TRUE(NodeHolds(18)) << node.Log();
    std::this_thread::sleep_for(300ms); // renewed by now
    const int64_t cut = MonotonicNs();
    GetParam().cut(*this);
    ASSERT_TRUE(NodeHolds(0)) << node.Log();
    const size_t zero = node.Writes().size();
    const double ms = (node.Writes().back().Ns - cut) / 1e6;
    RecordProperty("cut_to_zero_us", int(ms * 1000));
    EXPECT_LT(ms, LeaseMs + 50 + CutMarginMs) << node.Log();
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(NoCodeAfter(zero)) << "a code came back after the cut";
    if (GetParam().mend)
        GetParam().mend(*this);
}

// Back from a stop or a silence, the old renewals and writes that arrive
// late move nothing.
void NoCodeComesBack(RemoteRobot &t)
{
    const size_t zero = t.node.Writes().size();
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(t.NoCodeAfter(zero)) << "a code came back";
}

// The drive ended with one error; the link is mended and the next move reaches the robot.
void DrivesAgain(RemoteRobot &t)
{
    ASSERT_TRUE(WaitFor([&] { return !t.program.Shown().empty(); }, 10s)) << t.robot.Stderr();
    EXPECT_EQ(t.program.Shown().size(), 1u) << t.robot.Stderr();
    EXPECT_TRUE(Has(t.program.Shown()[0], "the link to the broker was lost during the drive")) << t.robot.Stderr();
    ASSERT_TRUE(t.robot.DismissMessageBox());
    std::this_thread::sleep_for(2s); // both back with the broker
    t.robot.Type("Edit3", "100");
    t.robot.Click("Button2");
    EXPECT_TRUE(t.NodeHolds(18)) << t.node.Log();
    EXPECT_TRUE(t.NodeHolds(0));
}

INSTANTIATE_TEST_SUITE_P(
    RemoteRobot, EveryCut,
    testing::Values(Cut{"ProgramKilled", [](RemoteRobot &t) { t.robot.Signal(SIGKILL); }, {}},
                    Cut{"ProgramStopped", [](RemoteRobot &t) { t.robot.Signal(SIGSTOP); },
                        [](RemoteRobot &t) {
                            t.robot.Signal(SIGCONT);
                            NoCodeComesBack(t);
                        }},
                    Cut{"LinkSilent", [](RemoteRobot &t) { t.relay->Set(TcpRelay::Mode::Silent); },
                        [](RemoteRobot &t) {
                            t.relay->Set(TcpRelay::Mode::Pass);
                            NoCodeComesBack(t);
                        }},
                    Cut{"LinkCut", [](RemoteRobot &t) { t.relay->Set(TcpRelay::Mode::Cut); },
                        [](RemoteRobot &t) {
                            t.relay->Set(TcpRelay::Mode::Pass);
                            DrivesAgain(t);
                        }},
                    Cut{"BrokerKilled", [](RemoteRobot &t) { t.broker.Kill(); },
                        [](RemoteRobot &t) {
                            ASSERT_TRUE(t.broker.Start());
                            DrivesAgain(t);
                        }}),
    [](const testing::TestParamInfo<Cut> &info) { return std::string(info.param.name); });

// Each fault is said with what to do; the program goes on, nothing moves.
struct Fault {
    const char *name;
    EnvVars env;
    std::string shown;
};
void PrintTo(const Fault &fault, std::ostream *out) { *out << fault.name; }
class EveryFault : public RemoteRobot, public testing::WithParamInterface<Fault> {};

TEST_P(EveryFault, IsShownWithWhatToDoAndTheProgramGoesOn)
{
    EnvVars env = GetParam().env;
    for (auto &[key, value] : env)
        if (value == "<unreachable>")
            value = "mqtt://127.0.0.1:" + std::to_string(broker.Port() + 1);
    StartProgram(env);
    robot.Type("Edit3", "50");
    robot.Click("Button2");
    ASSERT_TRUE(WaitFor([&] { return !program.Shown().empty(); }, 10s)) << robot.Stderr();
    EXPECT_TRUE(Has(program.Shown()[0], GetParam().shown)) << program.Shown()[0];
    EXPECT_TRUE(robot.DismissMessageBox());
    EXPECT_TRUE(node.Writes().empty());
    EXPECT_TRUE(robot.Running());
}

INSTANTIATE_TEST_SUITE_P(
    RemoteRobot, EveryFault,
    testing::Values(Fault{"BrokerUnreachable", {{"ROBOT_BROKER", "<unreachable>"}},
                          "cannot reach the broker (Connection refused). Is the broker running there"},
                    Fault{"RobotOffline", {{"ROBOT_NAME", "beta"}},
                          "the robot is not online (no robot-node serves this name at this broker). Start robot-node"},
                    Fault{"NoName", {{"ROBOT_NAME", ""}}, "ROBOT_NAME is not set; robots online: alpha. Start"},
                    Fault{"BrokerMisspelt", {{"ROBOT_BROKER", "mqtt//127.0.0.1"}}, "ROBOT_BROKER=mqtt//127.0.0.1 is refused"}),
    [](const testing::TestParamInfo<Fault> &info) { return std::string(info.param.name); });

// A second node under a taken name, or with credentials others may read, is
// refused with a message and an exit status the unit does not restart on.
TEST_F(RemoteRobot, ANodeIsRefusedTheNameOfAnotherOrCredentialsOthersMayRead)
{
    TestNode second(path + "/second");
    QDir().mkpath(QString::fromStdString(path + "/second"));
    EXPECT_FALSE(second.Start(broker.Url(), "alpha"));
    EXPECT_EQ(second.WaitForExit(5000), 3);
    EXPECT_TRUE(Has(second.Log(), "the name alpha is served by another node")) << second.Log();

    const std::string credentials = path + "/credentials";
    std::ofstream(credentials) << "user=alpha\npassword=secret\n";
    chmod(credentials.c_str(), 0644);
    TestNode third(path + "/second");
    EXPECT_FALSE(third.Start(broker.Url(), "gamma", {{"ROBOT_BROKER_CREDENTIALS", credentials}}));
    EXPECT_EQ(third.WaitForExit(5000), 2);
    EXPECT_TRUE(Has(third.Log(), "(mode 644); make it yours alone: chmod 600")) << third.Log();
}

// The window's state line (PortIoStatus), of the remote library loaded here:
// connected while the node serves, absent with what to do once it has gone.
TEST_F(RemoteRobot, StateLineFollowsTheRobot)
{
    setenv("ROBOT_BROKER", broker.Url().c_str(), 1);
    setenv("ROBOT_NAME", "alpha", 1);
    void *lib = dlopen(ROBOT_BINARY_DIR "/lib/remote/libinpout32.so", RTLD_NOW);
    ASSERT_TRUE(lib) << dlerror();
    const auto status = [lib] {
        return std::string(reinterpret_cast<const char *(*)()>(dlsym(lib, "PortIoStatus"))());
    };
    const std::string robot = "remote robot alpha at " + broker.Url() + ": ";
    EXPECT_TRUE(WaitFor([&] { return status() == robot + "connected"; }, 5s)) << status();
    kill(node.Pid(), SIGTERM);
    EXPECT_TRUE(WaitFor([&] { return Has(status(), robot + "absent (the robot is not online"); }, 5s)) << status();
}

// A replay, a write of an ended session, a forged session and a payload that
// is not ours: dropped and counted, no motor moves.
TEST_F(RemoteRobot, WhatIsNotTheSessionsNextWriteMovesNoMotor)
{
    const rp::Topics topics = rp::TopicsOf("alpha");
    std::mutex mutex;
    std::vector<rp::Message> heard;
    remotelink::Options options;
    options.Broker = *rp::ParseBroker(broker.Url());
    options.ClientId = "test-client";
    options.Subscriptions = {topics.Node, topics.Status};
    remotelink::Handlers handlers;
    handlers.Message = [&](const std::string &topic, const std::string &payload) {
        if (auto m = rp::Decode(topic == topics.Node ? rp::Channel::Node : rp::Channel::Status, payload)) {
            std::lock_guard<std::mutex> lock(mutex);
            heard.push_back(*m);
        }
    };
    std::atomic<bool> connected{false};
    handlers.Connected = [&] { connected = true; };
    remotelink::MqttLink link(options, handlers);
    link.Start();
    ASSERT_TRUE(WaitFor([&] { return connected.load(); }));
    const auto last = [&](auto kind) -> std::optional<decltype(kind)> {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto i = heard.rbegin(); i != heard.rend(); ++i)
            if (auto *m = std::get_if<decltype(kind)>(&*i))
                return *m;
        return std::nullopt;
    };
    const auto send = [&](const rp::Message &m) { link.Publish(topics.Drive, rp::Encode(m), 1, false); };

    send(rp::Hello{0x1234, rp::LinkNs()});
    ASSERT_TRUE(WaitFor([&] { return last(rp::Granted{}).has_value(); }));
    const uint64_t session = last(rp::Granted{})->Session;
    const rp::Write forward{rp::WriteKind::Write, session, 1, rp::LinkNs() + 30'000'000, 300, 18};
    send(forward);
    send(rp::Write{rp::WriteKind::End, session, 2, rp::LinkNs() + 100'000'000, 0, 0});
    ASSERT_TRUE(NodeHolds(18));
    ASSERT_TRUE(NodeHolds(0));
    ASSERT_TRUE(last(rp::Status{}));
    const uint32_t before = last(rp::Status{})->Ignored;

    send(forward);
    send(rp::Write{rp::WriteKind::Write, session, 3, rp::LinkNs() + 30'000'000, 300, 18});
    send(rp::Write{rp::WriteKind::Write, rp::RandomId(), 1, rp::LinkNs() + 30'000'000, 300, 18});
    link.Publish(topics.Drive, "rn1 write 18 now", 1, false);
    ASSERT_TRUE(WaitFor([&] { return last(rp::Status{})->Ignored >= before + 4; })) << node.Log();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Values(node.Writes()), (std::vector<int>{18, 0}));
    EXPECT_TRUE(Has(node.Log(), "ignoring messages that are not ours on robot/alpha/drive"));
    link.Stop();
}
} // namespace
