// The remote port library (ROBOT_PORT=remote): the kit's backend whose device
// is a robot served by robot-node, reached through an MQTT broker.
//
// ROBOT_BROKER                  mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
//                               (default mqtt://127.0.0.1:1883)
// ROBOT_NAME                    the robot; without it, the library lists the
//                               robots online and fails every access
// ROBOT_BROKER_CREDENTIALS      a file of "user=" and "password=" lines,
//                               readable by its owner alone
// ROBOT_BROKER_CA               mqtts: the CA certificate (default: the system's)
// ROBOT_REMOTE_LEASE_MS         a motor code's lease (default 300, 50 to 5000)
// ROBOT_REMOTE_DELAY_MS         the fixed delay of every write (default 30, 0 to
//                               500, and at least 50 below the lease)
// ROBOT_REMOTE_STATUS_LIMIT_MS  an older status is no reading (default 300)
//
// Out32 never waits on the network: a write is stamped with the time the
// robot is to apply it (now on the node's clock plus the delay, so that a
// pulse keeps its length however unevenly the messages travel) and queued for
// the link's thread. A code other than 0 is renewed by that thread every
// third of the lease while it stands; the node writes 0 by its own clock when
// a lease lapses (program killed or stopped, laptop asleep, network gone), so
// the robot stops within the lease of the cut. The lease runs from the
// program's write, not from the robot's (the delay later), so a longer delay
// for a slow network does not lengthen the stop. A process that
// finds itself stopped longer than a lease does not renew, and the node takes
// no renewal after a lapse: a code never comes back by itself.
//
// Inp32 answers from the last status the node published, never waiting; a
// status older than the limit, a robot offline or a broken link fail the
// access (Services::Fail), so the drive under way ends with one error shown,
// never taking an old reading as current. A lease that lapsed while the
// program held a code, or a link lost meanwhile, fails the next access too.
//
// The only access that waits is the first one: up to a second, while the
// link is being made (as a device is opened).
//
// The robot's camera: while the capture layer wants it at a UDP port of this
// machine (PortIoCameraWant), the link's thread asks the node every 250 ms to
// send it there, naming this machine's address on the connection to the
// broker; the node's answers match the camera's clock to the node's
// (PortIoCameraTime turns a frame's capture time into this program's clock).
// The asks go on the drive topic, so only a client the broker lets drive
// this robot gets the stream.
//
// Owns the link (MqttLink, with its thread). The link's handlers and the
// kit's calls meet under `mutex_`; `sendMutex_` keeps the sequence numbers in
// the order the messages are queued, and is never taken inside a handler.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "portio/PortIoExports.h"
#include "portio/kit/PortKit.h"
#include "portio/remote/LinkClock.h"
#include "portio/remote/MqttLink.h"
#include "portio/remote/RemoteProtocol.h"
#include "portio/remote/RemoteState.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace {
using namespace remoteproto;
using remotelink::Judgement;
using remotelink::LinkState;
using remotelink::LinkView;
using remotelink::Presence;

constexpr int64_t Ms = 1'000'000;
constexpr int64_t FirstWaitNs = 1000 * Ms;   // the first access waits for the link this long at most
constexpr int64_t SettleNs = 300 * Ms;       // after subscribing, retained presence has come
constexpr int64_t HelloEveryNs = 1000 * Ms;  // asking for a session again
constexpr int64_t UnansweredNs = 3000 * Ms;  // asked this long without an answer: no answer comes
constexpr int StartPings = 4;                // quick clock samples after the grant
constexpr int StartSamples = 3;              // round trips before the first access goes on
constexpr int64_t StartPingEveryNs = 20 * Ms;
constexpr int ByeWaitMs = 300;               // the clean end's wait for the broker's acknowledgement

// What the capture layer wants of the robot's camera, and the camera's
// clock: outside the backend, which the kit makes at its first call.
struct CameraShare {
    std::mutex mutex;
    std::set<int> ports; // UDP ports of this machine the stream is wanted at
    remotelink::LinkClock clock;
};
CameraShare &Camera()
{
    static CameraShare share;
    return share;
}

std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

