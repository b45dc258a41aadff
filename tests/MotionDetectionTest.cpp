// The motion detector on the camera tab: its buttons, hand-made frames handed
// to its callback, and the test camera.
#include "support/Harness.h"

#include "camera/MediaPlayer.h"
#include "camera/MotionDetection.h"
#include "capture/CaptureTesting.h"
#include "core/MotionMeasure.h"
#include "form/CameraShared.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>

#include <cstdlib>

void WriteToneWav(const QString &path, int ms); // MediaPlayerTest.cpp

namespace {
using Texts = std::vector<QString>;

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
        QCoreApplication::processEvents(); // errors still queued belong to this test
        RobotTest::TearDown();
    }

    // The detector's state as a program start leaves it.
    static void RestartProgramState()
    {
        MotionThreshold = FrameMeanSlot = CurrentFrameMean = 0;
        FrameMeans[0] = FrameMeans[1] = 0;
        MotionCount = StillCount = SnapshotNumber = 0;
        SnapshotPath.clear();
        CameraRunning = 0;
    }

    // Takes the threshold as a click on "Kamera 3" does and stops again, so
    // that only hand-made frames arrive.
    void SetThreshold(const QString &text)
    {
        Form().Edit34->setText(text);
        Form().Button16Click();
        Form().Button16Click();
        ASSERT_EQ(CameraRunning, 0);
    }

    // 320 x 240 planar frames whose picture bytes all have the given value.
    static void Feed(std::initializer_list<int> means)
    {
        for (int mean : means) {
            std::vector<uint8_t> frame(115200, 255);
            std::fill_n(frame.begin(), 76800, uint8_t(mean));
            VIDEOHDR header;
            header.lpData = frame.data();
            header.dwBufferLength = header.dwBytesUsed = uint32_t(frame.size());
            EXPECT_EQ(MotionFrameCallback(nullptr, &header), 1);
        }
    }

    // Label49 (mean), Label50 (motion), Label51 (still), Label52 (difference).
    Texts Labels()
    {
        TForm1 &f = Form();
        return {f.Label49->text(), f.Label50->text(), f.Label51->text(), f.Label52->text()};
    }

    static QString Snapshot(int number) { return SnapshotFileName(number, TodaySnapshotDateText()); }
};

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

TEST_F(MotionDetection, FirstFrameIsJudgedAgainstZeroThenEachAgainstThePrevious)
{
    SetThreshold("3");
    Feed({2});
    EXPECT_EQ(Labels(), (Texts{"2", "0", "1", "2"}));

    RestartProgramState();
    SetThreshold("3");
    Feed({3});
    EXPECT_EQ(Labels(), (Texts{"3", "1", "0", "3"}));
    EXPECT_EQ(SnapshotPath, Snapshot(0)); // the number before the increment
    EXPECT_EQ(SnapshotNumber, 1);
    EXPECT_EQ(CurrentFrameMean, 0);
    EXPECT_EQ(Form().MediaPlayer1->FileName, QString("m.wav"));

    Feed({3, 3, 5}); // a still scene
    EXPECT_EQ(Labels(), (Texts{"5", "1", "3", "2"}));
    Feed({8, 5}); // a rise and a fall by the threshold
    EXPECT_EQ(Labels(), (Texts{"5", "3", "3", "3"}));
    EXPECT_EQ(SnapshotPath, Snapshot(2));

    for (const char *threshold : {"0", "-5"}) {
        RestartProgramState();
        SetThreshold(threshold);
        Feed({10, 10, 10});
        EXPECT_EQ(Labels(), (Texts{"10", "3", "0", "0"})) << threshold;
    }
}

