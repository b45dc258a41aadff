// The virtual robot against input meant to break it: world files with numbers
// out of every range, moves of any speed over any time, undefined poses in the
// camera, port packets of any size and timestamps a client cannot have taken.
#include "core/Clock.h"
#include "sim/app/PortPacket.h"
#include "sim/app/SharedRobot.h"
#include "sim/core/Camera.h"
#include "sim/core/Kinematics.h"
#include "sim/core/Simulation.h"
#include "sim/core/World.h"
#include "sim/protocol/SimProtocol.h"
#include "sim/testing/LargestWorld.h"
#include "sim/testing/SimProcess.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace sim;

namespace {
constexpr int64_t Second = 1'000'000'000;

std::string Refusal(const QByteArray &json)
{
    try {
        ParseWorld(json);
    } catch (const WorldError &e) {
        return e.what();
    }
    return "accepted";
}

// A small valid world with `patch` spliced into its robot object, arena
// object, or top level.
QByteArray World2x1(const std::string &arena = {}, const std::string &robot = {}, const std::string &rest = {})
{
    return QByteArray::fromStdString(R"({"arena": {"width": 2, "height": 1)" + arena + R"(}, "robot": {)" + robot +
                                     "}" + rest + "}");
}

std::string RepeatedPoints(int count)
{
    std::string points;
    for (int i = 0; i < count; ++i)
        points += (i ? ", [" : "[") + std::to_string(0.2 + 1.6 * i / count) + ", 0.5]";
    return points;
}

// A 2 x 2 m arena and nothing in it.
World EmptyWorld(double wheelSpeed = 0.15)
{
    World w;
    w.width = 2;
    w.height = 2;
    w.robot.wheelSpeed = wheelSpeed;
    w.robot.start = {1, 1, 0};
    return w;
}

simproto::PortMessage Message(uint32_t kind, int64_t ns, int16_t port, int16_t value = 0)
{
    simproto::PortMessage m;
    m.kind = kind;
    m.sequence = 7;
    m.monotonicNs = ns;
    m.port = port;
    m.value = value;
    return m;
}
} // namespace

