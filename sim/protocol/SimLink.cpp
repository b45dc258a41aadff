#include "sim/protocol/SimLink.h"

#include "core/Clock.h"
#include "sim/protocol/PrivatePlace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace simproto {
namespace {
// How long a write may wait for room in a full socket before it is dropped.
constexpr int WriteWaitMs = 100;

// Milliseconds left until `deadlineNs`, never negative.
int MsUntil(int64_t deadlineNs)
{
    const int64_t left = deadlineNs - MonotonicNs();
    return left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
}
} // namespace

std::string SocketPath()
{
    if (const char *path = std::getenv(SocketVariable); path && *path)
        return path;
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime && *runtime && PrivateFolderProblem(runtime).empty())
        return std::string(runtime) + "/" + SocketFileName;
    return {};
}

SimLink::SimLink(int64_t retryIntervalNs, std::string path)
    : retryIntervalNs_(retryIntervalNs), fixedPath_(std::move(path))
{
}

SimLink::~SimLink() { Disconnect(); }

void SimLink::Disconnect()
{
    if (fd_ >= 0) {
        close(fd_);
        problem_ = LinkProblem::NoAnswer;
    }
    fd_ = -1;
}

bool SimLink::EnsureConnected()
{
    const std::string path = fixedPath_.empty() ? SocketPath() : fixedPath_;
    if (fd_ >= 0) {
        // Keep the connection unless the socket's name changed or the
        // simulator hung up; then connect afresh before this access.
        pollfd p{fd_, 0, 0};
        const bool hungUp = poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
        if (path == lastPath_ && !hungUp)
            return true;
        Disconnect();
    }
    const int64_t now = MonotonicNs();
    if (attempted_ && path == lastPath_ && now - lastAttemptNs_ < retryIntervalNs_)
        return false;
    attempted_ = true;
    lastAttemptNs_ = now;
    lastPath_ = path;
    problem_ = LinkProblem::NoAnswer;

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty())
        problem_ = LinkProblem::NoPath;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking throughout: a simulator that stopped answering never holds
    // the caller up for longer than a timeout.
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return false;
    }
    // Whoever listens there must be this same user: a server of another user
    // would receive the motor commands and make up the sensor readings.
    const uid_t peer = PeerUser(fd);
    if (peer != geteuid()) {
        close(fd);
        problem_ = LinkProblem::OtherUser;
        refusedUser_ = peer;
        return false;
    }
    problem_ = LinkProblem::None;
    fd_ = fd;
    return true;
}

bool SimLink::Send(const PortMessage &message, int timeoutMs)
{
    const int64_t deadline = MonotonicNs() + int64_t(timeoutMs) * 1'000'000;
    for (;;) {
        const ssize_t sent = send(fd_, &message, sizeof(message), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(sizeof(message)))
            return true;
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            const int wait = MsUntil(deadline);
            if (wait > 0 && poll(&p, 1, wait) > 0 && !(p.revents & (POLLHUP | POLLERR)))
                continue;
            if (p.revents & (POLLHUP | POLLERR))
                Disconnect();
            return false; // the simulator is not taking anything: drop it
        }
        Disconnect(); // the simulator has gone
        return false;
    }
}

bool SimLink::Write(int16_t port, int16_t value, int64_t ns)
{
    if (!EnsureConnected())
        return false;
    PortMessage message;
    message.kind = KindWrite;
    message.sequence = ++sequence_;
    message.monotonicNs = ns;
    message.port = port;
    message.value = value;
    return Send(message, WriteWaitMs);
}

std::optional<int16_t> SimLink::Read(int16_t port, int64_t ns, int timeoutMs)
{
    if (!EnsureConnected())
        return std::nullopt;
    PortMessage request;
    request.kind = KindRead;
    request.sequence = ++sequence_;
    request.monotonicNs = ns;
    request.port = port;
    const int64_t deadline = MonotonicNs() + int64_t(timeoutMs) * 1'000'000;
    if (!Send(request, timeoutMs))
        return std::nullopt;
    char buffer[MaxQueryAnswer];
    for (;;) {
        // On a time-out a late answer is dropped later by its number.
        const ssize_t got = ReceivePacket(buffer, sizeof(buffer), deadline);
        if (got <= 0)
            return std::nullopt;
        if (got != sizeof(PortMessage) || buffer[0] == '{')
            continue; // a stray query answer
        PortMessage answer;
        std::memcpy(&answer, buffer, sizeof(answer));
        if (answer.kind == KindRead && answer.sequence == request.sequence)
            return answer.value;
    }
}

std::optional<std::string> SimLink::Query(int timeoutMs)
{
    if (!EnsureConnected())
        return std::nullopt;
    PortMessage request;
    request.kind = KindQuery;
    request.sequence = ++sequence_;
    request.monotonicNs = MonotonicNs();
    const int64_t deadline = MonotonicNs() + int64_t(timeoutMs) * 1'000'000;
    if (!Send(request, timeoutMs))
        return std::nullopt;
    char buffer[MaxQueryAnswer];
    for (;;) {
        const ssize_t got = ReceivePacket(buffer, sizeof(buffer), deadline);
        if (got <= 0)
            return std::nullopt;
        if (buffer[0] != '{')
            continue; // a late answer to a read
        return std::string(buffer, static_cast<size_t>(got));
    }
}

ssize_t SimLink::ReceivePacket(char *buffer, size_t size, int64_t deadline)
{
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, MsUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return 0;
        const ssize_t got = recv(fd_, buffer, size, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0) {
            Disconnect();
            return 0;
        }
        return got;
    }
}

} // namespace simproto
