#pragma once
// Binding of the port I/O library. The library is found by name through the
// dynamic loader, so the loader's search path decides which file answers: the
// hardware library next to the program, or another one put first on
// LD_LIBRARY_PATH (the recording library, the virtual robot's library). The
// registers it reaches, DataPort and StatusPort, are in core/RobotWiring.h.
#include "core/RobotWiring.h"

#include <cstdint>
#include <stdexcept>

// The file name the loader is asked for.
constexpr const char *PortIoLibraryFileName = "libinpout32.so";

// A register access that the library reports as failed: its device failed
// (an I/O error, unplugged) or cannot be used (not there, still starting,
// refused), or the library itself is missing. The drive under way ends with
// it shown.
struct PortIoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One binding: the entry points looked up for one operation. A missing library
// or entry point leaves its pointer null; the calls below then fail as a
// missing device does (a status read or a motor code throws; a 0 goes
// nowhere), and standard error hears of it once.
struct PortIoLibrary {
    using Inp32Fn = short (*)(short port);
    using Out32Fn = void (*)(short port, short value);
    // Optional entry points (portio/PortIoExports.h): the text of a failed
    // access since the last call; the library's next message for the
    // operator; its device and state in one line. Each returns null where the
    // library has nothing to say; libraries without them never say it.
    using LastErrorFn = const char *(*)();
    using MessageFn = const char *(*)();
    using StatusFn = const char *(*)();

    void *Handle = nullptr;
    Inp32Fn Inp32 = nullptr;
    Out32Fn Out32 = nullptr;
    LastErrorFn LastError = nullptr;
    MessageFn Message = nullptr;
    StatusFn Status = nullptr;

    // Both throw PortIoError when the library reports the access as failed.
    // The library's messages said meanwhile go to the error display, after
    // the handler under way.
    short In(short port) const;
    // Once the program has been asked to end, a data-register write carries 0
    // whatever the caller wanted: nothing drives on after that.
    void Out(short port, short value) const;
    // Writes 0 to the data register and swallows any failure: the way out of
    // a pulse or a loop that has already failed.
    void MotorsOff() const noexcept;
};

// Loads the library by name and looks up "Inp32", then "Out32". Never unloads:
// every binding adds one reference that stays until the process ends.
PortIoLibrary BindPortIoLibrary();

// The last resort of a crash handler: 0 to the data register through the
// entry point bound last, if any. Takes no lock and allocates nothing.
void MotorsOffLastChance() noexcept;

// 0 to the data register through the entry point bound last, when the
// program's last write there left a motor code; nothing otherwise. For a stop
// that comes between two writes of a drive.
void MotorsOffIfRunning() noexcept;

// The port in use and its state in one line, for the window's status line
// (poll it about twice a second on the GUI thread): the library's
// PortIoStatus, or the library's file as the loader found it where the
// library has no such entry point, or why it cannot be loaded. Never waits on
// the device. The first call starts the device's opening in the background,
// so call it at start-up. The library's messages said meanwhile go to the
// error display, after the handler under way.
std::string PortIoStatusLine();

// The robot's camera over the network, where the port library in use serves
// one (the remote library: portio/PortIoExports.h, PortIoCameraWant and
// PortIoCameraTime); both null otherwise, and while the library is not
// loaded yet (the status line loads it at start-up).
struct PortIoCamera {
    using WantFn = int (*)(int port, int on);
    using TimeFn = long long (*)(long long robotNs);
    WantFn Want = nullptr;
    TimeFn Time = nullptr;
    explicit operator bool() const { return Want && Time; }
};
PortIoCamera LoadedPortIoCamera();

// For tests: asks the loader for another file name (nullptr restores the default).
void SetPortIoLibraryFileNameForTesting(const char *fileName);
