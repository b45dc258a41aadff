// The real program, started as a user starts it, on the FTDI port library
// (ROBOT_PORT=ftdi) over emulated FT232R and FT232H adapters: judged by what
// reached the adapter's lines (the emulator's log), by the port trace, and by
// what the program says. The cases the recording library shares run on it
// too, with the same expectations.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "support/EmulatedAdapter.h"
#include "support/ProgramOnPort.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

namespace {
using namespace std::chrono_literals;
constexpr int64_t Ms = 1000000;

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Milliseconds that the write at `i` was held, up to the next write.
double HeldMs(const std::vector<Write> &writes, size_t i)
{
    return i + 1 < writes.size() ? (writes[i + 1].Ns - writes[i].Ns) / 1e6 : -1;
}

// The status bytes the program read, as its trace has them.
std::vector<int> StatusRead(const std::string &trace)
{
    std::vector<int> values;
    for (const PortAccess &a : ReadTrace(trace))
        if (a.kind == 'R' && a.port == StatusPort)
            values.push_back(a.value);
    return values;
}

// Every line the program said but the start-up's word on its pulses.
std::vector<std::string> Shown(RobotProcess &robot)
{
    std::vector<std::string> shown;
    for (const std::string &line : robot.StderrLines("robot: "))
        if (line.rfind("robot: motor pulses run at", 0) != 0)
            shown.push_back(line);
    return shown;
}

// The program on one of the libraries whose cases are the same.
enum class Rig { Recording, Ft232r, Ft232h };

std::string RigName(const testing::TestParamInfo<Rig> &info)
{
    return info.param == Rig::Recording ? "Recording" : info.param == Rig::Ft232r ? "Ft232r" : "Ft232h";
}

class OnEachLibrary : public testing::TestWithParam<Rig> {
protected:
    void SetUp() override
    {
        if (GetParam() == Rig::Recording)
            recording_ = std::make_unique<ProgramOnPort>(Library::Recording);
        else
            ftdi_ = std::make_unique<ProgramOnAdapter>(GetParam() == Rig::Ft232h ? "FT232H" : "FT232R");
    }
    RobotProcess &Robot() { return recording_ ? recording_->robot : ftdi_->robot; }
    void ScriptStatus(const std::vector<int> &values)
    {
        recording_ ? recording_->ScriptStatus(values) : ftdi_->ScriptStatus(values);
    }
    void Start() { recording_ ? recording_->Start() : ftdi_->Start(); }
    std::vector<Write> Writes() const { return recording_ ? recording_->Writes() : ftdi_->Writes(); }
    std::vector<int> Values() const
    {
        std::vector<int> values;
        for (const Write &w : Writes())
            values.push_back(w.Value);
        return values;
    }
    bool WaitForWrites(size_t n) { return WaitFor([&] { return Writes().size() >= n; }); }
    size_t StatusReads() const { return recording_ ? recording_->StatusReads() : ftdi_->StatusReads(); }
    bool WaitForReads(size_t n) { return WaitFor([&] { return StatusReads() >= n; }); }

private:
    std::unique_ptr<ProgramOnPort> recording_;
    std::unique_ptr<ProgramOnAdapter> ftdi_;
};

void WritePinMap(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

// The default map's lines by name, for maps written by hand.
const char *const DefaultMotors = "device ftdi\nD0 DCD\nD1 RXD\nD3 CTS\nD4 RI\n";
} // namespace

TEST_P(OnEachLibrary, SingleMovesPulseEachCodeBetweenZerosForTheTypedTimes)
{
    Start();
    Robot().Type("Edit3", "150");
    Robot().Type("Edit35", "40");
    for (const char *button : {"Button2", "Button1", "Button3", "Button4"})
        Robot().Click(button);
    ASSERT_TRUE(WaitForWrites(12)) << Writes().size();

    const std::vector<Write> writes = Writes();
    EXPECT_EQ(Values(), (std::vector<int>{0, 18, 0, 0, 9, 0, 0, 17, 0, 0, 10, 0}));
    for (size_t i : {1, 4}) {
        EXPECT_GE(HeldMs(writes, i), 149) << i;
        EXPECT_LT(HeldMs(writes, i), 900) << i;
    }
    for (size_t i : {7, 10}) {
        EXPECT_GE(HeldMs(writes, i), 39) << i;
        EXPECT_LT(HeldMs(writes, i), 250) << i;
    }
    EXPECT_TRUE(Robot().Running());
}

TEST_P(OnEachLibrary, SensorFollowerCyclesDriveTurnHaltAndStandAsTheReadingsSay)
{
    auto repeat = [](int value, int times) { return std::vector<int>(size_t(times), value); };
    std::vector<int> script;
    for (const std::vector<int> &cycle :
         {repeat(254, 10), repeat(222, 10), repeat(238, 10), repeat(94, 10), repeat(254, 5), repeat(222, 5)})
        script.insert(script.end(), cycle.begin(), cycle.end());
    script.push_back(126); // the STOP value from then on
    ScriptStatus(script);
    Start();
    Robot().Type("Edit31", "100"); // stop time
    Robot().Type("Edit32", "60");  // left turn
    Robot().Type("Edit33", "60");  // right turn
    Robot().Click("Button22");
    ASSERT_TRUE(WaitForReads(61)) << StatusReads();
    Robot().Click("Button21");
    ASSERT_TRUE(WaitForWrites(24)) << Writes().size();
    std::this_thread::sleep_for(300ms);

    const std::vector<int> expected{0, 18, 0, 18, 18, 0, 18, 17, 0, 0, 18, 10, 0,
                                    0, 18, 0, 0,  18, 0, 0, 18, 0,  0, 0};
    EXPECT_EQ(Values(), expected);
    const std::vector<Write> writes = Writes();
    if (writes.size() == expected.size()) {
        for (size_t i : {7, 11}) {
            EXPECT_GE(HeldMs(writes, i), 59) << i;
            EXPECT_LT(HeldMs(writes, i), 400) << i;
        }
    }
    EXPECT_TRUE(Robot().Running());
}

INSTANTIATE_TEST_SUITE_P(RealProgram, OnEachLibrary, testing::Values(Rig::Recording, Rig::Ft232r, Rig::Ft232h),
                         RigName);

// The status byte is 254 with the bit of every firing sensor cleared, each
// line read with the polarity the map gives it.
TEST(RealProgramOnFtdi, StatusBytesAreTheLinesAsThePinMapReadsThem)
{
    for (const bool inverted : {false, true}) {
        SCOPED_TRACE(inverted ? "a map with the polarities turned round" : "the default map");
        ProgramOnAdapter program;
        // DTR (S4), DSR (S5), RTS (S7) levels; the other lines read high.
        program.usb.ScriptPins({0xFB, 0xEB, 0xDB, 0xFF, 0xCF});
        EnvVars env;
        if (inverted) {
            const std::string map = program.TracePath() + ".pins";
            WritePinMap(map, std::string(DefaultMotors) +
                                 "S4 DTR active-high\nS5 DSR active-high\nS7 RTS active-low\n");
            env.emplace_back("ROBOT_PINS", map);
        }
        program.Start(env);
        program.robot.Type("Edit31", "50");
        program.robot.Click("Button22");
        ASSERT_TRUE(WaitFor([&] { return StatusRead(program.TracePath()).size() >= 6; }));
        program.robot.Click("Button21");
        const std::vector<int> read = StatusRead(program.TracePath());
        const std::vector<int> expected = inverted ? std::vector<int>{78, 94, 110, 206, 254, 254}
                                                   : std::vector<int>{254, 238, 222, 126, 78, 78};
        EXPECT_EQ(std::vector<int>(read.begin(), read.begin() + 6), expected);
        EXPECT_TRUE(program.robot.StderrLines("inpout32: ").empty()) << program.robot.Stderr();
    }
}

// Where the adapter cannot be had, the program runs on: writes go nowhere,
// reads give 0, and one line on standard error says what happened and what
// to do.
TEST(RealProgramOnFtdi, WithoutAUsableAdapterRunsOnAndSaysOnceWhatToDo)
{
    struct Case {
        const char *name;
        std::function<void(EmulatedAdapter &)> setUp;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {"no adapter", [](EmulatedAdapter &u) { u.NoAdapter(); },
         {"no FTDI adapter (FT232R or FT232H) is plugged in", "Plug the adapter in (lsusb lists an FT232R as 0403:6001"}},
        {"held by another program", [](EmulatedAdapter &u) { u.HeldByAnotherProgram(); },
         {"the FTDI adapter FT232R at USB 1-2 (/dev/bus/usb/001/002) is held by another program",
          "sudo fuser -v /dev/bus/usb/001/002"}},
        {"serial driver stuck", [](EmulatedAdapter &u) { u.SerialDriver(true); },
         {"is bound to the kernel's serial driver ftdi_sio", "sudo rmmod ftdi_sio"}},
        {"another chip", [](EmulatedAdapter &u) { u.Add("FT231X"); },
         {"the FTDI adapter at USB 1-2 is an FT-X (FT230X/FT231X/FT234XD); this library drives only the FT232R",
          "Use an FT232R or FT232H adapter"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramOnAdapter program;
        c.setUp(program.usb);
        program.Start();
        RobotProcess &robot = program.robot;
        robot.Type("Edit3", "50");
        robot.Click("Button2");
        robot.Click("Button2");
        robot.Click("Button22");
        ASSERT_TRUE(WaitFor([&] { return StatusRead(program.TracePath()).size() >= 12; }));
        std::this_thread::sleep_for(1200ms); // the library looks for the adapter again meanwhile
        robot.Click("Button21");
        ASSERT_TRUE(Settled(program.TracePath()));

        EXPECT_TRUE(LineChanges(program.usb.Log()).empty());
        for (int value : StatusRead(program.TracePath()))
            EXPECT_EQ(value, 0);
        const std::vector<std::string> lines = robot.StderrLines("inpout32: ");
        ASSERT_EQ(lines.size(), 1u) << robot.Stderr();
        for (const std::string &part : c.said)
            EXPECT_TRUE(Has(lines[0], part)) << lines[0];
        EXPECT_TRUE(Has(lines[0], "Port writes go nowhere and reads return 0.")) << lines[0];
        EXPECT_TRUE(robot.Running());
    }
}

// The adapter pulled out in the middle of a sensor loop: the loop ends with
// the error shown once, and the program goes on; plugged in again, the
// adapter is taken back.
TEST(RealProgramOnFtdi, AdapterPulledOutDuringASensorLoopEndsItWithOneErrorShownAndIsTakenBack)
{
    ProgramOnAdapter program;
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Click("Button22");
    ASSERT_TRUE(program.WaitForReads(5));
    program.usb.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !Shown(robot).empty(); })) << robot.Stderr();
    std::this_thread::sleep_for(500ms);
    const size_t reads = program.StatusReads();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(program.StatusReads(), reads) << "the loop goes on";

