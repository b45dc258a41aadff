#include "portio/remote/LinkClock.h"

namespace remotelink {

void LinkClock::Add(int64_t sentNs, int64_t nodeNs, int64_t backNs)
{
    if (backNs < sentNs)
        return; // not a round trip of ours
    const int64_t roundTrip = backNs - sentNs;
    samples_[next_] = {nodeNs - (sentNs + roundTrip / 2), roundTrip};
    next_ = (next_ + 1) % Kept;
    if (count_ < Kept)
        ++count_;
}

const LinkClock::Sample *LinkClock::Best() const
{
    const Sample *best = nullptr;
    for (size_t i = 0; i < count_; ++i)
        if (!best || samples_[i].RoundTripNs < best->RoundTripNs)
            best = &samples_[i];
    return best;
}

int64_t LinkClock::OffsetNs() const
{
    const Sample *best = Best();
    return best ? best->OffsetNs : 0;
}

int64_t LinkClock::RoundTripNs() const
{
    const Sample *best = Best();
    return best ? best->RoundTripNs : 0;
}

} // namespace remotelink
