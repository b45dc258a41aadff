#pragma once
// The robot's side of the link, without I/O: which program drives (its
// session), which of its writes are taken, when each reaches the data
// register, and when a motor code whose lease has lapsed goes off. robot-node
// feeds it what arrives and the time (LinkNs), and writes to its port what
// Due() gives.
//
// The rules:
// - One session at a time. A hello is granted a fresh session when none
//   runs, when the same program asks again (it reconnected), or when the
//   running one has been silent for SessionIdleMs; otherwise it is busy.
// - A write is taken when it carries the running session and a sequence
//   number above the last one taken; anything else (a replay, a late
//   duplicate, another session's) is dropped and counted as ignored, as is a
//   write stamped further ahead than MaxAhead (clocks not matched).
// - A taken write is applied at its time (AtNs), or at once when that has
//   passed (counted late); a late motor code whose lease has also passed is
//   not applied at all (counted late). A code's lease runs from its time.
// - A renewal extends the lease of the code that stands, and only that: it
//   never sets a code, so a renewal that comes after a lapse moves nothing.
// - When the lease of the standing code runs out, 0 goes to the register at
//   that moment (a lapse). The program's end (bye), its broken link (gone),
//   and the node's own broken link write 0 too, and end the session.
// - The node applies the lease the program asks for, up to MaxLease.
#include "portio/remote/RemoteProtocol.h"

#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace remotenode {

struct Limits {
    int64_t MaxLeaseNs = 1'000'000'000;
    int64_t MaxAheadNs = 1'000'000'000;
    int64_t SessionIdleNs = int64_t(remoteproto::SessionIdleMs) * 1'000'000;
};

// What became of a write that arrived.
enum class Taken { Queued, Late, Expired, NotNewer, OtherSession, TooFarAhead };

// A value for the data register, and why.
enum class Cause { Program, Lapse, End, Gone, LinkLost };
struct PortWrite {
    int64_t AtNs;
    uint8_t Value;
    Cause Why;
};

class LeaseSchedule {
public:
    explicit LeaseSchedule(Limits limits = {}) : limits_(limits) {}

    // A program asks for a session; `fresh` is the identity to grant (a new
    // random one). Returns whether it was granted.
    bool Hello(uint64_t program, uint64_t fresh, int64_t nowNs);
    // A clock sample of a session: true when it is the running one (answer it).
    bool Ping(uint64_t session, int64_t nowNs);
    Taken Take(const remoteproto::Write &write, int64_t nowNs);
    // The program's link broke (its last will): 0 now if it drove.
    void Gone(uint64_t program);
    // The node's own link to the broker broke: nothing can renew a lease.
    void LinkLost();
    // Something arrived that is not ours.
    void Ignore() { ++ignored_; }

    // The values due at or before `nowNs`, in order; the schedule takes them
    // as written.
    std::vector<PortWrite> Due(int64_t nowNs);
    // When Due() next has something (a write's time, a lease's end); 0 for
    // at once, max for nothing.
    int64_t NextNs() const;

    uint8_t Data() const { return data_; }
    uint64_t Session() const { return session_; }
    uint64_t Seq() const { return seq_; }
    uint32_t Lapses() const { return lapses_; }
    uint32_t Late() const { return late_; }
    uint32_t Ignored() const { return ignored_; }

private:
    struct Pending {
        int64_t AtNs;
        remoteproto::Write Write;
        int64_t LeaseNs;
    };
    void Apply(const Pending &pending, int64_t atNs, std::vector<PortWrite> &out);
    void ZeroNow(Cause why);
    void EndSession();

    Limits limits_;
    uint64_t program_ = 0, session_ = 0, seq_ = 0;
    int64_t lastHeardNs_ = 0;
    std::deque<Pending> queue_;
    std::vector<PortWrite> immediate_; // zeros to write at once
    uint8_t data_ = 0;
    int64_t deadlineNs_ = 0; // the standing code's lease, when data_ != 0
    uint32_t lapses_ = 0, late_ = 0, ignored_ = 0;
};

} // namespace remotenode
