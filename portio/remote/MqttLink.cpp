#include "portio/remote/MqttLink.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

namespace remotelink {
namespace {
constexpr int KeepaliveS = 5;           // libmosquitto's least
constexpr int64_t RetryNs = 1'000'000'000; // after a failed attempt or a break
constexpr int64_t AnswerNs = 5'000'000'000; // an attempt without the broker's answer is given up
constexpr int64_t MaxWaitNs = 25'000'000;  // the longest the thread waits between ticks
constexpr int StopFlushMs = 300;           // the clean disconnect's time to go out
constexpr int64_t Ms = 1'000'000;

void StartLibraryOnce()
{
    static const int started = mosquitto_lib_init();
    (void)started;
}

// What the broker sends is acknowledged at once rather than up to 40 ms
// later (the kernel's delayed acknowledgement): a broker that waits for the
// acknowledgement before it sends the next small message (Nagle's algorithm,
// mosquitto's default) would otherwise hold a write or a status that long.
// The kernel leaves this mode by itself, so it is set again after every read.
void QuickAcks(mosquitto *client)
{
    const int fd = mosquitto_socket(client);
    const int on = 1;
    if (fd >= 0)
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

std::string Describe(int rc, int savedErrno)
{
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(savedErrno);
    if (rc == MOSQ_ERR_EAI)
        return "the host name does not resolve";
    return mosquitto_strerror(rc);
}

enum class EventKind { Connected, Refused, Message, Disconnected };
struct Event {
    EventKind Kind;
    std::string Topic, Payload;
};
} // namespace

struct MqttLink::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    std::array<int, 256> acked{}; // the last acknowledged message ids
    size_t ackedNext = 0;
    std::vector<Event> events; // the link's thread only (callbacks run in its loop)
    std::vector<std::string> subscriptions;

    bool Acked(int mid) const
    {
        for (int m : acked)
            if (m == mid)
                return true;
        return false;
    }
};

namespace {
MqttLink::Shared &SharedOf(void *data) { return *static_cast<MqttLink::Shared *>(data); }

void OnConnect(mosquitto *client, void *data, int rc)
{
    MqttLink::Shared &shared = SharedOf(data);
    if (rc != 0) {
        std::string why = mosquitto_connack_string(rc);
        while (!why.empty() && why.back() == '.')
            why.pop_back();
        shared.events.push_back({EventKind::Refused, {}, why});
        return;
    }
    std::vector<std::string> topics;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        topics = shared.subscriptions;
    }
    for (const std::string &topic : topics)
        mosquitto_subscribe(client, nullptr, topic.c_str(), 1);
    shared.events.push_back({EventKind::Connected, {}, {}});
}

void OnDisconnect(mosquitto *, void *data, int) { SharedOf(data).events.push_back({EventKind::Disconnected, {}, {}}); }

void OnMessage(mosquitto *, void *data, const mosquitto_message *message)
{
    const char *payload = static_cast<const char *>(message->payload);
    SharedOf(data).events.push_back({EventKind::Message, message->topic ? message->topic : "",
                                     payload ? std::string(payload, size_t(message->payloadlen)) : std::string()});
}

void OnPublish(mosquitto *, void *data, int mid)
{
    MqttLink::Shared &shared = SharedOf(data);
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.acked[shared.ackedNext++ % shared.acked.size()] = mid;
    }
    shared.changed.notify_all();
}
} // namespace

std::optional<Credentials> ReadCredentials(const std::string &path, std::string &why)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    const bool statted = fstat(fd, &st) == 0;
    std::string text;
    if (statted && S_ISREG(st.st_mode) && st.st_size < 4096) {
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            text.assign(buffer, size_t(n));
    }
    close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", unsigned(st.st_mode & 0777));
    if (!statted || !S_ISREG(st.st_mode))
        why = path + " is not a regular file";
    else if (st.st_uid != geteuid())
        why = path + " belongs to user " + std::to_string(st.st_uid) + ", not to this user";
    else if (st.st_mode & 077)
        why = path + " may be read or written by others (mode " + mode + "); make it yours alone: chmod 600 " + path;
    if (!why.empty())
        return std::nullopt;
    Credentials login;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        if (line.rfind("user=", 0) == 0)
            login.User = line.substr(5);
        else if (line.rfind("password=", 0) == 0)
            login.Password = line.substr(9);
        else {
            why = path + " has a line that is neither user=NAME nor password=SECRET";
            return std::nullopt;
        }
    }
    if (login.User.empty()) {
        why = path + " names no user (a line user=NAME)";
        return std::nullopt;
    }
    return login;
}

