// Window handles and the calls of the capture-window service. Handles are
// numbers that are never reused, so a handle of a window that went away never
// names a later one. GUI thread only.
#include "capture/CaptureWindow.h"

#include "capture/CaptureTesting.h"
#include "capture/CaptureWidget.h"

#include <QPointer>
#include <QWidget>

#include <unordered_map>

namespace {
struct Registry {
    std::unordered_map<uintptr_t, QPointer<QWidget>> windows;
    std::unordered_map<const QWidget *, uintptr_t> handles;
    uintptr_t next = 1;
};

// Never destroyed: widgets may still go away while the program ends.
Registry &Windows()
{
    static Registry *registry = new Registry;
    return *registry;
}

HWND ToHandle(uintptr_t id) { return reinterpret_cast<HWND>(id); }

HWND Register(QWidget *widget)
{
    Registry &r = Windows();
    const uintptr_t id = r.next++;
    r.windows[id] = widget;
    r.handles[widget] = id;
    QObject::connect(widget, &QObject::destroyed, [id, widget] {
        Windows().windows.erase(id);
        Windows().handles.erase(widget);
    });
    return ToHandle(id);
}

QWidget *Lookup(HWND window)
{
    const Registry &r = Windows();
    const auto it = r.windows.find(reinterpret_cast<uintptr_t>(window));
    return it == r.windows.end() ? nullptr : it->second.data();
}

CaptureMessageRecorder &Recorder()
{
    static CaptureMessageRecorder recorder;
    return recorder;
}

void Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!Recorder())
        return;
    CaptureMessage m{window, message, wParam, lParam, {}};
    if (message == WM_CAP_FILE_SAVEDIB && lParam)
        m.path = reinterpret_cast<const char *>(lParam);
    Recorder()(m);
}
} // namespace

HWND WindowHandle(QWidget *widget)
{
    if (!widget)
        return nullptr;
    const auto it = Windows().handles.find(widget);
    return it != Windows().handles.end() ? ToHandle(it->second) : Register(widget);
}

HWND capCreateCaptureWindowA(const char *windowName, uint32_t style, int x, int y, int width,
                             int height, HWND parent, int id)
{
    QWidget *panel = Lookup(parent);
    if (!panel)
        return nullptr;
    auto *window = new CaptureWidget(panel);
    const HWND handle = Register(window);
    window->SetHandle(handle);
    window->setObjectName(QStringLiteral("CaptureWindow%1").arg(id));
    if (windowName)
        window->setWindowTitle(QString::fromLocal8Bit(windowName));
    window->setGeometry(x, y, width, height);
    window->raise(); // over the windows of earlier starts
    if (style & WS_VISIBLE)
        window->show();
    Record(handle, CaptureWindowCreated, WPARAM(width), LPARAM(height));
    return handle;
}

bool IsWindow(HWND window)
{
    return Lookup(window) != nullptr;
}

void ReleaseCaptureWindow(HWND window)
{
    if (auto *capture = qobject_cast<CaptureWidget *>(Lookup(window)))
        capture->Release();
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Record(window, message, wParam, lParam);
    auto *capture = qobject_cast<CaptureWidget *>(Lookup(window));
    return capture ? capture->Message(message, wParam, lParam) : 0;
}

std::string LastSaveError(HWND window)
{
    auto *capture = qobject_cast<CaptureWidget *>(Lookup(window));
    return capture ? capture->LastSaveError() : std::string();
}

CaptureTimes GetCaptureTimes(HWND window)
{
    auto *capture = qobject_cast<CaptureWidget *>(Lookup(window));
    return capture ? capture->Times() : CaptureTimes();
}

CaptureMessageRecorder SetCaptureMessageRecorder(CaptureMessageRecorder recorder)
{
    std::swap(Recorder(), recorder);
    return recorder;
}

CaptureStats GetCaptureStats(HWND window)
{
    auto *capture = qobject_cast<CaptureWidget *>(Lookup(window));
    return capture ? capture->Stats() : CaptureStats();
}

void ResetCaptureDriverSettings()
{
    CaptureDriverSettings() = DriverSettings();
}
