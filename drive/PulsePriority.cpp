#include "drive/PulsePriority.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// A priority over the desktop's audio and input threads' usual ones is not
// needed: any real-time priority runs before every normal thread.
constexpr int WantedPriority = 50;

std::atomic<bool> g_wanted{true};

// The calling thread's scheduling, as the kernel sets it per thread.
int Tid() { return static_cast<int>(syscall(SYS_gettid)); }

bool SetFifo(int priority)
{
    sched_param param{};
    param.sched_priority = priority;
    // Children (a guard process, a viewer) start at normal priority.
    return sched_setscheduler(Tid(), SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

void SetNormal(int policy)
{
    sched_param param{};
    sched_setscheduler(Tid(), policy, &param);
}

// The highest priority the limits allow, up to the one wanted; 0 for none.
int AllowedPriority()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0)
        return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, WantedPriority));
    return WantedPriority; // CAP_SYS_NICE ignores the limit: the probe tells
}

// Tries it once: the one test that answers for the limit, the capability and
// whatever a container or cgroup adds.
PulseScheduling Probe()
{
    PulseScheduling found;
    const int policy = sched_getscheduler(Tid());
    const int priority = AllowedPriority();
    if (policy >= 0 && SetFifo(priority)) {
        SetNormal(policy);
        found.realTime = true;
        found.priority = priority;
    }
    return found;
}
} // namespace

PulseScheduling PulseSchedulingInEffect()
{
    static const PulseScheduling probed = Probe();
    return probed;
}

void AnnouncePulseScheduling()
{
    const PulseScheduling mode = PulseSchedulingInEffect();
    if (mode.realTime)
        std::fprintf(stderr, "robot: motor pulses run at real-time priority (SCHED_FIFO %d) for their length.\n",
                     mode.priority);
    else
        std::fprintf(stderr,
                     "robot: motor pulses run at normal priority; on a busy machine they may run long. To allow "
                     "real-time pulses, give your user a real-time priority limit, e.g. the line '@robot - rtprio "
                     "50' in /etc/security/limits.d/robot.conf for a group robot you belong to, then log in again "
                     "(see \"Exact pulses\" in the README).\n");
    std::fflush(stderr);
}

void UseRealTimePulses(bool on) { g_wanted.store(on); }

PulsePriority::PulsePriority()
{
    if (!g_wanted.load())
        return;
    const PulseScheduling mode = PulseSchedulingInEffect();
    if (!mode.realTime)
        return;
    oldPolicy_ = sched_getscheduler(Tid());
    raised_ = oldPolicy_ >= 0 && oldPolicy_ != SCHED_FIFO && SetFifo(mode.priority);
}

PulsePriority::~PulsePriority()
{
    if (raised_)
        SetNormal(oldPolicy_ & ~SCHED_RESET_ON_FORK);
}
