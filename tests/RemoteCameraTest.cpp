// The robot's camera over the network: robot-node serves its camera (the test
// picture) through a real mosquitto on loopback, and this process, on the
// remote port library, shows it in the camera tab and drives the camera line
// follower by it. A late or stalled stream is never steered by; a client the
// broker does not let drive the robot gets no stream.
#include "support/Harness.h"
#include "support/RemoteRobot.h"
#include "support/TextSearch.h"

#include "camera/MotionDetection.h"
#include "capture/CaptureSources.h"
#include "capture/CaptureTesting.h"
#include "capture/RobotStream.h"
#include "core/Clock.h"
#include "core/FrameAge.h"
#include "drive/PortIo.h"
#include "form/CameraShared.h"
#include "linecam/LineFollower.h"
#include "portio/remote/CameraLeases.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

namespace {
using namespace std::chrono_literals;
namespace rp = remoteproto;

class RemoteCamera : public RobotTest {
protected:
    // The node (on the recording library) with the test picture as its
    // camera and `nodeEnv`; this process on the remote library, as `login`.
    void Serve(const EnvVars &nodeEnv, const EnvVars &login = {})
    {
        ASSERT_TRUE(broker.Start(&error)) << error;
        EnvVars env{{"ROBOT_CAPTURE_SOURCE", "test"}};
        env.insert(env.end(), nodeEnv.begin(), nodeEnv.end());
        ASSERT_TRUE(node.Start(broker.Url(), "alpha", env)) << node.Log();
        for (const auto &[name, value] : RemoteEnv(broker.Url(), "alpha"))
            setenv(name.c_str(), value.c_str(), 1);
        for (const auto &[name, value] : login)
            setenv(name.c_str(), value.c_str(), 1);
        unsetenv(CaptureSourceVariable);
        SetPortIoLibraryFileNameForTesting(ROBOT_BINARY_DIR "/lib/remote/libinpout32.so");
        PortIoStatusLine(); // loads the library, which connects
    }
    void TearDown() override
    {
        SetPortIoLibraryFileNameForTesting(nullptr);
        RobotTest::TearDown();
    }
    // Starts the camera line follower: a forward pulse of 5 ms per frame.
    void StartFollower()
    {
        QLineEdit *edits[] = {Form().Edit3, Form().Edit35, Form().Edit36, Form().Edit37, Form().Edit38};
        const char *texts[] = {"5", "5", "0", "1", "0"};
        for (int i = 0; i < 5; ++i)
            edits[i]->setText(texts[i]);
        Form().Button15Click();
    }
    bool Following() { return Form().Button15->text() != "Start"; }

    QTemporaryDir dir;
    std::string path = dir.path().toStdString();
    TestBroker broker{path};
    TestNode node{path};
    std::string error;
};

// The camera tab shows the robot's picture with its capture time; the node
// stops sending once the program no longer asks.
TEST_F(RemoteCamera, TheCameraTabShowsTheRobotsCamera)
{
    Serve({});
    const std::vector<CaptureSource> sources = CaptureSources();
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].kind, CaptureSource::Kind::Robot);

    Form().Edit34->setText("1000"); // motion detection on the camera tab
    Form().Button16Click();
    ASSERT_TRUE(WaitUntil([] { return StillCount + MotionCount >= 3; }, 10000)) << node.Log();
    const CaptureStats stats = GetCaptureStats(CaptureWindow);
    EXPECT_EQ(stats.frameSize, QSize(DefaultFrameWidth, DefaultFrameHeight));
    const CaptureTimes times = GetCaptureTimes(CaptureWindow);
    EXPECT_TRUE(times.stamped);
    // Taken at the robot before it reached this process (within the clocks'
    // matching, a few ms on a loaded machine), and lately.
    EXPECT_LT(times.frameNs, stats.frameSampleNs + 20'000'000);
    EXPECT_GT(times.frameNs, stats.frameSampleNs - 2'000'000'000);
    EXPECT_GT(FrameMeans[0] + FrameMeans[1], 0) << "a black picture";
    EXPECT_TRUE(Has(node.Log(), "camera Obraz testowy open")) << node.Log();

    Form().Button16Click();
    EXPECT_TRUE(WaitUntil([&] { return Has(node.Log(), "camera closed"); }, 5000)) << node.Log();
}

// Pictures stamped 400 ms before their capture: the motion detection judges
// none, the follower sends no pulse and stops with one message.
TEST_F(RemoteCamera, LatePicturesAreRefusedAndStopTheFollower)
{
    Serve({{"ROBOT_NODE_CAMERA_LATE_MS", "400"}});
    Form().Edit34->setText("1000");
    Form().Button16Click();
    ASSERT_TRUE(WaitUntil([] { return GetCaptureStats(CaptureWindow).callbacks >= 5; }, 10000)) << node.Log();
    EXPECT_EQ(StillCount + MotionCount, 0);
    Form().Button16Click();

    StartFollower();
    ASSERT_TRUE(WaitUntil([&] { return !Following(); }, 10000));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(Has(errors[0], "no current picture")) << errors[0];
    EXPECT_TRUE(node.Writes().empty());
}

