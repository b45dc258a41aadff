#pragma once
// Binding of the port I/O library. The library is found by name through the
// dynamic loader, so the loader's search path decides which file answers: the
// hardware library next to the program, or another one put first on
// LD_LIBRARY_PATH (the recording library, the virtual robot's library). The
// registers it reaches, DataPort and StatusPort, are in core/RobotWiring.h.
#include "core/RobotWiring.h"

#include <cstdint>
#include <stdexcept>
#include <string>

// The file name the loader is asked for.
constexpr const char *PortIoLibraryFileName = "libinpout32.so";

// A register access that the library reports as failed (the hardware library
// on an I/O error of the device).
struct PortIoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One binding: the entry points looked up for one operation. A missing library
// or entry point leaves its pointer null; the calls below then do nothing
// (writes go nowhere, reads return 0) and the operator is told once.
struct PortIoLibrary {
    using Inp32Fn = short (*)(short port);
    using Out32Fn = void (*)(short port, short value);
    // Optional third entry point: the text of a failed access since the last
    // call, or null. Libraries without it never report one.
    using LastErrorFn = const char *(*)();
    // Optional fourth entry point: one line naming the library's device and
    // its state ("firmata /dev/ttyACM0: connected", "ftdi: absent (...)").
    // Never blocks; its first call starts opening the device in the
    // background; the text stays valid until the next call.
    using StatusFn = const char *(*)();

    void *Handle = nullptr;
    Inp32Fn Inp32 = nullptr;
    Out32Fn Out32 = nullptr;
    LastErrorFn LastError = nullptr;
    StatusFn Status = nullptr;

    // Both throw PortIoError when the library reports the access as failed.
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

// What the operator is shown of the port in use, for the window's status
// line: the library's own line (PortIoStatus) when it has one, else the file
// the loader found, else why no library could be loaded. Control characters
// become spaces; a long line is cut. Tells the error display nothing (the
// first motor command does), and keeps its binding between calls.
std::string PortIoStatusText();

// The last resort of a crash handler: 0 to the data register through the
// entry point bound last, if any. Takes no lock and allocates nothing.
void MotorsOffLastChance() noexcept;

// 0 to the data register through the entry point bound last, when the
// program's last write there left a motor code; nothing otherwise. For a stop
// that comes between two writes of a drive.
void MotorsOffIfRunning() noexcept;

// For tests: asks the loader for another file name (nullptr restores the default).
void SetPortIoLibraryFileNameForTesting(const char *fileName);
