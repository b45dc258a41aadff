// The real program on the GPIO port library (build/lib/gpio) over the
// emulated chips of a Raspberry Pi 4, started as a user starts it: the status
// bytes as the pin map reads the sensor lines, each fault said once with what
// to do, a chip lost in a sensor loop, a refused pin map, and the motors
// switched off when the program is stopped, killed or closed. Judged by the
// emulator's log, the port trace and the program's standard error. (The
// moves and the sensor follower, the same on every library, are in
// HardwarePortProgramTest.cpp.)
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "support/ProgramOnPort.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

namespace {
using namespace std::chrono_literals;
using namespace defaultgpio;

constexpr int64_t Ms = 1'000'000;

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The status bytes the library answered, as the trace has them.
std::vector<int> StatusBytes(const ProgramOnPort &program)
{
    std::vector<int> bytes;
    for (const PortAccess &a : ReadTrace(program.TracePath()))
        if (a.kind == 'R' && a.port == StatusPort)
            bytes.push_back(a.value);
    return bytes;
}

// Runs the sensor follower until `reads` status bytes have been read, then STOP.
void Follow(ProgramOnPort &program, size_t reads)
{
    program.robot.Click("Button22");
    ASSERT_TRUE(WaitFor([&] { return StatusBytes(program).size() >= reads; })) << StatusBytes(program).size();
    program.robot.Click("Button21");
    ASSERT_TRUE(Settled(program.TracePath()));
}

std::string WriteMap(const QTemporaryDir &dir, const std::string &text)
{
    const std::string path = dir.filePath("robot-pins.conf").toStdString();
    std::ofstream(path) << text;
    return path;
}

// The program's lines on standard error, but the start-up's word on its pulses.
std::vector<std::string> Shown(const RobotProcess &robot)
{
    std::vector<std::string> shown;
    for (const std::string &line : robot.StderrLines("robot: "))
        if (line.rfind("robot: motor pulses run at", 0) != 0)
            shown.push_back(line);
    return shown;
}

const std::string DefaultMapText = "device gpio\n"
                                   "D4 GPIO17\nD3 GPIO27\nD1 GPIO22\nD0 GPIO23\n";

} // namespace

// The sensor lines' levels reach the program as the parallel port's status
// byte: 254 with the bit of each firing sensor cleared, the polarity the map's.
TEST(RealProgramOnGpio, StatusBytesAreTheSensorLinesAsThePinMapReadsThem)
{
    {
        SCOPED_TRACE("the default map: S5 and S4 fire low, S7 high");
        ProgramOnPort program(Library::Gpio);
        program.gpio.ScriptLevels({"GPIO24=1 GPIO25=1 GPIO5=0", "GPIO24=0 GPIO25=1 GPIO5=0",
                                   "GPIO24=1 GPIO25=0 GPIO5=0", "GPIO24=1 GPIO25=1 GPIO5=1",
                                   "GPIO24=0 GPIO25=0 GPIO5=1",
                                   ""}); // all floating: the pulls say nothing fires
        program.Start();
        Follow(program, 8);
        const std::vector<int> bytes = StatusBytes(program);
        EXPECT_EQ(std::vector<int>(bytes.begin(), bytes.begin() + 7),
                  (std::vector<int>{254, 222, 238, 126, 78, 254, 254}));
    }
    {
        SCOPED_TRACE("a map of its own: S5 fires high with a pull-down, S7 low with a pull-up, offsets");
        ProgramOnPort program(Library::Gpio);
        QTemporaryDir dir;
        const std::string map = WriteMap(dir, DefaultMapText + "S5 24 active-high pull-down\n"
                                                               "S4 GPIO25 active-low pull-up\n"
                                                               "S7 5 active-low pull-up\n");
        program.gpio.ScriptLevels({"GPIO24=0 GPIO25=1 GPIO5=1", "GPIO24=1 GPIO25=1 GPIO5=1",
                                   "GPIO24=0 GPIO25=1 GPIO5=0", ""});
        program.Start({{"ROBOT_PINS", map}});
        Follow(program, 6);
        const std::vector<int> bytes = StatusBytes(program);
        EXPECT_EQ(std::vector<int>(bytes.begin(), bytes.begin() + 5), (std::vector<int>{254, 222, 126, 254, 254}));
        std::map<std::string, std::string> requested; // lines -> flags
        for (const GpioCall &c : GpioCallsOf(program.gpio.Log(), "GPIO_GET_LINEHANDLE_IOCTL"))
            requested[RequestField(c.Detail, "lines")] = RequestField(c.Detail, "flags");
        // One request per polarity and pull: S4 and S7 share one.
        EXPECT_EQ(requested, (std::map<std::string, std::string>{{"23,22,27,17", "output"},
                                                                 {"24", "input+pull-down"},
                                                                 {"25,5", "input+active-low+pull-up"}}));
    }
}

