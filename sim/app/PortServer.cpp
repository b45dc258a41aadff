#include "sim/app/PortServer.h"

#include "sim/app/PortPacket.h"
#include "sim/protocol/SimProtocol.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {
// Connections waiting to be accepted.
constexpr int ListenBacklog = 8;

sockaddr_un Address(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        throw std::runtime_error("socket path too long (at most " + std::to_string(sizeof(address.sun_path) - 1) +
                                 " bytes): " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// True when a server answers at `address`.
bool SomeoneListens(const sockaddr_un &address)
{
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool live = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    close(fd);
    return live;
}

struct Client {
    int fd;
    bool controller; // has made a port access
};
} // namespace

PortServer::PortServer(const std::string &path, SharedRobot &robot, QueryFunction query)
    : path_(path), robot_(robot), query_(std::move(query))
{
    const sockaddr_un address = Address(path);
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode))
            throw std::runtime_error(path + " exists and is not a socket; not replacing it");
        if (SomeoneListens(address))
            throw std::runtime_error("another robot-sim is already running at " + path);
        unlink(path.c_str()); // left behind by a simulator that ended without cleaning up
    }
    listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw std::runtime_error(std::string("cannot create a socket: ") + std::strerror(errno));
    // Only this user may connect: the socket is made with no rights for others.
    const mode_t old = umask(077);
    const bool bound = bind(listenFd_, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    const int bindError = errno;
    umask(old);
    if (!bound || listen(listenFd_, ListenBacklog) != 0) {
        const std::string why = std::strerror(bound ? errno : bindError);
        close(listenFd_);
        throw std::runtime_error("cannot listen at " + path + ": " + why);
    }
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
    std::vector<Client> clients;
    auto drop = [&](size_t i) {
        if (clients[i].controller)
            robot_.ControllerLeft(simproto::MonotonicNs());
        close(clients[i].fd);
        clients.erase(clients.begin() + static_cast<long>(i));
    };
    for (;;) {
        std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        for (const Client &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
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
                if (got <= 0) { // closed (0) or failed
                    gone = true;
                    break;
                }
                const std::string answer =
                    HandlePortPacket(robot_, query_, clients[i].controller, &m, static_cast<size_t>(got));
                if (!answer.empty())
                    send(clients[i].fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            if (gone)
                drop(i);
        }
        if (fds[1].revents & POLLIN) {
            for (;;) {
                const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0)
                    break;
                clients.push_back({fd, false});
            }
        }
    }
    while (!clients.empty())
        drop(clients.size() - 1);
}
