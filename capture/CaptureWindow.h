#pragma once
// The capture-window service: child windows inside a panel that show a
// camera's live picture, driven by messages, built over GStreamer.
//
// Which camera is capture driver 0 is decided by ROBOT_CAPTURE_SOURCE:
//   unset or "v4l2"  the first V4L2 camera (ordered by device path)
//   "test"           a moving test picture (no camera needed)
//   "unix:<path>"    a raw video stream on a local socket of this user (the
//                    virtual robot's camera)
//   anything else    a GStreamer source description, used as the camera
// Whatever the source delivers, frames reach the callback and the window as
// planar I420 at 320 x 240 (115,200 bytes) unless the format dialog chose
// another size.
#include <cstdint>
#include <string>

class QWidget;

struct HWND__;
using HWND = HWND__ *; // a window: a panel, or a capture window
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

constexpr uint32_t WS_CHILD = 0x40000000;
constexpr uint32_t WS_VISIBLE = 0x10000000;

constexpr UINT WM_USER = 1024;
constexpr UINT WM_CAP_SET_CALLBACK_FRAME = WM_USER + 5;  // lParam: CAPVIDEOCALLBACK
constexpr UINT WM_CAP_DRIVER_CONNECT = WM_USER + 10;     // wParam: driver index
constexpr UINT WM_CAP_DRIVER_DISCONNECT = WM_USER + 11;
constexpr UINT WM_CAP_FILE_SAVEDIB = WM_USER + 25;       // lParam: NUL-terminated path
constexpr UINT WM_CAP_DLG_VIDEOFORMAT = WM_USER + 41;
constexpr UINT WM_CAP_DLG_VIDEOSOURCE = WM_USER + 42;
constexpr UINT WM_CAP_SET_PREVIEW = WM_USER + 50;        // wParam: 1 on, 0 off
constexpr UINT WM_CAP_SET_PREVIEWRATE = WM_USER + 52;    // wParam: period in ms
constexpr UINT WM_CAP_SET_SCALE = WM_USER + 53;          // wParam: 1 stretch to the window
constexpr UINT WM_CAP_GRAB_FRAME = WM_USER + 60;

// One frame as the per-frame callback sees it. lpData points to a buffer the
// callback may change; the window then shows the frame as the callback left it.
struct VIDEOHDR {
    uint8_t *lpData = nullptr;
    uint32_t dwBufferLength = 0; // bytes in the buffer
    uint32_t dwBytesUsed = 0;
    uint32_t dwTimeCaptured = 0; // ms since the stream started
    uintptr_t dwUser = 0;
    uint32_t dwFlags = 0;
};

constexpr uint32_t VHDR_DONE = 0x00000001;     // dwFlags: the frame is complete
constexpr uint32_t VHDR_KEYFRAME = 0x00000008; // dwFlags: the frame stands alone

// Called on the GUI thread once per preview frame; never re-entered. An
// exception it throws goes to the error display, as a handler's does.
using CAPVIDEOCALLBACK = LRESULT (*)(HWND window, VIDEOHDR *header);

// The handle of a widget (a panel that can host capture windows).
HWND WindowHandle(QWidget *widget);

// Creates a capture window as a child of `parent` at (x, y) with the given size;
// null when `parent` is no window.
HWND capCreateCaptureWindowA(const char *windowName, uint32_t style, int x, int y, int width,
                             int height, HWND parent, int id);

// True while `window` names a live window.
bool IsWindow(HWND window);

// Lets a capture window go that no handle of the program names any more (a
// start made a new one in its place): it takes no further frames, and once
// control is back in the event loop and no message or frame callback of its
// own is running, it is deleted with its camera and its pictures; from then on
// IsWindow(window) is false. Until then it answers messages as before. Nothing
// happens for a handle that names no capture window.
void ReleaseCaptureWindow(HWND window);

// Sends a message to a capture window; unknown messages are ignored (result 0).
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// When the pictures of a capture window were taken, on core/Clock.h's clock
// (0: none, or not known): the frame in the window's buffer (the one the
// frame callback is handed, or a grab took) and the newest its camera has
// delivered. A local camera's picture counts as taken when its pipeline
// handed it over; the robot's camera over the network stamps each one.
// core/FrameAge.h judges them. All 0 for a handle that is no capture window.
struct CaptureTimes {
    int64_t frameNs = 0;
    int64_t newestNs = 0;
    bool stamped = false; // the camera stamps its pictures (the robot's over the network)
};
CaptureTimes GetCaptureTimes(HWND window);

// Why the window's last WM_CAP_FILE_SAVEDIB saved nothing, in the system's
// words ("No space left on device"); empty after a save that succeeded and for
// a handle that is no capture window.
std::string LastSaveError(HWND window);