    const std::vector<std::string> shown = Shown(robot);
    ASSERT_EQ(shown.size(), 1u) << robot.Stderr();
    EXPECT_TRUE(Has(shown[0], "The parallel port failed: cannot ")) << shown[0];
    EXPECT_TRUE(Has(shown[0], "the FT232R A1000002 at USB 1-2 stopped answering")) << shown[0];
    std::vector<std::string> gone;
    for (const std::string &line : robot.StderrLines("inpout32: "))
        if (Has(line, "stopped answering"))
            gone.push_back(line);
    ASSERT_EQ(gone.size(), 1u) << robot.Stderr();
    EXPECT_TRUE(Has(gone[0], "Plug it in again")) << gone[0];
    EXPECT_TRUE(robot.Running());

    ASSERT_TRUE(robot.DismissMessageBox(5000)) << "the error is shown in a message box";
    program.usb.Replug();
    std::this_thread::sleep_for(1200ms); // the library looks again once a second
    const size_t before = program.Writes().size();
    robot.Type("Edit3", "50");
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(before + 3)) << robot.Stderr();
    const std::vector<int> values = program.Values();
    EXPECT_EQ(std::vector<int>(values.end() - 3, values.end()), (std::vector<int>{0, 18, 0}));
    EXPECT_EQ(AccessesOf(program.usb.Log(), "connect").back().Detail, "/dev/bus/usb/001/003") << "a new device";
}

