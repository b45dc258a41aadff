// The real program, started as a user starts it, on the hardware port library
// (next to the program) over the emulated parallel port, and the same cases on
// the recording library: judged by the emulator's log and the port trace.
#include "core/Clock.h"
#include "support/ProgramOnPort.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <fstream>
#include <thread>

namespace {
using namespace std::chrono_literals;

std::string NameOf(const testing::TestParamInfo<Library> &info)
{
    return info.param == Library::Hardware ? "Hardware" : "Recording";
}

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class OnBothLibraries : public testing::TestWithParam<Library> {
protected:
    ProgramOnPort program{GetParam()};
};

// Milliseconds that the write at `i` was held, up to the next write.
double HeldMs(const std::vector<Write> &writes, size_t i)
{
    return i + 1 < writes.size() ? (writes[i + 1].Ns - writes[i].Ns) / 1e6 : -1;
}
} // namespace

TEST_P(OnBothLibraries, SingleMovesPulseEachCodeBetweenZerosForTheTypedTimes)
{
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "150");
    robot.Type("Edit35", "40");
    for (const char *button : {"Button2", "Button1", "Button3", "Button4"})
        robot.Click(button);
    ASSERT_TRUE(program.WaitForWrites(12)) << program.Writes().size();

    const std::vector<Write> writes = program.Writes();
    EXPECT_EQ(program.Values(), (std::vector<int>{0, 18, 0, 0, 9, 0, 0, 17, 0, 0, 10, 0}));
    // The typed durations, not the designed 1200 and 300 ms.
    for (size_t i : {1, 4}) {
        EXPECT_GE(HeldMs(writes, i), 149) << i;
        EXPECT_LT(HeldMs(writes, i), 900) << i;
    }
    for (size_t i : {7, 10}) {
        EXPECT_GE(HeldMs(writes, i), 39) << i;
        EXPECT_LT(HeldMs(writes, i), 250) << i;
    }
    EXPECT_TRUE(robot.Running());
}

TEST_P(OnBothLibraries, SensorFollowerCyclesDriveTurnHaltAndStandAsTheReadingsSay)
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

INSTANTIATE_TEST_SUITE_P(RealProgram, OnBothLibraries, testing::Values(Library::Recording, Library::Hardware),
                         NameOf);

// The status register as the port has it: bit 7 not inverted, bits 0-2 kept.
// The follower compares whole values, so only raw bytes match these settings.
TEST(RealProgramOnHardware, StatusByteReachesTheProgramRawAndTheTraceShowsIt)
{
    ProgramOnPort program(Library::Hardware);
    std::vector<int> script(10, 0x7E);
    script.insert(script.end(), 10, 0x07);
    script.push_back(0x80);
    program.ScriptStatus(script);
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit41", "126"); // go
    robot.Type("Edit27", "7");   // left
    robot.Type("Edit32", "40");
    robot.Type("Edit42", "128"); // STOP value
    robot.Type("Edit31", "50");
    robot.Click("Button22");
    ASSERT_TRUE(program.WaitForReads(31)) << program.StatusReads();
    robot.Click("Button21");
    ASSERT_TRUE(program.WaitForWrites(14));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(program.Values(), (std::vector<int>{0, 18, 0, 18, 18, 0, 18, 17, 0, 0, 18, 0, 0, 0}));

    // The program's own trace is what the port saw, access for access.
    const std::vector<PortCall> log = program.port.Log();
    std::vector<PortAccess> seen;
    for (const PortCall &c : log)
        if ((c.Call == "PPWDATA" || c.Call == "PPRSTATUS") && c.Ok())
            seen.push_back({0, c.Call == "PPWDATA" ? 'W' : 'R', c.Call == "PPWDATA" ? 888 : 889, c.Value});
    const std::vector<PortAccess> trace = ReadTrace(program.TracePath());
    ASSERT_EQ(trace.size(), seen.size());
    ASSERT_GT(trace.size(), 2u);
    for (size_t i = 0; i < trace.size(); ++i) {
        EXPECT_EQ(trace[i].kind, seen[i].kind) << i;
        EXPECT_EQ(trace[i].port, seen[i].port) << i;
        EXPECT_EQ(trace[i].value, seen[i].value) << i;
    }
    EXPECT_EQ(trace[2].value, 126);
}

