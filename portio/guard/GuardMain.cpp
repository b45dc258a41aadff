// port-guard: switches the motors off when the program cannot.
//
// Started by a port library at its first access (portio/kit/GuardLink.cpp),
// in a session of its own, with its link to the program on descriptor 3 and
// the page they share on descriptor 4:
//
//   port-guard <program's pid> <data register>
//
// It keeps the orders the library sends (one per device, each with a copy of
// the device's open file; one for the trace) and
//   - when the link closes without a word (the program killed with kill -9,
//     taken by the out-of-memory killer, any death no code of its own could
//     see): runs every device's zeroing routine, appends a write of 0 to the
//     trace, and ends;
//   - while the page says a motor code is held, looks every 50 ms whether the
//     program is stopped (SIGSTOP, or a stop under a debugger) and then writes
//     0 the same way, once per stop, leaving the devices to the program;
//     nothing is written while it runs;
//   - when the program stands it down (a normal end), ends without a write.
#include "core/Clock.h"
#include "portio/kit/GuardRoutines.h" // the zeroing routines, registered by the devices
#include "portio/kit/GuardProtocol.h"
#include "portio/kit/PortKit.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using portguard::Situation;

struct Order {
    char Kind = 0;
    int Fd = -1;
    std::string Payload;
};

std::array<Order, portkit::GuardSlots> g_orders;
short g_dataRegister = 0;

void Forget(Order &order)
{
    if (order.Fd >= 0)
        close(order.Fd);
    order = Order{};
}

// One message from the link; false when the link has closed.
bool Receive(int link)
{
    char buffer[guardproto::MaxMessage];
    iovec io{buffer, sizeof buffer};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(link, &header, MSG_CMSG_CLOEXEC);
    if (got < 0)
        return errno == EINTR || errno == EAGAIN;
    int fd = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int received;
                std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                if (fd < 0)
                    fd = received;
                else
                    close(received);
            }
        }
    if (got == 0)
        return false;
    if (buffer[0] == guardproto::StandDownMessage) {
        // A normal end: the program has let its devices go.
        for (Order &order : g_orders)
            Forget(order);
        _exit(0);
    }
    const auto slot = static_cast<unsigned char>(got >= 2 ? buffer[1] : 0xFF);
    if (buffer[0] != guardproto::OrderMessage || size_t(got) < guardproto::OrderHeader ||
        slot >= g_orders.size()) {
        if (fd >= 0)
            close(fd);
        return true;
    }
    Order &order = g_orders[slot];
    Forget(order);
    order.Kind = buffer[2];
    order.Fd = fd;
    order.Payload.assign(buffer + guardproto::OrderHeader, size_t(got) - guardproto::OrderHeader);
    if (order.Kind == 0)
        Forget(order);
    return true;
}

void WriteAll(int fd, const char *text, size_t size)
{
    while (size > 0) {
        const ssize_t put = write(fd, text, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return;
        text += put;
        size -= size_t(put);
    }
}

void AppendZeroToTrace(int fd)
{
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%lld,W,%d,0\n", static_cast<long long>(MonotonicNs()),
                                     g_dataRegister);
    if (length > 0)
        WriteAll(fd, line, size_t(length));
}

void SwitchMotorsOff(Situation situation)
{
    for (Order &order : g_orders) {
        if (order.Kind == 0 || order.Kind == guardproto::TraceKind)
            continue;
        if (portguard::ZeroRoutine zero = portguard::FindZeroRoutine(order.Kind))
            zero(order.Fd, order.Payload, situation);
    }
    // After the devices, so that the trace's time is no earlier than theirs.
    for (const Order &order : g_orders)
        if (order.Kind == guardproto::TraceKind && order.Fd >= 0)
            AppendZeroToTrace(order.Fd);
}

// The program is stopped: by a signal (T) or under a debugger (t).
bool Stopped(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[512];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0)
        return false;
    text[got] = '\0';
    // "pid (name) S ...": the name may hold anything, so from its last ')'.
    const char *end = std::strrchr(text, ')');
    return end && end[1] == ' ' && (end[2] == 'T' || end[2] == 't');
}

void IgnoreSignals()
{
    // Only the program's death or its word ends the guard: not a Ctrl+C, a
    // closed terminal or a kill of the program's whole session.
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU}) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(signal, &ignore, nullptr);
    }
}
} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "port-guard: started by the port library, not by hand\n");
        return 2;
    }
    const pid_t program = static_cast<pid_t>(std::strtol(argv[1], nullptr, 10));
    g_dataRegister = static_cast<short>(std::strtol(argv[2], nullptr, 10));
    IgnoreSignals();
    prctl(PR_SET_NAME, "port-guard", 0, 0, 0);
    if (chdir("/") != 0) {
        // Its files came as open descriptors; the folder does not matter.
    }
    const int link = guardproto::LinkFd;
    guardproto::SharedPage *page = nullptr;
    void *mem = mmap(nullptr, guardproto::PageSize, PROT_READ | PROT_WRITE, MAP_SHARED, guardproto::PageFd, 0);
    if (mem != MAP_FAILED)
        page = static_cast<guardproto::SharedPage *>(mem);

    // The write count at the last stop the guard acted on: a stop is acted on
    // once, and again only after the program has written since.
    uint32_t actedAt = 0;
    bool acted = false;
    for (;;) {
        pollfd p{link, POLLIN, 0};
        const int ready = poll(&p, 1, guardproto::WatchMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && !Receive(link))
            break;
        if (!page || page->Held.load(std::memory_order_acquire) == 0)
            continue;
        const uint32_t writes = page->Writes.load(std::memory_order_acquire);
        if (acted && writes == actedAt)
            continue;
        if (Stopped(program)) {
            SwitchMotorsOff(Situation::ProgramStopped);
            page->Cuts.fetch_add(1, std::memory_order_acq_rel);
            actedAt = writes;
            acted = true;
        }
    }
    SwitchMotorsOff(Situation::ProgramGone);
    for (Order &order : g_orders)
        Forget(order);
    return 0;
}
