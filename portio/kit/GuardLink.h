#pragma once
// The library's end of its guard: starts port-guard at the first access,
// keeps it told of every device (GuardOrder) and of the trace, notes on the
// shared page what the data register holds, starts a new guard when the
// running one has gone (at once when the kit's watch sees its link hang up,
// else at the next motor write), and stands it down at a normal end.
//
// The guard is not the program's child (it is started through a child that
// ends at once) and runs in a session of its own, so that a signal to the
// program's process group or session leaves it to do its work.
//
// Not thread-safe: the kit calls it under its lock.
#include "portio/kit/GuardProtocol.h"
#include "portio/kit/PortKit.h"

#include <array>
#include <functional>
#include <string>

namespace portkit {

class GuardLink {
public:
    // `say` tells the operator something once per key (the kit's Say).
    GuardLink(short dataRegister, std::function<void(const std::string &, const std::string &)> say);
    ~GuardLink();
    GuardLink(const GuardLink &) = delete;
    GuardLink &operator=(const GuardLink &) = delete;

    // Starts the guard if none runs yet (the first access), or a new one when
    // the last has gone; looks at most every 100 ms. Cheap otherwise.
    void Keep();
    // The guard's end of the link, for the kit's watch (-1 while none runs):
    // readable once the guard has ended.
    int LinkFd() const { return link_; }
    // The guard has ended (its link hung up): starts a new one at once and
    // hands it every order. True when a new one runs (also when the old one
    // had not ended after all); false with the reason in `why` when none can
    // be had (nothing is said then).
    bool Replace(std::string &why);
    // A guard ran and has gone, and no new one could be had (why in `why`):
    // no motor code may stand, since nothing would switch it off if the
    // program were killed. Keep() tries again at most every 100 ms.
    bool Lost(std::string &why) const;
    // Gives the guard an order for `slot`, replacing its last one (Kind 0
    // withdraws it). Remembered, so a new guard gets it again.
    void Order(int slot, const GuardOrder &order);

    // Around every data-register write: before it (a motor code is noted as
    // held before it reaches the device) and after it.
    void BeforeDataWrite(short value);
    void AfterDataWrite(short value);
    // Times the guard has switched the motors off while the program was stopped.
    uint32_t Cuts() const;

    // The program ends normally: the guard ends without a write.
    void StandDown();

private:
    // Starts port-guard and hands it every order; whether its exec succeeded
    // is known later (ExecFailure).
    bool Start(std::string &why);
    bool Alive();
    // The errno of the last start's failed exec, once it has failed (waiting
    // up to `waitMs` to know); else 0.
    int ExecFailure(int waitMs = 0);
    bool Send(int slot, const GuardOrder &order);

    const short dataRegister_;
    std::function<void(const std::string &, const std::string &)> say_;
    std::string program_; // port-guard's path; empty until found
    int link_ = -1;
    int pageFd_ = -1;
    int execStatus_ = -1; // the last start's exec status pipe, until read
    guardproto::SharedPage *page_ = nullptr;
    bool started_ = false;
    bool hadGuard_ = false; // a guard ran (not only was started)
    std::string lostWhy_;   // why the last replacement failed
    bool stoodDown_ = false;
    int64_t nextLookNs_ = 0;
    std::array<GuardOrder, GuardSlots> orders_;
};

} // namespace portkit
