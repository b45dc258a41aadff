#pragma once
// What a port trace says about the robot: the motor pulses per code, the
// sensor bytes read, and whether the motors were left running at its end.
#include "TraceReader.h"

#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace robottrace {

// The pulses of one motor code. A pulse is a non-zero code written to the
// data register, held until the next write to it.
struct CodePulses {
    int code = 0;
    uint64_t count = 0;
    double minMs = 0, medianMs = 0, maxMs = 0;
};

struct Summary {
    uint64_t accesses = 0;
    int64_t firstNs = 0, lastNs = 0;
    uint64_t dataWrites = 0;
    uint64_t statusReads = 0;
    // Accesses that are neither data writes nor status reads, by kind and port.
    std::map<std::pair<char, int>, uint64_t> ignored;
    uint64_t wideWrites = 0; // data writes above a byte: their low byte counts
    uint64_t wideReads = 0;  // status reads above a byte: likewise
    std::vector<CodePulses> pulses; // ordered by code
    std::array<uint64_t, 256> statusCounts{}; // reads of each status byte
    bool dataWritten = false; // false: the trace never writes the data register
    int lastCode = 0;         // the data register at the end
    int64_t lastCodeSinceNs = 0; // when it was written
    // Malformed lines, filled in by the caller from the reader's result.
    uint64_t malformed = 0;

    double SpanMs() const { return accesses ? (lastNs - firstNs) / 1e6 : 0.0; }
    bool EndsStopped() const { return lastCode == 0; }
};

// Gathers the summary access by access, in time order.
class SummaryBuilder {
public:
    void Add(const Access &a);
    // The summary of the accesses so far; the builder may go on afterwards.
    Summary Finish() const;

private:
    Summary s_;
    std::array<std::vector<int64_t>, 256> lengths_; // pulse lengths in ns by code
    bool pulseOpen_ = false;
};

// What a data register code does to the wheels, e.g. "forward", "spin left",
// "right wheel forward, left wheel stopped".
std::string CodeMeaning(int code);
// Which sensors a status byte says fire, e.g. "nothing fires", "left line, obstacle".
std::string StatusMeaning(int status);

// The summary as a report for a person, `source` naming the trace.
std::string FormatSummary(const Summary &s, const std::string &source);

} // namespace robottrace
