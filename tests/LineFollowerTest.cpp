// The camera line follower: its click, its pass over one frame (on a file, and
// on frames of the capture windows' test sources), checked on the labels, the
// capture messages and the recording library's trace.
#include "support/Harness.h"

#include "app/DriveStopWatch.h"
#include "capture/CaptureTesting.h"
#include "core/ErrorDisplay.h"
#include "drive/DriveStop.h"
#include "drive/Motor.h"
#include "form/CameraShared.h"
#include "linecam/LineFollower.h"

#include <QDir>
#include <QFile>
#include <QImage>

#include <cstdlib>

namespace {
constexpr int Left = 17;
constexpr int Right = 10;
constexpr int Forward = 18;
constexpr const char *FramePath = "zdjecia/przechwyt/temp.bmp";
// Black in columns 0..159, white in 160..319.
constexpr const char *DarkLeftSource =
    "videotestsrc is-live=true pattern=solid-color foreground-color=0xff000000"
    " ! video/x-raw,width=160,height=240 ! videobox right=-160 fill=white";

// The data-register writes of `count` pulses of `code`, after `before`.
std::vector<int> Then(std::vector<int> before, int code, int count)
{
    for (int i = 0; i < count; ++i)
        before.insert(before.end(), {0, code, 0});
    return before;
}

class LineFollower : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        setenv("ROBOT_CAPTURE_SOURCE", "test", 1);
        LineTolerance = LineForwardSteps = LineTurnSteps = 0;
        SetCaptureMessageRecorder([this](const CaptureMessage &m) { sent.push_back(m); });
    }

    // Edit3, Edit35, Edit36, Edit37, Edit38.
    void Fields(const QStringList &texts)
    {
        TForm1 &f = Form();
        QLineEdit *edits[] = {f.Edit3, f.Edit35, f.Edit36, f.Edit37, f.Edit38};
        for (int i = 0; i < 5; ++i)
            edits[i]->setText(texts[i]);
    }
    // A start and a stop click read the fields; the pass then finds no
    // capture window, as when none could be made, and works on the file alone.
    void ReadFieldsWithoutCamera()
    {
        Form().Button15Click();
        Form().Button15Click();
        LineCaptureWindow = nullptr;
    }
    static void WriteFrame(QRgb left, QRgb right)
    {
        QImage frame(320, 240, QImage::Format_RGB32);
        frame.fill(right);
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 160; ++x)
                frame.setPixel(x, y, left);
        ASSERT_TRUE(frame.save(FramePath, "BMP"));
    }
    // One pass as a capture window makes it: an error that ends the pass goes
    // to the error display. 0 when the pass ended with an error.
    static LRESULT Pass()
    {
        LRESULT result = 0;
        RunHandler([&] { result = LineFrameCallback(nullptr, nullptr); });
        return result;
    }
    QStringList Averages()
    {
        TForm1 &f = Form();
        QStringList out;
        for (QLabel *l : {f.Label58, f.Label59, f.Label60, f.Label61, f.Label62, f.Label63,
                          f.Label64, f.Label65, f.Label66})
            out << l->text();
        return out;
    }
    std::vector<UINT> Messages(size_t from = 0) const
    {
        std::vector<UINT> out;
        for (size_t i = from; i < sent.size(); ++i)
            out.push_back(sent[i].message);
        return out;
    }

    std::vector<CaptureMessage> sent;
};
} // namespace

TEST_F(LineFollower, MatchingLeftHalfTurnsLeftThenDrivesForward)
{
    Fields({"5", "2", "45", "2", "3"});
    ReadFieldsWithoutCamera();
    WriteFrame(qRgb(0, 0, 0), qRgb(255, 255, 255));
    EXPECT_EQ(Pass(), 1);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(Averages(), QStringList({"127", "127", "127", "0", "0", "0", "255", "255", "255"}));
    EXPECT_EQ(Writes(), Then(Then({}, Left, 3), Forward, 2));
    // Each pulse holds for its field's milliseconds (turns 2, forward 5).
    const auto pulses = Pulses(Trace());
    for (size_t i = 0; i < pulses.size(); ++i) {
        const double wanted = i < 3 ? 2 : 5;
        EXPECT_GE(pulses[i].ms, wanted) << i;
        EXPECT_LT(pulses[i].ms, wanted + 50) << i;
    }
}

