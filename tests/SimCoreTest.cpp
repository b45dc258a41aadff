// The virtual robot's arithmetic, on the core directly: motor decoding,
// kinematics with contacts, sensors, world files and the camera picture.
#include "sim/core/Camera.h"
#include "sim/core/Kinematics.h"
#include "sim/core/Sensors.h"
#include "sim/core/Simulation.h"
#include "sim/core/World.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <cmath>

using namespace sim;

namespace {
constexpr int64_t Second = 1'000'000'000;
constexpr int64_t T0 = 5 * Second; // any start time

// A 4 x 3 m arena with a straight line along y = 1.5 and nothing else.
World OpenWorld()
{
    World w;
    w.width = 4;
    w.height = 3;
    w.track.controls = {{0.2, 1.5}, {3.8, 1.5}};
    w.track.path = w.track.controls;
    w.track.closed = false;
    w.robot.start = {2, 1.5, 0};
    return w;
}

double Degrees(double radians) { return radians * 180 / Pi; }

// Seconds of 17 that turn the robot by a quarter on the spot.
double QuarterTurnSeconds(const World &w) { return (Pi / 2) * (w.robot.trackWidth / 2) / w.robot.wheelSpeed; }

int Status(const World &w, const Pose &p) { return StatusValue(ReadSensors(w, p)); }
} // namespace

TEST(SimMotors, EachWheelFollowsItsPairOfBits)
{
    struct Case {
        int code, left, right;
    } cases[] = {
        {18, 1, 1}, {9, -1, -1}, {17, -1, 1}, {10, 1, -1}, {0, 0, 0},
        {16, 0, 1}, {8, 0, -1}, {2, 1, 0},    {1, -1, 0},  {24, 0, 0}, // both right bits: right stops
        {3, 0, 0},  {27, 0, 0}, {0x32, 1, 1}, {0xFF, 0, 0}, {0x84, 0, 0}, // other bits do nothing
    };
    for (const Case &c : cases) {
        const WheelDirections w = DecodeMotors(c.code);
        EXPECT_EQ(w.left, c.left) << c.code;
        EXPECT_EQ(w.right, c.right) << c.code;
    }
}