class RemoteRobot final : public portkit::PortBackend {
public:
    explicit RemoteRobot(portkit::Services &services) : services_(services)
    {
        ReadSettings();
        if (!setUpProblem_.empty()) {
            view_.Tried = true;
            return;
        }
        remotelink::Options options;
        options.Broker = broker_;
        options.Login = login_;
        options.CaFile = Env("ROBOT_BROKER_CA");
        options.ClientId = "robot-program-" + IdText(program_);
        if (name_.empty()) {
            options.Subscriptions = {EveryOnlineTopic};
        } else {
            options.Subscriptions = {topics_.Online, topics_.Status, topics_.Node};
            options.WillTopic = topics_.Drive;
            options.WillPayload = Encode(Gone{program_});
        }
        remotelink::Handlers handlers;
        handlers.Connected = [this] { OnConnected(); };
        handlers.Down = [this](const std::string &why, bool refused) { OnDown(why, refused); };
        handlers.Message = [this](const std::string &topic, const std::string &payload) { OnMessage(topic, payload); };
        handlers.Tick = [this](int64_t now) { return OnTick(now); };
        link_.emplace(std::move(options), std::move(handlers));
        link_->Start();
    }

    ~RemoteRobot() override { Close(); }

    short In(uint16_t address) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        WaitForTheFirstAccess(lock);
        if (address == static_cast<uint16_t>(DataPort))
            return standing_;
        if (address != static_cast<uint16_t>(StatusPort))
            return 0;
        const LinkView view = View(LinkNs());
        const Judgement judgement = remotelink::Judge(view);
        std::string failure = TakeEvent();
        if (failure.empty() && judgement.State != LinkState::Connected)
            failure = remotelink::FailureText(view, judgement);
        SayNotes();
        if (!failure.empty()) {
            lock.unlock();
            Fail(failure);
            return 0;
        }
        return status_->Byte;
    }

    void Out(uint16_t address, short value) override
    {
        if (address != static_cast<uint16_t>(DataPort))
            return; // the robot has no other register
        const auto code = static_cast<uint8_t>(value);
        {
            // Not holding sendMutex_: the link's thread needs it to ask for the session.
            std::unique_lock<std::mutex> lock(mutex_);
            WaitForTheFirstAccess(lock);
        }
        std::lock_guard<std::mutex> sending(sendMutex_);
        std::optional<Message> message;
        std::string failure;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const int64_t now = LinkNs();
            const LinkView view = View(now);
            const Judgement judgement = remotelink::Judge(view);
            failure = TakeEvent(); // a drive that has failed writes no new code
            if (code != 0 && (judgement.State != LinkState::Connected || !failure.empty())) {
                if (failure.empty())
                    failure = remotelink::FailureText(view, judgement);
                standing_ = 0;
            } else if (session_ != 0) {
                message = Write{WriteKind::Write, session_, ++seq_, AtFor(now), WireLeaseMs(), code};
                standing_ = code;
                standingAtNs_ = lastAtNs_;
                lastSentNs_ = now;
            } else {
                standing_ = 0; // a 0 without a session: nothing stands anywhere
            }
            SayNotes();
        }
        if (message && !link_->Publish(topics_.Drive, Encode(*message), 1, false) && code != 0 && failure.empty())
            failure = "remote robot " + name_ + " at " + broker_.Text() + ": the write could not be queued (" +
                      "the link to the broker just broke)";
        if (!failure.empty())
            Fail(failure);
    }

    void Close() override
    {
        if (!link_)
            return;
        std::optional<Message> bye;
        {
            std::lock_guard<std::mutex> sending(sendMutex_);
            std::lock_guard<std::mutex> lock(mutex_);
            if (session_ != 0 && view_.Connected)
                bye = Write{WriteKind::End, session_, ++seq_, AtFor(LinkNs()), 0, 0};
            session_ = 0;
            standing_ = 0;
        }
        // The robot's 0 at the program's will; the node also writes it when
        // this does not arrive, at the lease's end.
        if (bye)
            link_->PublishAndWait(topics_.Drive, Encode(*bye), false, ByeWaitMs);
        link_->Stop();
        link_.reset();
    }

    // One line for the window: the robot, the broker and the link's state.
    std::string Status() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const LinkView view = View(LinkNs());
        SayNotes(); // what the link's thread found meanwhile (the camera's answers)
        return remotelink::StatusLine(view, remotelink::Judge(view));
    }

