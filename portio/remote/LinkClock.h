#pragma once
// The program's clock matched to the node's, from round trips (hello/session,
// ping/pong): each gives the node's time between the program's sending and
// its receiving; the node's clock is taken to be read at the middle. Of the
// last samples, the one with the shortest round trip is the least disturbed
// by queues and jitter, and gives the offset. No I/O.
#include <array>
#include <cstddef>
#include <cstdint>

namespace remotelink {

class LinkClock {
public:
    // A round trip: sent and back on the program's clock, the node's time in between.
    void Add(int64_t sentNs, int64_t nodeNs, int64_t backNs);
    void Reset() { count_ = 0; }
    bool Known() const { return count_ > 0; }
    // node - program, of the best sample; 0 while unknown.
    int64_t OffsetNs() const;
    int64_t RoundTripNs() const;
    int64_t ToNode(int64_t programNs) const { return programNs + OffsetNs(); }
    int64_t ToProgram(int64_t nodeNs) const { return nodeNs - OffsetNs(); }

private:
    struct Sample {
        int64_t OffsetNs, RoundTripNs;
    };
    const Sample *Best() const;

    static constexpr size_t Kept = 16;
    std::array<Sample, Kept> samples_{};
    size_t count_ = 0, next_ = 0;
};

} // namespace remotelink
