#include "portio/PortGuard.h"

#include "core/Clock.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// Everything in this anonymous namespace runs in the guard process, a child
// forked from a program with many threads: only async-signal-safe calls, no
// allocation, no locks.
namespace {
// Messages on the link (a stream socket pair): one kind byte, two length
// bytes (low byte first), then the payload.
constexpr char KindDevice = 'D';
constexpr char KindTrace = 'T';
constexpr char KindStandDown = 'Q';

// How long the guard waits to claim a device (another driver holding it).
constexpr unsigned ClaimSeconds = 1;

struct Orders {
    short dataRegister;
    char devices[PortGuard::MaxDevices][PortGuard::MaxPath];
    int deviceCount;
    char trace[PortGuard::MaxPath];
};

// Reads exactly `size` bytes; false at the end of the link or on an error.
bool ReadAll(int fd, void *buffer, size_t size)
{
    auto *at = static_cast<char *>(buffer);
    while (size > 0) {
        const ssize_t got = read(fd, at, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        at += got;
        size -= static_cast<size_t>(got);
    }
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
        size -= static_cast<size_t>(put);
    }
}

// Decimal digits of `value` at `out`; returns the end.
char *Decimal(char *out, long long value)
{
    char digits[24];
    int count = 0;
    const bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                            : static_cast<unsigned long long>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    if (negative)
        *out++ = '-';
    while (count > 0)
        *out++ = digits[--count];
    return out;
}

void AppendZeroToTrace(const Orders &orders)
{
    if (orders.trace[0] == '\0')
        return;
    const int fd = open(orders.trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char line[64];
    char *end = Decimal(line, static_cast<long long>(MonotonicNs()));
    *end++ = ',';
    *end++ = 'W';
    *end++ = ',';
    end = Decimal(end, orders.dataRegister);
    const char tail[] = ",0\n";
    for (char c : tail)
        if (c)
            *end++ = c;
    WriteAll(fd, line, static_cast<size_t>(end - line));
    close(fd);
}

void OnAlarm(int) {}

void ZeroDevice(const char *path)
{
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    // The program's claim ends with its last descriptor; a claim that still
    // waits after this long is another driver's, and the port is not ours.
    struct sigaction wake {};
    wake.sa_handler = OnAlarm;
    sigaction(SIGALRM, &wake, nullptr);
    alarm(ClaimSeconds);
    const bool claimed = ioctl(fd, PPCLAIM) == 0;
    alarm(0);
    if (claimed) {
        unsigned char zero = 0;
        ioctl(fd, PPWDATA, &zero);
        ioctl(fd, PPRELEASE);
    }
    close(fd);
}

void CloseInheritedDescriptors(int keep)
{
    // Everything the program had open (its display connection, its sockets,
    // its device) must not live on in the guard.
    const int devNull = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd)
        if (devNull >= 0 && devNull != fd)
            dup2(devNull, fd);
    constexpr int Link = 3;
    if (keep != Link)
        dup2(keep, Link);
    if (close_range(Link + 1, UINT_MAX, 0) != 0)
        for (int fd = Link + 1; fd < 65536; ++fd)
            close(fd);
}

void ResetSignals()
{
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigaction(signal, &action, nullptr);
    }
    // A Ctrl+C in the terminal or a closed terminal reaches the whole process
    // group; the guard stays until the program has gone.
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(signal, &ignore, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void RunGuard(int link, short dataRegister)
{
    ResetSignals();
    CloseInheritedDescriptors(link);
    link = 3;
    prctl(PR_SET_NAME, "port-guard", 0, 0, 0);
    if (chdir("/") != 0) {
        // Paths it was given are absolute; the folder it started in does not matter.
    }

    static Orders orders; // zeroed; the guard's own copy
    orders.dataRegister = dataRegister;
    for (;;) {
        unsigned char header[3];
        if (!ReadAll(link, header, sizeof header))
            break; // the program has gone without a word
        const size_t length = header[1] | (size_t(header[2]) << 8);
        char payload[PortGuard::MaxPath];
        if (length >= sizeof payload || !ReadAll(link, payload, length))
            break;
        payload[length] = '\0';
        switch (header[0]) {
        case KindStandDown:
            _exit(0);
        case KindDevice:
            if (orders.deviceCount < PortGuard::MaxDevices)
                std::memcpy(orders.devices[orders.deviceCount++], payload, length + 1);
            break;
        case KindTrace:
            std::memcpy(orders.trace, payload, length + 1);
            break;
        default:
            break;
        }
    }
    for (int i = 0; i < orders.deviceCount; ++i)
        ZeroDevice(orders.devices[i]);
    AppendZeroToTrace(orders);
    _exit(0);
}
} // namespace

void PortGuard::Start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_)
        return;
    started_ = true;
    // A socket pair rather than a pipe: a guard that was killed makes our
    // writes fail quietly (MSG_NOSIGNAL) instead of raising SIGPIPE here.
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    // Through an intermediate child that ends at once: the guard is then
    // nobody's child in this program (no zombie, no SIGCHLD of ours). _Fork
    // runs no fork handlers of the libraries in this process.
    const pid_t child = _Fork();
    if (child == 0) {
        close(ends[1]);
        if (_Fork() == 0)
            RunGuard(ends[0], dataRegister_);
        _exit(0);
    }
    close(ends[0]);
    if (child < 0) {
        close(ends[1]);
        return;
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    link_ = ends[1];
}

void PortGuard::Send(char kind, const std::string &payload)
{
    if (link_ < 0 || payload.size() >= MaxPath)
        return;
    std::string message(1, kind);
    message += static_cast<char>(payload.size() & 0xFF);
    message += static_cast<char>(payload.size() >> 8);
    message += payload;
    // A guard that has gone, or stopped reading, is not waited for.
    size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t put = send(link_, message.data() + sent, message.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return;
        sent += static_cast<size_t>(put);
    }
}

void PortGuard::GuardDevice(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Send(KindDevice, path);
}

void PortGuard::GuardTrace(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (path == trace_)
        return;
    trace_ = path;
    std::string absolute = path;
    if (!path.empty() && path[0] != '/') {
        char here[PATH_MAX];
        if (getcwd(here, sizeof here))
            absolute = std::string(here) + "/" + path;
    }
    Send(KindTrace, absolute);
}

void PortGuard::StandDown()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (link_ < 0)
        return;
    Send(KindStandDown, {});
    close(link_);
    link_ = -1;
}