private:
    void ReadSettings()
    {
        program_ = RandomId();
        const std::string broker = Env("ROBOT_BROKER").empty() ? "mqtt://127.0.0.1:1883" : Env("ROBOT_BROKER");
        std::string why;
        if (auto parsed = ParseBroker(broker, &why))
            broker_ = *parsed;
        else
            setUpProblem_ = "ROBOT_BROKER=" + portkit::Quoted(broker) + " is refused: " + why;
        view_.Broker = broker_.Host.empty() ? portkit::Quoted(broker) : broker_.Text();
        name_ = Env("ROBOT_NAME");
        if (!name_.empty() && !ValidRobotName(name_, &why))
            setUpProblem_ = "ROBOT_NAME=" + portkit::Quoted(name_) + " is refused: " + why;
        else if (!name_.empty())
            topics_ = TopicsOf(name_);
        view_.Name = portkit::Quoted(name_, MaxNameLength);
        const auto ms = [&](const char *variable, int fallback, int min, int max) {
            const std::string text = Env(variable);
            if (text.empty())
                return fallback;
            if (auto n = ParseMs(text, min, max))
                return *n;
            setUpProblem_ = std::string(variable) + "=" + portkit::Quoted(text) + " is refused: a whole number of ms from " +
                            std::to_string(min) + " to " + std::to_string(max) + " is wanted";
            return fallback;
        };
        leaseMs_ = ms("ROBOT_REMOTE_LEASE_MS", DefaultLeaseMs, MinLeaseMs, MaxLeaseMs);
        delayMs_ = ms("ROBOT_REMOTE_DELAY_MS", DefaultDelayMs, 0, MaxDelayMs);
        delayNs_ = delayMs_ * Ms;
        if (setUpProblem_.empty() && leaseMs_ - delayMs_ < MinLeaseMs)
            setUpProblem_ = "ROBOT_REMOTE_DELAY_MS=" + std::to_string(delayMs_) + " is refused: it must stay " +
                            std::to_string(MinLeaseMs) + " ms below the lease (ROBOT_REMOTE_LEASE_MS, " +
                            std::to_string(leaseMs_) + " ms)";
        // Renewed well before the lease, counted from the write, runs out
        // at the robot: a renewal takes effect at its own time, the delay
        // after it was made.
        renewNs_ = std::min<int64_t>(leaseMs_ / 3, (leaseMs_ - delayMs_) / 2) * Ms;
        view_.StatusLimitMs = ms("ROBOT_REMOTE_STATUS_LIMIT_MS", DefaultStatusLimitMs, 50, 10000);
        const std::string credentials = Env("ROBOT_BROKER_CREDENTIALS");
        if (!credentials.empty() && setUpProblem_.empty()) {
            login_ = remotelink::ReadCredentials(credentials, why);
            if (!login_)
                setUpProblem_ = "ROBOT_BROKER_CREDENTIALS is refused: " + why;
        }
        view_.SetUpProblem = setUpProblem_;
        view_.HasLogin = login_.has_value();
        if (const std::string note = remotelink::ClearPasswordNote(broker_, view_.HasLogin); !note.empty())
            notes_.emplace_back("clear-password", note);
        if (login_)
            view_.User = portkit::Quoted(login_->User, MaxNameLength);
        startNs_ = LinkNs();
    }

    // The first access waits for the link as a device's opening is waited for.
    void WaitForTheFirstAccess(std::unique_lock<std::mutex> &lock)
    {
        if (waited_)
            return;
        waited_ = true;
        const int64_t left = startNs_ + FirstWaitNs - LinkNs();
        changed_.wait_for(lock, std::chrono::nanoseconds(std::max<int64_t>(left, 0)),
                          [&] { return remotelink::Judge(View(LinkNs())).State != LinkState::Starting; });
    }

    LinkView View(int64_t now) const
    {
        LinkView view = view_;
        view.PresenceSettled = view.Connected && now >= settledNs_;
        view.Session = session_ != 0;
        view.Unanswered = session_ == 0 && firstHelloNs_ != 0 && now - firstHelloNs_ >= UnansweredNs;
        view.ClockMatched = samples_ >= StartSamples;
        view.HasStatus = status_.has_value();
        if (status_)
            view.StatusAgeMs = (now - statusAtNs_) / Ms;
        view.StatusOk = status_ && status_->Ok;
        view.Online.clear();
        for (const auto &[robot, online] : online_)
            if (online)
                view.Online.push_back(robot);
        return view;
    }

    // When the node is to apply what the program does now. The clocks'
    // offset is taken up anew only while no code stands, so that a pulse's
    // two edges are stamped alike and it keeps its length.
    int64_t AtFor(int64_t now)
    {
        if (standing_ == 0)
            offsetNs_ = clock_.OffsetNs();
        lastAtNs_ = std::max(lastAtNs_, now + offsetNs_ + delayNs_);
        return lastAtNs_;
    }

    // The node counts a write's lease from the time it applies it, the delay
    // after the program made it: the lease on the wire is shorter by the
    // delay, so that a code stands at most the lease after the program last
    // said so, whatever the delay.
    uint32_t WireLeaseMs() const { return uint32_t(leaseMs_ - delayMs_); }

    // A lapse or a loss noticed since the last access, once.
    std::string TakeEvent()
    {
        std::string event;
        event.swap(event_);
        return event;
    }

    void Event(const std::string &why)
    {
        if (standing_ != 0 && event_.empty())
            event_ = "remote robot " + name_ + " at " + broker_.Text() + ": " + why;
        standing_ = 0;
    }

    void Fail(const std::string &text) { services_.Fail(text); }

    // Said from the kit's calls (Services is the kit's, under its lock).
    void SayNotes()
    {
        for (const auto &[key, text] : notes_)
            services_.Say(key, text);
        notes_.clear();
    }

    // The link's thread, from here on.
    void OnConnected()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int64_t now = LinkNs();
        view_.Connected = view_.Tried = true;
        view_.Refused = false;
        view_.BrokerProblem.clear();
        settledNs_ = now + SettleNs;
        nextHelloNs_ = now;
        firstHelloNs_ = 0;
        changed_.notify_all();
    }

    void OnDown(const std::string &why, bool refused)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool was = view_.Connected;
        view_.Connected = false;
        view_.Tried = true;
        view_.Refused = refused;
        view_.BrokerProblem = why;
        if (session_ != 0 || was)
            Event("the link to the broker was lost during the drive (" + why +
                  "); the robot's node stops the motors by itself within the lease");
        session_ = 0;
        status_.reset();
        changed_.notify_all();
    }

    void OnMessage(const std::string &topic, const std::string &payload)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int64_t now = LinkNs();
        if (name_.empty()) {
            const auto robot = RobotOfOnlineTopic(topic);
            const auto message = Decode(Channel::Online, payload);
            if (robot && message)
                online_[*robot] = std::holds_alternative<Online>(*message);
            else if (!payload.empty()) // an empty retained message clears a topic
                NotOurs(topic);
            return;
        }
        const Channel channel = topic == topics_.Online   ? Channel::Online
                                : topic == topics_.Status ? Channel::Status
                                                          : Channel::Node;
        const auto message = Decode(channel, payload);
        if (!message) {
            if (!payload.empty())
                NotOurs(topic);
            return;
        }
        if (const auto *granted = std::get_if<Granted>(&*message)) {
            if (granted->Program != program_)
                return; // another program's answer
            session_ = granted->Session;
            firstHelloNs_ = 0;
            seq_ = 0;
            lastAtNs_ = 0;
            grantNodeNs_ = granted->NodeNs;
            view_.Busy = false;
            clock_.Reset();
            clock_.Add(granted->SentNs, granted->NodeNs, now);
            samples_ = 1;
            startPings_ = 0;
            nextPingNs_ = now + StartPingEveryNs;
            status_.reset();
            lapses_.reset();
        } else if (const auto *answer = std::get_if<CameraAnswer>(&*message)) {
            if (answer->Program == program_)
                TakeCameraAnswer(*answer, now);
        } else if (const auto *busy = std::get_if<Busy>(&*message)) {
            if (busy->Program == program_) {
                view_.Busy = true;
                firstHelloNs_ = 0;
            }
        } else if (const auto *pong = std::get_if<Pong>(&*message)) {
            if (pong->Session == session_ && session_ != 0) {
                clock_.Add(pong->SentNs, pong->NodeNs, now);
                ++samples_;
            }
        } else if (const auto *status = std::get_if<remoteproto::Status>(&*message)) {
            TakeStatus(*status);
        } else if (const auto *online = std::get_if<Online>(&*message)) {
            view_.Robot = Presence::Online;
            if (online->Node != nodeId_) { // another node, maybe on a restarted computer: another clock
                std::lock_guard<std::mutex> camera(Camera().mutex);
                Camera().clock.Reset();
            }
            nodeId_ = online->Node;
        } else if (std::holds_alternative<Offline>(*message)) {
            view_.Robot = Presence::Offline;
            if (session_ != 0)
                Event("the robot went offline during the drive (its robot-node ended or lost the broker)");
            session_ = 0;
            status_.reset();
        }
        changed_.notify_all();
    }

    void TakeStatus(const remoteproto::Status &status)
    {
        if (session_ == 0)
            return;
        if (status.Session != session_) {
            // Only a status read after the grant tells that the node has let
            // this session go (its restart, the program's own end).
            if (status.NodeNs > grantNodeNs_) {
                Event("the robot's node ended this program's session");
                session_ = 0;
                status_.reset();
                nextHelloNs_ = LinkNs();
            }
            return;
        }
        // A lapse read before the standing code was applied is an earlier
        // code's (its status delayed with the link): it ends nothing now.
        if (lapses_ && status.Lapses > *lapses_ && status.NodeNs >= standingAtNs_)
            Event("the robot stopped its motors: a lease lapsed before its renewal arrived (the network was too "
                  "slow or cut)");
        lapses_ = status.Lapses;
        status_ = status;
        statusAtNs_ = clock_.ToProgram(status.NodeNs);
    }

    void TakeCameraAnswer(const CameraAnswer &answer, int64_t now)
    {
        {
            std::lock_guard<std::mutex> lock(Camera().mutex);
            Camera().clock.Add(answer.SentNs, answer.NodeNs, now);
        }
        if (answer.State == CameraState::Sending || answer.State == cameraState_) {
            cameraState_ = answer.State;
            return;
        }
        cameraState_ = answer.State;
        const std::string robot = "remote robot " + name_ + ": ";
        notes_.emplace_back(
            "camera-" + std::to_string(int(answer.State)),
            robot + (answer.State == CameraState::Off
                         ? "its robot-node serves no camera (it found none, or ROBOT_NODE_CAMERA=off there; its log says which)"
                     : answer.State == CameraState::Full
                         ? "its robot-node sends its camera to as many programs as it can; close another one's camera"
                         : "its robot-node could not start its camera (its log says why)"));
    }

    // The camera's asks, every CameraAskEveryMs while a port wants the stream.
    void AskForTheCamera(int64_t now, std::vector<Message> &messages, int64_t &next)
    {
        std::set<int> ports;
        {
            std::lock_guard<std::mutex> lock(Camera().mutex);
            ports = Camera().ports;
        }
        if (ports.empty())
            return;
        if (now >= nextCameraAskNs_) {
            const std::string host = link_->LocalAddress();
            for (int port : ports)
                if (!host.empty())
                    messages.push_back(CameraAsk{program_, host, uint16_t(port), uint32_t(CameraLeaseMs), now});
            nextCameraAskNs_ = now + int64_t(CameraAskEveryMs) * Ms;
        }
        next = std::min(next, nextCameraAskNs_);
    }

    void NotOurs(const std::string &topic)
    {
        ++view_.Ignored;
        notes_.emplace_back("not-ours", "ignoring messages that are not ours on " + portkit::Quoted(topic) +
                                            " (counted in the status line); is another program using these topics?");
    }

    int64_t OnTick(int64_t now)
    {
        std::vector<Message> messages;
        std::lock_guard<std::mutex> sending(sendMutex_);
        int64_t next = now + HelloEveryNs;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!view_.Connected || name_.empty())
                return next;
            AskForTheCamera(now, messages, next);
            if (session_ == 0) {
                if (now >= nextHelloNs_) {
                    messages.push_back(Hello{program_, now});
                    nextHelloNs_ = now + HelloEveryNs;
                    if (firstHelloNs_ == 0)
                        firstHelloNs_ = now;
                }
                next = nextHelloNs_;
            } else {
                if (now >= nextPingNs_) {
                    messages.push_back(Ping{session_, now});
                    nextPingNs_ = now + (++startPings_ < StartPings ? StartPingEveryNs : int64_t(PingEveryMs) * Ms);
                }
                next = nextPingNs_;
                if (standing_ != 0) {
                    const int64_t leaseNs = int64_t(leaseMs_) * Ms;
                    const int64_t since = now - lastSentNs_;
                    if (since > leaseNs) {
                        // Stopped or asleep past the lease: the robot has let
                        // the code go, and it does not come back by itself.
                        Event("the program was held up for " + std::to_string(since / Ms) +
                              " ms, longer than the lease; the robot has stopped its motors");
                    } else if (since >= renewNs_) {
                        messages.push_back(
                            Write{WriteKind::Renew, session_, ++seq_, AtFor(now), WireLeaseMs(), standing_});
                        lastSentNs_ = now;
                    }
                    if (standing_ != 0)
                        next = std::min(next, lastSentNs_ + renewNs_);
                }
            }
        }
        for (const Message &message : messages)
            link_->Publish(topics_.Drive, Encode(message), 1, false);
        return next;
    }

    portkit::Services &services_;
    std::optional<remotelink::MqttLink> link_;

    // Settings, fixed after construction.
    uint64_t program_ = 0;
    BrokerAddress broker_;
    std::string name_;
    Topics topics_;
    std::optional<remotelink::Credentials> login_;
    int leaseMs_ = DefaultLeaseMs, delayMs_ = DefaultDelayMs;
    int64_t delayNs_ = 0, renewNs_ = 0;
    std::string setUpProblem_;
    int64_t startNs_ = 0;

    std::mutex sendMutex_;
    std::mutex mutex_;
    std::condition_variable changed_;
    // Under mutex_:
    LinkView view_;
    bool waited_ = false;
    int64_t settledNs_ = 0;
    uint64_t nodeId_ = 0;
    uint64_t session_ = 0, seq_ = 0;
    int64_t grantNodeNs_ = 0;
    int64_t nextHelloNs_ = 0, nextPingNs_ = 0;
    int64_t firstHelloNs_ = 0; // the first request of a session not answered yet
    int startPings_ = 0, samples_ = 0;
    remotelink::LinkClock clock_;
    int64_t lastAtNs_ = 0;
    int64_t offsetNs_ = 0; // node - program, as the writes are stamped
    uint8_t standing_ = 0; // the code the program holds at the robot
    int64_t standingAtNs_ = 0; // when the node applies it (its clock)
    int64_t lastSentNs_ = 0;
    std::optional<remoteproto::Status> status_;
    int64_t statusAtNs_ = 0; // the status's reading, on this clock
    std::optional<uint32_t> lapses_;
    std::string event_;
    std::vector<std::pair<std::string, std::string>> notes_;
    std::map<std::string, bool> online_;
    int64_t nextCameraAskNs_ = 0;
    CameraState cameraState_ = CameraState::Sending;
};
} // namespace

std::unique_ptr<portkit::PortBackend> MakePortBackend(portkit::Services &services)
{
    return std::make_unique<RemoteRobot>(services);
}

PORTIO_EXPORT int PortIoCameraWant(int port, int on)
{
    if (port <= 0 || port > 65535)
        return 0;
    std::lock_guard<std::mutex> lock(Camera().mutex);
    if (on)
        Camera().ports.insert(port);
    else
        Camera().ports.erase(port);
    return 1;
}

PORTIO_EXPORT long long PortIoCameraTime(long long robotNs)
{
    std::lock_guard<std::mutex> lock(Camera().mutex);
    if (!Camera().clock.Known() || robotNs <= 0)
        return 0;
    // The node's clock to this one's (both CLOCK_BOOTTIME), then to CLOCK_MONOTONIC.
    return Camera().clock.ToProgram(robotNs) - (LinkNs() - MonotonicNs());
}
