// "Kamera po linii": the camera line follower.
#include "linecam/LineFollower.h"

#include "core/Clock.h"
#include "core/Convert.h"
#include "core/ErrorDisplay.h"
#include "core/FrameAge.h"
#include "core/LineAnalysis.h"
#include "drive/DriveStop.h"
#include "drive/Motor.h"
#include "drive/PortIo.h"
#include "form/CameraShared.h"
#include "form/Unit1.h"

#include <QTimer>

int32_t LineTolerance = 0;
int32_t LineForwardSteps = 0;
int32_t LineTurnSteps = 0;

namespace {
// The follower's window was started by its button and not stopped since.
bool g_following = false;
// When it was started (core/Clock.h), for the stall watch.
int64_t g_followingSinceNs = 0;
// How often the stall watch looks at the camera's newest picture.
constexpr int StallWatchEveryMs = 25;

// Every frame is saved here and read back from here.
constexpr char LineFramePath[] = "zdjecia/przechwyt/temp.bmp";
// The follower's capture window fills Panel3.
constexpr int LineCaptureWidth = 193;
constexpr int LineCaptureHeight = 161;
// wParam of WM_CAP_SET_PREVIEW: preview on.
constexpr WPARAM PreviewOn = 1;
// What the frame callback always answers.
constexpr LRESULT FrameDone = 1;

// The five fields, in this order, each stored as soon as it is read; a bad one
// ends the click there.
void ReadLineSettings(const TForm1 &form)
{
    ForwardTimeMs = ToInt32(form.Edit3->text());
    TurnTimeMs = ToInt32(form.Edit35->text());
    LineTolerance = ToInt32(form.Edit36->text());
    LineForwardSteps = ToInt32(form.Edit37->text());
    LineTurnSteps = ToInt32(form.Edit38->text());
}

void ShowAverages(TForm1 &form, const LineAverages &a)
{
    const struct {
        QLabel *label;
        int32_t value;
    } shown[] = {
        {form.Label58, a.whole.red}, {form.Label59, a.whole.green}, {form.Label60, a.whole.blue},
        {form.Label61, a.left.red},  {form.Label62, a.left.green},  {form.Label63, a.left.blue},
        {form.Label64, a.right.red}, {form.Label65, a.right.green}, {form.Label66, a.right.blue},
    };
    for (const auto &s : shown)
        s.label->setText(QString::number(s.value));
}

// The reference colour as the three track bars stand now.
Rgb ReferenceColour(const TForm1 &form)
{
    return {form.TrackBar1->value(), form.TrackBar2->value(), form.TrackBar3->value()};
}

void SendPulses(const LinePulsePlan &plan)
{
    for (const LineMoveRun &run : plan) {
        void (*command)() = run.move == LineMove::TurnLeft    ? TurnLeft
                            : run.move == LineMove::TurnRight ? TurnRight
                                                              : MoveForward;
        for (int32_t i = 0; i < run.count; ++i)
            command();
    }
}

// One pass. A frame that cannot be saved, or a picture that cannot be loaded,
// ends it with the error shown, no label changed, no pulse sent, the motors
// off and the preview left off: the robot never steers by an older picture.
void FollowOneFrame(TForm1 &form)
{
    GuardedSend(LineCaptureWindow, WM_CAP_GRAB_FRAME, 0, 0);
    // A picture that is not current is not steered by: the pass waits for
    // the next one (the stall watch ends the drive when none comes).
    if (IsWindow(LineCaptureWindow) &&
        JudgeFrameAge(GetCaptureTimes(LineCaptureWindow).frameNs, MonotonicNs()) != FrameAge::Current) {
        GuardedSend(LineCaptureWindow, WM_CAP_SET_PREVIEW, PreviewOn, 0);
        return;
    }
    try {
        SaveFrame(LineCaptureWindow, LineFramePath);
        form.Image7->LoadFromFile(LineFramePath);
    } catch (...) {
        BindPortIoLibrary().MotorsOff();
        throw;
    }
    const LineAverages averages = AverageFrame(form.Image7->Picture());
    ShowAverages(form, averages);
    SendPulses(PlanFramePulses(averages, ReferenceColour(form), LineTolerance, LineTurnSteps,
                               LineForwardSteps));
    GuardedSend(LineCaptureWindow, WM_CAP_SET_PREVIEW, PreviewOn, 0);
}

void StopLineFollowerCamera();

// The stall watch of a camera that stamps its pictures (the robot's over the
// network): when no current picture has come for longer than the age limit,
// the follower stops as its button's stop does, the motors off, with one
// message.
QTimer &StallWatch()
{
    static auto *timer = [] {
        auto *t = new QTimer();
        t->setInterval(StallWatchEveryMs);
        QObject::connect(t, &QTimer::timeout, [] {
            if (!g_following || !IsWindow(LineCaptureWindow)) {
                StallWatch().stop();
                return;
            }
            const CaptureTimes times = GetCaptureTimes(LineCaptureWindow);
            if (!times.stamped || !CameraStalled(g_followingSinceNs, times.newestNs, MonotonicNs()))
                return;
            StallWatch().stop();
            BindPortIoLibrary().MotorsOff();
            StopLineFollowerCamera();
            ShowErrorMessage(times.newestNs == 0
                                 ? "Kamera po linii stopped: the robot's camera sent no picture within " +
                                       std::to_string(FirstPictureWaitMs) + " ms; the motors are off."
                                 : "Kamera po linii stopped: the robot's camera sent no current picture for more "
                                   "than " + std::to_string(FrameAgeLimitMs) +
                                       " ms (its stream stalled or lags); the motors are off.");
        });
        return t;
    }();
    return *timer;
}

// The emergency stop of the follower (a drive stop hook): when its button
// started it and has not stopped it, stops it as the button's stop does.
void StopLineFollowerCamera()
{
    if (!g_following || !Form1)
        return;
    g_following = false;
    if (CameraRunning != 0) {
        StopCapture(Form1->Button15, LineCaptureWindow); // as its button's stop does
    } else {
        // Another camera button has taken the toggle meanwhile: the
        // follower's window is only disconnected.
        GuardedSend(LineCaptureWindow, WM_CAP_DRIVER_DISCONNECT, 0, 0);
        Form1->Button15->setText(QStringLiteral("Start"));
    }
}
} // namespace

LRESULT LineFrameCallback(HWND, VIDEOHDR *)
{
    if (Form1)
        FollowOneFrame(*Form1);
    return FrameDone;
}

void TForm1::Button15Click()
{
    RunHandler([this] {
        ReadLineSettings(*this);
        if (CameraRunning == 0) {
            StartCapturePreview(Button15, Panel3, LineCaptureWidth, LineCaptureHeight,
                                LineCaptureWindow, LineFrameCallback);
            g_following = true;
            g_followingSinceNs = MonotonicNs();
            StallWatch().start();
            drivestop::AddHook(StopLineFollowerCamera);
        } else {
            StopCapture(Button15, LineCaptureWindow);
            g_following = false;
        }
    });
}
