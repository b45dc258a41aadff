// The capture window a camera start replaces goes away: once the click is over
// (never under a handler or a frame callback that still uses it), with its
// camera and its pictures, and its handle then names no window. Through the
// real program: 100 starts and stops of each camera button, clicked on a
// private X server, keep its resident memory within a few MB of where it stood
// after a warm-up; which starts and stops it really made is counted from
// GStreamer's own log of the camera pipeline's state changes.
#include "support/Harness.h"
#include "support/ProgramOnPort.h"
#include "support/RobotProcess.h"

#include "capture/CaptureTesting.h"
#include "capture/CaptureWindow.h"
#include "form/CameraShared.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {
using namespace std::chrono_literals;

// ---- In the test process: when the window goes -------------------------------

// What the frame callbacks saw.
struct Seen {
    int waitingCalls = 0;        // of WaitingCallback
    bool thereAfterWait = false; // IsWindow of its window after the nested wait
    int countedCalls = 0;        // of CountingCallback
};
Seen *Calls = nullptr;

class ReplacedWindow : public RobotTest {
protected:
    void SetUp() override
    {
        RobotTest::SetUp();
        setenv("ROBOT_CAPTURE_SOURCE", "test", 1);
        Calls = &seen;
    }
    void TearDown() override
    {
        RobotTest::TearDown(); // the windows go, and with them their cameras
        Calls = nullptr;
    }
    // Runs `click` as the program's clicks run: as an event, from the event
    // loop, which takes over again when it is done.
    void Click(const std::function<void()> &click)
    {
        bool done = false;
        After(0, [&] {
            click();
            done = true;
        });
        ASSERT_TRUE(WaitUntil([&] { return done; }));
    }
    static std::vector<QWidget *> Windows(QWidget *panel)
    {
        std::vector<QWidget *> out;
        for (QWidget *w : panel->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
            out.push_back(w);
        return out;
    }

    Seen seen;
};

LRESULT CountingCallback(HWND, VIDEOHDR *)
{
    ++Calls->countedCalls;
    return 1;
}

// On its first frame the callback waits in a nested event loop, as a callback
// that waits for something does; meanwhile a start through the same handle
// variable replaces its window. It then writes into its frame, as the motion
// detector writes its grid.
LRESULT WaitingCallback(HWND window, VIDEOHDR *header)
{
    if (++Calls->waitingCalls > 1)
        return 1;
    QTimer::singleShot(0, [] {
        StartCapturePreview(Form1->Button15, Form1->Panel3, 193, 161, LineCaptureWindow,
                            &CountingCallback);
    });
    ProcessFor(300);
    Calls->thereAfterWait = IsWindow(window);
    header->lpData[0] = 16;
    header->lpData[header->dwBufferLength - 1] = 128;
    return 1;
}
} // namespace

TEST_F(ReplacedWindow, GoesWithItsCameraOnceTheStartingClickIsOver)
{
    TForm1 &f = Form();
    f.Edit34->setText("1000000"); // no motion frames: no sound, no snapshots
    Click([&] { f.Button12Click(); });
    const HWND preview = CaptureWindow;
    Click([&] { f.Button15Click(); }); // shares the toggle: only stops, the preview runs on
    ASSERT_TRUE(GetCaptureStats(preview).connected);

    // Motion detection takes over the shared handle: within the click the old
    // preview is still a window, afterwards it is gone, camera and all.
    bool usableInClick = false;
    Click([&] {
        f.Button16Click();
        usableInClick = IsWindow(preview) && GetCaptureStats(preview).connected;
    });
    EXPECT_TRUE(usableInClick);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(preview); }));
    EXPECT_TRUE(Windows(f.Panel1).empty());
    EXPECT_EQ(SendMessageA(preview, WM_CAP_GRAB_FRAME, 0, 0), 0);
    const HWND detector = CaptureWindow;
    EXPECT_TRUE(WaitUntil([&] { return GetCaptureStats(detector).callbacks >= 2; }));

    // Stop, start: the stopped window keeps its place until the new one is
    // there, then one window is left in the panel.
    Click([&] { f.Button16Click(); });
    EXPECT_TRUE(IsWindow(detector));
    Click([&] { f.Button16Click(); });
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(detector); }));
    EXPECT_EQ(Windows(f.Panel2).size(), 1u);
    EXPECT_TRUE(GetCaptureStats(CaptureWindow).connected);
    Click([&] { f.Button16Click(); });
    EXPECT_TRUE(errors.empty()) << errors.front();
}

