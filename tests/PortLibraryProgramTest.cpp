// The real program, started as a user starts it, on each port library: the
// cases every library shares, each run on every library it applies to and
// judged by what reached the device (the emulators' and the board's logs read
// back through the default pin map), the port trace and what the program
// says. Where the devices differ in a value (a log's timing slack, the
// guard's calls, a message's words) the device's facts below say it. The cases
// of one device alone are in HardwarePortProgramTest.cpp, FtdiProgramTest.cpp,
// GpioProgramTest.cpp and FirmataProgramTest.cpp.
#include "core/Clock.h"
#include "support/TextSearch.h"
#include "core/RobotWiring.h"
#include "support/ProgramOnPort.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <limits>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace {
using namespace std::chrono_literals;
constexpr int64_t Ms = 1'000'000;
// A board that resets when the program opens it, as most do.
constexpr int BoardResetMs = 300;

bool StartsWith(const std::string &text, const std::string &start) { return text.rfind(start, 0) == 0; }

// A pin map file refused whole, and what the library's line says of it;
// `early`: the map's own text tells, so it is refused before the device is there.
struct Refusal {
    const char *name;
    std::string map;
    std::vector<std::string> said;
    bool early = false;
};

// What tells the devices apart in the shared cases.
struct DeviceFacts {
    // The typed times may show this much shorter in the device's log (the
    // board is another process, a pseudo-terminal away).
    double logSlackMs = 1;
    // How a write to the lines starts in the log, and the claim's set-up
    // writes before the program's first code.
    std::string writeCall;
    size_t setUpWrites = 0;

    // kill -9 in a sensor loop: the guard's call that switches the motors
    // off, what it does after it (letting the device go), and whether it does
    // nothing before.
    std::string guardZero;
    std::vector<std::string> guardThen;
    bool guardZeroFirst = true;
    // The names the kill's and the stop's delays are recorded under
    // (tools/ways-out-figures.sh collects them).
    std::string killFigure, stopFigure;

    // SIGSTOP: every call of the guard while the program is stopped, the one
    // that switches the motors off, and the program's first calls once
    // continued, where it takes the lines back (none where it kept them).
    std::vector<std::string> guardAtStop;
    std::string stopCut;
    std::vector<std::string> takenBack;

    // Closing the window: the codes that reached the register, the program's
    // last calls, the call that lets the device (or a part of it) go and how
    // often it comes, the call that opens it and how often.
    std::vector<int> closeValues;
    std::vector<std::string> closeTail;
    std::string letGo;
    size_t letGos = 1;
    std::string opens;
    size_t openings = 1;

    // Lost during a sensor loop: in the error shown, in the library's line;
    // whether the device stays (its reads alone fail), so the program's 0
    // still reaches it.
    std::string lostShown, lostSaid;
    bool deviceStays = false;

    // Pin maps refused whole, and how the device is kept away for those
    // refused early; the default map with every sensor's polarity turned round.
    std::vector<Refusal> refusals;
    std::function<void(ProgramOnPort &)> absent;
    std::string turnedMap;
};

// The default maps' motor lines by name, for maps written by hand.
const std::string FtdiMotors = "device ftdi\nD0 DCD\nD1 RXD\nD3 CTS\nD4 RI\n";
const std::string GpioMotors = "device gpio\nD4 GPIO17\nD3 GPIO27\nD1 GPIO22\nD0 GPIO23\n";

DeviceFacts HardwareFacts()
{
    DeviceFacts d;
    d.writeCall = "PPWDATA";
    d.guardZero = "PPWDATA 0";
    d.guardThen = {"PPRELEASE", "close"};
    d.killFigure = "guard_zero_after_kill_us";
    d.closeValues = {0, 18, 0};
    d.closeTail = {"PPRELEASE", "close"};
    d.letGo = "PPRELEASE";
    d.opens = "open";
    d.lostShown = "<device>: Input/output error";
    d.lostSaid = "cannot read <device>: Input/output error";
    d.deviceStays = true;
    return d;
}

