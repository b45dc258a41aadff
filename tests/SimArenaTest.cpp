// The virtual robot handled in its arena window, as a user handles it on a
// real X server (a private Xvfb, driven with xdotool): put back by button and
// by key, dragged and turned with the mouse, time paused and resumed (button
// and P; Space is the control program's stop key), another
// world opened or refused, while a control program and a camera client stay
// connected throughout without noticing.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "sim/app/SharedRobot.h"
#include "sim/core/World.h"
#include "sim/protocol/SimProtocol.h"
#include "sim/testing/SimWindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
// A 2 x 1.5 m arena with a line along y = 0.75 and the robot on it at
// x = 0.4 facing east; nothing in its way for 1.5 m.
const char *ArenaWorld = R"({
  "arena": {"width": 2, "height": 1.5},
  "track": {"points": [[0.1, 0.75], [1.9, 0.75]], "closed": false},
  "robot": {"start": {"x": 0.4, "y": 0.75, "heading": 0}, "wheelSpeed": 0.15, "bodyRadius": 0.08}
})";
constexpr double StartX = 0.4, StartY = 0.75, Speed = 0.15, BodyRadius = 0.08;
// A window pixel is about 5 mm of this arena on the tests' screen.
constexpr double Pixels = 0.02;

void SleepMs(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

int Connect(const std::string &path, int type)
{
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One connection to each of robot-sim's sockets, made once and kept through a
// test: the control program's (plain, so that a dropped connection shows
// instead of being made again) and a camera client's.
class Connections {
public:
    explicit Connections(const SimProcess &sim)
        : port_(Connect(sim.socketPath(), SOCK_SEQPACKET)), camera_(Connect(sim.cameraSocket(), SOCK_STREAM))
    {
    }
    ~Connections()
    {
        close(port_);
        close(camera_);
    }
    bool ok() const { return port_ >= 0 && camera_ >= 0; }

    bool Write(int code)
    {
        simproto::PortMessage m;
        m.kind = simproto::KindWrite;
        m.monotonicNs = MonotonicNs();
        m.port = DataPort;
        m.value = static_cast<int16_t>(code);
        return send(port_, &m, sizeof(m), MSG_NOSIGNAL) == ssize_t(sizeof(m));
    }
    // The register's value; nothing when robot-sim did not answer within a
    // second or has closed the connection.
    std::optional<int> Read(short port)
    {
        simproto::PortMessage m;
        m.kind = simproto::KindRead;
        m.sequence = ++sequence_;
        m.monotonicNs = MonotonicNs();
        m.port = port;
        if (send(port_, &m, sizeof(m), MSG_NOSIGNAL) != ssize_t(sizeof(m)))
            return std::nullopt;
        pollfd p{port_, POLLIN, 0};
        simproto::PortMessage answer;
        if (poll(&p, 1, 1000) != 1 || recv(port_, &answer, sizeof(answer), 0) != ssize_t(sizeof(answer)) ||
            answer.sequence != sequence_)
            return std::nullopt;
        return answer.value;
    }
    // Takes what the camera has sent; false once it has hung up.
    bool CameraStreams()
    {
        char buffer[65536];
        for (;;) {
            const ssize_t got = recv(camera_, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got == 0)
                return false;
            if (got < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            cameraBytes_ += got;
        }
    }
    // The camera's bytes received so far (after a CameraStreams).
    long CameraBytes() const { return cameraBytes_; }

    // Both connections are as they were: the port answers a read and the
    // camera has sent more since the last look.
    void ExpectStillUp(const char *after)
    {
        EXPECT_TRUE(Read(StatusPort).has_value()) << "the port connection after " << after;
        const long before = cameraBytes_;
        SleepMs(150); // a frame or more
        EXPECT_TRUE(CameraStreams()) << "the camera connection after " << after;
        EXPECT_GT(cameraBytes_, before) << "frames after " << after;
    }

private:
    int port_;
    int camera_;
    uint32_t sequence_ = 0;
    long cameraBytes_ = 0;
};

class SimArena : public testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(window.Start(&error)) << error;
        link = std::make_unique<Connections>(window.sim());
        ASSERT_TRUE(link->ok());
        ASSERT_EQ(link->Read(StatusPort), StatusIdle);
        ASSERT_TRUE(link->CameraStreams());
    }
    void TearDown() override
    {
        // Ends cleanly: no sanitizer's report, no crash on the way out.
        link.reset();
        EXPECT_TRUE(window.sim().Stop()) << window.sim().Output().toStdString();
    }
    SimState State()
    {
        const std::optional<SimState> s = window.sim().Query();
        EXPECT_TRUE(s);
        return s.value_or(SimState{});
    }
    // Waits until `done` holds for the state (at most `ms`).
    template <class Done> SimState Until(int ms, Done done)
    {
        QElapsedTimer t;
        t.start();
        SimState s = State();
        while (!done(s) && t.elapsed() < ms) {
            SleepMs(20);
            s = State();
        }
        return s;
    }

    SimWindow window{QString::fromUtf8(ArenaWorld)};
    std::unique_ptr<Connections> link;
};
} // namespace