TEST_F(LineFollower, TrackBarsCountAtTheNextFrameFieldsAtTheNextClick)
{
    Fields({"1", "1", "45", "0", "2"});
    ReadFieldsWithoutCamera();
    WriteFrame(qRgb(100, 110, 120), qRgb(100, 110, 120));
    Pass(); // black reference: no half matches, and no forward steps
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(Averages()[0], "100");

    Form().TrackBar1->setValue(100);
    Form().TrackBar2->setValue(110);
    Form().TrackBar3->setValue(120);
    Form().Edit37->setText("1");
    Pass(); // both halves: left run, right run; the new field waits for a click
    const std::vector<int> both = Then(Then({}, Left, 2), Right, 2);
    EXPECT_EQ(Writes(), both);

    Form().Edit36->setText("0"); // the left half never matches now
    ReadFieldsWithoutCamera();
    WriteFrame(qRgb(100, 110, 120), qRgb(149, 61, 169)); // right: inside the fixed 50
    Pass();
    EXPECT_EQ(Writes(), Then(Then(both, Right, 2), Forward, 1));
}

TEST_F(LineFollower, ClickReadsTheFiveFieldsInOrderThenStartsOrStops)
{
    TForm1 &f = Form();
    EXPECT_EQ(f.Button15->text(), "start");
    Fields({"7", "8", "9", "10", "11"});
    f.Edit37->setText("5x");
    LineTurnSteps = 99;
    f.Button15Click();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("\"5x\""), std::string::npos);
    // Stored up to the bad field; the one after keeps its value; nothing starts.
    EXPECT_EQ((std::vector<int>{ForwardTimeMs, TurnTimeMs, LineTolerance, LineForwardSteps, LineTurnSteps}),
              (std::vector<int>{7, 8, 9, 0, 99}));
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_EQ(f.Button15->text(), "start");
    EXPECT_TRUE(sent.empty());

    f.Edit37->setText("10");
    f.Button15Click();
    EXPECT_EQ(LineTurnSteps, 11);
    EXPECT_EQ(CameraRunning, 0xFF);
    EXPECT_EQ(f.Button15->text(), "Stop");
    // The follower's window fills Panel3 and reports each frame to the pass.
    ASSERT_FALSE(sent.empty());
    const HWND first = LineCaptureWindow;
    EXPECT_EQ(sent[0].window, first);
    EXPECT_EQ(sent[0].wParam, 193u);
    EXPECT_EQ(sent[0].lParam, 161);
    EXPECT_EQ(Messages(), (std::vector<UINT>{CaptureWindowCreated, WM_CAP_DRIVER_CONNECT,
                                             WM_CAP_SET_SCALE, WM_CAP_SET_PREVIEWRATE,
                                             WM_CAP_SET_PREVIEW, WM_CAP_SET_CALLBACK_FRAME}));
    EXPECT_EQ(sent.back().lParam, reinterpret_cast<LPARAM>(&LineFrameCallback));
    EXPECT_EQ(f.Panel3->findChildren<QWidget *>().size(), 1u);

    // A bad field blocks the stop click just the same.
    f.Edit3->setText("");
    f.Button15Click();
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(CameraRunning, 0xFF);
    EXPECT_EQ(f.Button15->text(), "Stop");

    f.Edit3->setText("7");
    sent.clear();
    f.Button15Click();
    EXPECT_EQ(Messages(), std::vector<UINT>{WM_CAP_DRIVER_DISCONNECT});
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_EQ(f.Button15->text(), "Start");
    EXPECT_TRUE(IsWindow(first)); // stays in Panel3, disconnected
    EXPECT_TRUE(Writes().empty());
}

TEST_F(LineFollower, CameraFramesDriveThePass)
{
    setenv("ROBOT_CAPTURE_SOURCE", DarkLeftSource, 1);
    Fields({"1", "1", "45", "1", "2"});
    Form().Button15Click();
    const size_t started = sent.size();
    ASSERT_TRUE(WaitUntil([this] { return Writes().size() >= 9; })) << "no frame reached the pass";
    Form().Button15Click();
    EXPECT_TRUE(errors.empty());
    // Every pass: grab, save to the frame file, preview on; two turns left, one forward.
    const std::vector<UINT> pass{WM_CAP_GRAB_FRAME, WM_CAP_FILE_SAVEDIB, WM_CAP_SET_PREVIEW};
    const std::vector<UINT> after = Messages(started);
    ASSERT_GE(after.size(), 4u);
    EXPECT_EQ(std::vector<UINT>(after.begin(), after.begin() + 3), pass);
    EXPECT_EQ(sent[started + 1].path, FramePath);
    const std::vector<int> writes = Writes();
    const std::vector<int> perPass = Then(Then({}, Left, 2), Forward, 1);
    ASSERT_EQ(writes.size() % perPass.size(), 0u);
    for (size_t i = 0; i < writes.size(); i += perPass.size())
        EXPECT_EQ(std::vector<int>(writes.begin() + i, writes.begin() + i + perPass.size()), perPass);
    EXPECT_EQ(QImage(FramePath).size(), QSize(320, 240));
    EXPECT_LE(Form().Label61->text().toInt(), 5);
    EXPECT_GE(Form().Label64->text().toInt(), 250);
}

