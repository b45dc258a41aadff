#pragma once
// The real program on one port library, started as a user starts it, for tests
// judged by what reached the device: the recording library (its trace), the
// hardware library over the emulated parallel port, the FTDI library over an
// emulated FT232R or FT232H, the GPIO library over the emulated chips of a
// Raspberry Pi 4, the Firmata library over the fake board. Each device's log
// is read back in the program's terms: the data-register codes that reached
// the lines (the lines' levels through the library's default pin map), with
// their times; and the sensors are set as status bytes, which each device
// puts on its sensor lines through the same map.
#include "support/EmulatedAdapter.h"
#include "support/EmulatedGpio.h"
#include "support/EmulatedPort.h"
#include "support/FakeBoard.h"
#include "support/Harness.h"
#include "support/RobotProcess.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// The port libraries the program runs on here, each with its emulated device
// (PortDevices.cpp: one class per device and its line in the table there).
enum class Library { Recording, Hardware, Ftdi232R, Ftdi232H, Gpio, Firmata };

// "Recording", "Hardware", "Ftdi232R", ...: for test names.
std::string LibraryName(Library library);
std::string LibraryTestName(const testing::TestParamInfo<Library> &info);

// Polls `done` every 10 ms until it holds (true) or `limit` passes (false).
bool WaitFor(const std::function<bool()> &done,
             std::chrono::milliseconds limit = std::chrono::seconds(20));
// Waits until the file stops growing for half a second.
bool Settled(const std::string &tracePath);

// A data write that reached the register, with its time.
struct Write {
    int64_t Ns;
    int Value;
};

// The register's value at `ns`: the last write at or before it (0 before any).
int RegisterAt(const std::vector<Write> &writes, int64_t ns);
// True when, from `ns` on, the register holds 0 and nothing else is written.
bool ZeroFrom(const std::vector<Write> &writes, int64_t ns);

// The state letter of /proc/<pid>/stat ('R', 'S', 'T' for stopped, 't'
// stopped under a debugger), or 0 when there is no such process.
char ProcessState(pid_t pid);
// The port guard started for `program` (port-guard <program's pid> ...), or -1.
pid_t GuardOf(pid_t program);

// One access to the device as its log has it, in one form for every device.
struct DeviceCall {
    int64_t Ns;         // CLOCK_MONOTONIC
    int Pid;            // -1 where the log does not say (the board's, the adapter emulator's own)
    std::string Call;   // PPWDATA, GPIOHANDLE_SET_LINE_VALUES_IOCTL, bitmode, port-write, close, ...
    std::string Detail; // the byte, the levels, the mode, the message's fields; empty for none
    bool Ok;
    // "Call Detail", or the call alone.
    std::string Text() const { return Detail.empty() ? Call : Call + " " + Detail; }
};
std::vector<std::string> Texts(const std::vector<DeviceCall> &calls);
// One line per call with its time, pid and result: for failure messages.
std::string Listing(const std::vector<DeviceCall> &calls);

class ProgramOnPort;
// For a library that cannot use its device (a fault, a refused pin map): the
// library says one line with each of `said` (with WithDevice), which the
// window shows too unless the device is simply `absent` (the status line's);
// then a single move, a second one after the library's next look for the
// device (a second later) and the sensor follower each end at once with the
// error shown, naming the cause. Nothing reaches the device's lines, and the
// program runs on.
void ExpectDrivesEndWithoutTheDevice(ProgramOnPort &program, const std::vector<std::string> &said, bool absent);

// A way the device cannot be used, set up before the program starts, and
// what the library's one line says of it.
struct DeviceFault {
    const char *Name;
    std::function<void(ProgramOnPort &)> SetUp;
    std::vector<std::string> Said;
    EnvVars Env = {};                               // more of the program's environment
    std::function<void(ProgramOnPort &)> Then = {}; // more checks of this fault
    bool Absent = false;                            // no device at all
};
// Each fault on a program of its own on `library`, as ExpectDrivesEndWithoutTheDevice.
void ExpectEachFaultEndsEveryDrive(Library library, const std::vector<DeviceFault> &faults);

// Starts a drive that keeps a code on the register most of the time: a single
// move of `pulseMs`, or "Ruch ciagly" forward (200 ms pulses). Returns when
// the motors run; throws when they do not.
void StartDriving(ProgramOnPort &program, bool loop, int pulseMs = 5000);

// One device under the program, as ProgramOnPort asks it: how it starts,
// what reached its lines, its calls, its sensors and how it is lost (the
// ProgramOnPort functions of the same names say what each returns).
// ProgramOnPort owns it; it holds references to the parts of its owner it
// reaches (its emulator, the trace), which outlive it. PortDevices.cpp has
// one class per device.
class PortDevice {
public:
    virtual ~PortDevice() = default;
    // The device's path as the library's messages name it, or empty.
    virtual std::string Path() const { return ""; }
    // ProgramOnPort::ScriptStatus and SetStatus.
    virtual void ScriptStatus(const std::vector<int> &values) = 0;
    virtual void SetStatus(int status);
    // Arranges the loss in the first sensor loop (LoseDeviceInFirstLoop):
    // the count of status reads after which PullOut is called, or 0 when
    // the device's emulator fails by itself.
    virtual size_t LoseInFirstLoop() = 0;
    virtual void PullOut() {}
    // Starts the device unless it runs; the program's environment for its library.
    virtual EnvVars Start() = 0;
    // After the program has started: waits for its claim where that matters.
    virtual void Claimed(bool /*faulty*/) {}
    virtual std::vector<Write> Writes() const = 0;
    virtual size_t StatusReads() const = 0;
    virtual std::vector<DeviceCall> Calls() const = 0;
    virtual size_t LineAccesses() const = 0;
};
// The device of `library` under `program`.
std::unique_ptr<PortDevice> MakePortDevice(Library library, ProgramOnPort &program);

