// The guard's routine for an FTDI adapter. It runs in the port guard, a
// process of its own, so it opens the adapter on a libusb context of its own.
//
// ProgramGone: the program's usbfs file closed with it, and with it the
// claim; the routine opens the adapter by its bus path, claims it, drives
// the motor lines at 0 (the same mode set-up the program does, outputs at 0
// before they become outputs) and lets go. The chip keeps driving them low.
// The kernel may let go of the dead program's claim a moment after the
// guard hears of its end: the claim is tried again for a while. Should it
// never come, the routine falls back to what it does for a stopped program.
//
// ProgramStopped: the stopped program still holds the adapter's interface,
// so no claim can be had. SET_BITMODE is a vendor request to the device,
// which usbfs passes without a claim: bit-bang with an empty mask makes all
// eight lines inputs. The motor driver's inputs then float, and the pull-down
// resistors on them hold the motors off. The program, when it goes on, sets
// its mode again before its next write (FtdiDevice::AfterGuardCut).
#include "portio/ftdi/FtdiGuard.h"

#include "core/Clock.h"
#include "portio/ftdi/FtdiAdapter.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace {
using namespace ftdiport;

// The guard has 200 ms for a stopped program and a second for a vanished
// one, all devices included.
constexpr int StoppedRequestMs = 100;
constexpr int64_t ClaimTriesNs = 500'000'000;
constexpr auto ClaimRetry = std::chrono::milliseconds(20);

struct Order {
    std::string Path;
    uint8_t Outputs = 0;
    bool Valid = false;
};

Order ParsePayload(const std::string &payload)
{
    Order order;
    std::istringstream words(payload);
    std::string word;
    bool outputs = false;
    while (words >> word) {
        if (word.rfind("path=", 0) == 0) {
            order.Path = word.substr(5);
        } else if (word.rfind("outputs=", 0) == 0) {
            char *end = nullptr;
            const unsigned long mask = std::strtoul(word.c_str() + 8, &end, 16);
            outputs = end && !*end && mask <= 0xFF && word.size() > 8;
            order.Outputs = uint8_t(mask);
        }
    }
    order.Valid = outputs && LooksLikeBusPath(order.Path);
    return order;
}

void Say(const Order &order, const std::string &text)
{
    std::fprintf(stderr, "port-guard: FTDI adapter at USB %s: %s\n", order.Path.c_str(), text.c_str());
}

// Opens and claims the adapter, trying again while the dead program's claim lingers.
std::unique_ptr<FtdiAdapter> ClaimAdapter(const Order &order, std::string &why)
{
    const int64_t deadline = MonotonicNs() + ClaimTriesNs;
    std::string error;
    std::unique_ptr<FtdiAdapter> adapter = FtdiAdapter::Create(error);
    if (!adapter) {
        why = error;
        return nullptr;
    }
    for (;;) {
        OpenFailure failure = OpenFailure::Absent;
        std::string detail = "not on the bus";
        for (const FoundAdapter &found : adapter->List())
            if (found.BusPath == order.Path && found.Kind != ChipKind::Other) {
                if (adapter->Open(found, failure, detail))
                    return adapter;
                break;
            }
        why = detail;
        if (failure != OpenFailure::HeldByProgram || MonotonicNs() >= deadline)
            return nullptr;
        std::this_thread::sleep_for(ClaimRetry);
    }
}

} // namespace

const portguard::GuardRoutine registered{portguard::FtdiKind, ZeroFtdiFromGuard};

void ZeroFtdiFromGuard(int, const std::string &payload, portguard::Situation situation)
{
    const Order order = ParsePayload(payload);
    if (!order.Valid) {
        std::fprintf(stderr, "port-guard: an FTDI order it cannot read: \"%s\"\n", payload.c_str());
        return;
    }
    std::string why;
    if (situation == portguard::Situation::ProgramGone) {
        if (std::unique_ptr<FtdiAdapter> adapter = ClaimAdapter(order, why)) {
            if (adapter->EnterLineMode(order.Outputs))
                return; // lets go as it ends; the chip goes on driving the lines low
            why = adapter->LastError();
        }
        Say(order, "cannot claim it (" + why + "); making its lines inputs instead");
    }
    if (!MakeAllLinesInputs(order.Path, StoppedRequestMs, why))
        Say(order, "cannot make its lines inputs: " + why);
}
