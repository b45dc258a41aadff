#pragma once
// The emulated GPIO chips of a Raspberry Pi 4 (build/lib/test/libgpio-emulator.so,
// tests/emulator/GpioEmulator.cpp) as a test sets them up for a program: the
// state folder, the log, the fault switches and the levels on the input
// lines.
#include "support/DeviceLog.h"
#include "support/RobotProcess.h"

#include <QTemporaryDir>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One line of the emulator's log. A request of the kernel's second GPIO
// interface is read under the name of the first interface's request that
// does the same (GPIO_V2_LINE_SET_VALUES_IOCTL as
// GPIOHANDLE_SET_LINE_VALUES_IOCTL, GPIO_V2_GET_LINE_IOCTL as
// GPIO_GET_LINEHANDLE_IOCTL, ...), so that a test holds whichever interface
// the library at hand speaks; SecondInterface tells them apart.
struct GpioCall {
    int64_t Ns; // CLOCK_MONOTONIC
    int Pid;
    std::string Call;   // open, close, release, GPIOHANDLE_SET_LINE_VALUES_IOCTL, ...
    int Fd;
    std::string Object; // gpiochip0, handle3, -
    std::string Detail; // see the emulator
    std::string Result; // ok or an errno name
    bool SecondInterface = false;
    bool Ok() const { return Result == "ok"; }
};

std::vector<GpioCall> ReadGpioLog(const std::string &path);
// The calls named `call` (every call for an empty name), of `pid` (every
// process for 0).
inline std::vector<GpioCall> GpioCallsOf(const std::vector<GpioCall> &log, const std::string &call, int pid = 0)
{
    return RecordsOf(log, &GpioCall::Call, call, pid);
}
// The requests made of the chips and handles in a log (every call but the
// opening, closing and releasing): what GoneAfter counts.
int GpioAccesses(const std::vector<GpioCall> &log);
// "17=1,27=0" -> {17: 1, 27: 0}
std::map<int, int> LineLevels(const std::string &detail);
// One field of a request's detail: Field("lines=17;flags=output", "flags") == "output".
std::string RequestField(const std::string &detail, const std::string &key);

// The default pin map's lines (gpiochip0): the motor bits' lines and the
// sensors' with their polarity.
namespace defaultgpio {
constexpr int D4 = 17, D3 = 27, D1 = 22, D0 = 23; // GPIO17, GPIO27, GPIO22, GPIO23
constexpr int S5 = 24, S4 = 25, S7 = 5;           // GPIO24, GPIO25 (active-low), GPIO5 (active-high)
} // namespace defaultgpio
// The data-register code the motor lines' levels stand for in the default map.
int DefaultMapCode(const std::map<int, int> &levels);

class EmulatedGpio {
public:
    EmulatedGpio();

    std::string Dir() const { return dir_.filePath("gpio").toStdString(); }
    std::string LogPath() const { return dir_.filePath("gpio.log").toStdString(); }

    // How many chips there are (0, 1 or 2).
    void Chips(int count) { chips_ = count; }
    // Every open of a chip fails with this errno name (EACCES).
    void FailOpen(const std::string &errnoName) { openError_ = errnoName; }
    // Another consumer holds the line of gpiochip0 (a name or an offset).
    void Hold(const std::string &line, const std::string &consumer);
    // The chips go after this many accesses.
    void GoneAfter(int accesses) { goneAfter_ = accesses; }
    // Levels put on the lines from outside, one entry per sampling of the
    // lines, the last repeating: "GPIO24=0 GPIO25=1".
    void ScriptLevels(const std::vector<std::string> &entries);
    // Status bytes as the default pin map's sensor lines present them.
    void ScriptStatus(const std::vector<int> &values);

    // The preload, the state folder, the log and the switches above.
    EnvVars Env() const;
    std::vector<GpioCall> Log() const { return ReadGpioLog(LogPath()); }

private:
    QTemporaryDir dir_;
    int chips_ = -1;
    int goneAfter_ = 0;
    std::string openError_;
    std::string held_;
    bool scripted_ = false;
};