// A chip that cannot be had: the program runs on, its writes go nowhere, its
// reads give 0, and one line on standard error says what is wrong and what
// to do, however often the library looks for the chip again.
TEST(RealProgramOnGpio, WithoutAUsableChipRunsOnAndSaysOnceWhatToDo)
{
    struct Case {
        const char *name;
        std::function<void(EmulatedGpio &)> setUp;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {"no chip", [](EmulatedGpio &g) { g.Chips(0); },
         {"there is no GPIO chip gpiochip0 (/dev/gpiochip0 does not exist; this computer shows no GPIO chip)",
          "Set `chip` in the pin map to one of the chips gpiodetect lists"}},
        {"permission denied", [](EmulatedGpio &g) { g.FailOpen("EACCES"); },
         {"cannot open /dev/gpiochip0: Permission denied", "GROUP=\"gpio\"", "sudo usermod -aG gpio $USER"}},
        {"a line held by another consumer", [](EmulatedGpio &g) { g.Hold("GPIO27", "pigpio"); },
         {"GPIO27 (line 27 of gpiochip0 [pinctrl-bcm2711]) is held by \"pigpio\"", "gpioinfo gpiochip0"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramOnPort program(Library::Gpio);
        c.setUp(program.gpio);
        program.Start();
        RobotProcess &robot = program.robot;
        robot.Type("Edit3", "50");
        robot.Click("Button2");
        std::this_thread::sleep_for(1100ms); // past the library's next look for the chip
        robot.Click("Button2");
        Follow(program, 12);

        const std::vector<GpioCall> log = program.gpio.Log();
        EXPECT_TRUE(GpioCallsOf(log, "GPIO_GET_LINEHANDLE_IOCTL").empty());
        EXPECT_TRUE(program.Writes().empty());
        for (int byte : StatusBytes(program))
            EXPECT_EQ(byte, 0);
        const std::vector<std::string> lines = robot.StderrLines("inpout32: ");
        ASSERT_EQ(lines.size(), 1u) << robot.Stderr();
        for (const std::string &part : c.said)
            EXPECT_TRUE(Has(lines[0], part)) << part << "\n" << lines[0];
        EXPECT_TRUE(Has(lines[0], "Port writes go nowhere and reads return 0.")) << lines[0];
        EXPECT_TRUE(Shown(robot).empty()) << robot.Stderr();
        EXPECT_TRUE(robot.Running());
    }
}

// A pin map the chip cannot carry out is refused with the line named; the
// program runs on and no line is taken.
TEST(RealProgramOnGpio, ARefusedPinMapNamesTheLineAndTakesNothing)
{
    struct Case {
        const char *name;
        std::string map;
        std::vector<std::string> said;
    };
    const std::string sensors = "S5 GPIO24\nS4 GPIO25\nS7 GPIO5 active-high\n";
    const Case cases[] = {
        {"a line used twice", DefaultMapText + "S5 GPIO24\nS4 GPIO17\nS7 GPIO5 active-high\n",
         {"robot-pins.conf line 7: the line GPIO17 is used twice (also by ", "robot-pins.conf line 2)"}},
        {"a line the chip lacks", "device gpio\nD4 GPIO17\nD3 GPIO99\nD1 GPIO22\nD0 GPIO23\n" + sensors,
         {"robot-pins.conf line 3: D3 names the line GPIO99, which the gpio device does not have",
          "has no line named GPIO99; its lines: 0 ID_SDA,"}},
        {"an offset past the chip's lines", DefaultMapText + "S5 GPIO24\nS4 58\nS7 GPIO5 active-high\n",
         {"S4 names the line 58", "has lines 0 to 57, no line 58"}},
        {"a missing bit", DefaultMapText + "S5 GPIO24\nS4 GPIO25\n", {"does not say which line S7 uses"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramOnPort program(Library::Gpio);
        QTemporaryDir dir;
        program.Start({{"ROBOT_PINS", WriteMap(dir, c.map)}});
        RobotProcess &robot = program.robot;
        robot.Type("Edit3", "50");
        robot.Click("Button2");
        std::this_thread::sleep_for(1100ms);
        robot.Click("Button2");
        ASSERT_TRUE(WaitFor([&] { return ReadTrace(program.TracePath()).size() >= 6; }));
        EXPECT_TRUE(GpioCallsOf(program.gpio.Log(), "GPIO_GET_LINEHANDLE_IOCTL").empty());
        const std::vector<std::string> lines = robot.StderrLines("inpout32: ");
        ASSERT_EQ(lines.size(), 1u) << robot.Stderr();
        for (const std::string &part : c.said)
            EXPECT_TRUE(Has(lines[0], part)) << part << "\n" << lines[0];
        EXPECT_TRUE(robot.Running());
    }
}

// The chip goes away while the sensor follower runs (a USB GPIO adapter
// pulled out): the loop ends, the error is shown once, the program runs on.
TEST(RealProgramOnGpio, AChipLostDuringASensorLoopEndsItWithOneErrorShown)
{
    ProgramOnPort program(Library::Gpio);
    // Opening and claiming take about 75 accesses; two more per status read.
    program.gpio.GoneAfter(120);
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Click("Button22");
    ASSERT_TRUE(WaitFor([&] { return !Shown(robot).empty(); })) << robot.Stderr();
    std::this_thread::sleep_for(500ms);
    const size_t reads = StatusBytes(program).size();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(StatusBytes(program).size(), reads) << "the loop goes on";

    const std::vector<std::string> shown = Shown(robot);
    ASSERT_EQ(shown.size(), 1u) << robot.Stderr();
    EXPECT_TRUE(Has(shown[0], "the GPIO chip gpiochip0 [pinctrl-bcm2711] is gone (No such device)")) << shown[0];
    const std::vector<std::string> said = robot.StderrLines("inpout32: ");
    ASSERT_EQ(said.size(), 1u) << robot.Stderr();
    EXPECT_TRUE(Has(said[0], "is gone")) << said[0];
    EXPECT_TRUE(robot.Running());
}

// kill -9 during a loop: the guard drives the motor lines low through its
// copy of their handle within a second, then lets them go.
TEST(RealProgramOnGpio, KilledDuringALoopTheGuardDrivesTheMotorLinesLowAndLetsThemGo)
{
    ProgramOnPort program(Library::Gpio);
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Click("Button22");
    ASSERT_TRUE(program.WaitForReads(15));
    ASSERT_EQ(program.Values().back(), MotorForwardCode);
    const int64_t killedNs = MonotonicNs();
    robot.Signal(SIGKILL);
    ASSERT_TRUE(KilledBy(robot.WaitForExit(5000), SIGKILL));

    const auto byGuard = [&](const std::string &call) {
        std::vector<GpioCall> calls;
        for (const GpioCall &c : GpioCallsOf(program.gpio.Log(), call))
            if (c.Pid != robot.Pid())
                calls.push_back(c);
        return calls;
    };
    ASSERT_TRUE(WaitFor([&] { return !byGuard("release").empty(); }, 5s)) << "the guard let nothing go";
    const std::vector<GpioCall> sets = byGuard("GPIOHANDLE_SET_LINE_VALUES_IOCTL");
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_TRUE(sets[0].Ok()) << sets[0].Result;
    EXPECT_EQ(LineLevels(sets[0].Detail), (std::map<int, int>{{D4, 0}, {D3, 0}, {D1, 0}, {D0, 0}}));
    EXPECT_LT(sets[0].Ns - killedNs, 1'000'000'000) << "the motors ran on for over a second";
    RecordProperty("gpio_guard_zero_after_kill_us", int((sets[0].Ns - killedNs) / 1000));
    const std::vector<GpioCall> closes = byGuard("close");
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].Detail, "released");
    EXPECT_EQ(LineLevels(byGuard("release")[0].Detail), (std::map<int, int>{{D4, 0}, {D3, 0}, {D1, 0}, {D0, 0}}));
    EXPECT_EQ(program.Values().back(), 0);
}

// SIGSTOP during a pulse: the guard drives the lines low through its copy
// within a fifth of a second and keeps them for the program, which goes on
// with them when continued.
TEST(RealProgramOnGpio, StoppedTheGuardDrivesTheLinesLowAndTheProgramKeepsThem)
{
    ProgramOnPort program(Library::Gpio);
    program.Start();
    StartDriving(program, false, 3000);
    const pid_t robot = program.robot.Pid();
    const auto byGuard = [&] {
        std::vector<GpioCall> calls;
        for (const GpioCall &c : program.gpio.Log())
            if (c.Pid != robot)
                calls.push_back(c);
        return calls;
    };
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(byGuard().empty()) << "the guard acted while the program ran";

    const int64_t stopped = MonotonicNs();
    program.robot.Signal(SIGSTOP);
    ASSERT_TRUE(WaitFor([&] { return !byGuard().empty(); }, 2s));
    std::this_thread::sleep_for(300ms);
    const std::vector<GpioCall> guard = byGuard();
    ASSERT_EQ(guard.size(), 1u) << "one write per stop, nothing let go";
    EXPECT_EQ(guard[0].Call, "GPIOHANDLE_SET_LINE_VALUES_IOCTL");
    EXPECT_EQ(DefaultMapCode(LineLevels(guard[0].Detail)), 0);
    EXPECT_LT(guard[0].Ns - stopped, 200 * Ms);
    RecordProperty("gpio_sigstop_zero_us", int((guard[0].Ns - stopped) / 1000));

    program.robot.Signal(SIGCONT);
    std::this_thread::sleep_for(500ms);
    program.robot.Type("Edit3", "50");
    program.robot.Click("Button2");
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<int> values = program.Values();
        return values.size() >= 3 && values[values.size() - 2] == MotorForwardCode && values.back() == 0;
    })) << "the program's next move did not go out";
    EXPECT_TRUE(GpioCallsOf(program.gpio.Log(), "release").empty());
}

