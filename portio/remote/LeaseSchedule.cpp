#include "portio/remote/LeaseSchedule.h"

#include <algorithm>

namespace remotenode {
namespace {
constexpr int64_t Ms = 1'000'000;
}

bool LeaseSchedule::Hello(uint64_t program, uint64_t fresh, int64_t nowNs)
{
    const bool free = session_ == 0 || program == program_ || nowNs - lastHeardNs_ >= limits_.SessionIdleNs;
    if (!free)
        return false;
    // What the last session had queued goes with it; a code it left standing
    // keeps only its lease.
    queue_.clear();
    program_ = program;
    session_ = fresh;
    seq_ = 0;
    lastHeardNs_ = nowNs;
    return true;
}

bool LeaseSchedule::Ping(uint64_t session, int64_t nowNs)
{
    if (session == 0 || session != session_) {
        ++ignored_;
        return false;
    }
    lastHeardNs_ = nowNs;
    return true;
}

Taken LeaseSchedule::Take(const remoteproto::Write &write, int64_t nowNs)
{
    if (session_ == 0 || write.Session != session_) {
        ++ignored_;
        return Taken::OtherSession;
    }
    if (write.Seq <= seq_) {
        ++ignored_;
        return Taken::NotNewer;
    }
    seq_ = write.Seq;
    lastHeardNs_ = nowNs;
    if (write.AtNs > nowNs + limits_.MaxAheadNs) {
        ++ignored_;
        return Taken::TooFarAhead;
    }
    const int64_t leaseNs = std::min<int64_t>(int64_t(write.LeaseMs) * Ms, limits_.MaxLeaseNs);
    if (write.AtNs > nowNs) {
        queue_.push_back({write.AtNs, write, leaseNs});
        return Taken::Queued;
    }
    ++late_;
    if (write.Kind != remoteproto::WriteKind::End && write.Value != 0 && write.AtNs + leaseNs <= nowNs)
        return Taken::Expired;
    // Behind anything still queued: the order of the writes stands.
    queue_.push_back({nowNs, write, leaseNs});
    return Taken::Late;
}

void LeaseSchedule::Gone(uint64_t program)
{
    if (session_ == 0 || program != program_)
        return;
    ZeroNow(Cause::Gone);
    EndSession();
}

void LeaseSchedule::LinkLost()
{
    ZeroNow(Cause::LinkLost);
    EndSession();
}

void LeaseSchedule::ZeroNow(Cause why)
{
    if (data_ != 0)
        immediate_.push_back({0, 0, why});
    data_ = 0;
}

void LeaseSchedule::EndSession()
{
    queue_.clear();
    program_ = session_ = seq_ = 0;
}

void LeaseSchedule::Apply(const Pending &pending, int64_t atNs, std::vector<PortWrite> &out)
{
    const remoteproto::Write &w = pending.Write;
    switch (w.Kind) {
    case remoteproto::WriteKind::Write:
        data_ = w.Value;
        deadlineNs_ = w.AtNs + pending.LeaseNs;
        out.push_back({atNs, w.Value, Cause::Program});
        break;
    case remoteproto::WriteKind::Renew:
        if (data_ != 0 && data_ == w.Value)
            deadlineNs_ = std::max(deadlineNs_, w.AtNs + pending.LeaseNs);
        break;
    case remoteproto::WriteKind::End:
        if (data_ != 0)
            out.push_back({atNs, 0, Cause::End});
        data_ = 0;
        EndSession();
        break;
    }
}

std::vector<PortWrite> LeaseSchedule::Due(int64_t nowNs)
{
    std::vector<PortWrite> out;
    out.swap(immediate_);
    for (PortWrite &w : out)
        w.AtNs = nowNs;
    for (;;) {
        const int64_t next = queue_.empty() ? std::numeric_limits<int64_t>::max() : queue_.front().AtNs;
        if (data_ != 0 && deadlineNs_ <= std::min(next, nowNs)) {
            out.push_back({deadlineNs_, 0, Cause::Lapse});
            data_ = 0;
            ++lapses_;
            continue;
        }
        if (next > nowNs)
            break;
        const Pending pending = queue_.front();
        queue_.pop_front();
        Apply(pending, pending.AtNs, out);
    }
    return out;
}

int64_t LeaseSchedule::NextNs() const
{
    if (!immediate_.empty())
        return 0;
    int64_t next = queue_.empty() ? std::numeric_limits<int64_t>::max() : queue_.front().AtNs;
    if (data_ != 0)
        next = std::min(next, deadlineNs_);
    return next;
}

} // namespace remotenode
