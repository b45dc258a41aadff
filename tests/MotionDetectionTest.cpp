// The motion detector on the camera tab: its buttons, and frames handed to its
// callback as the capture service would.
#include "support/Harness.h"

#include "app/Exceptions.h"
#include "camera/CameraShared.h"
#include "camera/MediaPlayer.h"
#include "camera/MotionDetection.h"
#include "camera/MotionMeasure.h"
#include "capture/CaptureTesting.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QThread>

#include <cstdlib>
#include <initializer_list>
#include <vector>

void WriteToneWav(const QString &path, int ms); // MediaPlayerTest.cpp

namespace {
constexpr uint32_t FrameBytes = 115200; // 320 x 240 planar 4:2:0
constexpr uint32_t PictureBytes = 76800;
// Still cameras of a known grey.
constexpr const char *GreyCamera =
    "videotestsrc is-live=true pattern=solid-color foreground-color=0xff808080";
constexpr const char *DarkCamera =
    "videotestsrc is-live=true pattern=solid-color foreground-color=0xff303030";

class MotionDetection : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        setenv("ROBOT_AUDIO_SINK", "fakesink", 1);
        setenv("ROBOT_CAPTURE_SOURCE", "test", 1);
        RestartProgramState();
        WriteToneWav("m.wav", 30);
    }
    void TearDown() override
    {
        if (CameraRunning)
            Form().Button16Click();
        QCoreApplication::processEvents();
        CameraRunning = 0;
        CaptureWindow = nullptr;
        unsetenv("ROBOT_AUDIO_SINK");
        SetCaptureMessageRecorder({});
        unsetenv("ROBOT_CAPTURE_SOURCE");
        RobotTest::TearDown();
    }

    // The detector's state as a program start leaves it.
    static void RestartProgramState()
    {
        MotionThreshold = 0;
        FrameMeans[0] = FrameMeans[1] = 0;
        FrameMeanSlot = 0;
        CurrentFrameMean = 0;
        MotionCount = 0;
        StillCount = 0;
        SnapshotNumber = 0;
        SnapshotPath.clear();
        CameraRunning = 0;
        CaptureWindow = nullptr;
    }

    // Takes the threshold from Edit34 as a click on "Kamera 3" does, and
    // leaves the camera stopped so that only hand-made frames arrive.
    void SetThreshold(const QString &text)
    {
        Form().Edit34->setText(text);
        Form().Button16Click();
        Form().Button16Click();
        ASSERT_EQ(CameraRunning, 0);
    }

    // One frame whose picture bytes all have the value `mean`.
    static void Feed(std::initializer_list<int> means)
    {
        for (int mean : means) {
            std::vector<uint8_t> frame(FrameBytes, 255);
            std::fill_n(frame.begin(), PictureBytes, uint8_t(mean));
            VIDEOHDR header;
            header.lpData = frame.data();
            header.dwBufferLength = FrameBytes;
            header.dwBytesUsed = FrameBytes;
            EXPECT_EQ(MotionFrameCallback(nullptr, &header), 1);
        }
    }

    // Label49, Label50, Label51, Label52.
    std::vector<QString> Labels()
    {
        TForm1 &f = Form();
        return {f.Label49->text(), f.Label50->text(), f.Label51->text(), f.Label52->text()};
    }

    static QString Snapshot(int number)
    {
        return SnapshotFileName(number, TodaySnapshotDateText());
    }

    static bool WaitFor(const std::function<bool()> &done, int ms)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < ms) {
            QCoreApplication::processEvents();
            QThread::msleep(5);
        }
        return done();
    }
};

using Texts = std::vector<QString>;

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

TEST_F(MotionDetection, FirstFrameReachingTheThresholdIsMotionThenAStillSceneCountsUp)
{
    SetThreshold("3");
    Feed({3});
    EXPECT_EQ(MotionCount, 1);
    EXPECT_EQ(SnapshotNumber, 1);
    EXPECT_EQ(SnapshotPath, Snapshot(0)); // the number before the increment
    EXPECT_EQ(CurrentFrameMean, 0);
    EXPECT_EQ(Labels(), (Texts{"3", "1", "0", "3"}));
    EXPECT_EQ(Form().MediaPlayer1->FileName, QString("m.wav"));

    Feed({3, 3, 5});
    EXPECT_EQ(Labels(), (Texts{"5", "1", "3", "2"}));
    EXPECT_EQ(SnapshotNumber, 1);

    // A rise and a fall of the threshold both count.
    Feed({8, 5});
    EXPECT_EQ(Labels(), (Texts{"5", "3", "3", "3"}));
    EXPECT_EQ(SnapshotPath, Snapshot(2));
    EXPECT_EQ(SnapshotNumber, 3);
}

