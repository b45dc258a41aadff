#include "portio/firmata/FirmataGuard.h"

#include "core/Clock.h"
#include "portio/firmata/SerialLine.h"

#include <fcntl.h>

namespace {
// Within the guard's 200 ms for a stopped program, all devices included.
constexpr int64_t RoomWaitNs = 100'000'000;
// A vanished program's 0 must reach the board before the guard lets go:
// closing with bytes still queued may drop them.
constexpr int64_t SentWaitNs = 300'000'000;
} // namespace

const portguard::GuardRoutine registered{portguard::FirmataKind, ZeroFirmataFromGuard};

void ZeroFirmataFromGuard(int fd, const std::string &payload, portguard::Situation situation)
{
    if (fd < 0 || payload.empty())
        return;
    // The library opened it so already (the flag belongs to the shared open
    // file); a write must not wait without a limit in any case.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && !(flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const int64_t start = MonotonicNs();
    if (firmata::WriteBefore(fd, payload, start + RoomWaitNs) != 0)
        return;
    if (situation == portguard::Situation::ProgramGone)
        firmata::SentBefore(fd, start + SentWaitNs);
}
