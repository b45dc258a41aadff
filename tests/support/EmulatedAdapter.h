#pragma once
// Emulated FTDI adapters (build/lib/test/ftdi-emulator) as a test sets them
// up: the emulator started on a fresh umockdev testbed with the adapters and
// faults asked for, the environment that puts a program on it (umockdev's
// preload library and the testbed's folder), and its log of every access.
// The real program on the FTDI port library over them: ProgramOnPort.
#include "support/DeviceLog.h"
#include "support/RobotProcess.h"

#include <QTemporaryDir>

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// One line of the emulator's log (tests/emulator/FtdiUsbfs.h).
struct UsbAccess {
    int64_t Ns;         // CLOCK_MONOTONIC
    std::string Adapter; // bus path, 1-2
    int Client;         // connection, from 1; 0: the emulator itself
    int Pid;            // -1 unknown
    std::string Event;  // connect, claim, bitmode, write, mpsse, read-pins, read, close, unplug, ...
    std::string Detail;
    std::string Result; // ok, an errno name, stall
    int Directions;     // the lines that are outputs after the access
    int High;           // the outputs driven high after the access
    bool Ok() const { return Result == "ok"; }
};

std::vector<UsbAccess> ReadUsbLog(const std::string &path);
// The accesses named `event` (all for an empty name) by `pid` (0: anyone).
inline std::vector<UsbAccess> AccessesOf(const std::vector<UsbAccess> &log, const std::string &event, int pid = 0)
{
    return RecordsOf(log, &UsbAccess::Event, event, pid);
}
// The accesses that set lines (bit-bang writes, MPSSE commands, mode changes).
std::vector<UsbAccess> LineChanges(const std::vector<UsbAccess> &log, int pid = 0);

class EmulatedAdapter {
public:
    EmulatedAdapter();
    ~EmulatedAdapter();
    EmulatedAdapter(const EmulatedAdapter &) = delete;
    EmulatedAdapter &operator=(const EmulatedAdapter &) = delete;

    // Before Start. Without Add: one FT232R at 1-2.
    // An adapter: FT232R, FT232H or FT231X, at bus path 1-<port> (0: the
    // next free one from 2), with a serial number (empty: the emulator's).
    void Add(const std::string &chip, const std::string &serial = {}, int port = 0);
    void NoAdapter() { none_ = true; }
    // An adapter was asked for (or none).
    bool Chosen() const { return none_ || !adapters_.empty(); }
    // What the input lines read, one value per read of the pins, the last repeating.
    void ScriptPins(const std::vector<int> &levels);
    bool Scripted() const { return scripted_; }
    void HeldByAnotherProgram() { faults_.push_back("--claimed"); }
    // ftdi_sio bound to the adapter; `stuck`: usbfs refuses to detach it.
    void SerialDriver(bool stuck);
    // The n-th access to the lines and everything after it fail: pulled out.
    void UnplugAfter(int n);
    // The device node as without the project's udev rule (0664 root:root).
    void WithoutUdevRule() { faults_.push_back("--no-rule"); }

    // Starts the emulator and waits for its testbed; a gtest failure (and
    // false) when it does not come up.
    bool Start();
    // Pulls the adapter at `busPath` (every one when empty) out now.
    void Unplug(const std::string &busPath = {});
    // Plugs it in again: a new device number, the chip as at power-up.
    void Replug(const std::string &busPath = {});

    // umockdev's preload library and the testbed: what a program needs to
    // see the adapters.
    EnvVars Env() const;
    std::string TestbedDir() const { return testbed_; }
    std::string LogPath() const { return dir_.filePath("usb.log").toStdString(); }
    std::vector<UsbAccess> Log() const { return ReadUsbLog(LogPath()); }
    std::string Stderr() const;

private:
    void Command(const std::string &line);

    QTemporaryDir dir_;
    std::vector<std::string> adapters_, faults_;
    bool none_ = false;
    bool scripted_ = false;
    pid_t pid_ = -1;
    int commands_ = -1; // the emulator's standard input
    std::string testbed_;
};

// The FTDI library's default pin map (portio/kit/PinMap.cpp), for tests that
// speak in motor codes and status bytes: the motor code the driven lines
// make, and the lines' levels that make a status byte (only the sensor bits
// 4, 5 and 7 of 254 can be cleared).
int CodeOfLines(int high);
int LinesOfStatus(int status);
// The motor lines of the default map: D1/RXD, D3/CTS, D6/DCD, D7/RI.
constexpr int DefaultMotorLines = 0xCA;
