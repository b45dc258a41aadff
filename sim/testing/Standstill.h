// Where a drive on the virtual robot stood still, read from its port trace
// and the simulator's samples: the obstacle-field test and the long runs
// behind its figures (bench/figures/ObstacleFieldRuns.cpp) read them alike.
#pragma once

#include "sim/testing/SimFixture.h"

#include "core/RobotWiring.h"

#include <vector>

namespace standstill {
// The drive's standstill as it comes (3000 ms): a write of 0 held this long
// is one; the short zeros between pulses are not.
constexpr double StandstillMs = 2900;

// When the first standstill of at least StandstillMs began (trace time), or -1.
inline int64_t FirstStandstill(const std::vector<PortAccess> &trace)
{
    const PortAccess *off = nullptr;
    for (const PortAccess &a : trace) {
        if (a.kind != 'W' || a.port != DataPort)
            continue;
        if (off && a.value != 0 && (a.ns - off->ns) / 1e6 >= StandstillMs)
            return off->ns;
        if (a.value == 0 && !off)
            off = &a;
        else if (a.value != 0)
            off = nullptr;
    }
    return -1;
}

// The odometer where the robot first stood still for `ms` (samples only).
inline double OdometerAtFirstStop(const std::vector<SimState> &samples, double ms)
{
    for (size_t i = 0; i < samples.size(); ++i)
        for (size_t j = i + 1; j < samples.size() && samples[j].odometer == samples[i].odometer; ++j)
            if ((samples[j].t - samples[i].t) / 1e6 >= ms)
                return samples[i].odometer;
    return -1;
}
} // namespace standstill
