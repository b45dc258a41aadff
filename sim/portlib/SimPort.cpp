// The virtual robot's port library: Inp32/Out32 passed on to the simulator
// (robot-sim) over its local socket, with the same trace as the recording
// library.
//
// ROBOT_SIM_SOCKET  the simulator's socket (default: robot-sim.sock in
//                   XDG_RUNTIME_DIR, else /tmp/robot-sim-<uid>.sock)
// ROBOT_PORT_TRACE  file that receives one line per access, flushed at once:
//                   <CLOCK_MONOTONIC ns>,<W|R>,<port>,<value>
//
// Every access carries its CLOCK_MONOTONIC time, so the simulator moves the
// robot by exactly the time between two writes. Nothing here waits long on
// the simulator: without one (not started, crashed, gone) writes go nowhere
// and reads return 0, said once on standard error; the connection is tried
// again at most once a second.
#include "portio/PortIoExports.h"
#include "portio/PortTrace.h"
#include "sim/protocol/SimLink.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace {
// How long a read waits for the simulator's answer.
constexpr int ReadTimeoutMs = 200;

std::mutex g_mutex;
simproto::SimLink g_link;
PortTrace g_trace;
// Whether the operator has been told that the simulator is out of reach,
// since the last time it was reachable.
bool g_toldMissing = false;

void NoteReachable(bool reachable)
{
    if (reachable) {
        g_toldMissing = false;
        return;
    }
    if (g_toldMissing)
        return;
    g_toldMissing = true;
    std::fprintf(stderr,
                 "robot: the virtual robot (robot-sim) does not answer at %s; motor commands go "
                 "nowhere and sensor readings are 0 until it does.\n",
                 simproto::SocketPath().c_str());
}
} // namespace

short Inp32(short port)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const int64_t ns = simproto::MonotonicNs();
    const std::optional<int16_t> answer = g_link.Read(port, ns, ReadTimeoutMs);
    NoteReachable(answer.has_value());
    const short value = answer.value_or(0);
    g_trace.Record('R', port, value, ns);
    return value;
}

void Out32(short port, short value)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const int64_t ns = simproto::MonotonicNs();
    NoteReachable(g_link.Write(port, value, ns));
    g_trace.Record('W', port, value, ns);
}