TEST(SimWorldLimits, NumbersOutsideTheirRangesAreRefusedWithFieldValueAndRange)
{
    const struct {
        QByteArray json;
        std::string expected; // the whole message, or the part that names field, value and range
    } cases[] = {
        // The faults once seen: a far track point, a tiny tile, wheels faster
        // than anything, an arena of kilometres.
        {World2x1({}, {}, R"(, "track": {"points": [[0.2, 0.5], [1e308, 0.5]]})"),
         "track.points[1][0]: 1e+308 is outside the range -2 to 4 m"},
        {World2x1(R"(, "texture": {"tile": 1e-30})"), "arena.texture.tile: 1e-30 is outside the range 0.0001 to 100 m"},
        {World2x1({}, R"("wheelSpeed": 1e7)"), "robot.wheelSpeed: 10000000 is outside the range 0.001 to 10 m/s"},
        {R"({"arena": {"width": 30000, "height": 1}})", "arena.width: 30000 is outside the range 0.1 to 100 m"},
        // Centimetres: the value as written, the range in the same unit.
        {R"({"units": "cm", "arena": {"width": 200, "height": 5}})",
         "arena.height: 5 is outside the range 10 to 10000 cm"},
        {R"({"units": "cm", "arena": {"width": 200, "height": 100}, "robot": {"wheelSpeed": 0.01}})",
         "robot.wheelSpeed: 0.01 is outside the range 0.1 to 1000 cm/s"},
        {World2x1(R"(, "texture": {"contrast": -0.5})"), "arena.texture.contrast: -0.5 is outside the range 0 to 1"},
        {World2x1(R"(, "texture": {"grainSize": 0})"), "arena.texture.grainSize: 0 is outside"},
        {World2x1({}, {}, R"(, "track": {"points": [[0.2, 0.5], [1.8, -1.5]]})"), "track.points[1][1]: -1.5 is outside"},
        {World2x1({}, {}, R"(, "track": {"points": [[0.2, 0.5], [1.8, 0.5]], "width": 0})"),
         "track.width: 0 is outside the range 0.001 to 1 m"},
        {World2x1({}, {}, R"(, "obstacles": [{"x": 0.5, "y": 0.5, "width": 0.1, "height": 500}])"),
         "obstacles[0].height: 500 is outside the range 0.001 to 100 m"},
        {World2x1({}, {}, R"(, "obstacles": [{"x": -9, "y": 0.5, "width": 0.1, "height": 0.1}])"),
         "obstacles[0].x: -9 is outside the range -2 to 4 m"},
        {World2x1({}, R"("trackWidth": 0.001)"), "robot.trackWidth: 0.001 is outside the range 0.01 to 2 m"},
        {World2x1({}, R"("bodyRadius": 3)"), "robot.bodyRadius: 3 is outside"},
        {World2x1({}, R"("lineSensors": {"left": [0.06, 1e6]})"), "robot.lineSensors.left[1]: 1000000 is outside the range -2 to 2 m"},
        {World2x1({}, R"("obstacleSensor": {"position": [-3, 0]})"), "robot.obstacleSensor.position[0]: -3 is outside"},
        {World2x1({}, R"("obstacleSensor": {"range": 0})"), "robot.obstacleSensor.range: 0 is outside the range 0.001 to 100 m"},
        {World2x1({}, R"("obstacleSensor": {"halfAngle": 90})"),
         "robot.obstacleSensor.halfAngle: 90 is outside the range 0 to below 90 degrees"},
        {World2x1({}, R"("camera": {"far": 1e10})"), "robot.camera.far: 10000000000 is outside the range -2 to 2 m"},
        {World2x1({}, R"("camera": {"nearWidth": 5})"), "robot.camera.nearWidth: 5 is outside the range 0.001 to 4 m"},
        {World2x1({}, R"("camera": {"near": 0.1, "far": 0.1})"), "robot.camera.far: must be greater than near"},
        {World2x1({}, R"("start": {"heading": 1e300})"), "robot.start.heading: 1e+300 is outside the range -360 to 360 degrees"},
        {World2x1({}, R"("start": {"x": 1e300})"), "robot.start.x: 1e+300 is outside"},
        {World2x1({}, R"("start": {"track": 1e300})", R"(, "track": {"points": [[0.2, 0.5], [1.8, 0.5]]})"),
         "robot.start.track: 1e+300 is outside the range -1000 to 1000 m"},
        // Counts and types.
        {World2x1({}, {}, R"(, "track": {"points": [)" + RepeatedPoints(1001) + "]}"),
         "track.points: has 1001 points; at most 1000"},
        {World2x1({}, {}, R"(, "obstacles": [)" + [] {
             std::string list;
             for (int i = 0; i < 257; ++i)
                 list += std::string(i ? ", " : "") + R"({"x": 0, "y": 0, "width": 0.1, "height": 0.1})";
             return list;
         }() + "]"),
         "obstacles: has 257 obstacles; at most 256"},
        {World2x1({}, {}, R"(, "track": {"points": [[0.2, 0.5], [1.8, 0.5]], "closed": "yes"})"),
         "track.closed: must be true or false"},
        {World2x1(R"(, "floor": [10.5, 0, 0])"), "arena.floor: must be a colour"},
        {R"({"units": 5, "arena": {"width": 2, "height": 1}})", "units: must be \"m\" or \"cm\""},
        {World2x1({}, R"("wheelSpeed": "fast")"), "robot.wheelSpeed: must be a number"},
    };
    for (const auto &c : cases) {
        const std::string message = Refusal(c.json);
        EXPECT_NE(message.find(c.expected), std::string::npos)
            << "expected: " << c.expected << "\n     got: " << message;
    }

    // The limits themselves are accepted, in either unit.
    EXPECT_EQ(Refusal(R"({"arena": {"width": 100, "height": 0.1, "texture": {"tile": 0.0001, "grainSize": 100}},
                          "robot": {"bodyRadius": 0.01, "trackWidth": 2, "wheelSpeed": 10,
                                    "start": {"x": 50, "y": 0.05, "heading": -360}}})"),
              "accepted");
    EXPECT_EQ(Refusal(R"({"units": "cm", "arena": {"width": 10000, "height": 10},
                          "robot": {"wheelSpeed": 0.1, "bodyRadius": 1, "start": {"x": 5000, "y": 5}}})"),
              "accepted");
    EXPECT_EQ(Refusal(World2x1({}, R"("start": {"x": 1, "y": 0.5})", R"(, "track": {"points": [)" + RepeatedPoints(1000) + "]}")),
              "accepted");
}

