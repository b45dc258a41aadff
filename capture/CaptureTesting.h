#pragma once
// Hooks of the capture windows for tests and benchmarks: a recorder of the
// messages the windows receive, a stand-in for running the driver dialogs, and
// counts of frames.
#include "capture/CaptureWindow.h"

#include <QSize>

#include <cstdint>
#include <functional>
#include <string>

class QDialog;

// Recorded when capCreateCaptureWindowA made a window (wParam: width, lParam:
// height); no message has this value.
constexpr UINT CaptureWindowCreated = 0;

struct CaptureMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::string path; // the text lParam names, for WM_CAP_FILE_SAVEDIB
};
using CaptureMessageRecorder = std::function<void(const CaptureMessage &)>;

// Every window creation and every SendMessageA call goes to the recorder first.
// Returns the previous recorder; an empty one records nothing.
CaptureMessageRecorder SetCaptureMessageRecorder(CaptureMessageRecorder recorder);

// When set, a driver dialog is handed to the hook instead of being run modally;
// the hook returns the dialog's result (QDialog::Accepted or Rejected) and may
// change the dialog's choices first. Returns the previous hook.
using CaptureDialogHook = std::function<int(QDialog &)>;
CaptureDialogHook SetCaptureDialogHook(CaptureDialogHook hook);

struct CaptureStats {
    bool connected = false;
    uint64_t samples = 0;   // frames the current pipeline delivered
    uint64_t dropped = 0;   // pictures it could not decode (dropped, never shown)
    uint64_t received = 0;  // frames that reached the window (this connection)
    uint64_t callbacks = 0; // frame callback calls (this connection)
    uint64_t skipped = 0;   // frames taken without callback or repaint
    int64_t frameSampleNs = 0; // MonotonicNs(): when the frame now in the
                               // window's buffer left the pipeline
    QSize frameSize;           // of the window's frame buffer
};
// Counts of a capture window; all zero for a handle that is no capture window.
CaptureStats GetCaptureStats(HWND window);

// Forgets what the driver dialogs chose (device, frame sizes, picture controls).
void ResetCaptureDriverSettings();