// Where the port cannot be had, the program runs on: its writes go nowhere,
// its reads give 0, and one line on standard error says what to do.
TEST(RealProgramOnHardware, WithoutAUsablePortRunsOnAndSaysOnceWhatToDo)
{
    struct Case {
        const char *name;
        std::function<void(EmulatedPort &)> setUp;
        std::string said; // after the device path
    };
    const Case cases[] = {
        {"no device", [](EmulatedPort &p) { p.FailOpen("ENOENT"); }, " does not exist (the ppdev module is not loaded)"},
        {"permission denied", [](EmulatedPort &p) { p.FailOpen("EACCES"); }, ": Permission denied"},
        {"held by another driver", [](EmulatedPort &p) { p.HeldByAnotherDriverFor(600000); },
         " is held by another driver or program (the printer driver: sudo rmmod lp"},
        {"claim refused", [](EmulatedPort &p) { p.FailClaim("ENXIO"); }, ": No such device or address"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramOnPort program(Library::Hardware);
        c.setUp(program.port);
        program.Start();
        RobotProcess &robot = program.robot;
        robot.Type("Edit3", "50");
        robot.Click("Button2");
        robot.Click("Button2");
        robot.Click("Button22");
        ASSERT_TRUE(WaitFor([&] {
            size_t reads = 0;
            for (const PortAccess &a : ReadTrace(program.TracePath()))
                reads += a.kind == 'R';
            return reads >= 12;
        }));
        robot.Click("Button21");
        ASSERT_TRUE(Settled(program.TracePath()));

        const std::vector<PortCall> log = program.port.Log();
        EXPECT_TRUE(CallsOf(log, "PPWDATA").empty());
        EXPECT_TRUE(CallsOf(log, "PPRSTATUS").empty());
        for (const PortAccess &a : ReadTrace(program.TracePath())) {
            if (a.kind == 'R') {
                EXPECT_EQ(a.value, 0);
            }
        }
        EXPECT_FALSE(CallsOf(log, c.name == std::string("held by another driver") ? "PPCLAIM" : "open").empty());

        const std::vector<std::string> lines = robot.StderrLines("inpout32: ");
        ASSERT_EQ(lines.size(), 1u) << robot.Stderr();
        const std::string &line = lines[0];
        EXPECT_TRUE(Has(line, program.port.Device() + c.said)) << line;
        EXPECT_TRUE(Has(line, "sudo modprobe parport_pc ppdev")) << line;
        EXPECT_TRUE(Has(line, "check that " + program.port.Device() + " exists")) << line;
        EXPECT_TRUE(Has(line, "group lp: sudo usermod -aG lp $USER")) << line;
        EXPECT_TRUE(robot.Running());
    }
}

// A port that another driver gives up later is used from then on; what that
// driver left on it is cleared the moment the claim comes, idle or not.
TEST(RealProgramOnHardware, PortHeldForAWhileIsUsedOnceItIsFree)
{
    ProgramOnPort program(Library::Hardware);
    program.port.HeldByAnotherDriverFor(2500);
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "50");
    robot.Click("Button2");
    ASSERT_TRUE(WaitFor([&] { return ReadTrace(program.TracePath()).size() >= 3; }));
    EXPECT_TRUE(program.Writes().empty());
    EXPECT_EQ(robot.StderrLines("inpout32: ").size(), 1u) << robot.Stderr();

    ASSERT_TRUE(WaitFor([&] {
        for (const PortCall &c : CallsOf(program.port.Log(), "PPCLAIM"))
            if (c.Ok())
                return true;
        return false;
    }));
    ASSERT_TRUE(program.WaitForWrites(1));
    EXPECT_EQ(program.Values(), (std::vector<int>{0}));
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(4));
    EXPECT_EQ(program.Values(), (std::vector<int>{0, 0, 18, 0}));
    EXPECT_EQ(robot.StderrLines("inpout32: ").size(), 1u) << robot.Stderr();
}

// Two copies of the program: the second waits for the port, and gets it when
// the first one is killed (the kernel drops a dead program's claim).
TEST(RealProgramOnHardware, SecondCopyGetsThePortWhenTheFirstIsKilled)
{
    ProgramOnPort first(Library::Hardware);
    first.Start();
    first.robot.Type("Edit3", "20");
    first.robot.Click("Button2");
    ASSERT_TRUE(first.WaitForWrites(3));

    RobotProcess second;
    std::string error;
    ASSERT_TRUE(second.Start(first.port.Env(), &error)) << error;
    second.Type("Edit3", "20");
    second.Click("Button2");
    const auto secondClaims = [&] { return CallsOf(first.port.Log(), "PPCLAIM", second.Pid()); };
    ASSERT_TRUE(WaitFor([&] { return !secondClaims().empty(); }));
    ASSERT_TRUE(WaitFor([&] { return second.StderrLines("inpout32: ").size() == 1; })) << second.Stderr();
    EXPECT_TRUE(Has(second.Stderr(), "is held by another driver or program"));
    EXPECT_EQ(secondClaims().front().Result, "wait");
    EXPECT_TRUE(CallsOf(first.port.Log(), "PPWDATA", second.Pid()).empty());

    first.robot.Signal(SIGKILL);
    ASSERT_TRUE(KilledBy(first.robot.WaitForExit(5000), SIGKILL));
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<PortCall> claims = secondClaims();
        return claims.size() == 2 && claims[1].Ok();
    }, 5s));
    second.Click("Button2");
    ASSERT_TRUE(WaitFor([&] { return CallsOf(first.port.Log(), "PPWDATA", second.Pid()).size() >= 3; }));
}

