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
//   sim-peer drive PATH CODE
//                          a control program that writes CODE to the data
//                          register, prints "driving <CODE>" once robot-sim
//                          has it (or "no answer"), and then waits, connected,
//                          until it is killed
//   sim-peer flood PATH    a client that keeps its socket full of queries and
//                          takes the answers as they come; prints "flooding"
//                          once the socket is full, "closed" when robot-sim
//                          hangs up
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "sim/protocol/SimLink.h"
#include "sim/protocol/SimProtocol.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
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
int Drive(const char *path, const char *code)
{
    char *end = nullptr;
    const long value = std::strtol(code, &end, 10);
    if (!*code || *end || value < 0 || value > 255) {
        Say(std::string("not a motor code: ") + code);
        return 2;
    }
    simproto::SimLink link(0, path);
    link.Write(DataPort, static_cast<int16_t>(value), MonotonicNs());
    // The read comes after the write on the same connection: its answer
    // means the write has been taken.
    const std::optional<int16_t> now = link.Read(DataPort, MonotonicNs(), 2000);
    Say(now ? "driving " + std::to_string(*now) : std::string("no answer"));
    for (;;)
        pause(); // connected until killed
}

int Flood(const char *path)
{
    const int fd = Connect(path, SOCK_SEQPACKET);
    if (fd < 0)
        return 1;
    simproto::PortMessage query;
    query.kind = simproto::KindQuery;
    char answer[simproto::MaxQueryAnswer];
    bool full = false;
    for (;;) {
        // Take whatever answers are there, then send until the socket is full.
        ssize_t got;
        while ((got = recv(fd, answer, sizeof(answer), MSG_DONTWAIT)) > 0) {
        }
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            Say("closed");
            return 0;
        }
        const ssize_t sent = send(fd, &query, sizeof(query), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!full)
                Say("flooding");
            full = true;
            pollfd p{fd, POLLIN | POLLOUT, 0};
            poll(&p, 1, 100);
        } else if (sent < 0 && errno != EINTR) {
            Say("closed");
            return 0;
        }
    }
}
} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "drive")
        return Drive(argv[2], argv[3]);
    if (argc != 3) {
        std::fprintf(stderr, "usage: sim-peer port|camera|query|watch|flood PATH, or sim-peer drive PATH CODE\n");
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
    if (mode == "flood")
        return Flood(argv[2]);
    std::fprintf(stderr, "sim-peer: unknown mode %s\n", argv[1]);
    return 2;
}
