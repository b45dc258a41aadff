#pragma once
// A port trace as a Value Change Dump for waveform viewers (GTKWave,
// PulseView): one 1-bit signal per data and status bit, and the two bytes as
// 8-bit vectors, in the scopes "data" and "status". Times are in ns from the
// first access. Before the first write (read) the data (status) signals are
// unknown (x).
#include "TraceReader.h"

#include <ostream>
#include <string>

namespace robottrace {

struct VcdOptions {
    // The 8-bit vectors data_byte and status_byte. PulseView 0.4 (libsigrok
    // 0.5) stops reading at the first vector value, so it needs them left out.
    bool vectors = true;
};

// The names of the signals, bit 0 first.
extern const char *const DataBitNames[8];
extern const char *const StatusBitNames[8];

class VcdWriter {
public:
    VcdWriter(std::ostream &out, VcdOptions options = {});
    // Takes the next access; times never go back (the reader makes sure).
    // Only data writes and status reads change signals.
    void Add(const Access &a);
    // Writes what is pending and the time of the last access, so that the
    // last values show up to the end. Writes a complete file for an empty trace too.
    void Finish();

private:
    void Header();
    void Flush();
    void Changes(bool all);

    std::ostream &out_;
    VcdOptions options_;
    bool started_ = false;  // the first access seen
    bool dumped_ = false;   // the initial values written
    int64_t firstNs_ = 0;
    int64_t pendingNs_ = 0;  // the time of the accesses not yet written
    int64_t writtenNs_ = -1; // the last time stamp written
    int64_t lastNs_ = 0;
    // The registers now and as last written; -1 unknown.
    int data_ = -1, status_ = -1;
    int dataShown_ = -1, statusShown_ = -1;
};

} // namespace robottrace
