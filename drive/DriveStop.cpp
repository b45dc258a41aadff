#include "drive/DriveStop.h"

#include "drive/PortIo.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace drivestop {
namespace {
// How long a suspension waits for the GUI thread before the program stops
// anyway (the guard then switches the motors off).
constexpr long SuspendGraceNs = 100'000'000;

std::atomic<bool> g_active{false};
std::atomic<bool> g_suspend{false};
static_assert(std::atomic<bool>::is_always_lock_free);

std::vector<Hook> g_hooks; // the GUI thread's

int g_wakeFd = -1;
timer_t g_fallback{};
bool g_haveFallback = false;

void Wake()
{
    const int saved = errno;
    const uint64_t one = 1;
    if (g_wakeFd >= 0 && write(g_wakeFd, &one, sizeof one) < 0) {
        // The counter cannot overflow from these writes.
    }
    errno = saved;
}

void ArmFallback(long ns)
{
    if (!g_haveFallback)
        return;
    itimerspec when{};
    when.it_value.tv_nsec = ns;
    timer_settime(g_fallback, 0, &when, nullptr);
}
} // namespace

void Prepare()
{
    if (g_wakeFd < 0)
        g_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!g_haveFallback) {
        sigevent event{};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = SIGSTOP;
        g_haveFallback = timer_create(CLOCK_MONOTONIC, &event, &g_fallback) == 0;
    }
}

void Request()
{
    g_active.store(true);
    Wake();
}

void RequestSuspend()
{
    g_suspend.store(true);
    ArmFallback(SuspendGraceNs);
    Request();
}

void Continued()
{
    // Stopped by the fallback or by hand: nothing is left to carry out.
    g_suspend.store(false);
    ArmFallback(0);
}

bool Active() { return g_active.load(std::memory_order_relaxed); }

int WakeDescriptor() { return g_wakeFd; }

void TakeEffect()
{
    MotorsOffIfRunning();
    if (g_suspend.exchange(false)) {
        ArmFallback(0);
        raise(SIGSTOP);
    }
}

void Acknowledge()
{
    uint64_t count = 0;
    while (g_wakeFd >= 0 && read(g_wakeFd, &count, sizeof count) > 0) {
    }
}

void Settle()
{
    if (!g_suspend.load())
        g_active.store(false);
}

void AddHook(Hook stop)
{
    if (stop && std::find(g_hooks.begin(), g_hooks.end(), stop) == g_hooks.end())
        g_hooks.push_back(stop);
}

void RunHooks()
{
    // A hook may add another; that one runs at the next stop.
    const std::vector<Hook> hooks = g_hooks;
    for (Hook hook : hooks)
        hook();
}

} // namespace drivestop
