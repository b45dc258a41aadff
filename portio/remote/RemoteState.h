#pragma once
// What the remote port library makes of what it knows about its link at one
// moment: whether an access may use the robot, and if not, what to tell the
// operator and what to do. No I/O; the library gathers the view under its
// lock and calls these.
#include <cstdint>
#include <string>
#include <vector>

namespace remotelink {

enum class Presence { Unknown, Online, Offline };

struct LinkView {
    std::string Name;         // ROBOT_NAME; empty when not set
    std::string Broker;       // the broker's address as text
    std::string SetUpProblem; // a setting refused (address, credentials file, lease)
    bool Connected = false;
    bool Tried = false;        // a first attempt to connect has ended
    std::string BrokerProblem; // why the last attempt failed or the link broke
    bool Refused = false;      // the broker turned us away (credentials)
    bool HasLogin = false;     // ROBOT_BROKER_CREDENTIALS gave a user
    std::string User;          // that user
    Presence Robot = Presence::Unknown;
    bool PresenceSettled = false; // long enough subscribed for a retained presence to have come
    bool Busy = false;            // the node said another program drives
    // Asking for a session for UnansweredMs without an answer (a grant or a
    // refusal): the broker drops this user's requests, or the node is held up.
    bool Unanswered = false;
    bool Session = false;
    bool ClockMatched = false; // the first round trips of the session are in
    bool HasStatus = false;
    int64_t StatusAgeMs = 0;
    int StatusLimitMs = 0;
    bool StatusOk = true;
    std::vector<std::string> Online; // without a name: the robots online
    uint64_t Ignored = 0;            // messages not ours
};

// The kit's states of a device (PortIoStatus).
enum class LinkState { Starting, Connected, Absent, Lost, Unusable };

struct Judgement {
    LinkState State = LinkState::Starting;
    std::string Why;  // empty when connected
    std::string ToDo; // what the operator can do about it
};

Judgement Judge(const LinkView &view);
// "remote robot NAME at BROKER: connected", "...: absent (why)", for the
// window's status line.
std::string StatusLine(const LinkView &view, const Judgement &judgement);
// The text of a failed access: the robot, why, and what to do.
std::string FailureText(const LinkView &view, const Judgement &judgement);

} // namespace remotelink
