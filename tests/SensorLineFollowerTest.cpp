// The sensor line follower on the recording library with scripted readings.
// Clicks and probes come from timers, which fire only while the follower
// drains messages: at every sample, every decision and in the stop state.
#include "support/Harness.h"
#include "support/TestPicture.h"

#include "autodrive/SensorStop.h"
#include "drive/Motor.h"
#include "drive/RunState.h"

#include <QFile>

namespace {
using Ints = std::vector<int>;

const QRgb Go = QColor(Qt::green).rgb();     // naprzod2
const QRgb Stop = QColor(Qt::red).rgb();     // stop2
const QRgb Left = QColor(Qt::blue).rgb();    // wlewo2
const QRgb Right = QColor(Qt::yellow).rgb(); // wprawo2

class SensorLineFollower : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        for (auto [name, colour] : {std::pair{"naprzod2", Go}, {"stop2", Stop}, {"wlewo2", Left}, {"wprawo2", Right}})
            ASSERT_TRUE(SaveSolidBmp(QString("obrazki/%1.bmp").arg(name), colour));
        TForm1 &f = Form();
        f.Edit39->setText("2");  // samples per cycle
        f.Edit40->setText("0");  // interval
        f.Edit31->setText("20"); // stop time
        f.Edit32->setText("15"); // left turn
        f.Edit33->setText("10"); // right turn
        ClickAfterReads(100000, [this] { ADD_FAILURE() << "never stopped"; Form().Button21Click(); });
    }
    QRgb Shown() { return Form().Image3->Picture().pixel(0, 0); }
};
} // namespace

TEST_F(SensorLineFollower, EachDecisionHasItsActionAndPicture)
{
    TForm1 &f = Form();
    // Two samples per cycle, the second matching nothing: go, left, right,
    // left obstacle, right obstacle, mixed, go again.
    ScriptStatus({254, 5, 222, 5, 238, 5, 94, 5, 110, 5, 254, 222, 254});
    std::vector<QRgb> shown; // at each cycle's first sample: what the last decision left
    for (size_t reads : {3, 5, 7, 9, 11, 13})
        ClickAfterReads(reads, [&] { shown.push_back(Shown()); });
    ClickAfterReads(13, [&] { f.Button21Click(); });
    f.Button22Click();

    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(shown, (std::vector<QRgb>{Go, Left, Right, Stop, Stop, Stop})) << "mixed keeps the picture";
    // Each cycle writes 0 and 18 (the slow-down step) before its last sample.
    EXPECT_EQ(Writes(), (Ints{0, 18,       // START
                              0, 18, 18,    // go
                              0, 18, 17, 0, // left pulse
                              0, 18, 10, 0, // right pulse
                              0, 18, 0,     // left obstacle
                              0, 18, 0,     // right obstacle
                              0, 18, 0,     // mixed
                              0, 0, 0, 18, 18, 0})); // STOP at the first sample; the cycle ends
    EXPECT_GE(Held(7), 15) << "left turn";
    EXPECT_GE(Held(11), 10) << "right turn";
    EXPECT_EQ(RunningLoops(), 0);
    EXPECT_EQ(TurnTimeMs, 0);
}

TEST_F(SensorLineFollower, LabelsShowTheCountsBeforeTheLastSample)
{
    TForm1 &f = Form();
    f.Edit39->setText("4");
    f.Edit28->setText("254"); // right shares the go value: such readings count in both
    ScriptStatus({254, 94, 254, 7});
    ClickAfterReads(4, [&] { f.Button21Click(); });
    f.Button22Click();
    EXPECT_EQ(f.Label41->text(), "7");
    Ints counts;
    for (QLabel *l : {f.Label42, f.Label80, f.Label81, f.Label84, f.Label85})
        counts.push_back(l->text().toInt());
    EXPECT_EQ(counts, (Ints{2, 0, 2, 1, 0}));
    EXPECT_EQ(Writes(), (Ints{0, 18, 0, 18, /*STOP*/ 0, 0, /*mixed*/ 0, 0}));

    // One sample: the slow-down step before it, and no count is ever shown.
    f.Edit39->setText("1");
    f.Edit28->setText("238");
    f.Edit43->setText("15");
    ScriptStatus({254, 222});
    ClickAfterReads(6, [&] { f.Button21Click(); });
    f.Button22Click();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Writes(), (Ints{0, 18, 0, 18, 0, 0, 0, 0, 0, 18, 0, 18, 18, 0, 18, 0, 0, 17, 0, 0}));
    EXPECT_GE(Held(10), 15) << "slow-down";
    for (QLabel *l : {f.Label42, f.Label80, f.Label81, f.Label84, f.Label85})
        EXPECT_EQ(l->text(), "0");
}

TEST_F(SensorLineFollower, StopStateLastsWhileTheStopValueIsRead)
{
    TForm1 &f = Form();
    f.Edit39->setText("1");
    // 126 matches nothing: stand while 126 is read, leave on 5, then go.
    ScriptStatus({126, 126, 126, 5, 254});
    ClickAfterReads(5, [&] { f.Button21Click(); });
    f.Button22Click();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Writes(), (Ints{0, 18, 0, 18, 0, 0, 18, 0, 0, 18, 0}));
    EXPECT_GE(Held(4), 3 * 20) << "three stop times";
    EXPECT_EQ(f.Label41->text(), "254") << "the wait's readings are not shown";

    // No samples: every cycle stands. STOP in the wait ends it at the next test.
    f.Edit39->setText("0");
    ScriptStatus({126});
    ClickAfterReads(8, [&] { f.Button21Click(); });
    f.Button22Click();
    const Ints w = Writes();
    EXPECT_EQ(Ints(w.begin() + 11, w.end()), (Ints{0, 18, 0, 0, 0}));
    EXPECT_EQ(Shown(), Stop);

    // Closing the window ends it too; a negative stop time does not wait.
    f.show();
    f.Edit31->setText("-1000");
    ClickAfterReads(20, [&] { f.close(); });
    f.Button22Click();
    EXPECT_TRUE(WindowClosing());
    EXPECT_EQ(RunningLoops(), 0);
    EXPECT_EQ(Writes().back(), 0);
}

TEST_F(SensorLineFollower, ErrorsEndTheFollowerWithTheMotorsOff)
{
    TForm1 &f = Form();
    f.Edit39->setText("1");
    f.Edit29->setText("9 4"); // read at the first sample, after the slow-down's 18
    f.Button22Click();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("\"9 4\""), std::string::npos);
    EXPECT_EQ(Writes(), (Ints{0, 18, 0, 18, 0}));

    f.Edit29->setText("94");
    QFile::remove("obrazki/wprawo2.bmp"); // loaded at a right-turn decision
    ScriptStatus({238});
    f.Button22Click();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[1].find("wprawo2.bmp"), std::string::npos);
    EXPECT_EQ(Writes(), (Ints{0, 18, 0, 18, 0, 0, 18, 0, 18, 0}));
    EXPECT_EQ(RunningLoops(), 0);
    EXPECT_EQ(SensorStopFlag, SensorRun);
}
