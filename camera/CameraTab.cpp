// "Kamerka": external viewer, preview, snapshot, driver dialogs.
#include "camera/MotionDetection.h"
#include "camera/ViewerLaunch.h"
#include "core/ErrorDisplay.h"
#include "form/CameraShared.h"
#include "form/Unit1.h"

namespace {
// The stand-alone camera viewer, relative to the working directory.
constexpr const char *ViewerProgram = "kamera/kamera";
// The camera tab's snapshot.
constexpr const char *TabSnapshotPath = "zdjecia/przechwyt/plik.bmp";
// Size of the preview window in Panel1.
constexpr int PreviewWidth = 160;
constexpr int PreviewHeight = 120;
constexpr WPARAM On = 1;
} // namespace

void TForm1::Button11Click()
{
    // Shown in a window of its own and not waited for; a viewer that cannot
    // start, or ends at once, is reported (camera/ViewerLaunch.h).
    RunHandler([this] { ViewerLaunch::Start(ViewerProgram, this); });
}

void TForm1::Button12Click()
{
    RunHandler([this] {
        if (CameraRunning == 0) {
            StartCapturePreview(Button12, Panel1, PreviewWidth, PreviewHeight, CaptureWindow,
                                nullptr);
        } else {
            StopCapture(Button12, CaptureWindow);
            // Stopping the shared window ends a detection run too.
            ReportLostSnapshots();
        }
    });
}

void TForm1::Button14Click()
{
    RunHandler([this] {
        GuardedSend(CaptureWindow, WM_CAP_GRAB_FRAME, 0, 0);
        // A snapshot that could not be saved is an error, not the older file.
        SaveFrame(CaptureWindow, TabSnapshotPath);
        Image4->LoadFromFile(QString::fromLatin1(TabSnapshotPath));
        Image7->LoadFromFile(QString::fromLatin1(TabSnapshotPath));
        GuardedSend(CaptureWindow, WM_CAP_SET_PREVIEW, On, 0);
    });
}

void TForm1::Button17Click()
{
    RunHandler([] { GuardedSend(CaptureWindow, WM_CAP_DLG_VIDEOSOURCE, 0, 0); });
}

void TForm1::Button19Click()
{
    RunHandler([] { GuardedSend(CaptureWindow, WM_CAP_DLG_VIDEOFORMAT, 0, 0); });
}
