#pragma once
// How the port guard switches each kind of device's motors off. The guard
// (port-guard, a process of its own) keeps the orders the port library gave
// it (portkit::GuardOrder) and runs the routine of each order's kind when the
// program has been stopped holding a motor code, or has gone without a word.
//
// A device registers its routine in its own folder: a source file of its has
//
//   const portguard::GuardRoutine registered{GpioKind, ZeroGpioFromGuard};
//
// and its CMakeLists.txt gives that file to the guard (robot_guard_routine,
// portio/CMakeLists.txt); the guard itself has no list of devices. The
// routines are built into the guard rather than loaded at its start from the
// library that started it: the guard acts when the program is stopped or
// dead, and then nothing may stand between it and the 0, not a library to
// load (a test's copy loaded by path, since removed or rebuilt) nor a second
// copy of the kit in the guard's process. A kind is one character, unique
// among the devices (the order's Kind).
//
// A routine runs in the guard process, on its copy of the device's open file
// when the order came with one, and must not wait long: the guard has 200 ms
// for a stopped program and a second for a vanished one, all devices
// included.
#include <array>
#include <cstdio>
#include <string>

namespace portguard {

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

namespace detail {
inline std::array<ZeroRoutine, 256> &Routines()
{
    static std::array<ZeroRoutine, 256> routines{};
    return routines;
}
} // namespace detail

// Registers `routine` for the orders of `kind`, at the program's start. A
// kind registered twice keeps its first routine, and says so.
class GuardRoutine {
public:
    GuardRoutine(char kind, ZeroRoutine routine)
    {
        ZeroRoutine &slot = detail::Routines()[static_cast<unsigned char>(kind)];
        if (slot && slot != routine)
            std::fprintf(stderr, "port-guard: two zeroing routines for the kind '%c'; the first is kept\n", kind);
        else
            slot = routine;
    }
};

// The routine for `kind`, or nullptr.
inline ZeroRoutine FindZeroRoutine(char kind) { return detail::Routines()[static_cast<unsigned char>(kind)]; }

} // namespace portguard