std::string ClearPasswordNote(const remoteproto::BrokerAddress &broker, bool login)
{
    const std::string &host = broker.Host;
    if (!login || broker.Tls || host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0)
        return {};
    return "the password goes to " + broker.Text() +
           " unencrypted, readable by anyone on the network: use mqtts:// (the broker's TLS listener)";
}

MqttLink::MqttLink(Options options, Handlers handlers)
    : options_(std::move(options)), handlers_(std::move(handlers)), shared_(std::make_shared<Shared>())
{
    StartLibraryOnce();
    shared_->subscriptions = options_.Subscriptions;
    client_ = mosquitto_new(options_.ClientId.c_str(), true, shared_.get());
    if (client_) {
        mosquitto_threaded_set(client_, true);
        mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(client_, OnConnect);
        mosquitto_disconnect_callback_set(client_, OnDisconnect);
        mosquitto_message_callback_set(client_, OnMessage);
        mosquitto_publish_callback_set(client_, OnPublish);
    }
}

void MqttLink::Start()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { Run(); });
}

MqttLink::~MqttLink()
{
    Stop();
    if (client_)
        mosquitto_destroy(client_);
}

bool MqttLink::Publish(const std::string &topic, const std::string &payload, int qos, bool retain)
{
    return client_ && mosquitto_publish(client_, nullptr, topic.c_str(), int(payload.size()), payload.data(), qos,
                                        retain) == MOSQ_ERR_SUCCESS;
}

bool MqttLink::PublishAndWait(const std::string &topic, const std::string &payload, bool retain, int ms)
{
    int mid = 0;
    if (!client_ ||
        mosquitto_publish(client_, &mid, topic.c_str(), int(payload.size()), payload.data(), 1, retain) !=
            MOSQ_ERR_SUCCESS)
        return false;
    std::unique_lock<std::mutex> lock(shared_->mutex);
    return shared_->changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return shared_->Acked(mid); });
}

std::string MqttLink::LocalAddress() const
{
    const int fd = client_ ? mosquitto_socket(client_) : -1;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return "";
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&address)->sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6) {
        const in6_addr &six = reinterpret_cast<sockaddr_in6 *>(&address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&six)) // an IPv4 peer on a dual-stack socket
            inet_ntop(AF_INET, &six.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &six, text, sizeof text);
    }
    return text;
}

void MqttLink::Unsubscribe(const std::string &topic)
{
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        auto &topics = shared_->subscriptions;
        topics.erase(std::remove(topics.begin(), topics.end(), topic), topics.end());
    }
    if (client_)
        mosquitto_unsubscribe(client_, nullptr, topic.c_str());
}

