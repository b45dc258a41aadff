// The virtual robot's camera end to end: robot-sim serves it, the capture
// service opens it as driver 0, and the program's camera functions see the
// floor ahead of the virtual robot.
#include "sim/testing/SimFixture.h"

#include "app/WindowSettings.h"
#include "camera/MotionDetection.h"
#include "capture/CaptureTesting.h"
#include "drive/PortIo.h"
#include "form/CameraShared.h"
#include "sim/core/Camera.h"
#include "sim/core/World.h"

#include <QCoreApplication>
#include <QImage>
#include <QSlider>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>

namespace {
// A straight dark line along y = 1, the robot 2.5 cm to its right facing
// east: the line lies in the left half of the camera's picture.
const char *LineOnTheLeft = R"({
  "arena": {"width": 2, "height": 2, "floor": "#dcdcd2", "texture": {"contrast": 0, "grain": 0}},
  "track": {"points": [[0.1, 1.0], [1.9, 1.0]], "closed": false, "width": 0.03, "colour": "#141414"},
  "robot": {"start": {"x": 0.5, "y": 0.975, "heading": 0},
            "camera": {"near": 0.06, "far": 0.14, "nearWidth": 0.07, "farWidth": 0.09}}
})";

// Mean grey level of the columns [from, to).
double MeanGrey(const QImage &image, int from, int to)
{
    double sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = from; x < to; ++x)
            sum += qGray(image.pixel(x, y));
    return sum / (image.height() * (to - from));
}

// The same line, the robot 2.5 cm to its left: the line in the right half.
QString LineOnTheRight() { return QString(LineOnTheLeft).replace("0.975", "1.025"); }

// The mean colour of the picture's left half as the line follower averages it.
QRgb LeftHalfColour(const QImage &picture)
{
    int64_t r = 0, g = 0, b = 0;
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 160; ++x) {
            const QRgb c = picture.pixel(x, y);
            r += qRed(c);
            g += qGreen(c);
            b += qBlue(c);
        }
    return qRgb(int(r / 38400), int(g / 38400), int(b / 38400));
}

class SimCameraEndToEnd : public SimEndToEnd {
protected:
    // The first turn the camera line follower makes on this world, with the
    // reference colour of a half that holds the line as the simulator draws it.
    int FirstTurn(const QString &world)
    {
        StartSim(world);
        const sim::World w = sim::ParseWorld(LineOnTheLeft);
        const QRgb line = LeftHalfColour(sim::RenderCamera(sim::FloorMap(w), w.robot.camera, w.robot.start));
        TForm1 &f = Form();
        f.TrackBar1->setValue(qRed(line));
        f.TrackBar2->setValue(qGreen(line));
        f.TrackBar3->setValue(qBlue(line));
        f.Edit3->setText("100"); // forward pulse, ms
        f.Edit35->setText("50"); // turn pulse, ms
        f.Edit37->setText("1");  // forward pulses per frame
        f.Edit38->setText("1");  // turn pulses per frame
        f.Button15Click();       // start
        const bool reacted = WaitUntil([this] {
            const auto w = Writes();
            return std::find(w.begin(), w.end(), 18) != w.end();
        }, 10000);
        f.Button15Click(); // stop
        EXPECT_TRUE(reacted) << "no frame reached the follower";
        for (int code : Writes())
            if (code != 0)
                return code;
        return 0;
    }
};
} // namespace

TEST_F(SimCameraEndToEnd, CameraTabShowsWhatTheVirtualRobotsCameraSees)
{
    StartSim(LineOnTheLeft);
    TForm1 &f = Form();
    f.Button12Click(); // "Kamera 2": preview of driver 0
    ASSERT_TRUE(WaitUntil([] { return GetCaptureStats(CaptureWindow).received >= 3; }, 10000))
        << "no frames from " << sim->cameraSource().toStdString();
    EXPECT_EQ(sim->Query()->cameraClients, 1);
    f.Button14Click(); // "Przechwyt"
    ASSERT_TRUE(errors.empty()) << errors.front();
    const QImage shot(QStringLiteral("zdjecia/przechwyt/plik.bmp"));
    ASSERT_EQ(shot.size(), QSize(320, 240));

    // The same picture as the simulator's own renderer draws at the robot's pose,
    // up to the rounding of the trip through I420.
    const sim::World world = sim::ParseWorld(LineOnTheLeft);
    const sim::FloorMap floor(world);
    const QImage expected = sim::RenderCamera(floor, world.robot.camera, world.robot.start);
    double difference = 0;
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            difference += std::abs(qGray(shot.pixel(x, y)) - qGray(expected.pixel(x, y)));
    EXPECT_LT(difference / (320 * 240), 4.0);
    EXPECT_LT(MeanGrey(shot, 0, 160), MeanGrey(shot, 160, 320) - 60) << "the line is in the left half";

    f.Button12Click();
    EXPECT_TRUE(WaitUntil([this] { return sim->Query()->cameraClients == 0; }, 10000))
        << "the simulator lets go of a client that stopped";
}

