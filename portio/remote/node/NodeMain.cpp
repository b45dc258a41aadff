// robot-node: serves the robot's port to the program through an MQTT broker,
// on the robot's own computer. Headless; says what it does on standard error
// (the journal, under systemd).
//
// ROBOT_NAME                the robot's name (1 to 32 of A-Z a-z 0-9 _ -)
// ROBOT_PORT                the robot's port library: hardware, ftdi, gpio,
//                           firmata, recording or sim, with its own settings
//                           (ROBOT_PINS, ROBOT_SERIAL, ROBOT_SIM_SOCKET, ...)
// ROBOT_BROKER              mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
//                           (default mqtt://127.0.0.1:1883)
// ROBOT_BROKER_CREDENTIALS  a file of "user=" and "password=" lines, readable
//                           by its owner alone
// ROBOT_BROKER_CA           mqtts: the CA certificate (default: the system's)
// ROBOT_NODE_MAX_LEASE_MS   the longest lease a program may ask (default 1000)
// ROBOT_CAPTURE_SOURCE      the robot's camera, as the program chooses one
//                           (unset: the first V4L2 or libcamera camera)
// ROBOT_NODE_CAMERA         "off": serves no camera (default "on")
// ROBOT_NODE_CAMERA_LATE_MS for tests: frames stamped as taken this much
//                           earlier than they were (default 0)
//
// At its start it writes 0 to the data register, then makes sure no other
// node serves the name (a retained "online" of another node that still sends
// its status), announces itself (a retained "online", "offline" as its last
// will) and serves: each write of the session at its time, 0 when a lease
// lapses (LeaseSchedule.h has the rules), the status byte read every 10 ms
// and published at every change and every 50 ms with its time; the camera
// to the programs that ask for it (NodeCamera.h). When its
// link to the broker breaks, 0 at once. SIGTERM, SIGINT or SIGHUP end it
// cleanly: 0, "offline", exit 0. Killed or stopped, its port library's guard
// switches the motors off.
//
// Exit status: 0 a clean end; 2 a setting or the port library refused; 3 the
// name is served by another node; 4 the broker refused the credentials, or
// its access list does not let this node's user serve the robot.
#include "portio/remote/LeaseSchedule.h"
#include "portio/remote/MqttLink.h"
#include "portio/remote/RemoteProtocol.h"
#include "portio/remote/node/LocalPort.h"
#include "portio/remote/node/NodeCamera.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <set>
#include <string>

