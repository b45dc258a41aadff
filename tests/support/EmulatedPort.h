#pragma once
// The emulated parallel port (build/lib/test/libparport-emulator.so) as a test
// sets it up for the real program: a fake kernel list of ports with parport0
// at 0x378, the device path the emulator answers, its shared state, its
// status script, its failure switches and its log.
#include "support/DeviceLog.h"
#include "support/RobotProcess.h"

#include <QTemporaryDir>

#include <cstdint>
#include <string>
#include <vector>

// One line of the emulator's log.
struct PortCall {
    int64_t Ns;          // CLOCK_MONOTONIC
    int Pid;
    std::string Call;    // open, close, PPCLAIM, PPWDATA, ...
    int Fd;
    int Value;           // byte written or read; -1 for none
    std::string Result;  // ok, an errno name, or wait
    bool Ok() const { return Result == "ok"; }
};

std::vector<PortCall> ReadPortLog(const std::string &path);
// The values of the data writes that reached the register, in order.
std::vector<int> RegisterWrites(const std::vector<PortCall> &log);
// The calls named `call`, or all of them for an empty name, made by `pid`
// (every process for 0).
inline std::vector<PortCall> CallsOf(const std::vector<PortCall> &log, const std::string &call, int pid = 0)
{
    return RecordsOf(log, &PortCall::Call, call, pid);
}

class EmulatedPort {
public:
    EmulatedPort();

    std::string Root() const { return dir_.filePath("root").toStdString(); }
    std::string Device() const { return Root() + "/dev/parport0"; }
    std::string LogPath() const { return dir_.filePath("port.log").toStdString(); }

    // Status bytes the port returns, one per read, the last repeating.
    void ScriptStatus(const std::vector<int> &values);
    // Every open fails with this errno name (EACCES, ENOENT).
    void FailOpen(const std::string &errnoName) { openError_ = errnoName; }
    // Another driver holds the port this long after the program starts.
    void HeldByAnotherDriverFor(int ms) { claimWaitMs_ = ms; }
    // Every claim fails with this errno name.
    void FailClaim(const std::string &errnoName) { claimError_ = errnoName; }
    // The n-th request named `request` and every later one fail with EIO.
    void FailFrom(const std::string &request, int n) { fail_ = request + ":" + std::to_string(n); }

    // The environment that puts the emulator under the program: the preload,
    // the fake port list for the hardware library, and the switches above.
    EnvVars Env() const;
    std::vector<PortCall> Log() const { return ReadPortLog(LogPath()); }

private:
    QTemporaryDir dir_;
    std::string openError_, claimError_, fail_;
    int claimWaitMs_ = 0;
    bool scripted_ = false;
};
