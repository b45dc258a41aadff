#include "portio/remote/RemoteState.h"

namespace remotelink {
namespace {
std::string List(const std::vector<std::string> &names)
{
    std::string out;
    for (const std::string &name : names)
        out += (out.empty() ? "" : ", ") + name;
    return out;
}

std::string Device(const LinkView &view)
{
    return "remote robot " + (view.Name.empty() ? std::string() : view.Name + " ") + "at " + view.Broker;
}

const char *StateWord(LinkState state)
{
    switch (state) {
    case LinkState::Starting: return "starting";
    case LinkState::Connected: return "connected";
    case LinkState::Absent: return "absent";
    case LinkState::Lost: return "lost";
    case LinkState::Unusable: return "unusable";
    }
    return "unusable";
}
} // namespace

Judgement Judge(const LinkView &view)
{
    if (!view.SetUpProblem.empty())
        return {LinkState::Unusable, view.SetUpProblem, "Correct the setting and start the program again."};
    if (view.Refused)
        return {LinkState::Unusable, view.BrokerProblem,
                view.HasLogin ? "Check the user and password in the file ROBOT_BROKER_CREDENTIALS names, and the "
                                "broker's users and rights."
                              : "The broker wants a user: name a file with user=NAME and password=SECRET lines "
                                "(chmod 600) in ROBOT_BROKER_CREDENTIALS."};
    if (!view.Connected) {
        if (!view.Tried)
            return {LinkState::Starting, "connecting to the broker", ""};
        return {LinkState::Absent, "cannot reach the broker (" + view.BrokerProblem + ")",
                "Is the broker running there, and is ROBOT_BROKER right? The library tries again every second."};
    }
    if (view.Name.empty()) {
        if (!view.PresenceSettled)
            return {LinkState::Starting, "looking for the robots online", ""};
        return {LinkState::Unusable,
                "ROBOT_NAME is not set; " +
                    (view.Online.empty() ? std::string("no robot is online at this broker")
                                         : "robots online: " + List(view.Online)),
                "Start the program with ROBOT_NAME set to the robot's name."};
    }
    if (view.Busy)
        return {LinkState::Unusable, "another program drives this robot",
                "End that program (a killed one frees the robot after 3 s), then drive again."};
    if (!view.Session) {
        if (view.Robot == Presence::Online && view.Unanswered)
            return {LinkState::Unusable,
                    "the robot does not answer this program: the broker's access list does not let " +
                        (view.HasLogin ? "the user " + view.User : std::string("this client")) +
                        " drive it, or its robot-node is held up",
                    "Ask whoever keeps the broker to grant " +
                        (view.HasLogin ? view.User : std::string("your user")) + " the robot " + view.Name +
                        " (write robot/" + view.Name + "/drive, read robot/" + view.Name +
                        "/+), or see robot-node's log on the robot's computer."};
        if (view.Robot == Presence::Online || !view.PresenceSettled)
            return {LinkState::Starting, "waiting for the robot's answer", ""};
        return {LinkState::Absent, "the robot is not online (no robot-node serves this name at this broker)",
                "Start robot-node on the robot's computer with ROBOT_NAME=" + view.Name + " and this broker."};
    }
    if (!view.HasStatus || !view.ClockMatched)
        return {LinkState::Starting, "waiting for the robot's first status", ""};
    if (view.StatusAgeMs > view.StatusLimitMs)
        return {LinkState::Lost,
                "the robot's status is " + std::to_string(view.StatusAgeMs) + " ms old (the limit is " +
                    std::to_string(view.StatusLimitMs) + " ms)",
                "The network to the robot is too slow or cut; the robot stops its motors by itself when their "
                "lease lapses."};
    if (!view.StatusOk)
        return {LinkState::Lost, "the robot's own port failed", "See robot-node's log on the robot's computer."};
    return {LinkState::Connected, "", ""};
}

std::string StatusLine(const LinkView &view, const Judgement &judgement)
{
    std::string line = Device(view) + ": " + StateWord(judgement.State);
    if (judgement.State != LinkState::Connected && !judgement.Why.empty())
        line += " (" + judgement.Why + ")";
    if (view.Ignored > 0)
        line += "; " + std::to_string(view.Ignored) + " messages not ours ignored";
    return line;
}

std::string FailureText(const LinkView &view, const Judgement &judgement)
{
    std::string text = Device(view) + ": " + judgement.Why;
    if (judgement.State == LinkState::Starting)
        text += " (still starting)";
    return judgement.ToDo.empty() ? text : text + ". " + judgement.ToDo;
}

} // namespace remotelink
