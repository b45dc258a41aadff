#include "drive/ProgramEnd.h"

#include "drive/DriveStop.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace programend {
namespace {
// Both are lock-free, so a signal handler may set them.
std::atomic<int> g_exitStatus{0};
std::atomic<int> g_signal{0};
std::atomic<bool> g_requested{false};
std::atomic<int> g_hangUpFd{-1};
std::atomic<int> g_keysFd{-1};
void NothingToRead() {}
std::atomic<void (*)()> g_keysReadable{NothingToRead};
std::atomic<int> g_hangUpStatus{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Made before main() runs, so that a signal handler never makes it; never
// closed and never read, so it stays readable once written.
const int g_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
int WakeFd() { return g_wakeFd; }

// A timer per sleeping thread (only the GUI thread sleeps here). A timerfd
// armed on an absolute deadline fires with no slack, where poll()'s own
// timeout would allow 0.1 % of the sleep (0.2 ms on a 200 ms pulse).
int TimerFd()
{
    thread_local const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    return fd;
}

timespec ToTimespec(int64_t ns)
{
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// Without a timer or a wake descriptor: a plain sleep, which a signal
// delivered to this thread still cuts short.
bool PlainSleepUntil(int64_t deadlineNs)
{
    const timespec until = ToTimespec(deadlineNs);
    while (!Requested() && !drivestop::Active() &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    return !Requested() && !drivestop::Active();
}
} // namespace

bool Request(int exitStatus, int signal)
{
    bool expected = false;
    if (!g_requested.compare_exchange_strong(expected, true))
        return false;
    g_exitStatus.store(exitStatus);
    g_signal.store(signal);
    const uint64_t one = 1;
    const int saved = errno;
    if (write(WakeFd(), &one, sizeof one) < 0) {
        // The counter cannot overflow from one write; nothing else can fail.
    }
    errno = saved;
    return true;
}

bool Requested() { return g_requested.load(std::memory_order_relaxed); }
int ExitStatus() { return g_exitStatus.load(); }
int Signal() { return g_signal.load(); }
int WakeDescriptor() { return WakeFd(); }

void EndOnHangUp(int fd, int exitStatus)
{
    g_hangUpStatus.store(exitStatus);
    g_hangUpFd.store(fd);
}

void WatchKeys(int fd, void (*readable)())
{
    g_keysReadable.store(readable ? readable : NothingToRead);
    g_keysFd.store(readable ? fd : -1);
}

bool SleepUntil(int64_t deadlineNs)
{
    if (Requested() || drivestop::Active())
        return false;
    const int timer = TimerFd();
    const int wake = WakeFd();
    if (timer < 0 || wake < 0)
        return PlainSleepUntil(deadlineNs);
    itimerspec when{};
    when.it_value = ToTimespec(deadlineNs);
    if (deadlineNs <= 0 || timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, nullptr) != 0)
        return PlainSleepUntil(deadlineNs);
    // No events asked of the watched connection: poll() reports only its
    // hang-up and errors, and leaves its data to its owner. A negative
    // descriptor is not watched.
    enum { Timer, Wake, Stop, Keys, HangUp, Count };
    pollfd fds[Count] = {{timer, POLLIN, 0},
                         {wake, POLLIN, 0},
                         {drivestop::WakeDescriptor(), POLLIN, 0},
                         {g_keysFd.load(), POLLIN, 0},
                         {g_hangUpFd.load(), 0, 0}};
    for (;;) {
        const int ready = poll(fds, Count, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return PlainSleepUntil(deadlineNs);
        if (fds[HangUp].revents & POLLNVAL)
            fds[HangUp].fd = -1; // closed by its owner: nothing left to watch
        else if (fds[HangUp].revents & (POLLHUP | POLLERR))
            Request(g_hangUpStatus.load(), 0);
        if (fds[Keys].revents & (POLLHUP | POLLERR | POLLNVAL))
            fds[Keys].fd = -1;
        else if (fds[Keys].revents & POLLIN)
            g_keysReadable.load()(); // may ask for a stop of the drives
        const bool stopped = drivestop::Active();
        if ((fds[Stop].revents & POLLIN) && !stopped)
            drivestop::Acknowledge(); // a stop already over: nothing to wake for
        if (fds[Wake].revents & POLLIN || Requested() || stopped) {
            const itimerspec off{};
            timerfd_settime(timer, 0, &off, nullptr);
            // Before the caller's own 0, and before a suspension stops the
            // program here.
            if (stopped)
                drivestop::TakeEffect();
            return false;
        }
        uint64_t expirations = 0;
        if (read(timer, &expirations, sizeof expirations) == sizeof expirations)
            return true;
        // A spurious wake-up (the timer re-armed meanwhile): wait on.
    }
}

void ForgetForTesting()
{
    uint64_t value = 0;
    while (read(WakeFd(), &value, sizeof value) > 0) {
    }
    g_signal.store(0);
    g_exitStatus.store(0);
    g_requested.store(false);
}

} // namespace programend