DeviceFacts FtdiFacts(bool mpsse)
{
    DeviceFacts d;
    d.writeCall = mpsse ? "mpsse set-low" : "write";
    d.setUpWrites = 1;
    // The guard claims the adapter once the program's claim has gone with it,
    // and drives the motor lines (outputs) low.
    d.guardZero = mpsse ? "mpsse set-low:00/ca" : "bitmode mode=01,mask=ca";
    d.guardThen = {"release 0", "close"};
    if (mpsse)
        d.guardThen.insert(d.guardThen.begin(), {"mpsse get-low:31,87", "read 016031"}); // the claim's check
    d.guardZeroFirst = false;
    d.killFigure = "guard_lines_low_after_kill_us";
    d.stopFigure = "sigstop_lines_inputs_us";
    // The stopped program holds the adapter: the guard needs no claim to make
    // every line an input, and the motor driver's pull-downs stop the motors.
    d.guardAtStop = {"connect /dev/bus/usb/001/002", "capabilities 17", "bitmode mode=01,mask=00", "close"};
    d.stopCut = "bitmode mode=01,mask=00";
    // Continued, no motor line drives high before the outputs are set at 0.
    d.takenBack = mpsse ? std::vector<std::string>{"bitmode mode=02,mask=00", "flush-to-host 40:00:0002:0001:0",
                                                   "mpsse set-low:00/ca"}
                        : std::vector<std::string>{"bitmode mode=01,mask=00", "write 00", "bitmode mode=01,mask=ca"};
    d.closeValues = {0, 18, 0, 0};
    d.closeTail = {mpsse ? "mpsse set-low:00/ca" : "write 00", "release 0", "close"};
    d.letGo = "release";
    d.opens = "connect";
    d.lostShown = mpsse ? "the FT232H FTH00002 at USB 1-2 stopped answering"
                        : "the FT232R A1000002 at USB 1-2 stopped answering";
    d.lostSaid = "Plug it in again";
    d.refusals = {
        {"a line used twice", "device ftdi\nD0 DCD\nD1 RXD\nD3 RXD\nD4 RI\nS4 DTR\nS5 DSR\nS7 RTS active-high\n",
         {"the line RXD is used twice"}, true},
        {"a line the adapter lacks", FtdiMotors + "S4 DTR\nS5 CBUS2\nS7 RTS active-high\n",
         {"names the line CBUS2, which the ftdi device does not have"}, true},
        {"a pull the adapter lacks", FtdiMotors + "S4 DTR pull-down\nS5 DSR\nS7 RTS active-high\n",
         {"S4 asks for a pull the ftdi device cannot give"}, true},
        {"a missing bit", FtdiMotors + "S4 DTR\nS5 DSR\n", {"S7"}, true},
    };
    d.absent = [](ProgramOnPort &p) { p.usb.NoAdapter(); };
    d.turnedMap = FtdiMotors + "S4 DTR active-high\nS5 DSR active-high\nS7 RTS active-low\n";
    return d;
}

DeviceFacts GpioFacts()
{
    DeviceFacts d;
    const std::string motorsLow = "23=0,22=0,27=0,17=0";
    d.writeCall = "GPIOHANDLE_SET_LINE_VALUES_IOCTL";
    // Through its copy of the motor lines' handle; the lines fall low when
    // the last copy closes.
    d.guardZero = "GPIOHANDLE_SET_LINE_VALUES_IOCTL " + motorsLow;
    d.guardThen = {"close released", "release " + motorsLow};
    d.guardAtStop = {d.guardZero}; // and keeps the lines for the program
    d.stopCut = d.guardZero;
    d.killFigure = "gpio_guard_zero_after_kill_us";
    d.stopFigure = "gpio_sigstop_zero_us";
    d.closeValues = {0, 18, 0, 0};
    // The motor lines are let go by the program's close or the guard's,
    // whichever is their handle's last.
    d.closeTail = {"close"};
    d.letGo = "release";
    d.letGos = 3; // the motors' request and the sensors' two
    d.opens = "open";
    d.openings = 2; // the chip's information, then its lines
    d.lostShown = "the GPIO chip gpiochip0 [pinctrl-bcm2711] is gone (No such device)";
    d.lostSaid = "is gone";
    const std::string sensors = "S5 GPIO24\nS4 GPIO25\nS7 GPIO5 active-high\n";
    d.refusals = {
        {"a line used twice", GpioMotors + "S5 GPIO24\nS4 GPIO17\nS7 GPIO5 active-high\n",
         {"robot-pins.conf line 7: the line GPIO17 is used twice (also by ", "robot-pins.conf line 2)"}, true},
        {"a line the chip lacks", "device gpio\nD4 GPIO17\nD3 GPIO99\nD1 GPIO22\nD0 GPIO23\n" + sensors,
         {"robot-pins.conf line 3: D3 names the line GPIO99, which the gpio device does not have",
          "has no line named GPIO99; its lines: 0 ID_SDA,"}},
        {"an offset past the chip's lines", GpioMotors + "S5 GPIO24\nS4 58\nS7 GPIO5 active-high\n",
         {"S4 names the line 58", "has lines 0 to 57, no line 58"}},
        {"a missing bit", GpioMotors + "S5 GPIO24\nS4 GPIO25\n", {"does not say which line S7 uses"}, true},
    };
    d.absent = [](ProgramOnPort &p) { p.gpio.Chips(0); };
    d.turnedMap = GpioMotors + "S5 GPIO24 active-high\nS4 GPIO25 active-high\nS7 GPIO5 active-low\n";
    return d;
}

