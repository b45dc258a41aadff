// Placeholder until the capture windows exist: no window can be created.
#include "capture/avicap.h"

HWND WindowHandle(QWidget *) { return nullptr; }
HWND capCreateCaptureWindowA(const char *, uint32_t, int, int, int, int, HWND, int) { return nullptr; }
bool IsWindow(HWND) { return false; }
LRESULT SendMessageA(HWND, UINT, WPARAM, LPARAM) { return 0; }