class ProgramOnPort {
public:
    explicit ProgramOnPort(Library library);
    ~ProgramOnPort();
    ProgramOnPort(const ProgramOnPort &) = delete;
    ProgramOnPort &operator=(const ProgramOnPort &) = delete;

    // The device parts: only the library's own is started. The emulated
    // port's folder also holds the trace, the recording library's status
    // script and the test's files.
    EmulatedPort port;   // Hardware
    EmulatedAdapter usb; // Ftdi232R, Ftdi232H (without usb.Add: one adapter of that chip)
    EmulatedGpio gpio;   // Gpio
    FakeBoard board;     // Firmata
    FakeBoardOptions boardOptions; // the board's switches at Start
    // The board's pins of the motor bits D0, D1, D3, D4, for reading its
    // writes back; they must share one port.
    std::array<int, 4> boardMotorPins{defaultboard::D0, defaultboard::D1, defaultboard::D3, defaultboard::D4};
    RobotProcess robot;
    // A pin map file's text for Start, which writes it to Dir()/robot-pins.conf
    // and names it in ROBOT_PINS; empty: the library's default map.
    std::string pinMap;

    // The device's path as the library's messages name it: the parallel
    // port's and the board's (both made per test); empty for the others.
    std::string Device() const { return device_->Path(); }
    // `text` with every "<device>" replaced by Device().
    std::string WithDevice(std::string text) const;

    std::string Dir() const { return port.Root() + "/.."; }
    std::string TracePath() const { return Dir() + "/trace.txt"; }

    // Status bytes for the sensor drives, one per read, the last repeating;
    // before Start. Unscripted, every library reads 254: nothing fires. Not
    // on the board, which reports its pins when they change and whose
    // library answers every read from the last report: SetStatus.
    void ScriptStatus(const std::vector<int> &values) { device_->ScriptStatus(values); }
    // The board's sensor pins as the status byte says, from now on.
    void SetStatus(int status) { device_->SetStatus(status); }

    // The device fails or goes away in the middle of the first sensor loop,
    // each as it can: the parallel port's fourth status read and every later
    // one fail with EIO; the GPIO chips go after 120 accesses (opening and
    // claiming take about 75, a status read two); the adapter and the board
    // are pulled out once the program has read the status 5 and 15 times.
    // Before Start.
    void LoseDeviceInFirstLoop() { pullOutAfterReads_ = device_->LoseInFirstLoop(); }

    // Starts the device (the adapter's emulator, the board) unless it runs,
    // then the program with the trace, the library and `more`. Throws (which
    // ends the test with the reason) when either does not come up. The board
    // starts in the background: Start waits for the program to have claimed
    // it, unless `faulty`.
    void Start(const EnvVars &more = {}, bool faulty = false);

    // The codes that reached the data register, by any process: the trace on
    // the recording library, the device's log on the others (the set-up
    // writes of a claim left out).
    std::vector<Write> Writes() const { return device_->Writes(); }
    std::vector<int> Values() const;
    // The data writes of the program's trace, whether they reached a device or not.
    std::vector<Write> TracedWrites() const;
    // Reads of the sensors by the program: the device's reads, or the
    // trace's status reads where the device is not asked (the recording
    // library, the board).
    size_t StatusReads() const { return device_->StatusReads(); }
    // The status bytes the program got, as its trace has them.
    std::vector<int> StatusBytes() const;

    // Every access to the device (none on the recording library).
    std::vector<DeviceCall> DeviceCalls() const { return device_->Calls(); }
    // The accesses of processes other than the program (its guard): by pid
    // where the log names it, else those from `sinceNs` on.
    std::vector<DeviceCall> CallsOfOthers(int64_t sinceNs) const;
    // Accesses that took or set the device's lines: the parallel port's data
    // writes and status reads, the adapter's mode changes and writes, the
    // GPIO line requests, the board's port writes.
    size_t LineAccesses() const { return device_->LineAccesses(); }

    // What the port library said on standard error ("inpout32: " lines).
    std::vector<std::string> Said() const { return robot.StderrLines("inpout32: "); }
    // The errors the program showed: its "robot: " lines, less the start-up's
    // word on its pulses and the status line's changes ("robot: port: ").
    std::vector<std::string> Shown() const;

    bool WaitForWrites(size_t n) { return WaitFor([&] { return Writes().size() >= n; }); }
    // The program traces a write after the device has it.
    bool WaitForTracedWrites(size_t n) { return WaitFor([&] { return TracedWrites().size() >= n; }); }
    bool WaitForReads(size_t n) { return WaitFor([&] { return StatusReads() >= n; }); }

private:
    void WatchForLoss(size_t reads);

    std::unique_ptr<PortDevice> device_; // after the parts it reaches
    size_t pullOutAfterReads_ = 0; // the adapter's or the board's loss; 0: none
    std::atomic<bool> ending_{false};
    std::thread lossWatch_;
};