DeviceFacts FirmataFacts()
{
    DeviceFacts d;
    const std::string motorsOff = "port-write high=- port=0 value=0";
    d.logSlackMs = 20;
    d.writeCall = "port-write";
    d.setUpWrites = 1;
    // The guard's copy of the open device keeps the board open (no reset).
    d.guardZero = motorsOff;
    d.guardThen = {"close"};
    d.guardAtStop = {motorsOff};
    d.stopCut = motorsOff;
    d.killFigure = "firmata_guard_zero_after_kill_us";
    d.stopFigure = "firmata_sigstop_zero_us";
    d.closeValues = {0, 18, 0, 0};
    d.closeTail = {motorsOff, "close"};
    d.letGo = "close";
    d.opens = "open";
    d.lostShown = "the board on <device> has gone (unplugged?)";
    d.lostSaid = "Plug it in again";
    d.refusals = {
        {"a line used twice", "D0 4\nD1 4\nD3 6\nD4 7\nS4 8\nS5 9\nS7 10\n", {"line 2: the line 4 is used twice"},
         true},
        {"a line the board lacks", "D0 20\nD1 5\nD3 6\nD4 7\nS4 8\nS5 9\nS7 10\n",
         {"line 1: D0 names the line 20", "the board has no pin 20 (its digital pins: 2-19)"}},
        {"a missing bit", "D0 4\nD1 5\nD3 6\nD4 7\nS4 8\nS5 9\n", {"does not say which line S7 uses"}, true},
    };
    // A board that never answers: only a refusal before the opening says the map.
    d.absent = [](ProgramOnPort &p) { p.boardOptions.Fault = "silent"; };
    return d;
}

const DeviceFacts &FactsOf(Library library)
{
    static const DeviceFacts recording, hardware = HardwareFacts(), ft232r = FtdiFacts(false),
                                        ft232h = FtdiFacts(true), gpio = GpioFacts(), firmata = FirmataFacts();
    switch (library) {
    case Library::Recording: return recording;
    case Library::Hardware: return hardware;
    case Library::Ftdi232R: return ft232r;
    case Library::Ftdi232H: return ft232h;
    case Library::Gpio: return gpio;
    case Library::Firmata: return firmata;
    }
    return recording;
}

class OnLibrary : public testing::TestWithParam<Library> {
protected:
    OnLibrary()
    {
        if (GetParam() == Library::Firmata)
            program.boardOptions.ResetMs = BoardResetMs;
    }

    // The device's calls that write its lines.
    std::vector<DeviceCall> LineWrites(const std::vector<DeviceCall> &calls) const
    {
        std::vector<DeviceCall> out;
        for (const DeviceCall &c : calls)
            if (StartsWith(c.Text(), device.writeCall))
                out.push_back(c);
        return out;
    }
    // The program's own calls (every call where the log does not say who made it).
    std::vector<DeviceCall> ProgramCalls() const
    {
        std::vector<DeviceCall> out;
        for (const DeviceCall &c : program.DeviceCalls())
            if (c.Pid == program.robot.Pid() || c.Pid < 0)
                out.push_back(c);
        return out;
    }
    size_t CountOf(const std::string &call) const
    {
        const std::vector<DeviceCall> calls = program.DeviceCalls();
        return size_t(std::count_if(calls.begin(), calls.end(), [&](const DeviceCall &c) { return c.Call == call; }));
    }

