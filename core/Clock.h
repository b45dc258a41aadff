#pragma once
// The one clock of the program, the port libraries and the virtual robot:
// CLOCK_MONOTONIC in nanoseconds. The port traces, the virtual robot's
// timestamps, the motor pulses and the capture windows' frame times all read
// it, so their times compare across processes. Plain C++; safe in a signal
// handler and in a child forked from a threaded process.
#include <cstdint>
#include <ctime>

inline int64_t MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
