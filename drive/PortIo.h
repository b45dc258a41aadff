#pragma once
// Binding of the port I/O library. The library is found by name through the
// dynamic loader, so the loader's search path decides which file answers: the
// hardware library next to the program, or another one put first on
// LD_LIBRARY_PATH (the recording library, the virtual robot's library).
#include <cstdint>

// Parallel-port registers, as I/O addresses of the first port (base 0x378).
constexpr short DataPort = 888;   // 0x378, data register D0..D7 (pins 2..9): motor codes
constexpr short StatusPort = 889; // 0x379, status register S3..S7 (pins 15, 13, 12, 10, 11): sensors

// The file name the loader is asked for.
constexpr const char *PortIoLibraryFileName = "libinpout32.so";

// One binding: the entry points looked up for one operation. A missing library
// or entry point leaves its pointer null; the calls below then do nothing
// (writes go nowhere, reads return 0) and the operator is told once.
struct PortIoLibrary {
    using Inp32Fn = short (*)(short port);
    using Out32Fn = void (*)(short port, short value);

    void *Handle = nullptr;
    Inp32Fn Inp32 = nullptr;
    Out32Fn Out32 = nullptr;

    short In(short port) const { return Inp32 ? Inp32(port) : 0; }
    void Out(short port, short value) const
    {
        if (Out32)
            Out32(port, value);
    }
};

// Loads the library by name and looks up "Inp32", then "Out32". Never unloads:
// every binding adds one reference that stays until the process ends.
PortIoLibrary BindPortIoLibrary();

// For tests: asks the loader for another file name (nullptr restores the default).
void SetPortIoLibraryFileNameForTesting(const char *fileName);