    const DeviceFacts &device = FactsOf(GetParam());
    ProgramOnPort program{GetParam()};
};

// Every library.
class EveryLibrary : public OnLibrary {};
// The libraries whose sensors can be scripted read by read.
class ScriptedLibrary : public OnLibrary {};
// The libraries with a device and a guard for it.
class DeviceLibrary : public OnLibrary {};
// The devices a stopped program keeps, whose guard switches the motors off
// without letting the device go. (The parallel port's: NoWayAroundMotorsOffTest.)
class StoppedOnDevice : public OnLibrary {};
// The libraries with a pin map.
class MappedLibrary : public OnLibrary {};
// The libraries with a pin map whose sensors can be scripted read by read.
class ScriptedMappedLibrary : public OnLibrary {};

// Milliseconds that the write at `i` was held, up to the next write.
double HeldMs(const std::vector<Write> &writes, size_t i)
{
    return i + 1 < writes.size() ? (writes[i + 1].Ns - writes[i].Ns) / 1e6 : -1;
}
} // namespace

TEST_P(EveryLibrary, SingleMovesPulseEachCodeBetweenZerosForTheTypedTimes)
{
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "150");
    robot.Type("Edit35", "40");
    for (const char *button : {"Button2", "Button1", "Button3", "Button4"})
        robot.Click(button);
    ASSERT_TRUE(program.WaitForWrites(12)) << program.Writes().size();
    ASSERT_TRUE(program.WaitForTracedWrites(12)) << program.TracedWrites().size();

    EXPECT_EQ(program.Values(), (std::vector<int>{0, 18, 0, 0, 9, 0, 0, 17, 0, 0, 10, 0}));
    // Held as typed, not the designed 1200 and 300 ms: exactly by the
    // program's trace, and within the device's slack by its log.
    for (const auto &[writes, slackMs] :
         {std::pair{program.TracedWrites(), 1.0}, std::pair{program.Writes(), device.logSlackMs}}) {
        ASSERT_EQ(writes.size(), 12u);
        for (size_t i : {1, 4}) {
            EXPECT_GE(HeldMs(writes, i), 150 - slackMs) << i;
            EXPECT_LT(HeldMs(writes, i), 900) << i;
        }
        for (size_t i : {7, 10}) {
            EXPECT_GE(HeldMs(writes, i), 40 - slackMs) << i;
            EXPECT_LT(HeldMs(writes, i), 250) << i;
        }
    }
    // One write a code, nothing else written to the device.
    if (!device.writeCall.empty()) {
        EXPECT_EQ(LineWrites(program.DeviceCalls()).size(), device.setUpWrites + 12);
    }
    EXPECT_TRUE(program.Said().empty()) << robot.Stderr();
    EXPECT_TRUE(robot.Running());
}

TEST_P(ScriptedLibrary, SensorFollowerCyclesDriveTurnHaltAndStandAsTheReadingsSay)
{
    auto repeat = [](int value, int times) { return std::vector<int>(size_t(times), value); };
    std::vector<int> script;
    for (const std::vector<int> &cycle :
         {repeat(254, 10), repeat(222, 10), repeat(238, 10), repeat(94, 10), repeat(254, 5), repeat(222, 5)})
        script.insert(script.end(), cycle.begin(), cycle.end());
    script.push_back(126); // the STOP value from then on
    program.ScriptStatus(script);
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit31", "100"); // stop time
    robot.Type("Edit32", "60");  // left turn
    robot.Type("Edit33", "60");  // right turn
    robot.Click("Button22");
    // Sixty readings make five cycles and the sixth that finds nothing; one
    // more is the first check of the wait that follows.
    ASSERT_TRUE(program.WaitForReads(61)) << program.StatusReads();
    robot.Click("Button21");
    ASSERT_TRUE(program.WaitForWrites(24)) << program.Writes().size();
    std::this_thread::sleep_for(300ms);

    const std::vector<int> expected{
        0, 18,        // START
        0, 18, 18,    // slow-down before the last sample; forward
        0, 18, 17, 0, // left pulse
        0, 18, 10, 0, // right pulse
        0, 18, 0,     // obstacle on the left: halt
        0, 18, 0,     // mixed readings: halt
        0, 18, 0,     // nothing matched: stand while 126 is read
        0, 0,         // STOP
    };
    EXPECT_EQ(program.Values(), expected);
    const std::vector<Write> writes = program.Writes();
    if (writes.size() == expected.size()) {
        for (size_t i : {7, 11}) { // the typed turn times, not the designed 450 ms
            EXPECT_GE(HeldMs(writes, i), 59) << i;
            EXPECT_LT(HeldMs(writes, i), 400) << i;
        }
    }
    EXPECT_TRUE(robot.Running());
}