void MqttLink::Stop()
{
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->changed.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void MqttLink::Run()
{
    // The program's signals stay the program's.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);

    std::string setUpError;
    if (!client_)
        setUpError = "libmosquitto could not make a client";
    else {
        if (options_.Login)
            mosquitto_username_pw_set(client_, options_.Login->User.c_str(), options_.Login->Password.c_str());
        if (!options_.WillTopic.empty())
            mosquitto_will_set(client_, options_.WillTopic.c_str(), int(options_.WillPayload.size()),
                               options_.WillPayload.data(), 1, options_.WillRetain);
        if (options_.Broker.Tls) {
            const int rc = options_.CaFile.empty()
                               ? mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                               : mosquitto_tls_set(client_, options_.CaFile.c_str(), nullptr, nullptr, nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS)
                setUpError = "TLS cannot be set up with the CA certificate " +
                             (options_.CaFile.empty() ? std::string("of the system") : options_.CaFile) + " (" +
                             mosquitto_strerror(rc) + ")";
        }
    }
    if (!setUpError.empty() && handlers_.Down)
        handlers_.Down(setUpError, true);

    bool first = true, connecting = false, connected = false, said = false;
    int64_t nextAttempt = 0, attemptStart = 0, nextTick = 0;
    const auto down = [&](const std::string &why, bool refused, int64_t now) {
        if (!said && handlers_.Down)
            handlers_.Down(why, refused);
        said = true;
        connecting = connected = false;
        nextAttempt = now + RetryNs;
    };
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->stopping)
                break;
        }
        int64_t now = remoteproto::LinkNs();
        if (setUpError.empty() && !connecting && !connected && now >= nextAttempt) {
            errno = 0;
            const int rc = first ? mosquitto_connect_async(client_, options_.Broker.Host.c_str(),
                                                           options_.Broker.Port, KeepaliveS)
                                 : mosquitto_reconnect_async(client_);
            const int savedErrno = errno;
            first = false;
            said = false;
            if (rc == MOSQ_ERR_SUCCESS) {
                // Not inherited by a program the process starts: a kill of
                // this process must close the connection (the will).
                if (const int fd = mosquitto_socket(client_); fd >= 0)
                    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
                connecting = true;
                attemptStart = now;
            } else {
                down(Describe(rc, savedErrno), false, now);
            }
        }
        const int64_t wake = std::min(nextTick, connecting || connected ? now + MaxWaitNs : nextAttempt);
        const int waitMs = int(std::clamp<int64_t>((wake - now + Ms - 1) / Ms, 0, MaxWaitNs / Ms));
        if (connecting || connected) {
            errno = 0;
            const int rc = mosquitto_loop(client_, waitMs, 1);
            const int savedErrno = errno;
            QuickAcks(client_);
            now = remoteproto::LinkNs();
            std::vector<Event> events;
            events.swap(shared_->events);
            bool disconnected = false;
            for (const Event &event : events) {
                switch (event.Kind) {
                case EventKind::Connected:
                    connecting = false;
                    connected = true;
                    said = false;
                    if (handlers_.Connected)
                        handlers_.Connected();
                    break;
                case EventKind::Refused:
                    down("the broker refused the connection: " + event.Payload, true, now);
                    break;
                case EventKind::Message:
                    if (handlers_.Message)
                        handlers_.Message(event.Topic, event.Payload);
                    break;
                case EventKind::Disconnected:
                    disconnected = true;
                    break;
                }
            }
            // The loop's error says more than the disconnection it caused.
            if (rc != MOSQ_ERR_SUCCESS && (connecting || connected))
                down(Describe(rc, savedErrno), false, now);
            else if (disconnected && (connecting || connected))
                down(connected ? "the broker ended the connection" : "the broker closed the connection", false, now);
            if (connecting && now - attemptStart > AnswerNs) {
                mosquitto_disconnect(client_);
                down("no answer within " + std::to_string(AnswerNs / 1'000'000'000) + " s", false, now);
            }
        } else if (waitMs > 0) {
            std::unique_lock<std::mutex> lock(shared_->mutex);
            shared_->changed.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return shared_->stopping; });
            now = remoteproto::LinkNs();
        }
        if (now >= nextTick)
            nextTick = handlers_.Tick ? std::min(handlers_.Tick(now), now + MaxWaitNs) : now + MaxWaitNs;
    }
    if (connected) {
        // A clean end: no will. The disconnect goes out with what is queued.
        // Written without reading: what arrives meanwhile is of no use now,
        // and a read in the disconnecting state may end the loop first.
        mosquitto_disconnect(client_);
        const int64_t until = remoteproto::LinkNs() + StopFlushMs * Ms;
        while (mosquitto_socket(client_) >= 0 && remoteproto::LinkNs() < until &&
               mosquitto_loop_write(client_, 1) == MOSQ_ERR_SUCCESS)
            if (mosquitto_socket(client_) >= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        shared_->events.clear();
    }
}

} // namespace remotelink