TEST_F(LineFollower, UnreadableFrameEndsThePassAndLeavesThePreviewOff)
{
    Fields({"1", "1", "45", "2", "2"});
    ReadFieldsWithoutCamera();
    EXPECT_EQ(Pass(), 0); // no frame file at all
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("temp.bmp"), std::string::npos);
    QFile garbage(FramePath);
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write("not a picture");
    garbage.close();
    Pass();
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(Averages(), QStringList(9, "0"));

    // With the camera: the frame cannot be saved into a missing folder, and no
    // further frame comes once the grab has switched the preview off.
    ASSERT_TRUE(QDir("zdjecia").removeRecursively());
    Form().Button15Click();
    const size_t started = sent.size();
    ASSERT_TRUE(WaitUntil([this] { return errors.size() > 2; }));
    ProcessFor(300);
    EXPECT_EQ(errors.size(), 3u);
    EXPECT_EQ(GetCaptureStats(LineCaptureWindow).callbacks, 1u);
    EXPECT_EQ(Messages(started), (std::vector<UINT>{WM_CAP_GRAB_FRAME, WM_CAP_FILE_SAVEDIB}));
    EXPECT_EQ(Averages(), QStringList(9, "0"));
    // Each failed pass switched the motors off and sent no pulse.
    EXPECT_EQ(Writes(), std::vector<int>(3, 0));
}

TEST_F(LineFollower, SharesItsToggleWithTheCameraTabPreview)
{
    TForm1 &f = Form();
    Fields({"1", "1", "45", "0", "0"});
    f.Button12Click(); // "Kamera 2" runs
    const HWND preview = CaptureWindow;
    sent.clear();
    f.Button15Click(); // only stops: nothing to disconnect of its own
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(f.Button15->text(), "Start");
    EXPECT_EQ(CameraRunning, 0);
    EXPECT_TRUE(GetCaptureStats(preview).connected);

    f.Button15Click(); // now it starts
    const HWND first = LineCaptureWindow;
    EXPECT_TRUE(GetCaptureStats(first).connected);
    EXPECT_EQ(f.Button15->text(), "Stop");
    f.Button12Click(); // stops the preview, not the follower
    EXPECT_FALSE(GetCaptureStats(preview).connected);
    EXPECT_TRUE(GetCaptureStats(first).connected);
    EXPECT_EQ(CameraRunning, 0);
    f.Button15Click(); // a second follower window over the first, both connected
    EXPECT_NE(LineCaptureWindow, first);
    EXPECT_TRUE(GetCaptureStats(first).connected);
    EXPECT_TRUE(GetCaptureStats(LineCaptureWindow).connected);
    EXPECT_EQ(f.Panel3->findChildren<QWidget *>().size(), 2u);
    EXPECT_TRUE(errors.empty());
}

// The emergency stop reaches the follower through the hook its page
// registered: it stops as its button's stop does, or, when the camera tab has
// taken the shared toggle meanwhile, its window is only disconnected. Once it
// is stopped, a stop leaves the camera tab's preview running.
TEST_F(LineFollower, EmergencyStopStopsItAsItsButtonDoes)
{
    TForm1 &f = Form();
    Fields({"1", "1", "45", "0", "0"});
    drivestop::Prepare();
    DriveStopWatch watch;
    const auto stop = [] {
        drivestop::Request();
        return WaitUntil([] { return !drivestop::Active(); });
    };

    f.Button15Click();
    const HWND first = LineCaptureWindow;
    ASSERT_TRUE(stop());
    EXPECT_FALSE(GetCaptureStats(first).connected);
    EXPECT_EQ(f.Button15->text(), "Start");
    EXPECT_EQ(CameraRunning, 0);

    f.Button15Click();
    f.Button12Click(); // takes the toggle back; the follower's window runs on
    ASSERT_TRUE(GetCaptureStats(LineCaptureWindow).connected);
    ASSERT_TRUE(stop());
    EXPECT_FALSE(GetCaptureStats(LineCaptureWindow).connected);
    EXPECT_EQ(f.Button15->text(), "Start");
    EXPECT_EQ(CameraRunning, 0);

    f.Button12Click(); // the camera tab's preview
    ASSERT_TRUE(stop());
    EXPECT_TRUE(GetCaptureStats(CaptureWindow).connected);
    EXPECT_EQ(CameraRunning, 0xFF);
    EXPECT_TRUE(errors.empty());
}