TEST_F(ReplacedWindow, ReleasedInItsOwnCallbackItStaysUntilTheCallbackReturns)
{
    TForm1 &f = Form();
    StartCapturePreview(f.Button15, f.Panel3, 193, 161, LineCaptureWindow, &WaitingCallback);
    const HWND first = LineCaptureWindow;
    EXPECT_TRUE(WaitUntil([&] { return LineCaptureWindow != first && !IsWindow(first); }));
    EXPECT_TRUE(seen.thereAfterWait);
    EXPECT_EQ(seen.waitingCalls, 1); // no frame after the release

    EXPECT_TRUE(WaitUntil([&] { return seen.countedCalls >= 2; }));
    EXPECT_EQ(Windows(f.Panel3).size(), 1u);
    StopCapture(f.Button15, LineCaptureWindow);
}

TEST_F(ReplacedWindow, ItsFramesStillQueuedReachNoCallback)
{
    TForm1 &f = Form();
    StartCapturePreview(f.Button15, f.Panel3, 193, 161, LineCaptureWindow, &CountingCallback);
    const HWND first = LineCaptureWindow;
    ASSERT_TRUE(WaitUntil([&] { return seen.countedCalls >= 1; }));
    int callsAtStart = 0;
    Click([&] {
        // A busy moment: the camera's next frame waits in the queue.
        std::this_thread::sleep_for(100ms);
        callsAtStart = seen.countedCalls;
        StartCapturePreview(f.Button15, f.Panel3, 193, 161, LineCaptureWindow, nullptr);
    });
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(first); }));
    EXPECT_EQ(seen.countedCalls, callsAtStart);
    StopCapture(f.Button15, LineCaptureWindow);
}

// ---- The real program: memory over many starts -------------------------------

namespace {
// Starts before the first measurement: the first ones load GStreamer's
// plug-ins, fonts and the like.
constexpr int WarmUpStarts = 5;
constexpr int MeasuredStarts = 100;
constexpr long AllowedGrowthKb = 5 * 1024;
// How long a camera runs before its stop is clicked: long enough for frames
// to reach the window and the frame callback.
constexpr auto RunningTime = 60ms;

// AddressSanitizer holds freed memory back (its quarantine, 256 MB) instead of
// reusing it, so under it the resident size grows by design: there the run
// checks that no report ends the program, not the memory.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool FreedMemoryHeldBack = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool FreedMemoryHeldBack = true;
#else
constexpr bool FreedMemoryHeldBack = false;
#endif
#else
constexpr bool FreedMemoryHeldBack = false;
#endif

// GStreamer's log lines of the capture pipeline (named "camera") leaving NULL
// at its start and reaching NULL at its stop. Both are logged on the GUI
// thread within the click; PLAYING may come later, or not at all when the
// stop comes first.
const char *const PipelineStarted = "<camera> notifying about state-changed NULL to READY";
const char *const PipelineStopped = "<camera> notifying about state-changed READY to NULL";

struct CameraButton {
    const char *name;      // the test's name
    const char *button;    // its object name
    EnvVars fields;        // fields typed before the starts: object name, text
    const char *frameTrace; // a file, or a folder of files, that the frame
                            // callback leaves in the working directory; or null
};

std::ostream &operator<<(std::ostream &out, const CameraButton &b) { return out << b.name; }

const CameraButton Buttons[] = {
    {"Kamera2Preview", "Button12", {}, nullptr},
    // The threshold as it comes: the moving ball makes motion frames, each
    // with its sound and its snapshot.
    {"Kamera3MotionDetection", "Button16", {}, "zdjecia/ruch"},
    // No pulses: each frame is still saved and read back, but the pass does
    // not hold the program for seconds.
    {"LineFollowerStart", "Button15", {{"Edit37", "0"}, {"Edit38", "0"}}, "zdjecia/przechwyt/temp.bmp"},
};

// VmRSS of the process in kB, or -1.
long ResidentKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kb = -1;
            status >> kb;
            return kb;
        }
        status.ignore(1 << 20, '\n');
    }
    return -1;
}

