// sim-peer: the other end of robot-sim's sockets for tests, run as this user
// or (with setpriv) as another one. It prints what happens, one line each,
// flushed at once.
//
//   sim-peer port PATH     listens like robot-sim's port socket (mode 0777):
//                          prints "ready", then "W <port> <value>", "R <port>"
//                          or "Q" for every message; answers reads with 94
//   sim-peer camera PATH   listens like robot-sim's camera (mode 0777): prints
//                          "ready"; sends each client the caps line and frames
//                          of Y 200, U 90, V 160 (320 x 240 I420), 30 a second
//   sim-peer query PATH    connects to a port socket and asks for the state:
//                          "connect: <error>", "answer: <text>", "closed" or
//                          "no answer" (within a second)
//   sim-peer watch PATH    connects to a camera socket and reads for a second:
//                          "connect: <error>" or "received <bytes>"
#include "core/Clock.h"
#include "sim/protocol/SimProtocol.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr int Width = 320;
constexpr int Height = 240;
constexpr int FrameBytes = Width * Height * 3 / 2;
constexpr const char *Header = "video/x-raw,format=I420,width=320,height=240,framerate=30/1\n";

sockaddr_un Address(const char *path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path);
    return address;
}

void Say(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int Listen(const char *path, int type)
{
    unlink(path);
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    const sockaddr_un address = Address(path);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(fd, 8) != 0 || chmod(path, 0777) != 0) {
        Say(std::string("listen: ") + std::strerror(errno));
        return -1;
    }
    Say("ready");
    return fd;
}

int Connect(const char *path, int type)
{
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    const sockaddr_un address = Address(path);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        Say(std::string("connect: ") + std::strerror(errno));
        return -1;
    }
    return fd;
}

int ServePort(const char *path)
{
    const int listener = Listen(path, SOCK_SEQPACKET);
    if (listener < 0)
        return 1;
    std::vector<int> clients;
    for (;;) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (int c : clients)
            fds.push_back({c, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        for (size_t i = fds.size(); i-- > 1;) {
            if (!fds[i].revents)
                continue;
            simproto::PortMessage m;
            const ssize_t got = recv(fds[i].fd, &m, sizeof(m), 0);
            if (got <= 0) {
                close(fds[i].fd);
                clients.erase(clients.begin() + static_cast<long>(i - 1));
                continue;
            }
            if (m.kind == simproto::KindWrite) {
                Say("W " + std::to_string(m.port) + " " + std::to_string(m.value));
            } else if (m.kind == simproto::KindRead) {
                Say("R " + std::to_string(m.port));
                m.value = 94; // an obstacle ahead and the line under both sensors
                send(fds[i].fd, &m, sizeof(m), MSG_NOSIGNAL);
            } else if (m.kind == simproto::KindQuery) {
                Say("Q");
                const std::string answer = "{\"impostor\": true}";
                send(fds[i].fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
        }
        if (fds[0].revents & POLLIN) {
            const int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                clients.push_back(c);
        }
    }
}

bool SendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

int ServeCamera(const char *path)
{
    const int listener = Listen(path, SOCK_STREAM);
    if (listener < 0)
        return 1;
    std::vector<char> frame(FrameBytes, char(160));
    std::memset(frame.data(), 200, Width * Height);
    std::memset(frame.data() + Width * Height, 90, Width * Height / 4);
    for (;;) {
        const int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        bool open = SendAll(c, Header, std::strlen(Header));
        while (open) {
            open = SendAll(c, frame.data(), frame.size());
            const timespec period{0, 33'333'333};
            nanosleep(&period, nullptr);
        }
        close(c);
    }
}

int Query(const char *path)
{
    const int fd = Connect(path, SOCK_SEQPACKET);
    if (fd < 0)
        return 1;
    simproto::PortMessage m;
    m.kind = simproto::KindQuery;
    send(fd, &m, sizeof(m), MSG_NOSIGNAL);
    pollfd p{fd, POLLIN, 0};
    char answer[simproto::MaxQueryAnswer];
    if (poll(&p, 1, 1000) <= 0) {
        Say("no answer");
        return 0;
    }
    const ssize_t got = recv(fd, answer, sizeof(answer), 0);
    Say(got > 0 ? "answer: " + std::string(answer, static_cast<size_t>(got)) : std::string("closed"));
    return 0;
}

int Watch(const char *path)
{
    const int fd = Connect(path, SOCK_STREAM);
    if (fd < 0)
        return 1;
    long total = 0;
    const int64_t end = MonotonicNs() + 1'000'000'000;
    char buffer[65536];
    for (;;) {
        const int64_t left = (end - MonotonicNs()) / 1'000'000;
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0)
            break;
        total += got;
    }
    Say("received " + std::to_string(total));
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: sim-peer port|camera|query|watch PATH\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "port")
        return ServePort(argv[2]);
    if (mode == "camera")
        return ServeCamera(argv[2]);
    if (mode == "query")
        return Query(argv[2]);
    if (mode == "watch")
        return Watch(argv[2]);
    std::fprintf(stderr, "sim-peer: unknown mode %s\n", argv[1]);
    return 2;
}
