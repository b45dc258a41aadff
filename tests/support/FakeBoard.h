#pragma once
// The fake Firmata board (build/lib/test/fake-firmata-board) as a test runs
// it: started with its switches, its pseudo-terminal's device for the
// library (ROBOT_SERIAL), its input pins set while it runs, and its log read.
// The real program on the Firmata board's library over it: ProgramOnPort.
#include "support/DeviceLog.h"
#include "support/RobotProcess.h"

#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// One line of the board's log: "<ns> <in|out|event> <what> key=value ...".
struct BoardLine {
    int64_t Ns = 0;
    std::string Dir;  // in (from the host), out (to the host), event
    std::string What; // port-write, pin-mode, report, open, reset, ...
    std::map<std::string, std::string> Fields;

    // A field as a number; -1 when it is missing.
    long Int(const std::string &key) const;
    bool Is(const std::string &dir, const std::string &what) const { return Dir == dir && What == what; }
};

std::vector<BoardLine> ReadBoardLog(const std::string &path);
// The lines of `dir` and `what`.
std::vector<BoardLine> LinesOf(const std::vector<BoardLine> &log, const std::string &dir, const std::string &what);
// The values of the port writes to `port` that the board took, in order.
std::vector<int> PortWrites(const std::vector<BoardLine> &log, int port = 0);
// The index of the first line after `from` that is `dir` `what`, or -1.
long FindLine(const std::vector<BoardLine> &log, const std::string &dir, const std::string &what, long from = -1);

struct FakeBoardOptions {
    int ResetMs = 0;           // the reset on open; 0: none
    int LatencyUs = 0;         // per message from the host
    std::string Firmware;      // "2.4"; empty: 2.5
    std::string Fault;         // silent, text, malformed
    int UnplugAfter = 0;       // messages from the host; 0: never
    bool NoCapabilities = false;
    bool Bytewise = false;
    std::string Script;        // a script file's text ("pin 9 0", "wait 100")
    int ChattyBytesPerS = 0;   // reports without pause, writes that block while unread; 0: off
};

class FakeBoard {
public:
    FakeBoard() = default;
    ~FakeBoard();
    FakeBoard(const FakeBoard &) = delete;
    FakeBoard &operator=(const FakeBoard &) = delete;

    // Starts the board and waits for its device; false with the reason.
    bool Start(const FakeBoardOptions &options = {}, std::string *error = nullptr);

    // The pseudo-terminal's slave: the board's serial device.
    const std::string &Device() const { return device_; }
    std::string LogPath() const { return dir_.filePath("board.log").toStdString(); }
    std::vector<BoardLine> Log() const { return ReadBoardLog(LogPath()); }
    // What the library needs to find the board.
    EnvVars Env() const { return {{"ROBOT_SERIAL", device_}}; }
    pid_t Pid() const { return pid_; }

    // An input pin's level as its sensor drives it.
    void SetPin(int pin, bool high);
    // Raw bytes to the host, as they are.
    void SendRaw(const std::vector<uint8_t> &bytes);
    // Pulls the cable: the pseudo-terminal goes, and the board process ends.
    void Unplug();
    // Polls the log every 5 ms until `done` holds for it, at most `ms`.
    bool WaitForLog(const std::function<bool(const std::vector<BoardLine> &)> &done, int ms = 5000) const;
    // Ends the board (quit, then SIGKILL) and reaps it.
    void Stop();

private:
    void Command(const std::string &line);

    QTemporaryDir dir_;
    pid_t pid_ = -1;
    int control_ = -1; // the board's standard input
    std::string device_;
};

// The Firmata library's default pin map (portio/kit/PinMap.cpp), for tests
// that speak in motor codes and status bytes.
namespace defaultboard {
constexpr int D0 = 4, D1 = 5, D3 = 6, D4 = 7; // the motor bits, all on port 0
constexpr int S4 = 8, S5 = 9;                 // the line sensors: low over the line, pull-ups on
constexpr int S7 = 10;                        // the obstacle sensor: high with an obstacle ahead
} // namespace defaultboard
// The sensor pins' levels that make a status byte (only the sensor bits 4, 5
// and 7 of 254 can be cleared), as (pin, high) pairs.
std::vector<std::pair<int, bool>> PinsOfStatus(int status);