// kill -9 during a loop: nothing of the program runs, yet its guard switches
// the motors off within a second and lets the device go. The guard holds a
// copy of the program's open device (a parallel port's claim outlives the
// program with it: nobody else can claim the port before the 0 is written).
TEST_P(DeviceLibrary, KilledDuringALoopTheGuardSwitchesTheMotorsOffWithinASecond)
{
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Click("Button22");
    // After the first cycle's decision the motors run forward (18).
    ASSERT_TRUE(program.WaitForReads(15));
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<int> values = program.Values();
        return !values.empty() && values.back() == MotorForwardCode;
    }));
    const int64_t killed = MonotonicNs();
    robot.Signal(SIGKILL);
    ASSERT_TRUE(KilledBy(robot.WaitForExit(5000), SIGKILL));

    std::vector<std::string> tail{device.guardZero};
    tail.insert(tail.end(), device.guardThen.begin(), device.guardThen.end());
    const auto guardTexts = [&] { return Texts(program.CallsOfOthers(killed)); };
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<std::string> texts = guardTexts();
        return texts.size() >= tail.size() && std::equal(tail.begin(), tail.end(), texts.end() - long(tail.size()));
    }, 5s)) << Listing(program.DeviceCalls());
    std::this_thread::sleep_for(100ms); // anything more the guard does
    const std::vector<DeviceCall> guard = program.CallsOfOthers(killed);
    const std::vector<std::string> texts = Texts(guard);
    // A log that names the caller tells the guard's calls apart. One that
    // does not (the board's, a pseudo-terminal away) goes by time, and the
    // program's last writes may reach it after the kill: where the guard's
    // zero is a write the program makes too, only the log's end is surely
    // the guard's.
    const bool byCaller = std::all_of(guard.begin(), guard.end(), [](const DeviceCall &c) { return c.Pid >= 0; });
    const bool toldApart = byCaller || device.guardZero.rfind(device.writeCall, 0) != 0;
    if (device.guardZeroFirst && toldApart) {
        EXPECT_EQ(texts, tail);
    }
    ASSERT_GE(guard.size(), tail.size()) << testing::PrintToString(texts);
    if (toldApart) {
        EXPECT_EQ(std::count(texts.begin(), texts.end(), device.guardZero), 1) << testing::PrintToString(texts);
    }
    const size_t zero = guard.size() - tail.size();
    for (size_t i = zero; i < guard.size(); ++i)
        EXPECT_TRUE(guard[i].Ok) << texts[i];
    EXPECT_LT(guard[zero].Ns - killed, 1000 * Ms) << "the motors ran on for over a second";
    EXPECT_LT(guard[zero + 1].Ns - killed, 1000 * Ms) << "the device was let go over a second later";
    RecordProperty(device.killFigure, int((guard[zero].Ns - killed) / 1000));
    for (const Write &w : program.Writes()) {
        if (w.Ns >= guard[zero].Ns) {
            EXPECT_EQ(w.Value, 0);
        }
    }
}

