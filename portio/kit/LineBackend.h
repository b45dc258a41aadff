#pragma once
// The kit's backend for a device with lines (LineDevice.h); LineBackend.cpp
// says what it does. A line library gets it through LineLibrary.cpp, which
// makes it for the library's own device; the tests make it for a fake one.
#include "core/Clock.h"
#include "portio/kit/LineDevice.h"
#include "portio/kit/PortKit.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace portkit {

// How often the backend looks for a device again, on which clock, and how
// long an access waits for an opening under way.
struct LineTimes {
    int64_t RetryNs = 1'000'000'000;
    int64_t AccessWaitNs = 300'000'000;
    std::function<int64_t()> Now = MonotonicNs; // when to look again
};

// The backend over devices `make` makes (afresh for each attempt), of `kind`.
// The backend keeps `kind`; `services` outlives it.
std::unique_ptr<PortBackend> MakeLineBackend(Services &services, const DeviceKind &kind,
                                             std::function<std::unique_ptr<LineDevice>()> make,
                                             LineTimes times = {});

} // namespace portkit
