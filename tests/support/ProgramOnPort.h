#pragma once
// The real program on one port library, for tests judged by what reached the
// data register: the hardware library over the emulated port (judged by the
// emulator's log) or the recording library (judged by its trace).
#include "support/EmulatedPort.h"
#include "support/Harness.h"
#include "support/RobotProcess.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class Library { Recording, Hardware };

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

class ProgramOnPort;
// Starts a drive that keeps a code on the register most of the time: a single
// move of `pulseMs`, or "Ruch ciagly" forward (200 ms pulses). Returns when
// the motors run; throws when they do not.
void StartDriving(ProgramOnPort &program, bool loop, int pulseMs = 5000);

class ProgramOnPort {
public:
    explicit ProgramOnPort(Library library) : library_(library) {}

    EmulatedPort port;
    RobotProcess robot;

    std::string TracePath() const { return port.Root() + "/../trace.txt"; }

    // Status bytes for the sensor drives, one per read, the last repeating.
    void ScriptStatus(const std::vector<int> &values);
    // Starts the program with the trace, the library and `more`. Throws
    // (which ends the test with the reason) when it does not come up.
    void Start(const EnvVars &more = {});

    // What reached the data register: the emulator's log on the hardware
    // library, the trace on the recording library.
    std::vector<Write> Writes() const;
    std::vector<int> Values() const;
    size_t StatusReads() const;

    bool WaitForWrites(size_t n) { return WaitFor([&] { return Writes().size() >= n; }); }
    bool WaitForReads(size_t n) { return WaitFor([&] { return StatusReads() >= n; }); }

private:
    Library library_;
};
