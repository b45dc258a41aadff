#pragma once
// The guard of a port library: a small process, started at the library's
// first use, that outlives the program. It waits on a link from the program;
// when the link closes without a word (the program killed with SIGKILL, taken
// by the out-of-memory killer, ended by any death no code of its own could
// see), it switches the motors off: it writes 0 to the data register of every
// device it was told of (claim, write, release), or appends a write of 0 to
// the trace it was told of, and ends. A normal end of the program stands it
// down first, and then it writes nothing.
//
// The guard is not a child of the program (it is started through a child that
// ends at once), ignores the signals that a terminal sends to the whole
// process group, and keeps no descriptor of the program's but its link.
//
// Thread-safe; nothing here waits, beyond starting the guard once.
#include "core/RobotWiring.h"

#include <mutex>
#include <string>

class PortGuard {
public:
    // What the guard does for the data register: at most this many devices,
    // paths up to this length (longer ones are not guarded).
    static constexpr int MaxDevices = 8;
    static constexpr size_t MaxPath = 1024;

    // `dataRegister`: the data register's I/O address as a trace line names it.
    explicit PortGuard(short dataRegister = DataPort) : dataRegister_(dataRegister) {}
    ~PortGuard() { StandDown(); }
    PortGuard(const PortGuard &) = delete;
    PortGuard &operator=(const PortGuard &) = delete;

    // Starts the guard if it is not running yet. Later calls do nothing.
    void Start();
    // A claimed ppdev device (/dev/parportN): the guard claims it, writes 0 to
    // its data register and releases it.
    void GuardDevice(const std::string &path);
    // The trace file of the recording library (relative paths are taken from
    // the current directory now): the guard appends "<ns>,W,<data>,0" to it.
    // An empty path: no trace.
    void GuardTrace(const std::string &path);
    // The program ends normally: the guard ends without a write.
    void StandDown();

private:
    void Send(char kind, const std::string &payload);

    std::mutex mutex_;
    const short dataRegister_;
    int link_ = -1; // our end of the guard's socket pair
    bool started_ = false;
    std::string trace_;
};
