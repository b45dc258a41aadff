#pragma once
// What the three camera start/stop buttons share: their window handles, the
// one toggle, and the start and stop sequences.
#include "capture/CaptureWindow.h"

#include <cstdint>

class QAbstractButton;
class QWidget;

// The camera tab's current capture window (preview and motion detection).
extern HWND CaptureWindow;
// The camera line follower's current capture window.
extern HWND LineCaptureWindow;
// 0: the next click on a camera button starts; otherwise it stops. Changed only
// by bitwise complement, once per start and once per stop.
extern uint8_t CameraRunning;

// Sends a message only if `window` is a window at this moment.
LRESULT GuardedSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Guarded WM_CAP_FILE_SAVEDIB of the frame just grabbed. A window that saved
// nothing throws FileSaveError naming the file and the reason: a drive must
// not go on with whatever picture an earlier save left there. No window: no
// save, and nothing thrown.
void SaveFrame(HWND window, const char *path);

// The start branch: a new capture window of the given size at the top left of
// `panel`, stored in `handle`; connect driver 0, scale on, preview rate 1 ms,
// preview on, then the frame callback if there is one; complement the toggle;
// the button reads "Stop". The window `handle` named before is released
// (ReleaseCaptureWindow): it goes once the click is over.
void StartCapturePreview(QAbstractButton *button, QWidget *panel, int width, int height,
                         HWND &handle, CAPVIDEOCALLBACK frameCallback);

// The stop branch: the button reads "Start"; disconnect `handle`; complement
// the toggle. The window stays where it is, with its last picture, until the
// next start through the same handle variable.
void StopCapture(QAbstractButton *button, HWND handle);
