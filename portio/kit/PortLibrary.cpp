// The exports every port library has, and what the kit does around each
// access: the backend made at the first access, the trace, the guard, the
// messages said once (for the window too) and the failure kept for the
// program.
//
// ROBOT_PORT_TRACE  file that receives one line per access, flushed at once:
//                   <CLOCK_MONOTONIC ns>,<W|R>,<port>,<value> (see PortTrace.h).
//                   Looked at on every access; the guard appends its own 0
//                   to it when it switches the motors off.
//
// Besides the program's accesses, the kit's watch (KitWatch.h) calls in from
// a thread of its own, under the same lock: when the guard's link hangs up, a
// new guard is started at once; when none can be had while a motor code
// stands, the kit writes 0 itself and the failure goes to the program. When
// the device has sent something, the backend takes it in.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "portio/PortIoExports.h"
#include "portio/PortTrace.h"
#include "portio/kit/GuardLink.h"
#include "portio/kit/KitWatch.h"
#include "portio/kit/PortKit.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace {
using namespace portkit;

// Messages kept for a program that does not ask for them: the oldest go.
constexpr size_t KeptMessages = 32;

class Kit final : public Services {
public:
    Kit()
        : guard_(DataPort, [this](const std::string &key, const std::string &text) { Say(key, text); })
    {
    }

    short In(uint16_t address)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        BeginAccess();
        PortBackend *backend = Prepare();
        const short value = backend ? backend->In(address) : 0;
        EndAccess();
        Trace('R', address, value);
        TellWatch();
        return value;
    }

    void Out(uint16_t address, short value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        BeginAccess();
        PortBackend *backend = Prepare();
        const bool data = address == static_cast<uint16_t>(DataPort);
        if (data && value != 0) {
            guard_.Keep();
            std::string why;
            if (guard_.Lost(why)) {
                Unguarded(why, "the motor code was not written");
                value = 0;
            }
        }
        Write(backend, address, value);
        EndAccess();
        TellWatch();
    }

    // The failure since the last call, or null; the text stays valid until
    // the next call.
    const char *TakeFailure()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.empty())
            return nullptr;
        taken_.swap(pending_);
        pending_.clear();
        return taken_.c_str();
    }

    // The program ends normally: the backend lets its device go, the guard
    // stands down, and later accesses go nowhere.
    void Close()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        if (backend_)
            backend_->Close();
        guard_.StandDown();
        watch_.Wake(); // to let go of the device's file and end
    }

    // The device's state in one line; the first call makes the backend, so
    // the device is opened from then on. The text stays valid until the
    // next call.
    const char *Status()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        PortBackend *backend = Prepare();
        status_ = backend ? backend->Status() : "the port library has ended";
        TellWatch();
        return status_.c_str();
    }

    // The oldest message not yet taken, or null; valid until the next call.
    const char *TakeMessage()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (messages_.empty())
            return nullptr;
        message_ = std::move(messages_.front());
        messages_.pop_front();
        return message_.c_str();
    }

    void Say(const std::string &key, const std::string &text) override
    {
        if (!Told(key, text))
            return;
        if (messages_.size() == KeptMessages)
            messages_.pop_front();
        messages_.push_back(text);
        ++saidNow_;
    }

    void Note(const std::string &key, const std::string &text) override { Told(key, text); }

    void Fail(const std::string &text) override
    {
        pending_ = text;
        failedNow_ = true;
    }

    int64_t AccessNs() const override { return accessNs_; }

    void Guard(int slot, const GuardOrder &order) override
    {
        if (slot > TraceGuardSlot)
            guard_.Order(slot, order);
    }

