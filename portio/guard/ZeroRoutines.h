#pragma once
// How the port guard switches each kind of device's motors off. The guard
// (port-guard, a process of its own) keeps the orders the port library gave
// it (portkit::GuardOrder) and runs the routine of each order's kind when the
// program has been stopped holding a motor code, or has gone without a word.
//
// A routine runs in the guard process, on its copy of the device's open file
// when the order came with one, and must not wait long: the guard has 200 ms
// for a stopped program and a second for a vanished one, all devices
// included.
#include <string>

namespace portguard {

// The kinds of order (GuardOrder::Kind).
constexpr char ParportKind = 'P'; // a claimed ppdev device: its open file
constexpr char FtdiKind = 'U';    // an FTDI adapter: where it is on the bus (no file)
constexpr char GpioKind = 'G';    // GPIO lines: the open line request holding the motor lines
constexpr char FirmataKind = 'S'; // a Firmata board: its open serial device

enum class Situation {
    // The program is stopped (SIGSTOP, a debugger) and may go on later: write
    // 0 through what the program holds, let nothing go.
    ProgramStopped,
    // The program has gone: write 0, then let the device go.
    ProgramGone,
};

// `fd`: the guard's copy of the device's open file, or -1; `payload`: the
// order's payload. The routine closes nothing it was not given for that.
using ZeroRoutine = void (*)(int fd, const std::string &payload, Situation situation);

// The routine for `kind`, or nullptr.
ZeroRoutine FindZeroRoutine(char kind);

} // namespace portguard
