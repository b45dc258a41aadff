#include "drive/PortIo.h"

#include "core/ErrorDisplay.h"
#include "drive/DriveStop.h"
#include "drive/ProgramEnd.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <utility>

namespace {
const char *g_fileName = PortIoLibraryFileName;
// Why the library cannot be used, once it was found so, and whether standard
// error has heard of it (the window hears of it with every drive it ends).
std::string g_whyUnusable;
bool g_toldUnusable = false;

// What the program last wrote to the data register (0 before the first
// write), and the entry point it went through: what a way out that runs no
// ordinary code (exit(), a crash) needs to switch the motors off.
std::atomic<short> g_lastData{0};
std::atomic<PortIoLibrary::Out32Fn> g_lastOut32{nullptr};
static_assert(std::atomic<PortIoLibrary::Out32Fn>::is_always_lock_free);

// Keeps why the port is out of reach for the drives it ends; the terminal
// hears of it once.
void ReportUnusable(const std::string &what)
{
    g_whyUnusable = "The port I/O library is not usable: " + what + ". No drive runs without it.";
    if (!std::exchange(g_toldUnusable, true))
        std::fprintf(stderr, "robot: %s\n", g_whyUnusable.c_str());
}

// Runs when the process ends through exit() (also the toolkit's exit when the
// display connection breaks): a motor left running is switched off. A normal
// end after a stopped drive writes nothing.
void MotorsOffAtExit()
{
    if (g_lastData.load() == 0)
        return;
    if (PortIoLibrary::Out32Fn out = g_lastOut32.load()) {
        out(DataPort, 0);
        g_lastData.store(0);
        std::fprintf(stderr, "robot: the program ended with a motor running; motors off.\n");
    }
}

// Registered after the first successful load, so that it runs before the
// library's own clean-up at exit (exit handlers run in reverse order).
void RememberForTheWayOut(PortIoLibrary::Out32Fn out)
{
    static const bool registered = std::atexit(MotorsOffAtExit) == 0;
    (void)registered;
    g_lastOut32.store(out);
}

// The library's messages for the operator, to the error display once the
// handler under way is done.
void PassOnMessages(PortIoLibrary::MessageFn message)
{
    if (!message)
        return;
    // Bounded: a library that kept answering must not hold the window.
    for (int i = 0; i < 16; ++i) {
        const char *text = message();
        if (!text)
            return;
        ShowAfterHandler(text);
    }
}

// After an access: the library's messages shown, and its failure thrown,
// after `context`, what the program was doing. The library's text names the
// device and the cause.
void ThrowIfFailed(const PortIoLibrary &lib, const char *context)
{
    const char *error = lib.LastError ? lib.LastError() : nullptr;
    std::string text = error ? std::string(context) + error : std::string();
    PassOnMessages(lib.Message);
    if (text.empty())
        return;
    if (text.back() != '.')
        text += '.';
    throw PortIoError(text);
}

const char *const Reading = "The sensors cannot be read: ";
const char *const Driving = "The motors cannot be driven: ";
} // namespace

short PortIoLibrary::In(short port) const
{
    if (!Inp32)
        throw PortIoError(g_whyUnusable);
    const short value = Inp32(port);
    ThrowIfFailed(*this, Reading);
    return value;
}

void PortIoLibrary::Out(short port, short value) const
{
    if (port == DataPort) {
        if (value != 0 && (programend::Requested() || drivestop::Active()))
            value = 0;
        g_lastData.store(value);
    }
    if (!Out32) {
        if (value != 0)
            throw PortIoError(g_whyUnusable);
        return;
    }
    Out32(port, value);
    ThrowIfFailed(*this, Driving);
}

void PortIoLibrary::MotorsOff() const noexcept
{
    g_lastData.store(0);
    if (!Out32)
        return;
    Out32(DataPort, 0);
    if (LastError)
        (void)LastError(); // already failing: nothing more to tell
}

PortIoLibrary BindPortIoLibrary()
{
    PortIoLibrary lib;
    lib.Handle = dlopen(g_fileName, RTLD_NOW);
    if (!lib.Handle) {
        const char *err = dlerror();
        ReportUnusable(std::string("cannot load ") + g_fileName + " (" + (err ? err : "not found") + ")");
        return lib;
    }
    lib.Inp32 = reinterpret_cast<PortIoLibrary::Inp32Fn>(dlsym(lib.Handle, "Inp32"));
    lib.Out32 = reinterpret_cast<PortIoLibrary::Out32Fn>(dlsym(lib.Handle, "Out32"));
    lib.LastError = reinterpret_cast<PortIoLibrary::LastErrorFn>(dlsym(lib.Handle, "PortIoLastError"));
    lib.Message = reinterpret_cast<PortIoLibrary::MessageFn>(dlsym(lib.Handle, "PortIoMessage"));
    lib.Status = reinterpret_cast<PortIoLibrary::StatusFn>(dlsym(lib.Handle, "PortIoStatus"));
    if (!lib.Inp32 || !lib.Out32)
        ReportUnusable(std::string(g_fileName) + " lacks the entry point " + (lib.Inp32 ? "Out32" : "Inp32"));
    if (lib.Out32)
        RememberForTheWayOut(lib.Out32);
    return lib;
}

void MotorsOffLastChance() noexcept
{
    if (PortIoLibrary::Out32Fn out = g_lastOut32.load())
        out(DataPort, 0);
}

void MotorsOffIfRunning() noexcept
{
    if (g_lastData.load() == 0)
        return;
    if (PortIoLibrary::Out32Fn out = g_lastOut32.load()) {
        out(DataPort, 0);
        g_lastData.store(0);
    }
}

std::string PortIoStatusLine()
{
    // Bound once: the status is asked for often, and the library stays.
    static PortIoLibrary lib;
    static const char *boundTo = nullptr;
    if (boundTo != g_fileName) {
        lib = BindPortIoLibrary();
        boundTo = g_fileName;
    }
    std::string line;
    if (lib.Status) {
        const char *status = lib.Status();
        line = status ? status : "";
    } else if (!lib.Inp32 || !lib.Out32) {
        line = g_whyUnusable;
    } else {
        Dl_info info{};
        line = dladdr(reinterpret_cast<void *>(lib.Out32), &info) && info.dli_fname ? info.dli_fname : g_fileName;
    }
    PassOnMessages(lib.Message);
    return line;
}

PortIoCamera LoadedPortIoCamera()
{
    PortIoCamera camera;
    // Only a library already loaded: asking does not load one.
    void *handle = dlopen(g_fileName, RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
        return camera;
    camera.Want = reinterpret_cast<PortIoCamera::WantFn>(dlsym(handle, "PortIoCameraWant"));
    camera.Time = reinterpret_cast<PortIoCamera::TimeFn>(dlsym(handle, "PortIoCameraTime"));
    dlclose(handle); // the reference the binding holds stays
    return camera;
}

void SetPortIoLibraryFileNameForTesting(const char *fileName)
{
    g_fileName = fileName ? fileName : PortIoLibraryFileName;
    g_toldUnusable = false;
}