TEST_F(MotionDetection, FirstFrameBelowTheThresholdIsStill)
{
    SetThreshold("3");
    Feed({2});
    EXPECT_EQ(Labels(), (Texts{"2", "0", "1", "2"}));
    EXPECT_EQ(SnapshotNumber, 0);
    EXPECT_EQ(FrameMeanSlot, 1);
    EXPECT_EQ(FrameMeans[0], 2);
}

TEST_F(MotionDetection, ThresholdOfZeroOrLessMakesEveryFrameMotion)
{
    for (const char *threshold : {"0", "-5"}) {
        RestartProgramState();
        SetThreshold(threshold);
        Feed({10, 10, 10});
        EXPECT_EQ(MotionCount, 3) << threshold;
        EXPECT_EQ(StillCount, 0) << threshold;
        EXPECT_EQ(SnapshotNumber, 3) << threshold;
    }
}

TEST_F(MotionDetection, EmptyFrameIsPassedOver)
{
    SetThreshold("3");
    Feed({40});
    VIDEOHDR empty;
    std::vector<uint8_t> none(1);
    empty.lpData = none.data();
    empty.dwBufferLength = 0;
    EXPECT_EQ(MotionFrameCallback(nullptr, &empty), 1);
    EXPECT_EQ(FrameMeanSlot, 1);
    EXPECT_EQ(MotionCount + StillCount, 1);
    Feed({40});
    EXPECT_EQ(StillCount, 1);
}

TEST_F(MotionDetection, ResetClearsTheCountsButNotTheNumberingOrTheMeans)
{
    SetThreshold("3");
    Feed({50, 50, 60});
    ASSERT_EQ(Labels(), (Texts{"60", "2", "1", "10"}));
    Form().Button18Click();
    EXPECT_EQ(Labels(), (Texts{"0", "0", "0", "10"}));
    EXPECT_EQ(MotionCount, 0);
    EXPECT_EQ(StillCount, 0);
    EXPECT_EQ(SnapshotNumber, 2);
    // The next frame is judged against the last mean before RESET.
    Feed({60, 70});
    EXPECT_EQ(Labels(), (Texts{"70", "1", "1", "10"}));
    EXPECT_EQ(SnapshotPath, Snapshot(2));
}

TEST_F(MotionDetection, SnapshotsOfAnEarlierRunKeepTheirNames)
{
    for (int n : {0, 1, 3}) {
        QFile old(Snapshot(n));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("earlier run");
    }
    SetThreshold("3");
    Feed({100, 0});
    EXPECT_EQ(SnapshotNumber, 5);
    EXPECT_EQ(SnapshotPath, Snapshot(4));
    for (int n : {0, 1, 3})
        EXPECT_EQ(ReadAll(Snapshot(n)), QByteArray("earlier run")) << n;
}

TEST_F(MotionDetection, FailingSoundAndPictureAreShownOncePerRunAndTheFrameGoesOn)
{
    ASSERT_TRUE(QFile::remove("m.wav"));
    ASSERT_TRUE(QDir("zdjecia/ruch").removeRecursively()); // no snapshot can be saved
    SetThreshold("0");
    Feed({10, 20, 30});
    QCoreApplication::processEvents();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("m.wav"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("ruch0"), std::string::npos) << errors[1];
    EXPECT_EQ(Labels(), (Texts{"30", "3", "0", "10"}));
    EXPECT_EQ(FrameMeanSlot, 1);
    EXPECT_EQ(CurrentFrameMean, 0);

    SetThreshold("0"); // a new run shows them again
    Feed({40});
    QCoreApplication::processEvents();
    EXPECT_EQ(errors.size(), 4u);
}

TEST_F(MotionDetection, Button16TakesTheThresholdAtEveryClickAndToggles)
{
    TForm1 &f = Form();
    f.Edit34->setText("abc");
    f.Button16Click();
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_EQ(f.Button16->text(), QString("Kamera 3"));

    f.Edit34->setText("7");
    f.Button16Click();
    EXPECT_EQ(MotionThreshold, 7);
    EXPECT_NE(CameraRunning, 0);
    EXPECT_EQ(f.Button16->text(), QString("Stop"));

    f.Edit34->setText("x"); // cannot stop while the text is no number
    f.Button16Click();
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_NE(CameraRunning, 0);

    f.Edit34->setText("8");
    f.Button16Click();
    EXPECT_EQ(MotionThreshold, 8);
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_EQ(f.Button16->text(), QString("Start"));
}

