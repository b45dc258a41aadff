// The camera line follower's click and its pass over one frame, checked on the
// labels and the recording library's trace.
#include "support/Harness.h"

#include "camera/CameraShared.h"
#include "drive/Motor.h"
#include "linecam/LineFollower.h"

#include <QFile>
#include <QImage>

namespace {
constexpr int Left = 17;
constexpr int Right = 10;
constexpr int Forward = 18;

class LineFollower : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        CameraRunning = 0;
        LineCaptureWindow = nullptr;
        LineTolerance = LineForwardSteps = LineTurnSteps = 0;
    }
    void TearDown() override
    {
        CameraRunning = 0;
        LineCaptureWindow = nullptr;
        RobotTest::TearDown();
    }

    // The frame the next pass finds on disk: one colour left of column 160,
    // another from it on.
    static void WriteFrame(QRgb left, QRgb right, int width = 320, int height = 240)
    {
        QImage frame(width, height, QImage::Format_RGB32);
        frame.fill(right);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < 160 && x < width; ++x)
                frame.setPixel(x, y, left);
        ASSERT_TRUE(frame.save("zdjecia/przechwyt/temp.bmp", "BMP"));
    }

    // Durations in ms, turn counts and forward counts as the operator types them.
    void Fields(int forwardMs, int turnMs, int tolerance, int forwardSteps, int turnSteps)
    {
        Form().Edit3->setText(QString::number(forwardMs));
        Form().Edit35->setText(QString::number(turnMs));
        Form().Edit36->setText(QString::number(tolerance));
        Form().Edit37->setText(QString::number(forwardSteps));
        Form().Edit38->setText(QString::number(turnSteps));
    }

    void Reference(int red, int green, int blue)
    {
        Form().TrackBar1->setValue(red);
        Form().TrackBar2->setValue(green);
        Form().TrackBar3->setValue(blue);
    }

    static LRESULT Pass() { return LineFrameCallback(nullptr, nullptr); }

    // Whole, left and right averages as the nine labels show them.
    QStringList Averages()
    {
        TForm1 &f = Form();
        QStringList out;
        for (QLabel *l : {f.Label58, f.Label59, f.Label60, f.Label61, f.Label62, f.Label63, f.Label64,
                          f.Label65, f.Label66})
            out << l->text();
        return out;
    }
};

// The data-register writes of `count` pulses of `code`.
std::vector<int> Pulses(int code, int count)
{
    std::vector<int> out;
    for (int i = 0; i < count; ++i)
        out.insert(out.end(), {0, code, 0});
    return out;
}

std::vector<int> operator+(std::vector<int> a, const std::vector<int> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// How long each non-zero code stayed on the data register, in ms.
std::vector<double> PulseLengths(const std::vector<PortAccess> &trace)
{
    std::vector<double> out;
    for (size_t i = 0; i + 1 < trace.size(); ++i)
        if (trace[i].kind == 'W' && trace[i].port == 888 && trace[i].value != 0)
            out.push_back((trace[i + 1].ns - trace[i].ns) / 1e6);
    return out;
}
} // namespace

TEST_F(LineFollower, MatchingLeftHalfTurnsLeftThenDrivesForward)
{
    Fields(5, 2, 45, 2, 3);
    Form().Button15Click(); // no capture window: the pass works on the file alone
    WriteFrame(qRgb(0, 0, 0), qRgb(255, 255, 255));
    EXPECT_EQ(Pass(), 1);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Averages(), QStringList({"127", "127", "127", "0", "0", "0", "255", "255", "255"}));
    EXPECT_EQ(Writes(), Pulses(Left, 3) + Pulses(Forward, 2));
    const auto lengths = PulseLengths(Trace());
    ASSERT_EQ(lengths.size(), 5u);
    for (size_t i = 0; i < lengths.size(); ++i) {
        const double expected = i < 3 ? 2 : 5;
        EXPECT_GE(lengths[i], expected) << i;
        EXPECT_LT(lengths[i], expected + 50) << i;
    }
}