namespace {
using namespace remoteproto;
using remotenode::Cause;
using remotenode::LeaseSchedule;
using remotenode::LocalPort;

constexpr int64_t Ms = 1'000'000;
constexpr int64_t PollEveryNs = 10 * Ms;            // the status register's reads
constexpr int64_t StatusEveryNs = StatusEveryMs * Ms; // published at least this often
constexpr int64_t OtherNodeWaitNs = 1000 * Ms;      // for a status of a node already online
// A probe that does not come back this long after the connection: the broker
// passes nothing of this node's user on the robot's topics (its access list).
constexpr int64_t ProbeWaitNs = 5000 * Ms;
constexpr int OfflineWaitMs = 300;
constexpr int64_t CameraNoteEveryNs = 500 * Ms; // the camera's thread's notes reach the log this soon
constexpr int RealTimePriority = 50; // as the program's own pulses
constexpr int ExitSettings = 2, ExitNameTaken = 3, ExitRefused = 4;

void Say(const std::string &text) { std::fprintf(stderr, "robot-node: %s\n", text.c_str()); }

std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

struct Settings {
    std::string Name, Port;
    remotelink::Options Link;
    remotenode::Limits Limits;
    bool Camera = true;
    int CameraLateMs = 0;
};

bool ReadSettings(Settings &s, std::string &why)
{
    s.Name = Env("ROBOT_NAME");
    if (s.Name.empty()) {
        why = "ROBOT_NAME is not set: name the robot this node serves";
        return false;
    }
    if (!ValidRobotName(s.Name, &why)) {
        why = "ROBOT_NAME is refused: " + why;
        return false;
    }
    s.Port = Env("ROBOT_PORT");
    if (!LocalPort::Serves(s.Port)) {
        why = "ROBOT_PORT=" + s.Port + " is refused: it must be hardware, ftdi, gpio, firmata, recording, sim or "
                                       "another port library installed with robot-node";
        return false;
    }
    const std::string broker = Env("ROBOT_BROKER").empty() ? "mqtt://127.0.0.1:1883" : Env("ROBOT_BROKER");
    const auto address = ParseBroker(broker, &why);
    if (!address) {
        why = "ROBOT_BROKER=" + broker + " is refused: " + why;
        return false;
    }
    s.Link.Broker = *address;
    s.Link.CaFile = Env("ROBOT_BROKER_CA");
    if (const std::string file = Env("ROBOT_BROKER_CREDENTIALS"); !file.empty()) {
        s.Link.Login = remotelink::ReadCredentials(file, why);
        if (!s.Link.Login) {
            why = "ROBOT_BROKER_CREDENTIALS is refused: " + why;
            return false;
        }
    }
    if (const std::string lease = Env("ROBOT_NODE_MAX_LEASE_MS"); !lease.empty()) {
        const auto ms = ParseMs(lease, MinLeaseMs, MaxLeaseMs);
        if (!ms) {
            why = "ROBOT_NODE_MAX_LEASE_MS=" + lease + " is refused: a whole number of ms from " +
                  std::to_string(MinLeaseMs) + " to " + std::to_string(MaxLeaseMs) + " is wanted";
            return false;
        }
        s.Limits.MaxLeaseNs = *ms * Ms;
    }
    const std::string camera = Env("ROBOT_NODE_CAMERA");
    if (camera != "" && camera != "on" && camera != "off") {
        why = "ROBOT_NODE_CAMERA=" + camera + " is refused: on or off is wanted";
        return false;
    }
    s.Camera = camera != "off";
    if (const std::string late = Env("ROBOT_NODE_CAMERA_LATE_MS"); !late.empty()) {
        const auto ms = ParseMs(late, 0, 10000);
        if (!ms) {
            why = "ROBOT_NODE_CAMERA_LATE_MS=" + late + " is refused: a whole number of ms from 0 to 10000 is wanted";
            return false;
        }
        s.CameraLateMs = *ms;
    }
    return true;
}

// What the link's thread hands to the main thread.
struct Item {
    enum Kind { Connected, Down, Message } What;
    std::string Topic, Text;
    bool Refused = false;
};

class Node {
public:
    Node(Settings settings, LocalPort &port)
        : settings_(std::move(settings)), port_(port), topics_(TopicsOf(settings_.Name)), schedule_(settings_.Limits)
    {
        node_ = RandomId();
        settings_.Link.ClientId = "robot-node-" + settings_.Name + "-" + IdText(node_);
        settings_.Link.WillTopic = topics_.Online;
        settings_.Link.WillPayload = Encode(Offline{node_});
        settings_.Link.WillRetain = true;
        settings_.Link.Subscriptions = {topics_.Online, topics_.Status, topics_.Node, topics_.Drive};
    }

