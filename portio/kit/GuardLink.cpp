#include "portio/kit/GuardLink.h"

#include "core/Clock.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace portkit {
namespace {
// How often a library looks whether its guard still runs.
constexpr int64_t LookEveryNs = 100'000'000;
constexpr const char *GuardProgram = "port-guard";
// The guard's descriptor, until its exec, on which a failed exec says why.
constexpr int ExecStatusFd = guardproto::PageFd + 1;
// How long a replacement waits to know that the new guard runs (an exec takes
// a few milliseconds); the kit's lock is held meanwhile.
constexpr int ReplaceExecWaitMs = 50;

// The folder this library was loaded from.
std::string LibraryFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&LibraryFolder), &info) == 0 || !info.dli_fname)
        return {};
    char resolved[PATH_MAX];
    if (!realpath(info.dli_fname, resolved))
        return {};
    std::string path = resolved;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// port-guard sits next to the program (bin/), which is next to the library
// or two folders up from it (lib/<kind>/), in the build and installed alike.
std::string FindGuardProgram()
{
    const std::string folder = LibraryFolder();
    if (folder.empty())
        return {};
    char resolved[PATH_MAX];
    for (const std::string &candidate :
         {folder + "/" + GuardProgram, folder + "/../../bin/" + GuardProgram})
        if (access(candidate.c_str(), X_OK) == 0)
            return realpath(candidate.c_str(), resolved) ? std::string(resolved) : candidate;
    return {};
}

// Moves `fd` to exactly `target` in a child about to exec, keeping it open
// across the exec.
void Place(int fd, int target)
{
    if (fd == target)
        fcntl(fd, F_SETFD, 0);
    else
        dup2(fd, target);
}

[[noreturn]] void ExecGuard(int link, int page, int status, char *const argv[])
{
    // A session of its own: no terminal, no process group shared with the program.
    setsid();
    // The thread that started it may block signals (the kit's watch blocks all).
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Out of the way of the places they go to first.
    link = fcntl(link, F_DUPFD, 10);
    page = page >= 0 ? fcntl(page, F_DUPFD, 10) : -1;
    status = fcntl(status, F_DUPFD_CLOEXEC, 10);
    const int devNull = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd)
        if (devNull >= 0)
            dup2(devNull, fd);
    Place(link, guardproto::LinkFd);
    if (page >= 0)
        Place(page, guardproto::PageFd);
    else
        close(guardproto::PageFd);
    // Closed by the exec: the library reads its end-of-file as success.
    dup3(status, ExecStatusFd, O_CLOEXEC);
    // Everything else the program had open (its display connection, its
    // devices, its sockets) must not live on in the guard.
    if (close_range(ExecStatusFd + 1, UINT_MAX, 0) != 0)
        for (int fd = ExecStatusFd + 1; fd < 65536; ++fd)
            close(fd);
    execve(argv[0], argv, environ);
    const int error = errno;
    (void)!write(ExecStatusFd, &error, sizeof error);
    _exit(127);
}

void SendAll(int fd, const std::string &text) { (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT); }
} // namespace

GuardLink::GuardLink(short dataRegister, std::function<void(const std::string &, const std::string &)> say)
    : dataRegister_(dataRegister), say_(std::move(say))
{
}

GuardLink::~GuardLink()
{
    StandDown();
    if (execStatus_ >= 0)
        close(execStatus_);
    if (page_)
        munmap(page_, guardproto::PageSize);
    if (pageFd_ >= 0)
        close(pageFd_);
}

void GuardLink::Keep()
{
    if (stoodDown_)
        return;
    if (!started_) {
        started_ = true;
        nextLookNs_ = MonotonicNs() + LookEveryNs;
        std::string why;
        if (!Start(why))
            say_(program_.empty() ? "guard-missing" : "guard-start",
                 why + "; a program killed with kill -9 would leave the motors as they were.");
        return;
    }
    const int64_t now = MonotonicNs();
    if (now < nextLookNs_)
        return;
    nextLookNs_ = now + LookEveryNs;
    if (link_ >= 0 && Alive())
        return;
    if (program_.empty())
        return; // said when it was not found
    std::string why;
    if (!Replace(why) && !hadGuard_) // a lost guard is the kit's to tell (Lost)
        say_("guard-start", "cannot start the port guard (" + why +
                                "); a program killed with kill -9 would leave the motors as they were.");
}

bool GuardLink::Replace(std::string &why)
{
    if (stoodDown_ || (link_ >= 0 && Alive()))
        return true;
    if (link_ >= 0) {
        close(link_);
        link_ = -1;
        // A guard whose exec failed never ran (the first start's is not
        // waited for): trying again at once would fail alike.
        if (const int error = ExecFailure()) {
            why = "cannot run " + program_ + ": " + std::strerror(error);
            return false;
        }
        hadGuard_ = true;
    }
    if (program_.empty()) {
        why = "port-guard was not found next to the program";
        return false;
    }
    nextLookNs_ = MonotonicNs() + LookEveryNs;
    const auto lost = [&] {
        lostWhy_ = why;
        return false;
    };
    if (!Start(why))
        return lost();
    // Rare, and quick: worth knowing before saying it runs.
    if (const int error = ExecFailure(ReplaceExecWaitMs)) {
        close(link_);
        link_ = -1;
        why = "cannot run " + program_ + ": " + std::strerror(error);
        return lost();
    }
    say_("guard-restarted", "the port guard (port-guard) has ended; a new one is started. While none "
                            "runs, a program killed with kill -9 would leave the motors as they were.");
    return true;
}