TEST(SimKinematics, ForwardForOneSecondMovesOneSecondOfWheelSpeedStraightAhead)
{
    const World w = OpenWorld();
    Simulation s(w);
    s.Write(T0, DataPort, 18);
    s.Write(T0 + Second, DataPort, 0);
    s.AdvanceTo(T0 + 3 * Second); // standing still afterwards
    EXPECT_NEAR(s.pose().x, 2 + w.robot.wheelSpeed, 1e-9);
    EXPECT_NEAR(s.pose().y, 1.5, 1e-9);
    EXPECT_NEAR(s.pose().heading, 0, 1e-12);
    EXPECT_NEAR(s.odometer(), w.robot.wheelSpeed, 1e-9);

    // The same second in a hundred pulses of 10 ms with pauses between them,
    // then back (9) for half a second.
    Simulation p(w);
    int64_t t = T0;
    for (int i = 0; i < 100; ++i) {
        p.Write(t, DataPort, 0);
        p.Write(t + 1'000, DataPort, 18);
        p.Write(t + 1'000 + 10'000'000, DataPort, 0);
        t += 37'000'000;
    }
    p.Write(t, DataPort, 9);
    p.Write(t + Second / 2, DataPort, 0);
    EXPECT_NEAR(p.pose().x, 2 + w.robot.wheelSpeed / 2, 1e-9);
    EXPECT_NEAR(p.pose().y, 1.5, 1e-9);
}

TEST(SimKinematics, QuarterTurnTimeTurnsNinetyDegreesOnTheSpot)
{
    const World w = OpenWorld();
    const int64_t quarter = static_cast<int64_t>(QuarterTurnSeconds(w) * 1e9);
    Simulation s(w);
    s.Write(T0, DataPort, 17); // left
    s.Write(T0 + quarter, DataPort, 0);
    EXPECT_NEAR(Degrees(s.pose().heading), 90, 1e-6);
    EXPECT_NEAR(s.pose().x, 2, 1e-9);
    EXPECT_NEAR(s.pose().y, 1.5, 1e-9);
    s.Write(T0 + 2 * quarter, DataPort, 10); // right, twice as long
    s.Write(T0 + 4 * quarter, DataPort, 0);
    EXPECT_NEAR(Degrees(s.pose().heading), -90, 1e-6);
    EXPECT_NEAR(s.pose().x, 2, 1e-9);
    EXPECT_EQ(s.odometer(), 0);
}

TEST(SimKinematics, OneWheelDrivesAnArcAroundTheOther)
{
    const World w = OpenWorld();
    // Right wheel forward alone (16): a circle around the left wheel, whose
    // contact point stays where it is; a quarter circle takes twice the
    // quarter-turn time of a spin.
    Simulation s(w);
    const Vec2 leftWheel = ToWorld(w.robot.start, {0, w.robot.trackWidth / 2});
    s.Write(T0, DataPort, 16);
    s.Write(T0 + static_cast<int64_t>(2 * QuarterTurnSeconds(w) * 1e9), DataPort, 0);
    EXPECT_NEAR(Degrees(s.pose().heading), 90, 1e-6);
    const Vec2 after = ToWorld(s.pose(), {0, w.robot.trackWidth / 2});
    EXPECT_NEAR(after.x, leftWheel.x, 1e-9);
    EXPECT_NEAR(after.y, leftWheel.y, 1e-9);
    EXPECT_NEAR(s.pose().x, 2 + w.robot.trackWidth / 2, 1e-9);
}

TEST(SimKinematics, LateAccessesCountAsNowAndNeverRunTimeBackwards)
{
    const World w = OpenWorld();
    Simulation s(w);
    s.Write(T0, DataPort, 18);
    s.AdvanceTo(T0 + Second);
    s.Write(T0 + Second / 2, DataPort, 0); // arrived late: stops at T0 + 1 s
    s.AdvanceTo(T0 + 2 * Second);
    EXPECT_NEAR(s.pose().x, 2 + w.robot.wheelSpeed, 1e-9);
    EXPECT_EQ(s.time(), T0 + 2 * Second);
}

TEST(SimKinematics, WallsAndObstaclesStopTheRobotAtContactAndCountEachContactOnce)
{
    World w = OpenWorld();
    const double r = w.robot.bodyRadius;
    Simulation s(w);
    s.Place({w.width - r - 0.3, 1.5, 0}); // 30 cm from the east wall
    s.Write(T0, DataPort, 18);
    s.AdvanceTo(T0 + 10 * Second);
    EXPECT_NEAR(s.pose().x, w.width - r, 1e-6);
    EXPECT_LE(s.pose().x, w.width - r + 1e-9) << "the body never enters the wall";
    EXPECT_EQ(s.contacts(), 1);
    EXPECT_TRUE(s.touching());
    EXPECT_NEAR(s.odometer(), 0.3, 1e-6);

    // Pressing on with new writes of 18 is the same contact.
    for (int i = 1; i <= 5; ++i)
        s.Write(T0 + (10 + i) * Second, DataPort, 18);
    EXPECT_EQ(s.contacts(), 1);

    // Backing off frees it; driving on makes a second contact.
    s.Write(T0 + 20 * Second, DataPort, 9);
    s.Write(T0 + 21 * Second, DataPort, 0);
    EXPECT_NEAR(s.pose().x, w.width - r - w.robot.wheelSpeed, 1e-6);
    EXPECT_FALSE(s.touching());
    s.Write(T0 + 22 * Second, DataPort, 18);
    s.AdvanceTo(T0 + 30 * Second);
    EXPECT_EQ(s.contacts(), 2);

    // A spin on the spot against the wall is free (the body is round), and
    // an arc into a box stops at the box.
    s.Write(T0 + 31 * Second, DataPort, 17);
    s.AdvanceTo(T0 + 32 * Second);
    EXPECT_EQ(s.contacts(), 2);

    w.obstacles.push_back({{1.0, 0.5, 0.3, 0.3}, {}});
    Simulation b(w);
    b.Place({1.15, 1.5, -Pi / 2}); // facing south, the box 0.7 m ahead
    b.Write(T0, DataPort, 18);
    b.AdvanceTo(T0 + 20 * Second);
    EXPECT_NEAR(b.pose().y, 0.8 + r, 1e-6);
    EXPECT_EQ(b.contacts(), 1);
    // One wheel alone drives a circle around the other: 3 cm above the box,
    // the left wheel's circle around the right wheel reaches 9 cm into it.
    b.Place({1.15, 0.8 + r + 0.03, 0});
    b.Write(T0 + 21 * Second, DataPort, 2);
    b.AdvanceTo(T0 + 40 * Second);
    EXPECT_NEAR(Clearance(w, {b.pose().x, b.pose().y}, r), 0, 1e-6);
    EXPECT_LT(b.pose().heading, 0);
    EXPECT_EQ(b.contacts(), 2);
}

TEST(SimSensors, LineSensorsAndObstacleSensorPullTheirBitsLow)
{
    World w = OpenWorld();
    const double side = w.robot.leftSensor.y; // lateral offset of the left sensor
    // Astride the line: both sensors beside it.
    EXPECT_EQ(Status(w, {2, 1.5, 0}), 254);
    // Moved right by the sensor's offset: the line is under the left sensor.
    EXPECT_EQ(Status(w, {2, 1.5 - side, 0}), 222);
    EXPECT_EQ(Status(w, {2, 1.5 + side, 0}), 238);
    // Facing the other way the sides swap.
    EXPECT_EQ(Status(w, {2, 1.5 - side, Pi}), 238);
    // Far from the line.
    EXPECT_EQ(Status(w, {2, 2.2, 0}), 254);

    // A box ahead within range clears bit 7; beyond range, beside or behind it does not.
    const ObstacleSensor &o = w.robot.obstacleSensor;
    w.obstacles.push_back({{2.5, 1.3, 0.2, 0.4}, {}});
    const double front = 2.5 - o.position.x; // robot x at which the box touches the sensor
    EXPECT_EQ(Status(w, {front - o.range + 0.01, 1.5, 0}), 126);
    EXPECT_EQ(Status(w, {front - o.range - 0.01, 1.5, 0}), 254);
    EXPECT_EQ(Status(w, {front - o.range + 0.01, 1.5 - side, 0}), 94); // left sensor too
    EXPECT_EQ(Status(w, {front - o.range + 0.01, 1.5 + side, 0}), 110);
    EXPECT_EQ(Status(w, {2.4, 1.5, Pi}), 254);
    EXPECT_EQ(Status(w, {2.4, 1.5, Pi / 2}), 254);
    // The cone is wider than a ray: a box off the axis but inside the cone is seen.
    EXPECT_EQ(Status(w, {front - 0.1, 1.5 + 0.2 + 0.1 * std::tan(o.halfAngle) / 2, 0}), 126);
    // A wall within range counts as an obstacle.
    EXPECT_EQ(Status(w, {2, w.height - o.position.x - o.range + 0.01, Pi / 2}), 126);
}

TEST(SimWorld, ShippedDefaultWorldIsFollowableAlongItsWholeLine)
{
    const World w = LoadWorld(QStringLiteral(ROBOT_SOURCE_DIR "/sim/worlds/default.json"));
    ASSERT_TRUE(w.track.closed);
    EXPECT_GT(w.track.Length(), 4.0);
    EXPECT_EQ(w.obstacles.size(), 3u);
    // The start pose is on the line, facing along it.
    EXPECT_LT(w.track.Project({w.robot.start.x, w.robot.start.y}).distance, 1e-9);
    // At every point of the centre line, facing along it: neither line sensor
    // on the line, no obstacle or wall in sight, and room for the body.
    const auto &path = w.track.path;
    for (size_t i = 0; i < path.size(); ++i) {
        const Vec2 a = path[i], b = path[(i + 1) % path.size()];
        const Pose pose{a.x, a.y, std::atan2(b.y - a.y, b.x - a.x)};
        const SensorReadings r = ReadSensors(w, pose);
        ASSERT_FALSE(r.leftLine || r.rightLine) << "line sensors on the line at " << a.x << "," << a.y;
        ASSERT_GT(r.obstacleDistance, w.robot.obstacleSensor.range + 0.05) << "at " << a.x << "," << a.y;
        ASSERT_GT(Clearance(w, a, w.robot.bodyRadius), 0.1);
    }
}

TEST(SimWorld, ReadsCentimetresSmoothsTheTrackAndNamesTheFaultyField)
{
    const QByteArray cm = R"({"units": "cm",
        "arena": {"width": 200, "height": 100, "floor": [200, 190, 180]},
        "track": {"points": [[20, 20], [180, 20], [180, 80], [20, 80]], "width": 3, "colour": "#102030"},
        "obstacles": [{"x": 90, "y": 40, "width": 20, "height": 10}],
        "robot": {"start": {"x": 50, "y": 50, "heading": 90}, "wheelSpeed": 20, "trackWidth": 10,
                  "obstacleSensor": {"range": 30, "halfAngle": 10}}})";
    const World w = ParseWorld(cm);
    EXPECT_DOUBLE_EQ(w.width, 2.0);
    EXPECT_DOUBLE_EQ(w.height, 1.0);
    EXPECT_DOUBLE_EQ(w.track.width, 0.03);
    EXPECT_EQ(w.track.colour.r, 0x10);
    EXPECT_EQ(w.track.colour.b, 0x30);
    EXPECT_EQ(w.floor.g, 190);
    EXPECT_DOUBLE_EQ(w.obstacles[0].rect.x, 0.9);
    EXPECT_DOUBLE_EQ(w.robot.wheelSpeed, 0.2);
    EXPECT_DOUBLE_EQ(w.robot.obstacleSensor.range, 0.3);
    EXPECT_NEAR(w.robot.obstacleSensor.halfAngle, 10 * Pi / 180, 1e-12);
    EXPECT_NEAR(w.robot.start.heading, Pi / 2, 1e-12);
    // The smoothed closed curve passes through every control point and has
    // no corners: the square's right angles are spread over many small bends.
    ASSERT_GT(w.track.path.size(), 4u * 10);
    for (const Vec2 &c : w.track.controls)
        EXPECT_LT(w.track.Project(c).distance, 1e-9);
    const auto &path = w.track.path;
    for (size_t i = 0; i < path.size(); ++i) {
        const Vec2 a = path[i], b = path[(i + 1) % path.size()], c = path[(i + 2) % path.size()];
        const double bend = WrapAngle(std::atan2(c.y - b.y, c.x - b.x) - std::atan2(b.y - a.y, b.x - a.x));
        EXPECT_LT(std::abs(bend), 10 * Pi / 180) << i;
    }

    // A robot placed on the track by distance along it faces along it.
    const World onTrack = ParseWorld(R"({"arena": {"width": 2, "height": 1},
        "track": {"points": [[0.2, 0.5], [1.8, 0.5]], "closed": false},
        "robot": {"start": {"track": 0.5, "offset": 0.1}}})");
    EXPECT_NEAR(onTrack.robot.start.x, 0.7, 1e-9);
    EXPECT_NEAR(onTrack.robot.start.y, 0.6, 1e-9);
    EXPECT_NEAR(onTrack.robot.start.heading, 0, 1e-12);

    auto failure = [](const char *json) -> std::string {
        try {
            ParseWorld(json);
        } catch (const WorldError &e) {
            return e.what();
        }
        return "accepted";
    };
    const char *track = R"("track": {"points": [[0.2, 0.5], [1.8, 0.5]]})";
    EXPECT_NE(failure("{").find("not valid JSON"), std::string::npos);
    EXPECT_EQ(failure(R"({"arena": {"width": 2, "height": 1}})"), "accepted") << "a world without a line is fine";
    EXPECT_EQ(Status(ParseWorld(R"({"arena": {"width": 2, "height": 1}})"), {1, 0.5, 0}), 254);
    EXPECT_NE(failure(R"({"arena": {"width": 2, "height": 1}, "robot": {"start": {"track": 0}}})")
                  .find("robot.start.track"),
              std::string::npos);
    EXPECT_NE(failure(R"({"arena": {"width": 2, "height": 1}, "track": {"points": [[1, 1]]}})").find("two points"),
              std::string::npos);
    EXPECT_NE(failure((std::string(R"({"arena": {"width": 2, "height": 1, "flor": "#ffffff"}, )") + track + "}").c_str())
                  .find("unknown key \"flor\""),
              std::string::npos);
    EXPECT_NE(failure((std::string(R"({"arena": {"width": 2, "height": 1, "floor": "#ff"}, )") + track + "}").c_str())
                  .find("arena.floor"),
              std::string::npos);
    EXPECT_NE(failure((std::string(R"({"arena": {"width": 0, "height": 1}, )") + track + "}").c_str())
                  .find("arena.width"),
              std::string::npos);
    EXPECT_NE(failure((std::string(R"({"arena": {"width": 2, "height": 1}, )") + track +
                       R"(, "robot": {"start": {"x": 0.01, "y": 0.5}}})")
                          .c_str())
                  .find("robot.start"),
              std::string::npos);
    EXPECT_NE(failure((std::string(R"({"units": "mm", "arena": {"width": 2, "height": 1}, )") + track + "}").c_str())
                  .find("units"),
              std::string::npos);
    EXPECT_THROW(LoadWorld("/no/such/world.json"), WorldError);
}

TEST(SimCamera, ShowsTheLineOnItsSideAndChangesAsTheRobotMoves)
{
    World w = OpenWorld();
    w.texture = {0.05, 0.3, 0.1, 0.004};
    const FloorMap floor(w, 0.002);
    const CameraFootprint &cam = w.robot.camera;
    auto halves = [&](const Pose &pose) {
        const QImage pic = RenderCamera(floor, cam, pose);
        EXPECT_EQ(pic.size(), QSize(CameraWidth, CameraHeight));
        double left = 0, right = 0;
        for (int y = 0; y < CameraHeight; ++y)
            for (int x = 0; x < CameraWidth; ++x)
                (x < CameraWidth / 2 ? left : right) += qGray(pic.pixel(x, y));
        return std::pair{left / (CameraWidth * CameraHeight / 2), right / (CameraWidth * CameraHeight / 2)};
    };
    // The line to the robot's left (it stands to the line's right): the left
    // half is darker; and the other way round.
    const auto [l1, r1] = halves({2, 1.5 - cam.nearWidth / 4, 0});
    EXPECT_LT(l1, r1 - 30);
    const auto [l2, r2] = halves({2, 1.5 + cam.nearWidth / 4, 0});
    EXPECT_GT(l2, r2 + 30);
    // The top row is the far edge: a line crossing just before the far edge
    // darkens the top rows only.
    const QImage crossing = RenderCamera(floor, cam, {2, 1.5 - cam.farDistance + 0.01, Pi / 2});
    EXPECT_LT(qGray(crossing.pixel(CameraWidth / 2, 3)), 80);
    EXPECT_GT(qGray(crossing.pixel(CameraWidth / 2, CameraHeight - 3)), 120);

    // A few millimetres of travel change the picture (the floor's texture
    // moves with the floor).
    const QImage a = RenderCamera(floor, cam, {2, 2.2, 0});
    const QImage b = RenderCamera(floor, cam, {2.005, 2.2, 0});
    int changed = 0;
    for (int y = 0; y < CameraHeight; ++y)
        for (int x = 0; x < CameraWidth; ++x)
            changed += a.pixel(x, y) != b.pixel(x, y);
    EXPECT_GT(changed, CameraWidth * CameraHeight / 10);
    EXPECT_EQ(RenderCamera(floor, cam, {2, 2.2, 0}), a) << "a still robot sees a still picture";

    // Outside the arena the camera sees the wall.
    const QImage wall = RenderCamera(floor, cam, {w.width - 0.05, 1.0, 0});
    EXPECT_EQ(wall.pixel(CameraWidth / 2, 0), qRgb(w.wall.r, w.wall.g, w.wall.b));
}

// The camera renders a row at a time in fixed point; each pixel is what the
// arena's own bilinear sample gives at that point, to within rounding, also
// where the footprint leaves the arena and on a map of coarse pixels.
TEST(SimCamera, RowsAreTheFloorSampledPointByPoint)
{
    World w = OpenWorld();
    w.texture = {0.05, 0.3, 0.1, 0.004};
    for (double metresPerPixel : {0.002, 0.03}) {
        const FloorMap floor(w, metresPerPixel);
        const CameraFootprint &cam = w.robot.camera;
        for (const Pose &pose : {Pose{2, 1.5, 0.3}, Pose{w.width - 0.05, 1.0, 0}, Pose{0.02, 0.02, -2.4},
                                 Pose{1.234, 2.345, 1.0}}) {
            const QImage pic = RenderCamera(floor, cam, pose);
            int worst = 0;
            for (int v = 0; v < CameraHeight; ++v)
                for (int u = 0; u < CameraWidth; ++u) {
                    const QRgb fast = pic.pixel(u, v);
                    const QRgb sampled = floor.Sample(ToWorld(pose, CameraFloorPoint(cam, u, v)));
                    for (int shift : {16, 8, 0}) // red, green, blue
                        worst = std::max(worst, std::abs(int((fast >> shift) & 0xFF) - int((sampled >> shift) & 0xFF)));
                }
            EXPECT_LE(worst, 2) << metresPerPixel << " m per pixel at " << pose.x << ", " << pose.y;
        }
    }
}

TEST(SimCamera, PacksPicturesAsVideoRangeI420)
{
    QImage pic(CameraWidth, CameraHeight, QImage::Format_RGB32);
    pic.fill(qRgb(255, 255, 255));
    for (int y = 0; y < CameraHeight; ++y)
        for (int x = 0; x < CameraWidth / 2; ++x)
            pic.setPixel(x, y, qRgb(0, 0, 0));
    std::vector<uint8_t> frame(CameraFrameBytes);
    RgbToI420(pic, frame.data());
    EXPECT_EQ(frame[0], 16);                // black luma
    EXPECT_EQ(frame[CameraWidth - 1], 235); // white luma
    const uint8_t *u = frame.data() + CameraWidth * CameraHeight;
    const uint8_t *v = u + CameraWidth * CameraHeight / 4;
    EXPECT_EQ(u[0], 128);
    EXPECT_EQ(v[CameraWidth / 2 - 1], 128);
    pic.fill(qRgb(255, 0, 0));
    RgbToI420(pic, frame.data());
    EXPECT_EQ(frame[0], 82);
    EXPECT_EQ(u[0], 90);
    EXPECT_EQ(v[0], 240);
}