private:
    void Write(PortBackend *backend, uint16_t address, short value)
    {
        const bool data = address == static_cast<uint16_t>(DataPort);
        if (data)
            guard_.BeforeDataWrite(value);
        if (backend)
            backend->Out(address, value);
        if (data) {
            guard_.AfterDataWrite(value);
            held_ = value;
        }
        Trace('W', address, value);
    }

    PortBackend *Prepare()
    {
        if (closed_)
            return nullptr;
        if (!backend_) {
            guard_.Keep();
            backend_ = MakePortBackend(*this);
            std::string error;
            if (!watch_.Start([this](const WatchSet &waited, const WatchFound &found) { return Watched(waited, found); },
                              error))
                Say("watch", "cannot start the library's watch (" + error +
                                 "): a port guard that ends is noticed only at the next motor write, and what the "
                                 "device sends is read only when the program reads.");
        }
        const uint32_t cuts = guard_.Cuts();
        if (cuts != cutsSeen_) {
            cutsSeen_ = cuts;
            backend_->AfterGuardCut();
        }
        return backend_.get();
    }

    WatchSet Watching() const
    {
        WatchSet set;
        if (closed_)
            return set;
        set.Link = guard_.LinkFd();
        set.Input = backend_ ? backend_->InputFd() : -1;
        return set;
    }

    // After every access: the watch lets go of what it waits on as soon as
    // that changes (a device closed, a guard replaced).
    void TellWatch()
    {
        if (Watching() != watched_)
            watch_.Wake();
    }

    // On the watch's thread.
    std::optional<WatchSet> Watched(const WatchSet &waited, const WatchFound &found)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return std::nullopt;
        // Each is an access of the kit's own: a write is traced at its time,
        // and what is said goes with the failure it leaves for the program
        // (the device gone, no guard), not again as a message of its own.
        BeginAccess();
        if (found.LinkEnded && waited.Link >= 0 && waited.Link == guard_.LinkFd())
            GuardEnded();
        if (found.InputReady && backend_ && waited.Input >= 0 && waited.Input == backend_->InputFd())
            backend_->TakeInput();
        EndAccess();
        watched_ = Watching();
        return watched_;
    }

    // The guard's link hung up: a new guard at once. When none can be had,
    // nothing would switch the motors off if the program died: a motor code
    // that stands goes off now, and the drive ends with the error.
    void GuardEnded()
    {
        std::string why;
        if (guard_.Replace(why))
            return;
        if (!guard_.Lost(why)) { // the first guard never ran
            Say("guard-start", "cannot start the port guard (" + why +
                                   "); a program killed with kill -9 would leave the motors as they were.");
            return;
        }
        if (held_ == 0) {
            Say("guard-lost", LostText(why) + "; no motor code is written until one runs.");
            return;
        }
        Write(backend_.get(), static_cast<uint16_t>(DataPort), 0);
        Unguarded(why, "the motors were switched off");
    }

    static std::string LostText(const std::string &why)
    {
        return "the port guard (port-guard) has ended and no new one could be started (" + why + ")";
    }

    // No guard, so no motor code: the program's drive ends with `what` was
    // done, said once.
    void Unguarded(const std::string &why, const std::string &what)
    {
        Fail(LostText(why) + ": " + what);
        Say("guard-lost", LostText(why) + ": " + what +
                              ". No motor code is written until one runs: nothing would switch it off if the program "
                              "were killed.");
    }

    // Standard error hears `text`, the first time `key` is told.
    bool Told(const std::string &key, const std::string &text)
    {
        if (!said_.insert(key).second)
            return false;
        std::fprintf(stderr, "inpout32: %s\n", text.c_str());
        std::fflush(stderr);
        return true;
    }

    void BeginAccess()
    {
        accessNs_ = MonotonicNs();
        failedNow_ = false;
        saidNow_ = 0;
    }

    // What was said during an access that failed reaches the window with
    // the failure: it is not given again as a message.
    void EndAccess()
    {
        for (; failedNow_ && saidNow_ > 0 && !messages_.empty(); --saidNow_)
            messages_.pop_back();
    }

    void Trace(char kind, uint16_t address, short value)
    {
        trace_.Record(kind, static_cast<short>(address), value, accessNs_);
        // The guard writes its 0 to the same file, whatever its name's length.
        const int fd = trace_.Descriptor();
        if (fd == traceFd_ && trace_.Path() == tracePath_)
            return;
        traceFd_ = fd;
        tracePath_ = trace_.Path();
        GuardOrder order;
        if (fd >= 0)
            order = {guardproto::TraceKind, fd, {}};
        guard_.Order(TraceGuardSlot, order);
    }

    std::mutex mutex_;
    std::unique_ptr<PortBackend> backend_;
    bool closed_ = false;
    std::set<std::string> said_;
    std::string pending_;
    std::string taken_;
    bool failedNow_ = false;
    int64_t accessNs_ = 0;
    std::deque<std::string> messages_;
    size_t saidNow_ = 0; // messages said during the access under way
    std::string message_;
    std::string status_;
    GuardLink guard_;
    PortTrace trace_;
    int traceFd_ = -1;
    std::string tracePath_;
    uint32_t cutsSeen_ = 0;
    short held_ = 0; // the data register's value as last written
    KitWatch watch_;
    WatchSet watched_; // what the watch waits on
};

// Never destroyed, so a call made late in the process's exit stays safe; the
// device is let go by CloseAtExit.
Kit &TheKit()
{
    static Kit *kit = new Kit;
    return *kit;
}

struct CloseAtExit {
    ~CloseAtExit() { TheKit().Close(); }
} g_closeAtExit;
} // namespace

short Inp32(short port)
{
    try {
        return TheKit().In(static_cast<uint16_t>(port));
    } catch (...) {
        return 0;
    }
}

void Out32(short port, short value)
{
    try {
        TheKit().Out(static_cast<uint16_t>(port), value);
    } catch (...) {
    }
}

const char *PortIoLastError()
{
    try {
        return TheKit().TakeFailure();
    } catch (...) {
        return nullptr;
    }
}

const char *PortIoStatus()
{
    try {
        return TheKit().Status();
    } catch (...) {
        return "the port library cannot tell its state";
    }
}

const char *PortIoMessage()
{
    try {
        return TheKit().TakeMessage();
    } catch (...) {
        return nullptr;
    }
}