TEST_F(MotionDetection, ThresholdFieldShowsTextThatIsNoNumber)
{
    TForm1 &f = Form();
    f.show();
    auto reddish = [&f] {
        const QImage shot = f.Edit34->grab().toImage();
        const QColor c = shot.pixelColor(shot.width() - 4, shot.height() / 2);
        return c.red() > c.green() + 40;
    };
    EXPECT_FALSE(reddish());
    f.Edit34->setText("3a");
    f.Edit34Change();
    EXPECT_TRUE(reddish());
    f.Edit34->setText("-12");
    f.Edit34Change();
    EXPECT_FALSE(reddish());
    QCoreApplication::processEvents();
    EXPECT_TRUE(errors.empty());
}

TEST_F(MotionDetection, CameraMotionFramesAreSavedNumberedAndDatedAndALaterRunKeepsThem)
{
    TForm1 &f = Form();
    std::vector<CaptureMessage> sent;
    SetCaptureMessageRecorder([&sent](const CaptureMessage &m) { sent.push_back(m); });

    // First run: a still grey picture. Its first frame differs from the 0 of
    // program start, the following ones do not.
    setenv("ROBOT_CAPTURE_SOURCE", GreyCamera, 1);
    f.Button16Click();
    ASSERT_NE(CameraRunning, 0);
    ASSERT_TRUE(WaitFor([] { return MotionCount >= 1 && StillCount >= 3; }, 5000));
    f.Button16Click();
    EXPECT_EQ(MotionCount, 1);
    EXPECT_EQ(SnapshotNumber, 1);
    const int mean = f.Label49->text().toInt();
    EXPECT_NEAR(mean, 126, 4); // grey 128 as the camera's luma
    EXPECT_EQ(f.Label52->text(), QString("0"));

    const QString first = Snapshot(0);
    const QImage saved(first);
    ASSERT_FALSE(saved.isNull()) << first.toStdString();
    EXPECT_EQ(saved.size(), QSize(320, 240));
    EXPECT_NEAR(qGray(saved.pixel(300, 200)), 128, 6);
    EXPECT_EQ(f.Image5->Picture().size(), QSize(320, 240));
    EXPECT_EQ(f.MediaPlayer1->FileName, QString("m.wav"));

    // The motion frame's messages, in order, to the detector's window.
    std::vector<std::pair<UINT, WPARAM>> grabbing;
    std::string savedPath;
    for (const CaptureMessage &m : sent) {
        if (m.message != WM_CAP_GRAB_FRAME && m.message != WM_CAP_FILE_SAVEDIB &&
            !(m.message == WM_CAP_SET_PREVIEW && !grabbing.empty()))
            continue;
        EXPECT_EQ(m.window, CaptureWindow);
        grabbing.push_back({m.message, m.wParam});
        if (m.message == WM_CAP_FILE_SAVEDIB)
            savedPath = m.path;
    }
    EXPECT_EQ(grabbing, (std::vector<std::pair<UINT, WPARAM>>{
                            {WM_CAP_GRAB_FRAME, 0}, {WM_CAP_FILE_SAVEDIB, 0}, {WM_CAP_SET_PREVIEW, 1}}));
    EXPECT_EQ(savedPath, first.toStdString());

    // Second run the same day, as after a new program start: the numbering
    // starts again at 0, and the first run's picture stays.
    const QByteArray firstBytes = ReadAll(first);
    RestartProgramState();
    setenv("ROBOT_CAPTURE_SOURCE", DarkCamera, 1);
    f.Button16Click();
    ASSERT_TRUE(WaitFor([] { return MotionCount >= 1; }, 5000));
    f.Button16Click();
    EXPECT_EQ(ReadAll(first), firstBytes);
    EXPECT_EQ(SnapshotNumber, 2);
    const QImage second(Snapshot(1));
    ASSERT_FALSE(second.isNull());
    EXPECT_NEAR(qGray(second.pixel(300, 200)), 0x30, 6);
    QCoreApplication::processEvents();
    EXPECT_TRUE(errors.empty()) << errors.front();
}