// Closing the window: the motor lines go low, then every line is let go.
TEST(RealProgramOnGpio, ClosingTheWindowDrivesTheLinesLowAndLetsThemGo)
{
    ProgramOnPort program(Library::Gpio);
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "30");
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(3));
    ASSERT_TRUE(robot.CloseWindow());
    ASSERT_TRUE(ExitedWith(robot.WaitForExit(10000), 0)) << robot.Stderr();
    std::this_thread::sleep_for(500ms);

    // The program drives the lines low; the lines are let go after that (by
    // the program's close or the guard's, whichever is the handle's last).
    const std::vector<GpioCall> log = program.gpio.Log();
    const std::string motors = RequestField(GpioCallsOf(log, "GPIO_GET_LINEHANDLE_IOCTL").at(0).Detail, "handle");
    std::vector<GpioCall> sets, releases;
    for (const GpioCall &c : log) {
        if (c.Object == motors && c.Call == "GPIOHANDLE_SET_LINE_VALUES_IOCTL")
            sets.push_back(c);
        if (c.Object == motors && c.Call == "release")
            releases.push_back(c);
    }
    ASSERT_FALSE(sets.empty());
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(sets.back().Detail, "23=0,22=0,27=0,17=0");
    EXPECT_EQ(sets.back().Pid, robot.Pid());
    EXPECT_LT(sets.back().Ns, releases[0].Ns);
    for (const GpioCall &c : sets)
        EXPECT_EQ(c.Pid, robot.Pid()) << "the guard wrote";
    EXPECT_EQ(GpioCallsOf(log, "release").size(), 3u); // the sensors' two requests too
}
