// The obstacle-avoiding drive on the recording library with scripted readings.
// Clicks come from timers, which fire only while the drive drains messages: at
// the start of a standstill and at the end of every cycle.
#include "core/Clock.h"
#include "support/Harness.h"
#include "support/TestPicture.h"

#include "autodrive/SensorStop.h"
#include "drive/Motor.h"
#include "drive/RunState.h"

#include <QFile>

namespace {
using Ints = std::vector<int>;

class ObstacleDrive : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        ASSERT_TRUE(SaveSolidBmp("obrazki/naprzod.bmp", Qt::green));
        ASSERT_TRUE(SaveSolidBmp("obrazki/stop.bmp", Qt::red));
        Form().Edit1->setText("3");   // samples per cycle
        Form().Edit2->setText("0");   // interval
        Form().Edit23->setText("20"); // standstill
        ClickAfterReads(100000, [this] { ADD_FAILURE() << "never stopped"; Form().BitBtn2Click(); });
    }
    QRgb Shown() { return Form().Image2->Picture().pixel(0, 0); }
};
} // namespace

TEST_F(ObstacleDrive, OneGoReadingAmongTheSamplesDrivesOn)
{
    TForm1 &f = Form();
    f.Edit1->setText("15");
    f.Edit2->setText("2");
    Ints script(15, 0); // then the go branch's and the tail's reads
    script[7] = 254;
    script.insert(script.end(), {5, 6});
    ScriptStatus(script);
    ClickAfterReads(0, [&] { f.BitBtn2Click(); }); // the first drain: the cycle's tail
    f.BitBtn1Click();

    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Writes(), (Ints{0, 18, 18, /*STOP*/ 0, 0, 18, 0}));
    EXPECT_EQ(f.Label1->text(), "6");
    EXPECT_EQ(f.Label29->text(), "1");
    EXPECT_EQ(Shown(), QColor(Qt::green).rgb());
    EXPECT_EQ(RunningLoops(), 0);
}

TEST_F(ObstacleDrive, ObstacleStandsThenMakesTheChosenMovesAndDrivesOn)
{
    TForm1 &f = Form();
    f.ComboBox16->setCurrentIndex(1); // forward
    f.Edit20->setText("15");
    f.Edit21->setText("junk");        // no move chosen: never read
    f.ComboBox18->setCurrentIndex(3); // left
    f.Edit22->setText("10");
    ScriptStatus({0, 0, 0, 0, 7, 254}); // an obstacle cycle, then a free way
    ClickAfterReads(6, [&] { f.BitBtn2Click(); }); // in the second cycle's tail
    f.BitBtn1Click();

    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Writes(), (Ints{0, 18, 0, 0, /*forward*/ 0, 18, 0, /*left*/ 0, 17, 0, 18, 18, 0, 0, 18, 0}));
    EXPECT_GE(Held(3), 20) << "standstill";
    EXPECT_LT(Held(3), 1000);
    EXPECT_GE(Held(5), 15);
    EXPECT_GE(Held(8), 10);
    EXPECT_EQ(ForwardTimeMs, 15);
    EXPECT_EQ(TurnTimeMs, 10);
    EXPECT_EQ(f.Label29->text(), "3");
    EXPECT_EQ(Shown(), QColor(Qt::green).rgb());
}

TEST_F(ObstacleDrive, StopDuringAStandstillStillMakesTheMoves)
{
    TForm1 &f = Form();
    f.Edit1->setText("-1");       // no samples: an obstacle cycle
    f.Edit23->setText("-100000"); // a negative standstill does not wait
    f.ComboBox17->setCurrentIndex(2);
    f.Edit21->setText("10");
    ClickAfterReads(0, [&] { f.BitBtn2Click(); }); // the standstill's first drain
    const int64_t start = MonotonicNs();
    f.BitBtn1Click();

    EXPECT_LT((MonotonicNs() - start) / 1e6, 1000);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Writes(), (Ints{0, 18, 0, /*STOP*/ 0, 0, 0, /*right*/ 0, 10, 0, 18, 0}));
    EXPECT_EQ(f.Label29->text(), "0");
    EXPECT_EQ(Shown(), QColor(Qt::red).rgb());
}

TEST_F(ObstacleDrive, ErrorsEndTheDriveWithTheMotorsOff)
{
    TForm1 &f = Form();
    f.Edit25->setText("x1"); // read at the first sample, with the robot driving
    ScriptStatus({0});
    f.BitBtn1Click();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("\"x1\""), std::string::npos);
    EXPECT_EQ(Writes(), (Ints{0, 18, 0}));
    EXPECT_EQ(SensorStopFlag, SensorRun);

    f.Edit25->setText("238");
    QFile::remove("obrazki/naprzod.bmp"); // loaded in the go branch
    ScriptStatus({254});
    f.BitBtn1Click();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[1].find("naprzod.bmp"), std::string::npos);
    EXPECT_EQ(Writes(), (Ints{0, 18, 0, 0, 18, 18, 0}));
    EXPECT_EQ(RunningLoops(), 0);
}

TEST_F(ObstacleDrive, OneStopEndsNestedLoopsInnermostFirst)
{
    TForm1 &f = Form();
    ASSERT_TRUE(SaveSolidBmp("obrazki/naprzod2.bmp", Qt::green));
    f.Edit39->setText("2"); // the line follower: two samples, no waits
    f.Edit40->setText("0");
    int running = 0;
    // The drive's first drain (after five reads) starts the follower, whose
    // fourth cycle presses STOP at its first sample.
    ClickAfterReads(0, [&] { f.Button22Click(); });
    ClickAfterReads(12, [&] {
        running = RunningLoops();
        f.BitBtn2Click();
    });
    f.BitBtn1Click();

    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(running, 2);
    EXPECT_EQ(RunningLoops(), 0);
    const Ints w = Writes();
    ASSERT_GE(w.size(), 8u);
    // STOP; the follower finishes its cycle (slow-down, go) and ends with 0;
    // then the drive ends at its next cycle start.
    EXPECT_EQ(Ints(w.end() - 8, w.end()), (Ints{0, 0, 0, 18, 18, 0, 18, 0}));
}

TEST_F(ObstacleDrive, ClosingTheWindowEndsTheDriveWithTheMotorsOff)
{
    TForm1 &f = Form();
    f.show();
    ClickAfterReads(10, [&] { f.close(); });
    f.BitBtn1Click();
    EXPECT_TRUE(WindowClosing());
    EXPECT_EQ(RunningLoops(), 0);
    EXPECT_EQ(SensorStopFlag, SensorRun);
    EXPECT_EQ(Writes().back(), 0);
}