TEST_F(MotionDetection, ResetClearsTheCountsButNotTheNumberingOrTheMeans)
{
    SetThreshold("3");
    Feed({50, 50, 60});
    ASSERT_EQ(Labels(), (Texts{"60", "2", "1", "10"}));
    Form().Button18Click();
    EXPECT_EQ(Labels(), (Texts{"0", "0", "0", "10"}));
    EXPECT_EQ(MotionCount + StillCount + CurrentFrameMean, 0);
    Feed({60, 70}); // judged against the last mean before RESET
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
    EXPECT_EQ(SnapshotPath, Snapshot(4));
    EXPECT_EQ(SnapshotNumber, 5);
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

TEST_F(MotionDetection, ThresholdIsTakenAtEveryClickAndATextThatIsNoNumberIsShownWhileTyping)
{
    TForm1 &f = Form();
    f.show();
    auto reddish = [&f] {
        const QImage shot = f.Edit34->grab().toImage();
        const QColor c = shot.pixelColor(shot.width() - 4, shot.height() / 2);
        return c.red() > c.green() + 40;
    };
    f.Edit34->setText("3a");
    f.Edit34Change();
    EXPECT_TRUE(reddish());
    QCoreApplication::processEvents();
    EXPECT_TRUE(errors.empty());

    f.Button16Click(); // the click still converts, and nothing starts
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_EQ(f.Button16->text(), QString("Kamera 3"));

    f.Edit34->setText("-12");
    f.Edit34Change();
    EXPECT_FALSE(reddish());
    f.Button16Click();
    EXPECT_EQ(MotionThreshold, -12);
    EXPECT_EQ(f.Button16->text(), QString("Stop"));
    f.Edit34->setText("8");
    f.Button16Click();
    EXPECT_EQ(MotionThreshold, 8);
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_EQ(f.Button16->text(), QString("Start"));
}

TEST_F(MotionDetection, CameraMotionFramesAreSavedNumberedAndDatedAndALaterRunKeepsThem)
{
    TForm1 &f = Form();
    std::vector<CaptureMessage> sent;
    SetCaptureMessageRecorder([&sent](const CaptureMessage &m) {
        if (m.message == WM_CAP_GRAB_FRAME || m.message == WM_CAP_FILE_SAVEDIB ||
            (m.message == WM_CAP_SET_PREVIEW && !sent.empty()))
            sent.push_back(m);
    });
    // First run: a still grey picture; its first frame differs from the 0 of
    // program start, the following ones do not.
    setenv("ROBOT_CAPTURE_SOURCE",
           "videotestsrc is-live=true pattern=solid-color foreground-color=0xff808080", 1);
    f.Button16Click();
    ASSERT_TRUE(WaitUntil([] { return MotionCount >= 1 && StillCount >= 3; }));
    f.Button16Click();
    EXPECT_EQ(MotionCount, 1);
    EXPECT_NEAR(f.Label49->text().toInt(), 126, 4); // grey 128 as the camera's luma
    EXPECT_EQ(f.Label52->text(), QString("0"));

    const QString first = Snapshot(0);
    const QImage saved(first);
    ASSERT_EQ(saved.size(), QSize(320, 240)) << first.toStdString();
    EXPECT_NEAR(qGray(saved.pixel(300, 200)), 128, 6);
    EXPECT_EQ(f.Image5->Picture().size(), QSize(320, 240));
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].message, WM_CAP_GRAB_FRAME);
    EXPECT_EQ(sent[1].message, WM_CAP_FILE_SAVEDIB);
    EXPECT_EQ(sent[1].path, first.toStdString());
    EXPECT_EQ(sent[2].wParam, 1u);
    for (const CaptureMessage &m : sent)
        EXPECT_EQ(m.window, CaptureWindow);

    // Second run the same day, as after a new program start: the numbering
    // starts again at 0, and the first run's picture stays.
    const QByteArray firstBytes = ReadAll(first);
    RestartProgramState();
    setenv("ROBOT_CAPTURE_SOURCE",
           "videotestsrc is-live=true pattern=solid-color foreground-color=0xff303030", 1);
    f.Button16Click();
    ASSERT_TRUE(WaitUntil([] { return MotionCount >= 1; }));
    f.Button16Click();
    EXPECT_EQ(ReadAll(first), firstBytes);
    EXPECT_EQ(SnapshotNumber, 2);
    const QImage second(Snapshot(1));
    ASSERT_FALSE(second.isNull());
    EXPECT_NEAR(qGray(second.pixel(300, 200)), 0x30, 6);
    QCoreApplication::processEvents();
    EXPECT_TRUE(errors.empty()) << errors.front();
}