// The guard killed mid-pulse, twice: the library sees its link hang up, starts
// a new guard at once with every order and says so once; the program killed
// next, the new guard switches the motors off within a second.
TEST_P(EveryLibrary, GuardKilledMidPulseIsReplacedAtOnceAndStopsTheMotorsWhenTheProgramIsKilled)
{
    std::string figure = LibraryName(GetParam());
    std::transform(figure.begin(), figure.end(), figure.begin(), [](unsigned char c) { return std::tolower(c); });
    program.Start();
    RobotProcess &robot = program.robot;
    StartDriving(program, false, 5000);
    for (int round = 0; round < 2; ++round) { // and its replacement too
        const pid_t first = GuardOf(robot.Pid());
        ASSERT_GT(first, 0);
        const int64_t guardKilled = MonotonicNs();
        ASSERT_EQ(kill(first, SIGKILL), 0);
        ASSERT_TRUE(WaitFor([&] { return std::set<pid_t>{-1, first}.count(GuardOf(robot.Pid())) == 0; }, 1s));
        RecordProperty(figure + "_guard_replaced_us_" + std::to_string(round), int((MonotonicNs() - guardKilled) / 1000));
    }
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(program.Values().back(), MotorForwardCode) << "the pulse is under way";

    const int64_t killed = MonotonicNs();
    robot.Signal(SIGKILL);
    ASSERT_TRUE(KilledBy(robot.WaitForExit(5000), SIGKILL));
    // The trace's 0 where there is no device, else the new guard's call.
    const auto zeroAt = [&]() -> int64_t {
        for (const Write &w : program.Writes())
            if (device.guardZero.empty() && w.Ns >= killed && w.Value == 0)
                return w.Ns;
        for (const DeviceCall &c : program.CallsOfOthers(killed))
            if (c.Ns >= killed && c.Text() == device.guardZero && c.Ok)
                return c.Ns;
        return -1;
    };
    ASSERT_TRUE(WaitFor([&] { return zeroAt() >= 0; }, 5s)) << Listing(program.DeviceCalls());
    EXPECT_LT(zeroAt() - killed, 1000 * Ms) << "the motors ran on for over a second";
    RecordProperty(figure + "_replaced_guard_zero_us", int((zeroAt() - killed) / 1000));
    const std::vector<std::string> said = program.Said();
    ASSERT_EQ(said.size(), 1u) << robot.Stderr();
    EXPECT_TRUE(Has(said[0], "the port guard (port-guard) has ended; a new one is started")) << said[0];
}

// SIGSTOP during a pulse: the guard switches the motors off within a fifth of
// a second, once, and lets nothing go; continued, the program ends the pulse,
// takes the lines back where the guard made them inputs, and drives again.
TEST_P(StoppedOnDevice, StoppedTheGuardSwitchesTheMotorsOffOnceAndTheProgramGoesOnAfterwards)
{
    program.Start();
    RobotProcess &robot = program.robot;
    StartDriving(program, false, 3000);
    std::this_thread::sleep_for(300ms);
    // (The board's log does not say who wrote: there this tells nothing.)
    EXPECT_TRUE(program.CallsOfOthers(std::numeric_limits<int64_t>::max()).empty())
        << "the guard acted while the program ran";

    const int64_t stopped = MonotonicNs();
    robot.Signal(SIGSTOP);
    const auto cuts = [&] {
        std::vector<DeviceCall> out;
        for (const DeviceCall &c : program.CallsOfOthers(stopped))
            if (c.Text() == device.stopCut)
                out.push_back(c);
        return out;
    };
    ASSERT_TRUE(WaitFor([&] { return !cuts().empty(); }, 2s)) << Listing(program.DeviceCalls());
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Texts(program.CallsOfOthers(stopped)), device.guardAtStop) << "one cut per stop, nothing let go";
    const DeviceCall cut = cuts().front();
    EXPECT_TRUE(cut.Ok);
    EXPECT_LT(cut.Ns - stopped, 200 * Ms);
    RecordProperty(device.stopFigure, int((cut.Ns - stopped) / 1000));

    const int64_t continued = MonotonicNs();
    robot.Signal(SIGCONT);
    // The pulse under way ends at once, as after Ctrl+Z.
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<Write> writes = program.Writes();
        return !writes.empty() && writes.back().Ns > continued && writes.back().Value == 0;
    }, 5s));
    if (!device.takenBack.empty()) {
        std::vector<std::string> back;
        for (const DeviceCall &c : ProgramCalls())
            if (c.Ns > cut.Ns)
                back.push_back(c.Text());
        ASSERT_GE(back.size(), device.takenBack.size());
        back.resize(device.takenBack.size());
        EXPECT_EQ(back, device.takenBack);
    }

    std::this_thread::sleep_for(500ms);
    const size_t before = program.Writes().size();
    robot.Type("Edit3", "50");
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(before + 3)) << "the program's next move did not go out";
    const std::vector<int> values = program.Values();
    EXPECT_EQ(std::vector<int>(values.end() - 3, values.end()), (std::vector<int>{0, 18, 0}));
    EXPECT_EQ(CountOf(device.letGo), 0u) << "the device was let go";
    EXPECT_TRUE(robot.Running());
}