    int Run(int signals)
    {
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        timer_ = timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC | TFD_NONBLOCK);
        if (wake_ < 0 || timer_ < 0) {
            Say("cannot make the main loop's descriptors");
            return ExitSettings;
        }
        remotelink::Handlers handlers;
        handlers.Connected = [this] { Hand({Item::Connected, {}, {}}); };
        handlers.Down = [this](const std::string &why, bool refused) { Hand({Item::Down, {}, why, refused}); };
        handlers.Message = [this](const std::string &topic, const std::string &payload) {
            Hand({Item::Message, topic, payload});
        };
        link_.emplace(settings_.Link, std::move(handlers));
        if (settings_.Camera)
            camera_.emplace(settings_.CameraLateMs);
        link_->Start();
        Say("the robot " + settings_.Name + " on its " + settings_.Port + " port, through " +
            settings_.Link.Broker.Text() + " (node " + IdText(node_) + "): starting");
        if (const std::string note = remotelink::ClearPasswordNote(settings_.Link.Broker, settings_.Link.Login.has_value());
            !note.empty())
            Say(note);
        ZeroAtStart();
        TakeRealTimePriority();
        while (exit_ < 0) {
            const int64_t now = LinkNs();
            TakeItems(now);
            WriteDue(LinkNs());
            ReadStatus(LinkNs());
            Decide(LinkNs());
            TendCamera(LinkNs());
            if (exit_ >= 0)
                break;
            if (!Wait(signals))
                End("a signal");
        }
        camera_.reset();
        link_->Stop();
        return exit_;
    }

private:
    void Hand(Item item)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inbox_.push_back(std::move(item));
        }
        const uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }

    // Waits for the next thing to do; false for an ending signal.
    bool Wait(int signals)
    {
        int64_t next = std::min({schedule_.NextNs(), nextPollNs_, nextCameraNs_});
        if (phase_ == Phase::Checking && probeBackNs_ > 0)
            next = std::min(next, probeBackNs_ + OtherNodeWaitNs);
        if (phase_ == Phase::Checking && probeBackNs_ == 0 && probeSentNs_ > 0)
            next = std::min(next, probeSentNs_ + ProbeWaitNs);
        itimerspec when{};
        const int64_t at = std::max<int64_t>(next, 1);
        when.it_value.tv_sec = at / 1'000'000'000;
        when.it_value.tv_nsec = at % 1'000'000'000;
        timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
        pollfd fds[3] = {{wake_, POLLIN, 0}, {timer_, POLLIN, 0}, {signals, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0)
            return true;
        uint64_t count;
        if (fds[0].revents & POLLIN)
            (void)!read(wake_, &count, sizeof count);
        if (fds[1].revents & POLLIN)
            (void)!read(timer_, &count, sizeof count);
        if (fds[2].revents & POLLIN) {
            signalfd_siginfo info;
            (void)!read(signals, &info, sizeof info);
            return false;
        }
        return true;
    }

    void TakeItems(int64_t now)
    {
        std::deque<Item> items;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items.swap(inbox_);
        }
        for (const Item &item : items) {
            switch (item.What) {
            case Item::Connected: Connected(); break;
            case Item::Down: Down(item.Text, item.Refused); break;
            case Item::Message: Message(item.Topic, item.Text, now); break;
            }
            if (exit_ >= 0)
                return;
        }
    }

    void Connected()
    {
        if (wasDown_)
            Say("connected to the broker again");
        wasDown_ = false;
        if (phase_ == Phase::Checking) {
            probeBackNs_ = 0;
            probeSentNs_ = LinkNs();
            link_->Publish(topics_.Node, Encode(Probe{node_}), 1, false);
        } else {
            Announce();
        }
    }

    void Down(const std::string &why, bool refused)
    {
        if (refused) {
            Say(why + "; check the user and password in ROBOT_BROKER_CREDENTIALS and the broker's users. Ending.");
            exit_ = ExitRefused;
            Off(Cause::LinkLost);
            return;
        }
        if (!wasDown_)
            Say("no link to the broker at " + settings_.Link.Broker.Text() + " (" + why +
                "); trying again every second" + (schedule_.Data() != 0 ? "; motors off" : ""));
        wasDown_ = true;
        probeSentNs_ = 0;
        schedule_.LinkLost();
    }

    void Message(const std::string &topic, const std::string &payload, int64_t now)
    {
        const Channel channel = topic == topics_.Online   ? Channel::Online
                                : topic == topics_.Status ? Channel::Status
                                : topic == topics_.Node   ? Channel::Node
                                                          : Channel::Drive;
        const auto message = Decode(channel, payload);
        if (!message) {
            if (payload.empty())
                return; // a retained message cleared
            schedule_.Ignore();
            if (!saidNotOurs_)
                Say("ignoring messages that are not ours on " + topic + " (counted in the status)");
            saidNotOurs_ = true;
            return;
        }
        if (const auto *online = std::get_if<Online>(&*message)) {
            if (online->Node == node_)
                return;
            if (phase_ == Phase::Checking) {
                other_ = online->Node;
                otherPort_ = online->Port;
            } else {
                Say("another node (" + IdText(online->Node) + ") has announced itself as " + settings_.Name +
                    "; ending, so that one node serves the robot");
                exit_ = ExitNameTaken;
                Off(Cause::End);
            }
        } else if (const auto *offline = std::get_if<Offline>(&*message)) {
            if (phase_ == Phase::Checking && offline->Node == other_)
                other_ = 0;
            else if (phase_ == Phase::Serving && offline->Node != node_)
                Announce(); // another node's last will took our place in the retained message
        } else if (const auto *status = std::get_if<Status>(&*message)) {
            if (status->Node != node_)
                otherStatus_.insert(status->Node);
        } else if (const auto *probe = std::get_if<Probe>(&*message)) {
            if (probe->Node == node_ && phase_ == Phase::Checking)
                probeBackNs_ = now;
        } else if (phase_ == Phase::Serving) {
            Drive(*message, now);
        }
    }

    void Drive(const remoteproto::Message &message, int64_t now)
    {
        if (const auto *hello = std::get_if<Hello>(&message)) {
            const uint64_t fresh = RandomId();
            if (schedule_.Hello(hello->Program, fresh, now)) {
                Say("program " + IdText(hello->Program) + " drives (session " + IdText(fresh) + ")");
                Reply(Granted{hello->Program, fresh, hello->SentNs, LinkNs()});
            } else {
                Say("program " + IdText(hello->Program) + " refused: another program drives");
                Reply(Busy{hello->Program});
            }
        } else if (const auto *ping = std::get_if<Ping>(&message)) {
            if (schedule_.Ping(ping->Session, now))
                Reply(Pong{ping->Session, ping->SentNs, LinkNs()});
        } else if (const auto *write = std::get_if<Write>(&message)) {
            schedule_.Take(*write, now);
        } else if (const auto *gone = std::get_if<Gone>(&message)) {
            schedule_.Gone(gone->Program);
        } else if (const auto *ask = std::get_if<CameraAsk>(&message)) {
            const CameraState state = camera_ ? camera_->Ask(*ask, now) : CameraState::Off;
            Reply(CameraAnswer{ask->Program, ask->SentNs, LinkNs(), state});
        }
    }

    // The camera's lapsed leases, and what it has to say.
    void TendCamera(int64_t now)
    {
        if (!camera_)
            return;
        nextCameraNs_ = std::min(camera_->Expire(now), now + CameraNoteEveryNs);
        for (std::string note = camera_->TakeNote(); !note.empty(); note = camera_->TakeNote())
            Say(note);
    }

    void Reply(const remoteproto::Message &message) { link_->Publish(topics_.Node, Encode(message), 1, false); }

    // Checking: once our probe came back, every retained presence has come.
    void Decide(int64_t now)
    {
        if (phase_ == Phase::Checking && probeBackNs_ == 0 && probeSentNs_ > 0 && now >= probeSentNs_ + ProbeWaitNs) {
            Say("the broker passes none of this node's messages on " + topics_.Node + " within " +
                std::to_string(ProbeWaitNs / 1'000'000'000) + " s: its access list does not let " +
                (settings_.Link.Login ? "the user " + settings_.Link.Login->User : std::string("this client")) +
                " serve the robot " + settings_.Name +
                " (in the project's access list a robot's user has the robot's name). Ending.");
            exit_ = ExitRefused;
            return;
        }
        if (phase_ != Phase::Checking || probeBackNs_ == 0)
            return;
        if (other_ != 0) {
            if (otherStatus_.count(other_)) {
                Say("the name " + settings_.Name + " is served by another node (" + IdText(other_) + ", its " +
                    otherPort_ + " port) at " + settings_.Link.Broker.Text() +
                    "; stop that node or give this one another ROBOT_NAME");
                exit_ = ExitNameTaken;
                return;
            }
            if (now < probeBackNs_ + OtherNodeWaitNs)
                return;
            Say("the name " + settings_.Name + " was left online by node " + IdText(other_) +
                ", which sends no status: taking it over");
        }
        phase_ = Phase::Serving;
        // From here on only what drives the robot and who claims its name.
        link_->Unsubscribe(topics_.Status);
        link_->Unsubscribe(topics_.Node);
        Announce();
        nextStatusNs_ = 0;
        Say("serving the robot " + settings_.Name);
    }

    void Announce() { link_->Publish(topics_.Online, Encode(Online{node_, settings_.Port}), 1, true); }

    // This thread writes at the writes' times and lapses the leases: at
    // real-time priority where allowed (root, CAP_SYS_NICE or RLIMIT_RTPRIO),
    // so that other work on the robot's computer does not make it late. It
    // sleeps between two steps; the link's thread stays at normal priority.
    void TakeRealTimePriority()
    {
        sched_param param{};
        param.sched_priority = RealTimePriority;
        if (const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param); error != 0)
            Say(std::string("the writes' times are kept at normal priority (real-time priority is not allowed: ") +
                std::strerror(error) + "); under load a write may come a few milliseconds late");
    }

    void ZeroAtStart()
    {
        std::string error;
        if (!port_.Write(0, error))
            PortProblem(error);
    }

    void WriteDue(int64_t now)
    {
        for (const remotenode::PortWrite &w : schedule_.Due(now)) {
            std::string error;
            if (!port_.Write(w.Value, error))
                PortProblem(error);
            if (w.Why == Cause::Lapse)
                Say("the lease of the motor code lapsed without renewal: motors off");
            else if (w.Why == Cause::Gone)
                Say("the driving program's link broke: motors off");
        }
    }

    void ReadStatus(int64_t now)
    {
        if (now < nextPollNs_)
            return;
        nextPollNs_ = std::max(nextPollNs_ + PollEveryNs, now);
        std::string error;
        const auto byte = port_.Read(error);
        if (!byte)
            PortProblem(error);
        else
            portOk_ = true;
        Status status{node_, now, byte.value_or(0), schedule_.Data(), portOk_, schedule_.Session(),
                      schedule_.Seq(), schedule_.Lapses(), schedule_.Late(), schedule_.Ignored()};
        const bool changed = !lastStatus_ || status.Byte != lastStatus_->Byte || status.Data != lastStatus_->Data ||
                             status.Ok != lastStatus_->Ok || status.Session != lastStatus_->Session;
        if (phase_ != Phase::Serving || (!changed && now < nextStatusNs_))
            return;
        if (link_->Publish(topics_.Status, Encode(status), 0, false)) {
            lastStatus_ = status;
            nextStatusNs_ = now + StatusEveryNs - PollEveryNs / 2;
        }
    }

    void PortProblem(const std::string &error)
    {
        portOk_ = false;
        if (error != lastPortError_)
            Say("the robot's port failed: " + error);
        lastPortError_ = error;
    }

    void Off(Cause why)
    {
        if (why == Cause::LinkLost)
            schedule_.LinkLost();
        WriteDue(LinkNs());
        if (schedule_.Data() != 0) {
            std::string error;
            port_.Write(0, error);
        }
    }

    void End(const std::string &what)
    {
        Say("ending at " + what + ": motors off, offline");
        schedule_.LinkLost();
        WriteDue(LinkNs());
        if (phase_ == Phase::Serving)
            link_->PublishAndWait(topics_.Online, Encode(Offline{node_}), true, OfflineWaitMs);
        exit_ = 0;
    }

    enum class Phase { Checking, Serving };

    Settings settings_;
    LocalPort &port_;
    Topics topics_;
    LeaseSchedule schedule_;
    uint64_t node_ = 0;
    std::optional<remotelink::MqttLink> link_;
    std::optional<remotenode::NodeCamera> camera_;
    int64_t nextCameraNs_ = std::numeric_limits<int64_t>::max();
    int wake_ = -1, timer_ = -1;
    std::mutex mutex_;
    std::deque<Item> inbox_;

    Phase phase_ = Phase::Checking;
    int64_t probeBackNs_ = 0, probeSentNs_ = 0;
    uint64_t other_ = 0;
    std::string otherPort_;
    std::set<uint64_t> otherStatus_;
    bool wasDown_ = false, saidNotOurs_ = false;
    int64_t nextPollNs_ = 0, nextStatusNs_ = 0;
    bool portOk_ = true;
    std::string lastPortError_;
    std::optional<Status> lastStatus_;
    int exit_ = -1;
};
} // namespace

int main()
{
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    Settings settings;
    std::string why;
    if (!ReadSettings(settings, why)) {
        Say(why);
        return ExitSettings;
    }
    // The ending signals come through a descriptor, between two steps.
    sigset_t ending;
    sigemptyset(&ending);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&ending, s);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signals = signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK);
    // Writes at their time to the tenth of a millisecond, not the default 50 us slack's rounding.
    prctl(PR_SET_TIMERSLACK, 1);

    LocalPort port;
    if (!port.Open(settings.Port, why)) {
        Say(why);
        return ExitSettings;
    }
    Node node(std::move(settings), port);
    const int status = node.Run(signals);
    if (const std::string state = port.DeviceState(); !state.empty())
        Say("the port at the end: " + state);
    return status;
}