TEST_F(SimArena, PutBackByButtonAndByKeyWithTheMotorCodeKept)
{
    ASSERT_TRUE(link->Write(MotorForwardCode));
    SleepMs(500);
    const SimState driven = State();
    ASSERT_GT(driven.x, StartX + 0.05);

    // The button, while the motors run: back at the start, counted afresh,
    // and driving on from there with the code as written.
    QElapsedTimer since; // started before the click: the robot is put back after it
    since.start();
    window.Click(ArenaLayout::PutBackButton);
    const SimState back = Until(3000, [](const SimState &s) { return s.odometer < 0.05; });
    EXPECT_LT(back.odometer, driven.odometer) << "the distance counts afresh";
    EXPECT_NEAR(back.x, StartX + back.odometer, 1e-6) << "from the start, straight on";
    EXPECT_NEAR(back.y, StartY, 1e-6);
    EXPECT_LE(back.odometer, Speed * since.elapsed() / 1000.0 + 0.01);
    EXPECT_EQ(back.data, MotorForwardCode) << "the control program's code stays";
    EXPECT_EQ(back.controller, "connected");

    // The key, with the motors off: exactly the start pose, the trail restarted there.
    ASSERT_TRUE(link->Write(MotorOff));
    SleepMs(200);
    window.Key("r");
    const SimState key = Until(3000, [](const SimState &s) { return s.x == StartX; });
    EXPECT_DOUBLE_EQ(key.x, StartX);
    EXPECT_DOUBLE_EQ(key.y, StartY);
    EXPECT_DOUBLE_EQ(key.heading, 0);
    EXPECT_EQ(key.odometer, 0);
    const SimState trail = Until(1000, [](const SimState &s) { return s.trailPoints >= 1; });
    EXPECT_LE(trail.trailPoints, 2);
    EXPECT_NEAR(trail.trailX, StartX, 1e-6);
    link->ExpectStillUp("putting back");
}