// A stream that stops (the node frozen) stops a running follower: its
// pulses end at 0, with one message.
TEST_F(RemoteCamera, AStalledStreamStopsTheFollower)
{
    Serve({});
    StartFollower();
    ASSERT_TRUE(WaitUntil([&] { return node.Writes().size() >= 4; }, 10000)) << node.Log();
    ASSERT_EQ(kill(node.Pid(), SIGSTOP), 0);
    const bool stopped = WaitUntil([&] { return !Following(); }, 5000);
    kill(node.Pid(), SIGCONT);
    ASSERT_TRUE(stopped);
    ASSERT_EQ(errors.size(), 1u) << (errors.empty() ? "" : errors.back());
    EXPECT_TRUE(Has(errors[0], "no current picture")) << errors[0];
    ProcessFor(1000); // the node takes what was queued for it
    ASSERT_FALSE(node.Writes().empty());
    EXPECT_EQ(node.Writes().back().Value, 0);
}

// A node told to serve no camera answers so, and the operator is told once.
TEST_F(RemoteCamera, ANodeWithoutACameraSaysSo)
{
    Serve({{"ROBOT_NODE_CAMERA", "off"}});
    Form().Edit34->setText("1000");
    Form().Button16Click();
    // The window's status line passes the library's messages on.
    const auto said = [&] {
        PortIoStatusLine();
        return !errors.empty();
    };
    ASSERT_TRUE(WaitUntil(said, 10000));
    EXPECT_TRUE(Has(errors[0], "its robot-node serves no camera")) << errors[0];
    WaitUntil([&] { return said() && errors.size() > 1; }, 1000); // asked four times a second, said once
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(GetCaptureStats(CaptureWindow).received, 0u);
}

// Only a user the access list lets drive alpha gets its camera.
struct Viewer {
    const char *name;
    std::string user, password;
    bool sees;
};
void PrintTo(const Viewer &viewer, std::ostream *out) { *out << viewer.name; }
class EveryViewer : public RemoteCamera, public testing::WithParamInterface<Viewer> {};

TEST_P(EveryViewer, SeesTheCameraOnlyWhenGranted)
{
    const Viewer &viewer = GetParam();
    ASSERT_TRUE(broker.Secure({{"alpha", "pw-alpha"}, {"anna", "pw-anna"}, {"bob", "pw-bob"}},
                              "user anna\ntopic write robot/alpha/drive\ntopic read robot/alpha/+\n"
                              "user bob\ntopic write robot/beta/drive\ntopic read robot/beta/+\n",
                              &error))
        << error;
    Serve({{"ROBOT_BROKER_CA", broker.CaFile()}, {"ROBOT_BROKER_CREDENTIALS", broker.Credentials("alpha", "pw-alpha")}},
          {{"ROBOT_BROKER_CA", broker.CaFile()},
           {"ROBOT_BROKER_CREDENTIALS", broker.Credentials(viewer.user, viewer.password)}});
    Form().Edit34->setText("1000");
    Form().Button16Click();
    const bool frames = WaitUntil([] { return GetCaptureStats(CaptureWindow).received > 0; }, viewer.sees ? 10000 : 3000);
    EXPECT_EQ(frames, viewer.sees) << node.Log();
    EXPECT_EQ(Has(node.Log(), "camera Obraz testowy open"), viewer.sees) << node.Log();
}

INSTANTIATE_TEST_SUITE_P(SecureBroker, EveryViewer,
                         testing::Values(Viewer{"Granted", "anna", "pw-anna", true},
                                         Viewer{"NotGranted", "bob", "pw-bob", false}),
                         [](const testing::TestParamInfo<Viewer> &info) { return std::string(info.param.name); });

