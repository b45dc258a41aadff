// The virtual robot's port library: Inp32/Out32 passed on to the simulator
// (robot-sim) over its local socket, with the same trace as the recording
// library.
//
// ROBOT_SIM_SOCKET  the simulator's socket (default: robot-sim.sock in
//                   XDG_RUNTIME_DIR when that is a private folder)
// ROBOT_PORT_TRACE  file that receives one line per access, flushed at once:
//                   <CLOCK_MONOTONIC ns>,<W|R>,<port>,<value>
//
// Every access carries its CLOCK_MONOTONIC time, so the simulator moves the
// robot by exactly the time between two writes. Nothing here waits long on
// the simulator: without one (not started, crashed, gone) writes go nowhere
// and reads return 0, said once on standard error; the connection is tried
// again at most once a second. A server of another user at the socket's path
// is refused (it would drive with made-up sensor readings), said once as well.
#include "core/Clock.h"
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
// What the operator was last told about the simulator being out of reach
// (empty: nothing since it was last reachable), so that each problem is said
// once.
std::string g_told;

void NoteReachable(bool reachable)
{
    if (reachable) {
        g_told.clear();
        return;
    }
    const std::string &path = g_link.Path();
    std::string message;
    switch (g_link.Problem()) {
    case simproto::LinkProblem::NoPath:
        message = "robot: the virtual robot's socket is not known (ROBOT_SIM_SOCKET is not set and "
                  "XDG_RUNTIME_DIR is not a private folder); motor commands go nowhere and sensor "
                  "readings are 0.";
        break;
    case simproto::LinkProblem::OtherUser: {
        const uid_t user = g_link.RefusedUser();
        message = "robot: refusing the server at " + path + ": " +
                  (user == static_cast<uid_t>(-1) ? std::string("its user cannot be told")
                                                  : "it belongs to user " + std::to_string(user)) +
                  ", so it is not this user's virtual robot; motor commands go nowhere and sensor "
                  "readings are 0.";
        break;
    }
    default:
        message = "robot: the virtual robot (robot-sim) does not answer at " + path +
                  "; motor commands go nowhere and sensor readings are 0 until it does.";
        break;
    }
    if (message == g_told)
        return;
    g_told = message;
    std::fprintf(stderr, "%s\n", message.c_str());
}
} // namespace

short Inp32(short port)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const int64_t ns = MonotonicNs();
    const std::optional<int16_t> answer = g_link.Read(port, ns, ReadTimeoutMs);
    NoteReachable(answer.has_value());
    const short value = answer.value_or(0);
    g_trace.Record('R', port, value, ns);
    return value;
}

void Out32(short port, short value)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const int64_t ns = MonotonicNs();
    NoteReachable(g_link.Write(port, value, ns));
    g_trace.Record('W', port, value, ns);
}