TEST_F(SimArena, DragMovesTheRobotTurnsItAndRestartsTheTrail)
{
    // A trail of some length first.
    ASSERT_TRUE(link->Write(MotorForwardCode));
    SleepMs(600);
    ASSERT_TRUE(link->Write(MotorOff));
    const SimState driven = Until(1000, [](const SimState &s) { return s.trailPoints > 5; });
    ASSERT_GT(driven.trailPoints, 5);
    EXPECT_NEAR(driven.trailX, StartX, Pixels);

    window.Drag({1.3, 0.4});
    const SimState moved = Until(3000, [](const SimState &s) { return std::abs(s.x - 1.3) < Pixels; });
    EXPECT_NEAR(moved.x, 1.3, Pixels);
    EXPECT_NEAR(moved.y, 0.4, Pixels);
    EXPECT_DOUBLE_EQ(moved.heading, driven.heading) << "moved, not turned";
    EXPECT_DOUBLE_EQ(moved.odometer, driven.odometer) << "carried, not driven";
    const SimState trail = Until(1000, [](const SimState &s) { return s.trailPoints >= 1; });
    EXPECT_LE(trail.trailPoints, 2) << "the trail restarts where it was set down";
    EXPECT_NEAR(trail.trailX, moved.x, 1e-6);
    EXPECT_NEAR(trail.trailY, moved.y, 1e-6);

    // Turned to face north with the right button; then driven, it goes north.
    window.TurnToward({1.3, 1.2});
    const SimState turned = Until(3000, [](const SimState &s) { return std::abs(s.heading - 90) < 5; });
    EXPECT_NEAR(turned.heading, 90, 5);
    EXPECT_DOUBLE_EQ(turned.x, moved.x);
    ASSERT_TRUE(link->Write(MotorForwardCode));
    SleepMs(300);
    ASSERT_TRUE(link->Write(MotorOff));
    const SimState north = State();
    EXPECT_GT(north.y, turned.y + 0.02);
    EXPECT_NEAR(north.x, turned.x, 0.01);

    // Dragged out over the east wall, it stays where its body last fitted.
    window.Drag({2.2, north.y});
    SleepMs(300);
    const SimState wall = State();
    EXPECT_LE(wall.x, 2 - BodyRadius + 1e-9);
    EXPECT_GT(wall.x, north.x + 0.1);
    EXPECT_EQ(wall.contacts, 0);
    link->ExpectStillUp("dragging");
}

TEST_F(SimArena, PauseHoldsThePoseWhileWritesStillArriveAndResumeGoesOn)
{
    window.Key("p");
    EXPECT_TRUE(Until(3000, [](const SimState &s) { return s.paused; }).paused);

    ASSERT_TRUE(link->Write(MotorForwardCode));
    EXPECT_EQ(link->Read(DataPort), MotorForwardCode) << "the write arrives";
    EXPECT_EQ(link->Read(StatusPort), StatusIdle) << "reads are answered from where it stands";
    SleepMs(500);
    const SimState held = State();
    EXPECT_EQ(held.data, MotorForwardCode);
    EXPECT_DOUBLE_EQ(held.x, StartX) << "the pose waits";
    EXPECT_EQ(held.odometer, 0);

    // Resumed with the button: it drives from where it stood, from now on
    // (not by the time it was paused).
    QElapsedTimer since; // started before the click: time runs again after it
    since.start();
    window.Click(ArenaLayout::PauseButton);
    const SimState resumed = Until(3000, [](const SimState &s) { return !s.paused; });
    EXPECT_FALSE(resumed.paused);
    SleepMs(400);
    const SimState going = State();
    const double seconds = since.elapsed() / 1000.0;
    EXPECT_GT(going.x, StartX + Speed * 0.2);
    EXPECT_LE(going.x, StartX + Speed * seconds + 1e-6) << "it jumped by the paused time";

    // Space is the control program's emergency stop here, not a pause; P
    // pauses again, also while driving.
    window.Key("space");
    SleepMs(300);
    EXPECT_FALSE(State().paused);
    window.Click(ArenaLayout::PauseButton);
    const SimState again = Until(3000, [](const SimState &s) { return s.paused; });
    SleepMs(300);
    EXPECT_DOUBLE_EQ(State().x, again.x);
    ASSERT_TRUE(link->Write(MotorOff));
    link->ExpectStillUp("pausing");
}

