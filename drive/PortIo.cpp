#include "drive/PortIo.h"

#include "core/ErrorDisplay.h"
#include "drive/DriveStop.h"
#include "drive/ProgramEnd.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <string>

namespace {
const char *g_fileName = PortIoLibraryFileName;
ReportOnce g_unusable;

// What the program last wrote to the data register (0 before the first
// write), and the entry point it went through: what a way out that runs no
// ordinary code (exit(), a crash) needs to switch the motors off.
std::atomic<short> g_lastData{0};
std::atomic<PortIoLibrary::Out32Fn> g_lastOut32{nullptr};
static_assert(std::atomic<PortIoLibrary::Out32Fn>::is_always_lock_free);

// Tells the operator once, after the current handler, that the port is out of
// reach; the terminal hears of it at once.
void ReportUnusable(const std::string &what)
{
    const std::string message = "The port I/O library is not usable: " + what +
                                ". Motor commands go nowhere and sensor readings are 0.";
    if (g_unusable(message))
        std::fprintf(stderr, "robot: %s\n", message.c_str());
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

void ThrowIfFailed(PortIoLibrary::LastErrorFn lastError)
{
    if (!lastError)
        return;
    if (const char *error = lastError())
        throw PortIoError(std::string("The parallel port failed: ") + error + ".");
}
} // namespace

short PortIoLibrary::In(short port) const
{
    if (!Inp32)
        return 0;
    const short value = Inp32(port);
    ThrowIfFailed(LastError);
    return value;
}

void PortIoLibrary::Out(short port, short value) const
{
    if (port == DataPort) {
        if (value != 0 && (programend::Requested() || drivestop::Active()))
            value = 0;
        g_lastData.store(value);
    }
    if (!Out32)
        return;
    Out32(port, value);
    ThrowIfFailed(LastError);
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

namespace {
// Loads the library and looks up its entry points; `why` says what failed
// when it could not be loaded.
PortIoLibrary LoadPortIoLibrary(std::string &why)
{
    PortIoLibrary lib;
    lib.Handle = dlopen(g_fileName, RTLD_NOW);
    if (!lib.Handle) {
        const char *err = dlerror();
        why = std::string("cannot load ") + g_fileName + " (" + (err ? err : "not found") + ")";
        return lib;
    }
    lib.Inp32 = reinterpret_cast<PortIoLibrary::Inp32Fn>(dlsym(lib.Handle, "Inp32"));
    lib.Out32 = reinterpret_cast<PortIoLibrary::Out32Fn>(dlsym(lib.Handle, "Out32"));
    lib.LastError = reinterpret_cast<PortIoLibrary::LastErrorFn>(dlsym(lib.Handle, "PortIoLastError"));
    lib.Status = reinterpret_cast<PortIoLibrary::StatusFn>(dlsym(lib.Handle, "PortIoStatus"));
    return lib;
}

// The file a loaded library came from, as the loader found it.
std::string LoadedFile(void *handle)
{
    link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name)
        return {};
    return map->l_name;
}

// Longest status text shown: a line, not a page.
constexpr size_t MaxStatusBytes = 200;

std::string OneShortLine(std::string text)
{
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    if (text.size() > MaxStatusBytes) {
        size_t cut = MaxStatusBytes;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
            --cut; // not inside a character
        text = text.substr(0, cut) + "...";
    }
    return text;
}
} // namespace

std::string PortIoStatusText()
{
    // Bound once found; the loader's answer does not change while the
    // program runs, so only a library not found is asked for again.
    static PortIoLibrary bound;
    static const char *boundName = nullptr;
    if (boundName != g_fileName) {
        bound = {};
        boundName = g_fileName;
    }
    std::string why;
    if (!bound.Handle)
        bound = LoadPortIoLibrary(why);
    if (!bound.Handle)
        return "no port library: " + why;
    if (bound.Status) {
        const char *status = bound.Status();
        if (status && *status)
            return OneShortLine(status);
    }
    const std::string file = LoadedFile(bound.Handle);
    return OneShortLine("port library " + (file.empty() ? std::string(g_fileName) : file));
}

PortIoLibrary BindPortIoLibrary()
{
    std::string why;
    PortIoLibrary lib = LoadPortIoLibrary(why);
    if (!lib.Handle) {
        ReportUnusable(why);
        return lib;
    }
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

void SetPortIoLibraryFileNameForTesting(const char *fileName)
{
    g_fileName = fileName ? fileName : PortIoLibraryFileName;
    g_unusable.Forget();
}