TEST(SimWorldLimits, TheLargestAcceptedWorldStaysSmallAndEveryStepOfItQuick)
{
    const World w = ParseWorld(LargestWorldJson());
    ASSERT_EQ(w.track.controls.size(), 1000u);
    ASSERT_EQ(w.obstacles.size(), 256u);
    const FloorMap floor(w);
    EXPECT_LE(double(floor.image().width()) * floor.image().height(), 4.1e6) << "the painted arena is bounded";
    // Even asked for a micrometre per pixel, the painted arena stays bounded.
    const FloorMap fine(w, 1e-6);
    EXPECT_LE(double(fine.image().width()) * fine.image().height(), 4.1e6);

    // Driving at full speed for an hour on one wheel, then a read: bounded
    // work (about a second would be far too long; it takes milliseconds).
    Simulation s(w);
    QElapsedTimer timer;
    timer.start();
    s.Write(Second, DataPort, 16);
    s.AdvanceTo(3601 * Second);
    s.Write(3601 * Second, DataPort, 18);
    const int status = s.Read(7201 * Second, StatusPort);
    const QImage picture = RenderCamera(floor, w.robot.camera, s.pose());
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_TRUE(status >= 0 && status <= 255);
    EXPECT_TRUE(std::isfinite(s.pose().x) && std::isfinite(s.pose().y) && std::isfinite(s.pose().heading));
    EXPECT_EQ(picture.size(), QSize(CameraWidth, CameraHeight));
    EXPECT_GE(s.contacts(), 1) << "driving straight on for an hour meets a wall or an obstacle";
}

TEST(SimWorldLimits, FilesLargerThanAnyWorldAreRefusedUnread)
{
    QElapsedTimer timer;
    timer.start();
    try {
        LoadWorld(QStringLiteral("/dev/zero")); // never ends
        ADD_FAILURE() << "accepted";
    } catch (const WorldError &e) {
        EXPECT_NE(std::string(e.what()).find("larger than 4 MiB"), std::string::npos) << e.what();
    }
    EXPECT_LT(timer.elapsed(), 5000);
    QTemporaryDir dir;
    EXPECT_THROW(LoadWorld(dir.path()), WorldError) << "a folder";
}

TEST(SimKinematicsBounds, AnySpeedOverAnyTimeEndsWhereTheExactPathDoes)
{
    const World w = EmptyWorld(10); // the fastest accepted robot
    const double r = w.robot.bodyRadius, half = w.robot.trackWidth / 2;
    // One wheel (the left, code 2) drives a circle around the right wheel
    // that passes 50 micrometres above the south wall: the contact search
    // creeps along there on every round.
    const Pose start{1, 2 * half + r + 5e-5, 0};
    const double speed = w.robot.wheelSpeed;
    const double round = 2 * Pi * (2 * half) / speed; // seconds of one circle
    for (const double seconds : {0.25 * round, 1e4 * round + 0.25 * round, 1e9 + 0.25 * round}) {
        const Motion m = MoveWithContacts(w, start, speed, 0, seconds);
        const Pose exact = AdvancePose(start, speed, 0, w.robot.trackWidth, std::fmod(seconds, round));
        // Within what a double holds of a time that long.
        const double tolerance = 1e-6 + 1e-12 * seconds;
        EXPECT_FALSE(m.blocked) << seconds;
        EXPECT_NEAR(m.pose.x, exact.x, tolerance) << seconds;
        EXPECT_NEAR(m.pose.y, exact.y, tolerance) << seconds;
        EXPECT_NEAR(WrapAngle(m.pose.heading - exact.heading), 0, tolerance) << seconds;
        EXPECT_NEAR(m.travelled, speed / 2 * seconds, 1e-6 * seconds);
    }
    // A circle that dips into the wall stops there on its first round,
    // however many rounds the time holds.
    const Motion dip = MoveWithContacts(w, {1, 2 * half + r - 0.01, 0}, speed, 0, 1e9);
    EXPECT_TRUE(dip.blocked);
    EXPECT_NEAR(Clearance(w, {dip.pose.x, dip.pose.y}, r), 0, 1e-6);
    EXPECT_LT(dip.travelled, speed * round);
    // Straight on for a billion seconds: at the wall ahead, exactly.
    const Motion straight = MoveWithContacts(w, {1, 1, 0}, speed, speed, 1e9);
    EXPECT_TRUE(straight.blocked);
    EXPECT_NEAR(straight.pose.x, w.width - r, 1e-6);

    // Times from one end of the clock to the other: no overflow, and the
    // robot ends at the wall.
    Simulation s(w);
    s.Write(std::numeric_limits<int64_t>::min(), DataPort, 18);
    s.AdvanceTo(std::numeric_limits<int64_t>::max());
    EXPECT_NEAR(s.pose().x, w.width - r, 1e-6);
    EXPECT_EQ(s.contacts(), 1);
}

