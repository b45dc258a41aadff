// The virtual robot's port library: the port library kit (portio/kit/) with a
// backend that passes Inp32/Out32 on to the simulator (robot-sim) over its
// local socket.
//
// ROBOT_SIM_SOCKET  the simulator's socket (default: robot-sim.sock in
//                   XDG_RUNTIME_DIR when that is a private folder)
//
// Every access carries its CLOCK_MONOTONIC time (the one its trace line has),
// so the simulator moves the robot by exactly the time between two writes.
// Nothing here waits long on the simulator: without one (not started,
// crashed, gone) every access that needs it (a read, a motor code) fails with
// the reason, so the drive under way ends with it shown, and a 0 goes
// nowhere; each problem is said once. The connection is tried again at most
// once a second. A server of another user at the socket's path is refused
// (it would drive with made-up sensor readings).
#include "core/RobotWiring.h"
#include "portio/kit/PortKit.h"
#include "sim/protocol/SimLink.h"

#include <string>

namespace {
// How long a read waits for the simulator's answer.
constexpr int ReadTimeoutMs = 200;

class SimBackend final : public portkit::PortBackend {
public:
    explicit SimBackend(portkit::Services &services) : services_(services) {}

    short In(uint16_t address) override
    {
        const std::optional<int16_t> answer =
            link_.Read(static_cast<int16_t>(address), services_.AccessNs(), ReadTimeoutMs);
        if (!answer) {
            services_.Fail(link_.Connected() ? "the virtual robot (robot-sim) did not answer a read within " +
                                                   std::to_string(ReadTimeoutMs) + " ms"
                                             : Problem(true));
            return 0;
        }
        return *answer;
    }

    void Out(uint16_t address, short value) override
    {
        const bool wasConnected = link_.Connected();
        if (link_.Write(static_cast<int16_t>(address), value, services_.AccessNs()))
            return;
        // A write the simulator did not take fails the drive; a 0 that finds
        // no simulator at all goes nowhere (nothing runs).
        if (wasConnected && link_.Connected())
            services_.Fail("the virtual robot (robot-sim) did not take a write within a short while");
        else if (wasConnected || value != 0)
            services_.Fail(Problem(true));
    }

    std::string Status() override
    {
        link_.Connect();
        const std::string text = "virtual robot" + (link_.Path().empty() ? "" : " " + link_.Path()) + ": ";
        if (link_.Connected())
            return text + "connected";
        return text + (link_.Problem() == simproto::LinkProblem::OtherUser ? "unusable (" : "absent (") +
               portkit::Quoted(Problem(false), 120) + ")";
    }

    void Close() override { link_.Disconnect(); }

private:
    // Why the simulator cannot be reached, said once per kind; `fix` adds
    // what to do.
    std::string Problem(bool fix)
    {
        const std::string &path = link_.Path();
        std::string key, text, todo;
        switch (link_.Problem()) {
        case simproto::LinkProblem::NoPath:
            key = "no-path";
            text = "the virtual robot's socket is not known (ROBOT_SIM_SOCKET is not set and XDG_RUNTIME_DIR "
                   "is not a private folder)";
            todo = "Start the program with ./run, or name robot-sim's socket in ROBOT_SIM_SOCKET.";
            break;
        case simproto::LinkProblem::OtherUser: {
            const uid_t user = link_.RefusedUser();
            key = "other-user";
            text = "refusing the server at " + path + ": " +
                   (user == static_cast<uid_t>(-1) ? std::string("its user cannot be told")
                                                   : "it belongs to user " + std::to_string(user)) +
                   ", so it is not this user's virtual robot";
            todo = "Start your own robot-sim (./run starts it), or name its socket in ROBOT_SIM_SOCKET.";
            break;
        }
        case simproto::LinkProblem::None:
        case simproto::LinkProblem::NoAnswer:
            key = "no-answer";
            text = "the virtual robot (robot-sim) does not answer at " + path;
            todo = "Start it (./run starts it with the program); the program finds it within a second.";
            break;
        }
        // The status line shows a simulator that is not there; a server of
        // another user the window hears of too.
        if (key == "other-user")
            services_.Say(key, text + ". No drive runs until it answers. " + todo);
        else
            services_.Note(key, text + ". No drive runs until it answers. " + todo);
        return fix ? text + ". " + todo : text;
    }

    portkit::Services &services_;
    simproto::SimLink link_;
};
} // namespace

std::unique_ptr<portkit::PortBackend> MakePortBackend(portkit::Services &services)
{
    return std::make_unique<SimBackend>(services);
}
