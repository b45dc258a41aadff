#include "portio/kit/KitWatch.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace portkit {

struct KitWatch::State {
    int Wake = -1;
    Visit Callback;
    std::atomic<bool> Stop{false};
    ~State()
    {
        if (Wake >= 0)
            close(Wake);
    }
};

namespace {
constexpr short Broken = POLLERR | POLLHUP | POLLNVAL;
// After a failed wait (out of memory), the next one this much later.
constexpr int64_t RetryAfterFailedWaitNs = 10'000'000;

void Run(const std::shared_ptr<KitWatch::State> &state)
{
    WatchSet waited;
    WatchFound found;
    bool inputBroken = false; // the last wait found only a hang-up or an error on the input
    // An input that hung up and that the backend kept (it should have let it
    // go) is not waited on again until the set changes: the thread must never
    // spin. (A link that hung up is always replaced or dropped; a new one may
    // get the same number, so the link is never muted.)
    int mutedInput = -1;
    for (;;) {
        if (state->Stop.load())
            return;
        const std::optional<WatchSet> next = state->Callback(waited, found);
        if (!next)
            return;
        if (inputBroken && next->Input == waited.Input)
            mutedInput = next->Input;
        else if (next->Input != mutedInput)
            mutedInput = -1;

        pollfd p[3] = {{state->Wake, POLLIN, 0},
                       {next->Link, POLLIN, 0},
                       {next->Input == mutedInput ? -1 : next->Input, POLLIN, 0}};
        if (poll(p, 3, -1) < 0) {
            const timespec pause{0, RetryAfterFailedWaitNs};
            nanosleep(&pause, nullptr);
        }
        if (p[0].revents & POLLIN) {
            uint64_t count;
            (void)!read(state->Wake, &count, sizeof count);
        }
        waited = *next;
        found.LinkEnded = (p[1].revents & (POLLIN | Broken)) != 0;
        found.InputReady = (p[2].revents & (POLLIN | Broken)) != 0;
        inputBroken = (p[2].revents & Broken) && !(p[2].revents & POLLIN);
    }
}
} // namespace

KitWatch::~KitWatch()
{
    if (!state_)
        return;
    state_->Stop.store(true);
    Wake();
}

bool KitWatch::Start(Visit visit, std::string &error)
{
    if (state_)
        return true;
    auto state = std::make_shared<State>();
    state->Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->Wake < 0) {
        error = std::strerror(errno);
        return false;
    }
    state->Callback = std::move(visit);
    // The thread inherits this mask: every signal stays with the program's
    // own threads, which have their handlers for them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        std::thread([state] { Run(state); }).detach();
    } catch (const std::system_error &e) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        error = e.what();
        return false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    state_ = std::move(state);
    return true;
}

void KitWatch::Wake()
{
    if (!state_)
        return;
    const uint64_t one = 1;
    (void)!write(state_->Wake, &one, sizeof one);
}

} // namespace portkit