// The age decision: current within the limit; late beyond it; unknown without
// a time or with one ahead of now by more than the limit (clocks apart).
TEST(FrameAgeDecision, JudgesAgainstTheLimit)
{
    constexpr int64_t Ms = 1'000'000, Now = 10'000 * Ms;
    const struct {
        int64_t captured;
        FrameAge age;
    } cases[] = {{Now, FrameAge::Current},           {Now - FrameAgeLimitNs, FrameAge::Current},
                 {Now - FrameAgeLimitNs - 1, FrameAge::Late}, {Now + 20 * Ms, FrameAge::Current},
                 {Now + FrameAgeLimitNs + 1, FrameAge::Unknown}, {0, FrameAge::Unknown}};
    for (const auto &c : cases)
        EXPECT_EQ(JudgeFrameAge(c.captured, Now), c.age) << c.captured;
    // A drive waits for its first picture, then for current ones.
    EXPECT_FALSE(CameraStalled(Now - FirstPictureWaitMs * Ms, 0, Now));
    EXPECT_TRUE(CameraStalled(Now - FirstPictureWaitMs * Ms - 1, 0, Now));
    EXPECT_FALSE(CameraStalled(Now - 10'000 * Ms, Now - 30 * Ms, Now));
    EXPECT_TRUE(CameraStalled(Now - 10 * Ms, Now - FrameAgeLimitNs - 1, Now));
}

// Where the node sends its camera: an ask takes or renews an address until
// its lease's end (a shorter renewal never cuts it), four addresses at most;
// a lapsed one is dropped and frees its place.
TEST(CameraLeases, SendsToEachAskerUntilItsLeaseLapses)
{
    constexpr int64_t Ms = 1'000'000;
    const auto ask = [](const char *host, int port, int leaseMs) {
        return rp::CameraAsk{1, host, uint16_t(port), uint32_t(leaseMs), 0};
    };
    remotenode::CameraLeases leases;
    EXPECT_EQ(leases.Ask(ask("10.0.0.2", 5000, 1000), 0), rp::CameraState::Sending);
    EXPECT_EQ(leases.Ask(ask("10.0.0.2", 5000, 100), 500 * Ms), rp::CameraState::Sending);
    EXPECT_EQ(leases.NextNs(), 1000 * Ms);
    for (int port = 5001; port <= 5003; ++port)
        EXPECT_EQ(leases.Ask(ask("10.0.0.3", port, 2000), 0), rp::CameraState::Sending);
    EXPECT_EQ(leases.Ask(ask("10.0.0.4", 5000, 2000), 0), rp::CameraState::Full);
    leases.Expire(1000 * Ms);
    EXPECT_EQ(leases.Clients().size(), 3u);
    EXPECT_EQ(leases.Ask(ask("10.0.0.4", 5000, 2000), 1000 * Ms), rp::CameraState::Sending);
    leases.Expire(3000 * Ms);
    EXPECT_TRUE(leases.Clients().empty());
}

// The camera's messages read back as written; an ask is refused unless its
// address, port and lease are usable, and on any other topic.
TEST(CameraMessages, ReadBackAsWrittenAndRefuseWhatIsUnusable)
{
    const rp::CameraAsk ask{0x0123456789abcdef, "fe80::1", 40000, 1000, 123};
    const auto asked = rp::Decode(rp::Channel::Drive, rp::Encode(ask));
    ASSERT_TRUE(asked && std::holds_alternative<rp::CameraAsk>(*asked));
    EXPECT_EQ(rp::Encode(*asked), "rn1 camera 0123456789abcdef fe80::1 40000 1000 123");
    EXPECT_FALSE(rp::Decode(rp::Channel::Node, rp::Encode(ask)));
    for (const auto state :
         {rp::CameraState::Sending, rp::CameraState::Off, rp::CameraState::Full, rp::CameraState::Failed}) {
        const rp::CameraAnswer answer{0x0123456789abcdef, 123, 456, state};
        const auto answered = rp::Decode(rp::Channel::Node, rp::Encode(answer));
        ASSERT_TRUE(answered && std::holds_alternative<rp::CameraAnswer>(*answered)) << rp::Encode(answer);
        EXPECT_EQ(std::get<rp::CameraAnswer>(*answered).State, state);
    }
    for (const char *unusable : {"10.0.0.300 40000 1000", "robot.local 40000 1000", "01.2.3.4 40000 1000",
                                 "10.0.0.2 0 1000", "10.0.0.2 65536 1000", "10.0.0.2 40000 99", "10.0.0.2 40000 5001"})
        EXPECT_FALSE(rp::Decode(rp::Channel::Drive, "rn1 camera 0123456789abcdef " + std::string(unusable) + " 1"))
            << unusable;
}

// A packet's capture time: 8 bytes big-endian, nothing else.
TEST(FrameAgeDecision, ReadsAPacketsCaptureTime)
{
    const uint8_t bytes[9] = {0, 0, 0x17, 0x43, 0x5e, 0x8b, 0xbc, 0xc3, 0};
    EXPECT_EQ(PacketCaptureTime(bytes, 8), 0x1743'5e8b'bcc3);
    EXPECT_EQ(PacketCaptureTime(bytes, 9), 0);
    EXPECT_EQ(PacketCaptureTime(bytes, 4), 0);
    const uint8_t negative[8] = {0x80, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(PacketCaptureTime(negative, 8), 0);
}
} // namespace