TEST(SimCameraBounds, UndefinedPosesSeeTheWallAndTinyTilesStayFinite)
{
    World w = EmptyWorld();
    w.texture = {1e-30, 0.5, 0.5, 1e-30}; // cells far beyond any integer
    const FloorMap floor(w, 0.01);
    const QRgb wall = qRgb(w.wall.r, w.wall.g, w.wall.b);
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (const Pose &pose : {Pose{nan, 1, 0}, Pose{1, nan, 0}, Pose{1, 1, nan}, Pose{inf, -inf, 0}, Pose{1e300, 1, 0}}) {
        const QImage picture = RenderCamera(floor, w.robot.camera, pose);
        EXPECT_EQ(picture.pixel(0, 0), wall);
        EXPECT_EQ(picture.pixel(CameraWidth - 1, CameraHeight - 1), wall);
    }
    for (const Vec2 p : {Vec2{1.5, 0.5}, Vec2{1e300, -1e300}, Vec2{nan, 0}}) {
        const double f = TextureFactor(w.texture, p);
        EXPECT_TRUE(f >= 0.25 && f <= 1.75) << f;
    }
}

TEST(SimTimestamps, StampsAClientCannotHaveTakenAreReplacedByTheSimulatorsClock)
{
    constexpr int64_t Start = 100 * Second, Now = 200 * Second, Last = 150 * Second;
    const int64_t min = std::numeric_limits<int64_t>::min(), max = std::numeric_limits<int64_t>::max();
    const struct {
        int64_t stamped, taken;
    } cases[] = {
        {Now - 1000, Now - 1000},                      // the usual: a little in the past
        {Last, Last},                                  // the same time as the last access
        {Now + TimestampMargin, Now + TimestampMargin}, // just within the margin ahead
        {Now + TimestampMargin + 1, Now},              // beyond it
        {Start - 1, Now},                              // before the simulator started
        {Last - 1, Now},                               // going backwards
        {min, Now},
        {max, Now},
        {0, Now},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CheckedTimestamp(c.stamped, Start, Now, Last), c.taken) << c.stamped;
    EXPECT_EQ(CheckedTimestamp(max, Start, max - 5, Last), max) << "no overflow near the clock's end";

    // The shared robot: a first stamp of INT64_MIN, then INT64_MAX, then a
    // stamp a billion seconds ahead during a one-wheel turn. The robot keeps
    // following its own clock and answers at once.
    const World w = EmptyWorld();
    SharedRobot robot(w);
    const int64_t before = MonotonicNs();
    robot.Write(min, DataPort, 18);
    robot.Write(max, DataPort, 18);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    robot.Write(MonotonicNs() + 1'000'000'000 * Second, DataPort, 16);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(robot.Read(MonotonicNs(), DataPort), 16) << "later accesses are still taken";
    const Simulation s = robot.Snapshot();
    const int64_t after = MonotonicNs();
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_GE(s.time(), before);
    EXPECT_LE(s.time(), after);
    // About 200 ms of driving at 0.15 m/s happened, not none and not years.
    EXPECT_GT(s.odometer(), 0.15 * 0.1);
    EXPECT_LT(s.odometer(), 0.15 * 5);
}

TEST(SimPortPackets, OnlyWholeMessagesCountAndReadsAndQueriesAreAnswered)
{
    const World w = EmptyWorld();
    SharedRobot robot(w);
    int queries = 0;
    const PortQueryFunction query = [&](int64_t) {
        ++queries;
        return std::string("{\"state\": 1}");
    };
    PortClient client{1, false};
    auto handle = [&](const simproto::PortMessage &m, size_t size) {
        return HandlePortPacket(robot, query, client, &m, size);
    };

    // Packets of any other size, or of unknown kinds, change nothing.
    const simproto::PortMessage write = Message(simproto::KindWrite, MonotonicNs(), DataPort, 18);
    for (const size_t size : {size_t(0), size_t(1), sizeof(write) - 1, sizeof(write) + 1, size_t(65536)})
        EXPECT_EQ(handle(write, size), "") << size;
    EXPECT_EQ(handle(Message('X', 0, DataPort, 18), sizeof(write)), "");
    EXPECT_EQ(robot.Snapshot().data(), 0);
    EXPECT_FALSE(client.controller);
    EXPECT_EQ(robot.Controller(), ControllerState::Waiting);

    // A query does not make a client a controller.
    EXPECT_EQ(handle(Message(simproto::KindQuery, 0, 0), sizeof(write)), "{\"state\": 1}");
    EXPECT_EQ(queries, 1);
    EXPECT_FALSE(client.controller);

    // A write reaches the robot (only its low byte counts) and makes the
    // client a controller; a read is answered with its request's sequence.
    EXPECT_EQ(handle(Message(simproto::KindWrite, MonotonicNs(), DataPort, 0x7F00 | 9), sizeof(write)), "");
    EXPECT_TRUE(client.controller);
    EXPECT_EQ(robot.Controller(), ControllerState::Connected);
    const std::string answer = handle(Message(simproto::KindRead, MonotonicNs(), DataPort), sizeof(write));
    ASSERT_EQ(answer.size(), sizeof(simproto::PortMessage));
    simproto::PortMessage read;
    std::memcpy(&read, answer.data(), sizeof(read));
    EXPECT_EQ(read.kind, simproto::KindRead);
    EXPECT_EQ(read.sequence, 7u);
    EXPECT_EQ(read.value, 9);
    const std::string status = handle(Message(simproto::KindRead, 0, StatusPort), sizeof(write));
    std::memcpy(&read, status.data(), sizeof(read));
    EXPECT_EQ(read.value, StatusIdle);
    // Another controller that only reads comes and goes: the motors run on.
    PortClient reader{2, false};
    const simproto::PortMessage look = Message(simproto::KindRead, MonotonicNs(), StatusPort);
    EXPECT_EQ(HandlePortPacket(robot, query, reader, &look, sizeof(look)).size(), sizeof(look));
    robot.ControllerLeft(MonotonicNs(), reader.id);
    EXPECT_EQ(robot.Snapshot().data(), 9);
    robot.ControllerLeft(MonotonicNs(), client.id);
    EXPECT_EQ(robot.Snapshot().data(), 0) << "the controller in charge gone stops the motors";
    EXPECT_EQ(robot.Facts().forcedStop, MotorStop::ControllerLeft);
}

TEST(SimPortPackets, RobotSimTakesOnlyWholeMessagesFromItsSocket)
{
    SimProcess sim;
    ASSERT_TRUE(sim.Start()) << sim.error().toStdString();
    auto connectToPort = [&] {
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, sim.socketPath().c_str(), sizeof(address.sun_path) - 1);
        EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
        return fd;
    };
    const int fd = connectToPort();
    auto readDataOn = [&](int on) {
        const simproto::PortMessage m = Message(simproto::KindRead, MonotonicNs(), DataPort);
        EXPECT_EQ(send(on, &m, sizeof(m), MSG_NOSIGNAL), ssize_t(sizeof(m)));
        pollfd p{on, POLLIN, 0};
        simproto::PortMessage answer;
        if (poll(&p, 1, 2000) != 1 || recv(on, &answer, sizeof(answer), 0) != ssize_t(sizeof(answer)))
            return -1;
        return int(answer.value);
    };
    auto readData = [&] { return readDataOn(fd); };
    // A write of 18 with one byte too many, then one with a byte too few:
    // neither is a message.
    char longer[sizeof(simproto::PortMessage) + 1] = {};
    const simproto::PortMessage write = Message(simproto::KindWrite, MonotonicNs(), DataPort, 18);
    std::memcpy(longer, &write, sizeof(write));
    EXPECT_EQ(send(fd, longer, sizeof(longer), MSG_NOSIGNAL), ssize_t(sizeof(longer)));
    EXPECT_EQ(send(fd, &write, sizeof(write) - 1, MSG_NOSIGNAL), ssize_t(sizeof(write) - 1));
    EXPECT_EQ(readData(), 0);
    // The same write whole is taken.
    EXPECT_EQ(send(fd, &write, sizeof(write), MSG_NOSIGNAL), ssize_t(sizeof(write)));
    EXPECT_EQ(readData(), 18);
    // An empty packet is no message either, and no hang-up: the client stays
    // connected and in control, so its motors keep running.
    EXPECT_EQ(send(fd, "", 0, MSG_NOSIGNAL), 0);
    EXPECT_EQ(readData(), 18);
    // Half-closing is the end of the connection: the motors stop.
    ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char rest;
    EXPECT_EQ(recv(fd, &rest, 1, 0), 0) << "robot-sim closes its side";
    close(fd);
    const int next = connectToPort();
    EXPECT_EQ(readDataOn(next), 0);
    close(next);
}
