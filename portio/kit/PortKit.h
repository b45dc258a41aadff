#pragma once
// The kit every port library is built from. A library is this kit plus one
// backend: the exports (Inp32, Out32, PortIoLastError, PortIoStatus,
// PortIoMessage), the trace (ROBOT_PORT_TRACE), the port guard, the messages
// said once and the failure kept for the program all live in the kit; the
// backend only reaches its device.
//
// A library defines MakePortBackend(). The kit calls it at the first access
// (or the first PortIoStatus) and calls the backend only under the kit's one
// lock, so a backend needs no lock of its own for what the kit calls. Besides
// the program's accesses, the kit's watch (KitWatch.h) calls it from a thread
// of its own, under the same lock. A backend that works on a thread of its
// own (opening a device in the background) hands its results over under a
// lock of its own.
//
// No drive without a device: while its device cannot be used, a backend
// fails (Services::Fail) every access that needs it, a status read or a
// motor code, so the program ends what it was doing with the error shown; a
// 0 to the data register then goes nowhere without a failure (nothing runs).
#include <cstdint>
#include <memory>
#include <string>

namespace portkit {

// How the guard switches one device's motors off when the program is
// stopped (SIGSTOP, a debugger) or has gone without a word (kill -9). The
// guard is a process of its own (port-guard); it runs the zeroing routine of
// `Kind` (registered in portio/kit/GuardRoutines.h) on `Fd` and `Payload`.
struct GuardOrder {
    char Kind = 0;       // whose routine; 0 withdraws the order of its slot
    int Fd = -1;         // the device's open file, shared with the guard (a
                         // copy goes with the order; this one stays the
                         // backend's), or -1
    std::string Payload; // what else the routine needs, in its own format
};

// The guard's orders are kept per slot, so a backend with several devices
// (ports) gives each its own; slot 0 is the kit's own (the trace).
constexpr int GuardSlots = 16;
constexpr int TraceGuardSlot = 0;

// What the kit does for a backend.
class Services {
public:
    // Tells the operator something, once per `key` for the life of the
    // process: "inpout32: <text>" on standard error, and the program's window
    // (PortIoMessage). Said during an access that fails, it reaches the
    // window through the failure (PortIoLastError) instead, not twice.
    virtual void Say(const std::string &key, const std::string &text) = 0;
    // As Say, on standard error only: for a device that is simply not there,
    // which the status line (PortIoStatus) and every drive it ends show.
    virtual void Note(const std::string &key, const std::string &text) = 0;
    // An access failed, or needed a device that cannot be used: `text` (what
    // failed and why, naming the device, with what to do) is kept for
    // PortIoLastError, so the program ends what it was doing with it shown.
    virtual void Fail(const std::string &text) = 0;
    // Tells the guard how to switch this device's motors off, replacing the
    // order of `slot` (1 .. GuardSlots - 1).
    virtual void Guard(int slot, const GuardOrder &order) = 0;
    // CLOCK_MONOTONIC time of the access under way, as its trace line has it.
    virtual int64_t AccessNs() const = 0;

protected:
    ~Services() = default;
};

// One library's device as the program's two registers (and any other I/O
// address it asks for) see it.
class PortBackend {
public:
    virtual ~PortBackend() = default;
    // A failed access goes to Services::Fail; a read then gives 0.
    virtual short In(uint16_t address) = 0;
    virtual void Out(uint16_t address, short value) = 0;
    // One line naming the device and its state, "<library> <device>:
    // connected" (or starting, absent (why), lost (why), unusable (why)).
    // Never waits on the device; the first call starts opening it where a
    // first access would, in the background.
    virtual std::string Status() = 0;
    // The guard switched the motors off while the program was stopped; the
    // next write must find the device ready again.
    virtual void AfterGuardCut() {}
    // A descriptor that turns readable when the device has sent something
    // (a board's reports), or -1. The kit's watch waits on it and then calls
    // TakeInput, so a device that sends without pause is read whether or not
    // the program reads; asked again after every access.
    virtual int InputFd() const { return -1; }
    // Takes in what the device has sent, without waiting; keeps only the
    // latest state. A failure goes to Services::Fail, as in an access.
    virtual void TakeInput() {}
    // The program ends normally: the motors off where the device needs a
    // word for it, then the device let go. No access follows.
    virtual void Close() = 0;
};

// `text` as a message may quote it: at most `max` characters, "..." after a
// cut, control characters as '?'.
inline std::string Quoted(const std::string &text, size_t max = 60)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < max; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        out += byte < 0x20 || byte == 0x7f ? '?' : text[i];
    }
    return text.size() > max ? out + "..." : out;
}

} // namespace portkit

// Defined by each port library: its backend, made at the first access.
std::unique_ptr<portkit::PortBackend> MakePortBackend(portkit::Services &services);