// A pin map the adapter cannot follow is refused whole: the message names the
// line, and nothing reaches the adapter's lines.
TEST(RealProgramOnFtdi, RefusedPinMapNamesTheLineAndDrivesNothing)
{
    struct Case {
        const char *name;
        std::string map;
        std::string said;
    };
    const Case cases[] = {
        {"a line used twice", "device ftdi\nD0 DCD\nD1 RXD\nD3 RXD\nD4 RI\nS4 DTR\nS5 DSR\nS7 RTS active-high\n",
         "the line RXD is used twice"},
        {"a line the adapter lacks", std::string(DefaultMotors) + "S4 DTR\nS5 CBUS2\nS7 RTS active-high\n",
         "names the line CBUS2, which the ftdi device does not have"},
        {"a missing bit", std::string(DefaultMotors) + "S4 DTR\nS5 DSR\n", "S7"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramOnAdapter program;
        const std::string map = program.TracePath() + ".pins";
        WritePinMap(map, c.map);
        program.Start({{"ROBOT_PINS", map}});
        program.robot.Type("Edit3", "50");
        program.robot.Click("Button2");
        ASSERT_TRUE(WaitFor([&] { return ReadTrace(program.TracePath()).size() >= 3; }));
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(LineChanges(program.usb.Log()).empty());
        const std::vector<std::string> lines = program.robot.StderrLines("inpout32: ");
        ASSERT_EQ(lines.size(), 1u) << program.robot.Stderr();
        EXPECT_TRUE(Has(lines[0], c.said)) << lines[0];
        EXPECT_TRUE(program.robot.Running());
    }
}

// kill -9 with the motors running: the guard claims the adapter once the
// program's claim has gone with it, and drives the motor lines low.
class KilledOnChip : public testing::TestWithParam<const char *> {};

TEST_P(KilledOnChip, TheGuardDrivesTheMotorLinesLowWithinASecond)
{
    ProgramOnAdapter program(GetParam());
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "5000");
    robot.Click("Button2");
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<int> values = program.Values();
        return !values.empty() && values.back() == MotorForwardCode;
    }));
    const int64_t killed = MonotonicNs();
    robot.Signal(SIGKILL);
    ASSERT_TRUE(KilledBy(robot.WaitForExit(5000), SIGKILL));

    const auto byGuard = [&] {
        std::vector<UsbAccess> changes;
        for (const UsbAccess &a : LineChanges(program.usb.Log()))
            if (a.Pid != robot.Pid())
                changes.push_back(a);
        return changes;
    };
    ASSERT_TRUE(WaitFor([&] { return !byGuard().empty() && byGuard().back().Directions == DefaultMotorLines; }, 5s))
        << "the guard did not drive the lines";
    const UsbAccess last = byGuard().back();
    EXPECT_EQ(last.High, 0);
    EXPECT_LT(last.Ns - killed, 1000 * Ms) << "the motors ran for over a second";
    RecordProperty("guard_lines_low_after_kill_us", int((last.Ns - killed) / 1000));
    ASSERT_TRUE(WaitFor([&] { return !AccessesOf(program.usb.Log(), "release", last.Pid).empty(); }, 2s))
        << "and lets go";
}