// Closing the window ends the program with its status 0: the motors' 0
// reaches the device before the program lets it go, and nobody writes after.
TEST_P(DeviceLibrary, ClosingTheWindowLeavesTheMotorsAtZeroAndLetsTheDeviceGo)
{
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "30");
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(3));
    ASSERT_TRUE(robot.CloseWindow());
    ASSERT_TRUE(ExitedWith(robot.WaitForExit(10000), 0)) << robot.Stderr();
    const int64_t exited = MonotonicNs();
    std::this_thread::sleep_for(500ms); // time for anything left behind to act

    EXPECT_EQ(program.Values(), device.closeValues);
    const std::vector<DeviceCall> calls = program.DeviceCalls();
    const std::vector<DeviceCall> writes = LineWrites(calls);
    ASSERT_EQ(writes.size(), device.setUpWrites + device.closeValues.size()) << Listing(calls);
    size_t letGos = 0;
    for (const DeviceCall &c : calls) {
        if (c.Call != device.letGo)
            continue;
        ++letGos;
        EXPECT_GT(c.Ns, writes.back().Ns) << "written after the device was let go";
    }
    EXPECT_EQ(letGos, device.letGos);
    EXPECT_EQ(CountOf(device.opens), device.openings);
    EXPECT_TRUE(LineWrites(program.CallsOfOthers(exited)).empty()) << "the guard wrote";

    const std::vector<DeviceCall> mine = ProgramCalls();
    ASSERT_GE(mine.size(), device.closeTail.size());
    const std::vector<DeviceCall> tail(mine.end() - long(device.closeTail.size()), mine.end());
    EXPECT_EQ(Texts(tail), device.closeTail);
    for (const DeviceCall &c : tail)
        EXPECT_TRUE(c.Ok) << c.Text();
}

// The device fails or goes away in the middle of a sensor loop (a parallel
// port's I/O error, a USB adapter or GPIO expander pulled out, the board's
// cable): the loop ends, the error is shown once, the library says once what
// happened, and the program runs on.
TEST_P(DeviceLibrary, DeviceLostDuringASensorLoopEndsItWithOneErrorShown)
{
    program.LoseDeviceInFirstLoop();
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Click("Button22");
    ASSERT_TRUE(WaitFor([&] { return !program.Shown().empty(); })) << robot.Stderr();
    std::this_thread::sleep_for(500ms);
    const size_t reads = program.StatusBytes().size();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(program.StatusBytes().size(), reads) << "the loop goes on";

    const std::vector<std::string> shown = program.Shown();
    ASSERT_EQ(shown.size(), 1u) << robot.Stderr();
    EXPECT_TRUE(Has(shown[0], "The sensors cannot be read: ") || Has(shown[0], "The motors cannot be driven: "))
        << shown[0];
    EXPECT_TRUE(Has(shown[0], program.WithDevice(device.lostShown))) << shown[0];
    const std::vector<std::string> said = program.Said();
    ASSERT_EQ(said.size(), 1u) << robot.Stderr();
    EXPECT_TRUE(Has(said[0], program.WithDevice(device.lostSaid))) << said[0];
    EXPECT_TRUE(Has(said[0], "No drive runs until it can be used.")) << said[0];
    EXPECT_TRUE(robot.Running());

    if (device.deviceStays) {
        // The program tried to leave the register at 0, and did.
        const std::vector<DeviceCall> calls = program.DeviceCalls();
        const auto failed = std::find_if(calls.begin(), calls.end(), [](const DeviceCall &c) { return !c.Ok; });
        ASSERT_NE(failed, calls.end());
        EXPECT_TRUE(std::any_of(failed, calls.end(), [](const DeviceCall &c) { return c.Text() == "PPWDATA 0"; }));
        ASSERT_FALSE(program.Values().empty());
        EXPECT_EQ(program.Values().back(), 0);
    }
}