int GuardLink::ExecFailure(int waitMs)
{
    if (execStatus_ < 0)
        return 0;
    pollfd p{execStatus_, POLLIN, 0};
    while (waitMs > 0 && poll(&p, 1, waitMs) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    while ((got = read(execStatus_, &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (got < 0 && errno == EAGAIN)
        return 0; // not known yet
    close(execStatus_);
    execStatus_ = -1;
    return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

bool GuardLink::Lost(std::string &why) const
{
    if (!hadGuard_ || link_ >= 0 || stoodDown_)
        return false;
    why = lostWhy_;
    return true;
}

bool GuardLink::Alive()
{
    // The guard never writes: anything readable on the link is its end.
    pollfd p{link_, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

bool GuardLink::Start(std::string &why)
{
    if (program_.empty()) {
        program_ = FindGuardProgram();
        if (program_.empty()) {
            why = "the port guard (port-guard) was not found next to the program";
            return false;
        }
    }
    if (!page_) {
        pageFd_ = memfd_create("robot-port-page", MFD_CLOEXEC);
        void *mem = MAP_FAILED;
        if (pageFd_ >= 0 && ftruncate(pageFd_, guardproto::PageSize) == 0)
            mem = mmap(nullptr, guardproto::PageSize, PROT_READ | PROT_WRITE, MAP_SHARED, pageFd_, 0);
        if (mem != MAP_FAILED) {
            page_ = new (mem) guardproto::SharedPage;
        } else {
            say_("guard-page", std::string("cannot share a page with the port guard (") + std::strerror(errno) +
                                   "); it cannot tell a stopped program that holds a motor code.");
            if (pageFd_ >= 0)
                close(pageFd_);
            pageFd_ = -1;
        }
    }
    const auto cannot = [&](int error) {
        why = "cannot start " + program_ + ": " + std::strerror(error);
        return false;
    };
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return cannot(errno);
    // A failed exec (or fork) of the guard writes its errno here; a
    // successful one closes it. Read when the link hangs up (ExecFailure).
    int status[2];
    if (pipe2(status, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        close(ends[0]);
        close(ends[1]);
        return cannot(error);
    }
    // Everything the child needs is made before it is forked: after a fork
    // from a program with threads only async-signal-safe calls are allowed.
    std::string pid = std::to_string(getpid());
    std::string data = std::to_string(dataRegister_);
    std::string path = program_;
    char *argv[] = {path.data(), pid.data(), data.data(), nullptr};
    // _Fork runs no fork handlers of the libraries in this process. The
    // child ends at once, so the guard is nobody's child here (no zombie, no
    // SIGCHLD of ours).
    const pid_t child = _Fork();
    if (child == 0) {
        const pid_t guard = _Fork();
        if (guard == 0)
            ExecGuard(ends[0], pageFd_, status[1], argv);
        if (guard < 0) {
            const int error = errno;
            (void)!write(status[1], &error, sizeof error);
        }
        _exit(0);
    }
    const int forkError = errno;
    close(ends[0]);
    close(status[1]);
    if (child < 0) {
        close(ends[1]);
        close(status[0]);
        return cannot(forkError);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (execStatus_ >= 0)
        close(execStatus_);
    execStatus_ = status[0];
    link_ = ends[1];
    // They wait on the link: the guard has them as soon as it runs.
    for (int slot = 0; slot < GuardSlots; ++slot)
        if (orders_[slot].Kind != 0)
            Send(slot, orders_[slot]);
    return true;
}

bool GuardLink::Send(int slot, const GuardOrder &order)
{
    if (link_ < 0)
        return false;
    std::string message;
    message += guardproto::OrderMessage;
    message += static_cast<char>(slot);
    message += order.Kind;
    message += order.Payload;
    if (message.size() > guardproto::MaxMessage) {
        say_("guard-order", "an order for the port guard is too long; that device is not guarded.");
        return false;
    }
    iovec io{message.data(), message.size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (order.Kind != 0 && order.Fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr *rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &order.Fd, sizeof(int));
    }
    // A guard that has gone, or stopped reading, is not waited for: Keep()
    // finds it gone and a new one gets every order.
    return sendmsg(link_, &header, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(message.size());
}

void GuardLink::Order(int slot, const GuardOrder &order)
{
    if (slot < 0 || slot >= GuardSlots || stoodDown_)
        return;
    orders_[slot] = order;
    Send(slot, order);
}

void GuardLink::BeforeDataWrite(short value)
{
    if (page_ && value != 0)
        page_->Held.store(value, std::memory_order_release);
}

void GuardLink::AfterDataWrite(short value)
{
    if (!page_)
        return;
    page_->Held.store(value, std::memory_order_release);
    page_->Writes.fetch_add(1, std::memory_order_release);
}

uint32_t GuardLink::Cuts() const { return page_ ? page_->Cuts.load(std::memory_order_acquire) : 0; }

void GuardLink::StandDown()
{
    stoodDown_ = true;
    if (link_ < 0)
        return;
    SendAll(link_, std::string(1, guardproto::StandDownMessage));
    close(link_);
    link_ = -1;
}

} // namespace portkit
