#include "sim/app/PortServer.h"

#include "core/Clock.h"
#include "sim/app/LocalSocket.h"
#include "sim/app/PortPacket.h"
#include "sim/protocol/SimProtocol.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
// Connections waiting to be accepted.
constexpr int ListenBacklog = 8;

struct Client {
    int fd;
    bool controller; // has made a port access
};

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

void PortServer::Run()
{
    Acceptor acceptor(listenFd_, path_, SOCK_NONBLOCK | SOCK_CLOEXEC);
    std::vector<Client> clients;
    auto drop = [&](size_t i) {
        if (clients[i].controller)
            robot_.ControllerLeft(MonotonicNs());
        close(clients[i].fd);
        clients.erase(clients.begin() + static_cast<long>(i));
    };
    for (;;) {
        std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {acceptor.PollFd(), POLLIN, 0}};
        for (const Client &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), acceptor.PollTimeoutMs()) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        // Clients first, from the back, so that dropping one leaves the
        // indices of those still to look at as they were.
        for (size_t i = clients.size(); i-- > 0;) {
            const short events = fds[i + 2].revents;
            if (!events)
                continue;
            bool gone = (events & (POLLERR | POLLNVAL)) != 0;
            while (!gone) {
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
                if (got == 0) // an empty packet: not a message, and no reason to drop the client
                    continue;
                const std::string answer =
                    HandlePortPacket(robot_, query_, clients[i].controller, &m, static_cast<size_t>(got));
                if (!answer.empty())
                    send(clients[i].fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            if (gone)
                drop(i);
        }
        // While accepting is paused, try again whenever poll returns.
        if ((fds[1].revents & POLLIN) || fds[1].fd < 0) {
            for (int fd; (fd = acceptor.Accept()) >= 0;)
                clients.push_back({fd, false});
        }
    }
    while (!clients.empty())
        drop(clients.size() - 1);
}
