// The recording port library: a software register file for tests and for
// trying the program without hardware.
//
// ROBOT_PORT_TRACE   file that receives one line per access, flushed at once:
//                    <CLOCK_MONOTONIC ns>,<W|R>,<port>,<value>
// ROBOT_STATUS_SCRIPT file of whitespace-separated decimal values; each read of
//                    the status register takes the next, the last one repeats.
//                    Without it the status register reads 254 (nothing fires).
// Both are looked at on every access, so a test may point them elsewhere; a new
// script file name starts from its first value.
//
// A guard process started at the first access appends a write of 0 to the
// trace when the program dies without ending normally (see PortGuard.h).
#include "core/RobotWiring.h"
#include "portio/PortGuard.h"
#include "portio/PortIoExports.h"
#include "portio/PortTrace.h"
#include "portio/recording/StatusScript.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {
short g_data = 0;

PortTrace g_trace;

// Stands down at a normal end of the program (a static object's destructor).
PortGuard g_guard(DataPort);

// Starts the guard at the first access and keeps it told of the trace.
void Guard()
{
    g_guard.Start();
    const char *trace = std::getenv("ROBOT_PORT_TRACE");
    g_guard.GuardTrace(trace ? trace : "");
}

struct StatusScript {
    std::string path;
    std::vector<short> values;
    size_t next = 0;

    short Read()
    {
        const char *wanted = std::getenv("ROBOT_STATUS_SCRIPT");
        if (!wanted || !*wanted)
            return StatusIdle;
        if (path != wanted) {
            path = wanted;
            values.clear();
            next = 0;
            StatusScriptValues script = ReadStatusScript(wanted);
            values = std::move(script.values);
            if (!script.problem.empty())
                std::fprintf(stderr, "recording port library: ROBOT_STATUS_SCRIPT %s: %s\n", wanted,
                             script.problem.c_str());
        }
        if (values.empty())
            return StatusIdle;
        const short v = values[next];
        if (next + 1 < values.size())
            ++next;
        return v;
    }
} g_script;

} // namespace

short Inp32(short port)
{
    Guard();
    short value = 0;
    if (port == StatusPort)
        value = g_script.Read();
    else if (port == DataPort)
        value = g_data;
    g_trace.Record('R', port, value);
    return value;
}

void Out32(short port, short value)
{
    Guard();
    if (port == DataPort)
        g_data = value;
    g_trace.Record('W', port, value);
}