TEST_F(LineFollower, TrackBarsCountAtTheNextFrameFieldsAtTheNextClick)
{
    Fields(1, 1, 45, 1, 2);
    Form().Button15Click();
    WriteFrame(qRgb(100, 110, 120), qRgb(100, 110, 120));
    Pass(); // reference black: neither half matches
    EXPECT_EQ(Writes(), Pulses(Forward, 1));

    Reference(100, 110, 120);
    Form().Edit38->setText("1");
    Pass(); // both halves now: left run, right run, forward run, two turns each
    EXPECT_EQ(Writes(), Pulses(Forward, 1) + Pulses(Left, 2) + Pulses(Right, 2) + Pulses(Forward, 1));

    Form().Button15Click(); // the stop click reads the fields too
    EXPECT_EQ(LineTurnSteps, 1);
    WriteFrame(qRgb(100, 110, 120), qRgb(149, 61, 169)); // right: the fixed 50 holds
    Form().Edit36->setText("0");
    Form().Button15Click();
    Pass(); // tolerance 0: the left half never matches
    EXPECT_EQ(Writes(), Pulses(Forward, 1) + Pulses(Left, 2) + Pulses(Right, 2) + Pulses(Forward, 1) +
                            Pulses(Right, 1) + Pulses(Forward, 1));
}

TEST_F(LineFollower, NoMatchAndNoForwardStepsSendsNothing)
{
    Fields(1, 1, 45, 0, 3);
    Form().Button15Click();
    WriteFrame(qRgb(0, 0, 0), qRgb(0, 0, 0), 100, 50); // a small frame: the rest counts as white
    EXPECT_EQ(Pass(), 1);
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(Averages(), QStringList({"238", "238", "238", "221", "221", "221", "255", "255", "255"}));

    Form().Edit37->setText("-4");
    Form().Edit38->setText("-1");
    Form().Button15Click();
    // Both halves of a black frame match the black reference, but every count
    // is negative.
    WriteFrame(qRgb(0, 0, 0), qRgb(0, 0, 0));
    Pass();
    EXPECT_TRUE(Writes().empty());
}

TEST_F(LineFollower, UnreadableFrameEndsThePassBeforeLabelsAndPulses)
{
    Fields(1, 1, 45, 2, 2);
    Form().Button15Click();
    EXPECT_EQ(Pass(), 1); // no file at all
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("temp.bmp"), std::string::npos);

    QFile garbage("zdjecia/przechwyt/temp.bmp");
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write("not a picture");
    garbage.close();
    EXPECT_EQ(Pass(), 1);
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(Averages(), QStringList(9, "0"));
    EXPECT_TRUE(Writes().empty());
}

TEST_F(LineFollower, ClickReadsTheFiveFieldsInOrderThenStartsOrStops)
{
    TForm1 &f = Form();
    EXPECT_EQ(f.Button15->text(), "start");
    Fields(7, 8, 9, 10, 11);
    f.Edit37->setText("5x");
    LineTurnSteps = 99;
    f.Button15Click();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("'5x'"), std::string::npos);
    EXPECT_EQ(ForwardTimeMs, 7);
    EXPECT_EQ(TurnTimeMs, 8);
    EXPECT_EQ(LineTolerance, 9);
    EXPECT_EQ(LineForwardSteps, 0); // the bad field and the one after keep their values
    EXPECT_EQ(LineTurnSteps, 99);
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_EQ(f.Button15->text(), "start");

    f.Edit37->setText("10");
    f.Button15Click();
    EXPECT_EQ(LineTurnSteps, 11);
    EXPECT_EQ(CameraRunning, 0xFF);
    EXPECT_EQ(f.Button15->text(), "Stop");

    // A bad field blocks the stop click just the same.
    f.Edit3->setText("");
    f.Button15Click();
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(CameraRunning, 0xFF);
    EXPECT_EQ(f.Button15->text(), "Stop");

    f.Edit3->setText("7");
    f.Button15Click();
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_EQ(f.Button15->text(), "Start");
    EXPECT_TRUE(Writes().empty());
}