// Closing the window ends the program with its status 0, the port released,
// and nothing written by anyone after the program's last 0.
TEST(RealProgramOnHardware, ClosingTheWindowReleasesThePortWithoutAnotherWrite)
{
    ProgramOnPort program(Library::Hardware);
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Type("Edit3", "30");
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(3));
    ASSERT_TRUE(robot.CloseWindow());
    ASSERT_TRUE(ExitedWith(robot.WaitForExit(10000), 0)) << robot.Stderr();
    std::this_thread::sleep_for(500ms); // time for anything left behind to act

    const std::vector<PortCall> log = program.port.Log();
    EXPECT_EQ(program.Values(), (std::vector<int>{0, 18, 0}));
    const std::vector<PortCall> mine = CallsOf(log, "", robot.Pid());
    ASSERT_GE(mine.size(), 3u);
    EXPECT_EQ(mine[mine.size() - 2].Call, "PPRELEASE");
    EXPECT_TRUE(mine[mine.size() - 2].Ok());
    EXPECT_EQ(mine.back().Call, "close");
    EXPECT_EQ(CallsOf(log, "PPWDATA").size(), 3u);
}

// A port that fails in the middle of a sensor loop: the loop ends, the error
// is shown once, and the program tries to leave the data register at 0.
TEST(RealProgramOnHardware, IoErrorInALoopEndsItWithTheErrorShownAndTriesZero)
{
    struct Case {
        const char *request;
        int nth;
    };
    // The sixth write is the slow-down step's 0 of the second cycle (the
    // port holds 18); the fourth read comes while the port holds 18.
    for (const Case c : {Case{"PPWDATA", 6}, Case{"PPRSTATUS", 4}}) {
        SCOPED_TRACE(c.request);
        ProgramOnPort program(Library::Hardware);
        program.port.FailFrom(c.request, c.nth);
        program.Start();
        RobotProcess &robot = program.robot;
        robot.Click("Button22");
        const std::string errorLine = "robot: The parallel port failed";
        ASSERT_TRUE(WaitFor([&] { return !robot.StderrLines(errorLine).empty(); })) << robot.Stderr();
        std::this_thread::sleep_for(500ms);
        const size_t reads = program.StatusReads();
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(program.StatusReads(), reads) << "the loop goes on";

        // Every line the program said, but the start-up's word on its pulses.
        std::vector<std::string> shown;
        for (const std::string &line : robot.StderrLines("robot: "))
            if (line.rfind("robot: motor pulses run at", 0) != 0)
                shown.push_back(line);
        ASSERT_EQ(shown.size(), 1u) << robot.Stderr();
        EXPECT_TRUE(Has(shown[0], program.port.Device() + ": Input/output error")) << shown[0];

        const std::vector<PortCall> log = program.port.Log();
        size_t failed = log.size();
        for (size_t i = 0; i < log.size() && failed == log.size(); ++i)
            if (log[i].Result == "EIO")
                failed = i;
        ASSERT_LT(failed, log.size());
        bool triedZero = false;
        for (size_t i = failed + 1; i < log.size(); ++i)
            triedZero |= log[i].Call == "PPWDATA" && log[i].Value == 0;
        EXPECT_TRUE(triedZero);
        if (std::string(c.request) == "PPRSTATUS") {
            ASSERT_FALSE(RegisterWrites(log).empty());
            EXPECT_EQ(RegisterWrites(log).back(), 0);
        }
        EXPECT_TRUE(robot.Running());
    }
}

// kill -9 during a loop: nothing of the program runs, yet its guard writes 0
// and releases the port within a second. The guard holds a copy of the
// program's open device, whose claim outlives the program: nobody else can
// claim the port before the 0 is written.
TEST(RealProgramOnHardware, KilledDuringALoopTheGuardLeavesTheRegisterAtZero)
{
    ProgramOnPort program(Library::Hardware);
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Click("Button22");
    // After the first cycle's decision the motors run forward (18).
    ASSERT_TRUE(program.WaitForReads(15));
    ASSERT_EQ(program.Values().back(), 18);
    const int64_t killedNs = MonotonicNs();
    robot.Signal(SIGKILL);
    ASSERT_TRUE(KilledBy(robot.WaitForExit(5000), SIGKILL));

    const auto guardCalls = [&] {
        std::vector<PortCall> calls;
        for (const PortCall &c : program.port.Log())
            if (c.Pid != robot.Pid())
                calls.push_back(c);
        return calls;
    };
    ASSERT_TRUE(WaitFor([&] { return guardCalls().size() >= 3; }, 5s));
    const std::vector<PortCall> guard = guardCalls();
    std::vector<std::string> calls;
    for (const PortCall &c : guard) {
        calls.push_back(c.Call);
        EXPECT_TRUE(c.Ok()) << c.Call << " " << c.Result;
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"PPWDATA", "PPRELEASE", "close"}));
    EXPECT_EQ(guard[0].Value, 0);
    EXPECT_LT(guard[1].Ns - killedNs, 1000000000) << "the register held 18 for over a second";
    RecordProperty("guard_zero_after_kill_us", int((guard[0].Ns - killedNs) / 1000));
    EXPECT_EQ(RegisterWrites(program.port.Log()).back(), 0);
}