TEST_F(SimArena, ARefusedWorldKeepsTheRunningOneAndSaysWhyAnotherIsOpened)
{
    QTemporaryDir files;
    ASSERT_TRUE(files.isValid());
    const QString refused = files.filePath(QStringLiteral("huge.json"));
    const QString other = files.filePath(QStringLiteral("small room.json"));
    auto write = [](const QString &path, const char *text) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(text) > 0;
    };
    ASSERT_TRUE(write(refused, R"({"arena": {"width": 1000, "height": 1}})"));
    ASSERT_TRUE(write(other, R"({"arena": {"width": 1, "height": 1}, "robot": {"start": {"x": 0.3, "y": 0.6}}})"));
    ASSERT_TRUE(link->Write(MotorForwardCode));
    SleepMs(300);
    ASSERT_TRUE(link->Write(MotorOff));
    const SimState before = State();
    const std::string title = window.WindowName();

    window.Key("ctrl+o");
    ASSERT_TRUE(window.AnswerFileDialog(refused.toStdString()));
    EXPECT_TRUE(window.DismissMessage("world not opened")) << "a message box says why";
    const QString said = window.sim().Output();
    EXPECT_TRUE(said.contains("world not opened: " + refused + ": arena.width: 1000 is outside the range 0.1 to 100 m"))
        << said.toStdString();
    const SimState kept = State();
    EXPECT_EQ(kept.world, before.world);
    EXPECT_EQ(kept.arenaWidth, 2);
    EXPECT_DOUBLE_EQ(kept.x, before.x) << "the robot stays where it was";
    EXPECT_EQ(kept.odometer, before.odometer);
    EXPECT_EQ(window.WindowName(), title);
    link->ExpectStillUp("a refused world");

    window.Click(ArenaLayout::OpenButton);
    ASSERT_TRUE(window.AnswerFileDialog(other.toStdString()));
    const SimState opened = Until(5000, [](const SimState &s) { return s.world == "small room.json"; });
    EXPECT_EQ(opened.world, "small room.json");
    EXPECT_EQ(opened.arenaWidth, 1);
    EXPECT_DOUBLE_EQ(opened.x, 0.3);
    EXPECT_DOUBLE_EQ(opened.y, 0.6);
    EXPECT_EQ(opened.odometer, 0);
    EXPECT_EQ(opened.controller, "connected");
    EXPECT_EQ(window.WindowName(), "Virtual robot - small room.json");
    link->ExpectStillUp("another world");
    // The control program drives on in the new world.
    ASSERT_TRUE(link->Write(MotorForwardCode));
    SleepMs(300);
    EXPECT_GT(State().x, 0.3 + 0.02);
    ASSERT_TRUE(link->Write(MotorOff));
}

TEST(SimHandling, ACopyOfTheRobotKeepsItsWorldWhenTheWorldIsReplaced)
{
    // The camera's thread and a query may hold a copy while the window opens
    // another world: the copy keeps the old world, and lets it go after.
    auto first = std::make_shared<const sim::World>(sim::ParseWorld(ArenaWorld));
    const std::weak_ptr<const sim::World> watch = first;
    SharedRobot robot(std::move(first), nullptr, "first");
    robot.Write(MonotonicNs(), DataPort, MotorLeftCode);
    auto old = std::make_unique<sim::Simulation>(robot.Snapshot());
    robot.ReplaceWorld(MonotonicNs(),
                       std::make_shared<const sim::World>(sim::ParseWorld(R"({"arena": {"width": 1, "height": 1}})")),
                       nullptr, "second");
    EXPECT_FALSE(watch.expired());
    old->AdvanceTo(MonotonicNs() + 1'000'000'000); // reads the old world's robot and walls
    EXPECT_EQ(old->world().width, 2);
    EXPECT_EQ(robot.Snapshot().world().width, 1);
    EXPECT_EQ(robot.Snapshot().data(), MotorLeftCode) << "the motor code stays";
    EXPECT_EQ(robot.Facts().world, "second");
    old.reset();
    EXPECT_TRUE(watch.expired()) << "nothing keeps the old world once its copies are gone";
}
