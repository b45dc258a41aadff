#include "form/CameraShared.h"

#include "core/Exceptions.h"

#include <QAbstractButton>

#include <string>

HWND CaptureWindow = nullptr;
HWND LineCaptureWindow = nullptr;
uint8_t CameraRunning = 0;

namespace {
constexpr int CaptureWindowId = 1;
constexpr WPARAM FirstDriver = 0;
constexpr WPARAM On = 1;
constexpr WPARAM PreviewPeriodMs = 1;
} // namespace

LRESULT GuardedSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!IsWindow(window))
        return 0;
    return SendMessageA(window, message, wParam, lParam);
}

void SaveFrame(HWND window, const char *path)
{
    if (!IsWindow(window))
        return;
    if (SendMessageA(window, WM_CAP_FILE_SAVEDIB, 0, reinterpret_cast<LPARAM>(path)) != 0)
        return;
    throw FileSaveError(std::string("Cannot save the camera picture as \"") + path +
                        "\": " + LastSaveError(window) + ".");
}

void StartCapturePreview(QAbstractButton *button, QWidget *panel, int width, int height,
                         HWND &handle, CAPVIDEOCALLBACK frameCallback)
{
    const HWND replaced = handle;
    handle = capCreateCaptureWindowA(nullptr, WS_CHILD | WS_VISIBLE, 0, 0, width, height,
                                     WindowHandle(panel), CaptureWindowId);
    // No handle names the earlier window any more, so nothing could use or
    // stop it again: it goes, with its pictures and a camera it may still run.
    ReleaseCaptureWindow(replaced);
    GuardedSend(handle, WM_CAP_DRIVER_CONNECT, FirstDriver, 0);
    GuardedSend(handle, WM_CAP_SET_SCALE, On, 0);
    GuardedSend(handle, WM_CAP_SET_PREVIEWRATE, PreviewPeriodMs, 0);
    GuardedSend(handle, WM_CAP_SET_PREVIEW, On, 0);
    if (frameCallback)
        GuardedSend(handle, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(frameCallback));
    CameraRunning = static_cast<uint8_t>(~CameraRunning);
    button->setText(QStringLiteral("Stop"));
}

void StopCapture(QAbstractButton *button, HWND handle)
{
    button->setText(QStringLiteral("Start"));
    GuardedSend(handle, WM_CAP_DRIVER_DISCONNECT, 0, 0);
    CameraRunning = static_cast<uint8_t>(~CameraRunning);
}