TEST_F(SimCameraEndToEnd, CameraLineFollowerTurnsLeftForTheLineInTheLeftHalf)
{
    EXPECT_EQ(FirstTurn(LineOnTheLeft), 17);
}

TEST_F(SimCameraEndToEnd, CameraLineFollowerTurnsRightForTheLineInTheRightHalf)
{
    EXPECT_EQ(FirstTurn(LineOnTheRight()), 10);
}

TEST_F(SimCameraEndToEnd, CameraLineFollowerWithTheReadmeSettingsFollowsTheDefaultTrack)
{
    StartSim(); // the default world: the robot on the line, facing along it
    TForm1 &f = Form();
    // The settings file the README's recipe loads: a grey reference, short
    // pulses, one of each per frame.
    std::string wrong;
    WindowSettings settings = WindowSettings::FromArguments(
        {"robot", "--settings", ROBOT_SOURCE_DIR "/sim/worlds/camera-follower.settings"}, wrong);
    ASSERT_EQ(wrong, "");
    settings.Load(f);
    ASSERT_EQ(f.TrackBar2->value(), 100);
    ASSERT_EQ(f.Edit35->text(), "50");
    SimWatcher watcher(*sim, 20);
    f.Button15Click();
    ProcessFor(30000);
    f.Button15Click();
    watcher.Stop();

    const LineRun run = SummariseLineRun(watcher.Samples(), 0);
    ASSERT_GT(run.samples, 500u);
    RecordLineRun(run);
    EXPECT_LT(run.worst, 0.04) << "never more than 4 cm off the line";
    // The slow robot makes 2.5 mm a frame.
    EXPECT_GT(run.progress, 0.15) << "at least 15 cm along the line in 30 s";
    EXPECT_EQ(run.contacts, 0);
}

TEST_F(SimCameraEndToEnd, MotionDetectionCountsStillFramesWhileTheRobotStandsAndMotionWhileItDrives)
{
    // A floor of big tiles, light and dark, larger than the camera's field:
    // while a tile's edge crosses the picture its mean changes by several
    // levels a frame.
    StartSim(R"({
      "arena": {"width": 3, "height": 1, "texture": {"tile": 0.2, "contrast": 0.8, "grain": 0}},
      "robot": {"start": {"x": 0.5, "y": 0.5, "heading": 0}}
    })");
    setenv("ROBOT_AUDIO_SINK", "fakesink", 1);
    TForm1 &f = Form();
    f.Edit34->setText("3"); // the default threshold
    f.Button16Click();      // "Kamera 3"
    auto frames = [] { return MotionCount + StillCount; };
    const int before = frames();
    ASSERT_TRUE(WaitUntil([&] { return frames() >= before + 5; }, 10000)) << "no frames reach the detector";

    // Standing: every frame is still.
    const int motionStanding = MotionCount, stillStanding = StillCount;
    ProcessFor(1500);
    EXPECT_EQ(MotionCount, motionStanding);
    EXPECT_GE(StillCount - stillStanding, 10);

    // Driving: motion frames.
    const PortIoLibrary lib = BindPortIoLibrary();
    lib.Out(DataPort, 18);
    const int motionBefore = MotionCount, stillBefore = StillCount;
    ProcessFor(2000);
    lib.Out(DataPort, 0);
    const int motionDriving = MotionCount - motionBefore, stillDriving = StillCount - stillBefore;
    EXPECT_GE(motionDriving, 10) << stillDriving << " still frames while driving";

    // Standing again: still frames again, once the last moving frames are through.
    ProcessFor(300);
    const int motionAfter = MotionCount;
    ProcessFor(1000);
    EXPECT_EQ(MotionCount, motionAfter);
    f.Button16Click();
    unsetenv("ROBOT_AUDIO_SINK");
    RecordProperty("motionWhileDriving", motionDriving);
    RecordProperty("stillWhileDriving", stillDriving);
}
