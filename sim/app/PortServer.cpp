#include "sim/app/PortServer.h"

#include "core/Clock.h"
#include "sim/app/LocalSocket.h"
#include "sim/app/PortPacket.h"
#include "sim/protocol/SimProtocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <string_view>
#include <unistd.h>

namespace {
// Connections waiting to be accepted.
constexpr int ListenBacklog = 8;
// A client's turn ends after this many packets, or sooner once its packets
// have taken this long (a state query on a large world takes about a
// millisecond, a register access microseconds), with at least one packet
// taken. A client that keeps its socket full gets its share and no more, so
// a controller's read waits behind at most one turn of each other client.
constexpr int PacketsPerTurn = 8;
constexpr int64_t TurnNs = 250'000;
// While the motors run, how often the process of the client in charge of
// them is looked at. It must be seen stopped this many times in a row: a
// tracer stops a process at each system call, but only for moments.
constexpr int64_t LookPeriodNs = 50'000'000;
constexpr int StoppedLooks = 2;

// recv() returns 0 both for an empty packet and at the end of the
// connection; only the latter has the peer's side shut.
bool PeerHasHungUp(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    while (poll(&p, 1, 0) < 0) {
        if (errno != EINTR)
            return true;
    }
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

pid_t PeerProcess(int fd)
{
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof(peer))
        return 0;
    return peer.pid;
}

// Whether process `pid` stands stopped: by a signal (state T) or by a
// tracer (t), as /proc/<pid>/stat says.
bool ProcessStopped(pid_t pid)
{
    char path[40];
    std::snprintf(path, sizeof(path), "/proc/%ld/stat", static_cast<long>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[512];
    const ssize_t got = read(fd, text, sizeof(text));
    close(fd);
    if (got <= 0)
        return false;
    // "pid (name) state ...": the name may hold spaces and parentheses, so
    // the state is found after the last ')'.
    const std::string_view line(text, static_cast<size_t>(got));
    const size_t nameEnd = line.rfind(')');
    if (nameEnd == std::string_view::npos || nameEnd + 2 >= line.size())
        return false;
    const char state = line[nameEnd + 2];
    return state == 'T' || state == 't';
}

// The shorter of two poll timeouts (-1: none).
int Sooner(int a, int b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }
} // namespace

PortServer::PortServer(const std::string &path, SharedRobot &robot, QueryFunction query)
    : path_(path), robot_(robot), query_(std::move(query))
{
    listenFd_ = ListenAt(path, SOCK_SEQPACKET, ListenBacklog);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        close(listenFd_);
        unlink(path.c_str());
        throw std::runtime_error(std::string("cannot create an eventfd: ") + std::strerror(errno));
    }
    thread_ = std::thread([this] { Run(); });
}

PortServer::~PortServer()
{
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof(one)) < 0) {
        // The counter cannot overflow with one write; nothing else can fail here.
    }
    thread_.join();
    close(wakeFd_);
    close(listenFd_);
    unlink(path_.c_str());
}

struct PortServer::Client {
    int fd;
    PortClient port;
    pid_t pid; // the process that connected; 0 when it cannot be told
};

int PortServer::WatchDriver(const std::vector<Client> &clients)
{
    const uint64_t driver = robot_.RunningDriver();
    if (driver == 0) {
        watched_ = 0;
        return -1;
    }
    const int64_t now = MonotonicNs();
    if (driver != watched_) {
        watched_ = driver;
        stoppedSeen_ = 0;
        nextLookNs_ = now;
    }
    if (now >= nextLookNs_) {
        const auto it = std::find_if(clients.begin(), clients.end(),
                                     [driver](const Client &c) { return c.port.id == driver; });
        const bool stopped = it != clients.end() && it->pid > 0 && ProcessStopped(it->pid);
        stoppedSeen_ = stopped ? stoppedSeen_ + 1 : 0;
        if (stoppedSeen_ >= StoppedLooks) {
            robot_.ControllerStopped(now, driver);
            watched_ = 0;
            return -1;
        }
        nextLookNs_ = now + LookPeriodNs;
    }
    return static_cast<int>((nextLookNs_ - now + 999'999) / 1'000'000);
}

void PortServer::Run()
{
    Acceptor acceptor(listenFd_, path_, SOCK_NONBLOCK | SOCK_CLOEXEC);
    std::vector<Client> clients;
    uint64_t lastId = 0;
    auto drop = [&](size_t i) {
        if (clients[i].port.controller)
            robot_.ControllerLeft(MonotonicNs(), clients[i].port.id);
        close(clients[i].fd);
        clients.erase(clients.begin() + static_cast<long>(i));
    };
    for (;;) {
        std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {acceptor.PollFd(), POLLIN, 0}};
        for (const Client &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        const int timeout = Sooner(acceptor.PollTimeoutMs(), WatchDriver(clients));
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        // Each client in turn, from the back, so that dropping one leaves the
        // indices of those still to look at as they were. What a client has
        // left waits for its next turn: poll reports it again at once.
        for (size_t i = clients.size(); i-- > 0;) {
            const short events = fds[i + 2].revents;
            if (!events)
                continue;
            bool gone = (events & (POLLERR | POLLNVAL)) != 0;
            const int64_t turnEnd = MonotonicNs() + TurnNs;
            for (int taken = 0; !gone && taken < PacketsPerTurn && (taken == 0 || MonotonicNs() < turnEnd);) {
                simproto::PortMessage m;
                // MSG_TRUNC: the packet's real length, so that a longer one is not taken for a message.
                const ssize_t got = recv(clients[i].fd, &m, sizeof(m), MSG_DONTWAIT | MSG_TRUNC);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    break;
                if (got < 0 || (got == 0 && PeerHasHungUp(clients[i].fd))) {
                    gone = true;
                    break;
                }
                ++taken; // empty packets too, or a stream of them would hold the turn
                if (got == 0) // an empty packet: not a message, and no reason to drop the client
                    continue;
                const std::string answer =
                    HandlePortPacket(robot_, query_, clients[i].port, &m, static_cast<size_t>(got));
                if (!answer.empty())
                    send(clients[i].fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            if (gone)
                drop(i);
        }
        // While accepting is paused, try again whenever poll returns.
        if ((fds[1].revents & POLLIN) || fds[1].fd < 0) {
            for (int fd; (fd = acceptor.Accept()) >= 0;)
                clients.push_back({fd, PortClient{++lastId, false}, PeerProcess(fd)});
        }
    }
    while (!clients.empty())
        drop(clients.size() - 1);
}