int CountLines(const std::string &path, const std::string &part)
{
    std::ifstream in(path);
    int count = 0;
    for (std::string line; std::getline(in, line);)
        count += line.find(part) != std::string::npos;
    return count;
}

class CameraRestarts : public testing::TestWithParam<CameraButton> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(logDir.isValid());
        std::string error;
        ASSERT_TRUE(robot.Start({{"ROBOT_CAPTURE_SOURCE", "test"},
                                 {"GST_DEBUG", "GST_STATES:4"},
                                 {"GST_DEBUG_NO_COLOR", "1"},
                                 {"GST_DEBUG_FILE", GstLog()}},
                                &error))
            << error;
        for (const auto &[field, text] : GetParam().fields)
            robot.Type(field, text);
    }

    std::string GstLog() const { return logDir.filePath("gst.log").toStdString(); }
    int Starts() const { return CountLines(GstLog(), PipelineStarted); }
    int Stops() const { return CountLines(GstLog(), PipelineStopped); }

    // Clicks start and stop `times` times; true once the program has stopped
    // the camera that many times more.
    bool StartAndStop(int times)
    {
        const int stopsBefore = Stops();
        for (int i = 0; i < times; ++i) {
            robot.Click(GetParam().button);
            std::this_thread::sleep_for(RunningTime);
            robot.Click(GetParam().button);
        }
        return WaitFor([&] { return Stops() >= stopsBefore + times; }, 60s);
    }

    QTemporaryDir logDir;
    RobotProcess robot;
};
} // namespace

TEST_P(CameraRestarts, AHundredStartsAndStopsKeepTheProgramsMemory)
{
    ASSERT_TRUE(StartAndStop(WarmUpStarts)) << robot.Stderr();
    const long before = ResidentKb(robot.Pid());
    ASSERT_GT(before, 0);
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(StartAndStop(MeasuredStarts)) << "stops seen: " << Stops() << "\n" << robot.Stderr();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const long after = ResidentKb(robot.Pid());
    EXPECT_EQ(Starts(), WarmUpStarts + MeasuredStarts);
    EXPECT_EQ(Stops(), WarmUpStarts + MeasuredStarts);
    if (!FreedMemoryHeldBack) {
        EXPECT_LE(after - before, AllowedGrowthKb);
    }
    if (const char *trace = GetParam().frameTrace) {
        // The camera still works after the restarts. A start of 60 ms may see
        // no current picture on a loaded machine (a late one is passed over),
        // so one last start runs until a picture has been taken up.
        const QFileInfo left(QString::fromStdString(robot.WorkDir() + "/" + trace));
        const auto frameLeft = [&] {
            return left.isDir() ? !QDir(left.filePath()).isEmpty(QDir::Files) : QFileInfo::exists(left.filePath());
        };
        if (!frameLeft()) {
            robot.Click(GetParam().button);
            WaitFor(frameLeft, 10s);
            robot.Click(GetParam().button);
        }
        EXPECT_TRUE(frameLeft()) << "no frame reached the callback: nothing in " << trace;
    }
    EXPECT_TRUE(robot.Running()) << robot.Stderr();
    std::printf("[ figures  ] %s: VmRSS %.1f MB -> %.1f MB over %d starts, %.3f MB per start, %.1f s\n",
                GetParam().name, before / 1024.0, after / 1024.0, MeasuredStarts,
                (after - before) / 1024.0 / MeasuredStarts, seconds);
}

INSTANTIATE_TEST_SUITE_P(EachCameraButton, CameraRestarts, testing::ValuesIn(Buttons),
                         [](const testing::TestParamInfo<CameraButton> &info) { return info.param.name; });