INSTANTIATE_TEST_SUITE_P(RealProgram, KilledOnChip, testing::Values("FT232R", "FT232H"));

// SIGSTOP with the motors running: the stopped program still holds the
// adapter, so the guard makes every line an input (no claim needed); the
// motor driver's pull-downs stop the motors. Continued, the program ends the
// pulse, its outputs back at 0 before the 0 is written, and drives again.
TEST(RealProgramOnFtdi, StoppedTheGuardMakesTheLinesInputsAndTheProgramTakesThemBack)
{
    ProgramOnAdapter program;
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "3000");
    robot.Click("Button2");
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<int> values = program.Values();
        return !values.empty() && values.back() == MotorForwardCode;
    }));
    const pid_t pid = robot.Pid();
    const auto byGuard = [&] {
        std::vector<UsbAccess> accesses;
        for (const UsbAccess &a : program.usb.Log())
            if (a.Pid != pid && a.Event != "connect" && a.Event != "close")
                accesses.push_back(a);
        return accesses;
    };
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(byGuard().empty()) << "the guard acted while the program ran";

    const int64_t stopped = MonotonicNs();
    robot.Signal(SIGSTOP);
    ASSERT_TRUE(WaitFor([&] { return !LineChanges(byGuard()).empty(); }, 2s));
    const UsbAccess cut = LineChanges(byGuard()).front();
    EXPECT_EQ(cut.Detail, "mode=01,mask=00");
    EXPECT_EQ(cut.Directions, 0) << "every line an input";
    EXPECT_LT(cut.Ns - stopped, 200 * Ms);
    RecordProperty("sigstop_lines_inputs_us", int((cut.Ns - stopped) / 1000));
    for (const UsbAccess &a : byGuard())
        EXPECT_NE(a.Event, "claim") << "the stopped program holds the interface";

    program.robot.Signal(SIGCONT);
    ASSERT_TRUE(WaitFor([&] { return program.Values().back() == 0; }, 5s));
    // Back: no motor line drives high before the outputs are set again at 0.
    std::vector<UsbAccess> after;
    for (const UsbAccess &a : LineChanges(program.usb.Log(), pid))
        if (a.Ns > cut.Ns)
            after.push_back(a);
    ASSERT_GE(after.size(), 3u);
    EXPECT_EQ(after[0].Detail, "mode=01,mask=00");
    EXPECT_EQ(after[2].Detail, "mode=01,mask=ca");
    for (const UsbAccess &a : after)
        EXPECT_EQ(a.High, 0) << a.Event << " " << a.Detail;

    const size_t before = program.Writes().size();
    robot.Type("Edit3", "50");
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(before + 3));
    const std::vector<int> values = program.Values();
    EXPECT_EQ(std::vector<int>(values.end() - 3, values.end()), (std::vector<int>{0, 18, 0}));
}