// A pin map the device cannot follow is refused whole: the library's one
// line names the line, every drive ends at once, nothing reaches the device.
// What the map's own text tells is said at start, without the device; a map
// that is no file (a FIFO) is refused with the reason, not waited on.
TEST_P(MappedLibrary, RefusedPinMapNamesTheLineAndDrivesNothing)
{
    std::vector<DeviceFault> faults;
    for (const Refusal &r : device.refusals)
        faults.push_back({r.name, [r, absent = device.absent](ProgramOnPort &p) {
                              p.pinMap = r.map;
                              if (r.early)
                                  absent(p);
                          }, r.said});
    QTemporaryDir dir;
    const std::string fifo = dir.filePath("pins").toStdString();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    faults.push_back({"a FIFO", [](ProgramOnPort &) {}, {fifo + " (ROBOT_PINS): it is a FIFO, not a file"},
                      {{"ROBOT_PINS", fifo}}});
    ExpectEachFaultEndsEveryDrive(GetParam(), faults);
}

// The status byte is 254 with the bit of every firing sensor cleared, each
// line read with the polarity the map gives it.
TEST_P(ScriptedMappedLibrary, StatusBytesAreTheSensorLinesAsThePinMapReadsThem)
{
    for (const bool turned : {false, true}) {
        SCOPED_TRACE(turned ? "a map with the polarities turned round" : "the default map");
        ProgramOnPort mapped(GetParam());
        mapped.ScriptStatus({254, 238, 222, 126, 78});
        if (turned)
            mapped.pinMap = device.turnedMap;
        mapped.Start();
        mapped.robot.Type("Edit31", "50");
        mapped.robot.Click("Button22");
        ASSERT_TRUE(WaitFor([&] { return mapped.StatusBytes().size() >= 6; }));
        mapped.robot.Click("Button21");
        const std::vector<int> read = mapped.StatusBytes();
        const std::vector<int> expected = turned ? std::vector<int>{78, 94, 110, 206, 254, 254}
                                                 : std::vector<int>{254, 238, 222, 126, 78, 78};
        EXPECT_EQ(std::vector<int>(read.begin(), read.begin() + 6), expected);
        EXPECT_TRUE(mapped.Said().empty()) << mapped.robot.Stderr();
    }
}

INSTANTIATE_TEST_SUITE_P(RealProgram, EveryLibrary,
                         testing::Values(Library::Recording, Library::Hardware, Library::Ftdi232R, Library::Ftdi232H,
                                         Library::Gpio, Library::Firmata),
                         LibraryTestName);
INSTANTIATE_TEST_SUITE_P(RealProgram, ScriptedLibrary,
                         testing::Values(Library::Recording, Library::Hardware, Library::Ftdi232R, Library::Ftdi232H,
                                         Library::Gpio),
                         LibraryTestName);
INSTANTIATE_TEST_SUITE_P(RealProgram, DeviceLibrary,
                         testing::Values(Library::Hardware, Library::Ftdi232R, Library::Ftdi232H, Library::Gpio,
                                         Library::Firmata),
                         LibraryTestName);
INSTANTIATE_TEST_SUITE_P(RealProgram, StoppedOnDevice,
                         testing::Values(Library::Ftdi232R, Library::Ftdi232H, Library::Gpio, Library::Firmata),
                         LibraryTestName);
INSTANTIATE_TEST_SUITE_P(RealProgram, MappedLibrary, testing::Values(Library::Ftdi232R, Library::Gpio, Library::Firmata),
                         LibraryTestName);
INSTANTIATE_TEST_SUITE_P(RealProgram, ScriptedMappedLibrary,
                         testing::Values(Library::Ftdi232R, Library::Ftdi232H, Library::Gpio), LibraryTestName);
