// The real program, started as a user starts it, on the hardware port library
// (next to the program) over the emulated parallel port: what only a parallel
// port has (the raw status register, its claim, a port that another driver
// holds, a failed write), judged by the emulator's log and the port trace.
// The cases every library shares are in PortLibraryProgramTest.cpp.
#include "support/ProgramOnPort.h"
#include "support/TextSearch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace {
using namespace std::chrono_literals;

} // namespace

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
    // A claim that takes long (as under load) counts as one that waited for
    // another claimant, and the library writes a 0 of its own first.
    std::vector<int> values = program.Values();
    const bool ownZero = values.size() > 1 && values[0] == 0 && values[1] == 0;
    if (ownZero)
        values.erase(values.begin());
    EXPECT_EQ(values, (std::vector<int>{0, 18, 0, 18, 18, 0, 18, 17, 0, 0, 18, 0, 0, 0}));

    // The program's own trace is what the port saw, access for access.
    const std::vector<PortCall> log = program.port.Log();
    std::vector<PortAccess> seen;
    for (const PortCall &c : log)
        if ((c.Call == "PPWDATA" || c.Call == "PPRSTATUS") && c.Ok())
            seen.push_back({0, c.Call == "PPWDATA" ? 'W' : 'R', c.Call == "PPWDATA" ? 888 : 889, c.Value});
    if (ownZero && !seen.empty() && seen[0].kind == 'W' && seen[0].value == 0)
        seen.erase(seen.begin()); // not an access of the program's, so not in its trace
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

// Where the port cannot be had, every drive ends at once with the error
// shown, and one line says what to do.
TEST(RealProgramOnHardware, WithoutAUsablePortEveryDriveEndsAndTheLibrarySaysOnceWhatToDo)
{
    const auto said = [](const std::string &what) {
        return std::vector<std::string>{"<device>" + what, "sudo modprobe parport_pc ppdev",
                                        "check that <device> exists", "group lp: sudo usermod -aG lp $USER"};
    };
    // The call that found the port unusable.
    const auto tried = [](const char *call) {
        return [call](ProgramOnPort &p) { EXPECT_FALSE(CallsOf(p.port.Log(), call).empty()) << call; };
    };
    ExpectEachFaultEndsEveryDrive(
        Library::Hardware,
        {
            {"no device", [](ProgramOnPort &p) { p.port.FailOpen("ENOENT"); },
             said(" does not exist (the ppdev module is not loaded)"), {}, tried("open"), true},
            {"permission denied", [](ProgramOnPort &p) { p.port.FailOpen("EACCES"); }, said(": Permission denied"),
             {}, tried("open")},
            {"held by another driver", [](ProgramOnPort &p) { p.port.HeldByAnotherDriverFor(600000); },
             said(" is held by another driver or program (the printer driver: sudo rmmod lp"), {}, tried("PPCLAIM")},
            {"claim refused", [](ProgramOnPort &p) { p.port.FailClaim("ENXIO"); }, said(": No such device or address"),
             {}, tried("open")},
        });
}

// A port that another driver gives up later is taken then, and what that
// driver left on it is cleared the moment the claim comes; while it is held
// every drive ends at once, and after the claim nothing more is written
// until the operator starts something new.
TEST(RealProgramOnHardware, PortHeldForAWhileIsUsedOnceItIsFree)
{
    ProgramOnPort program(Library::Hardware);
    program.port.HeldByAnotherDriverFor(6000);
    program.Start();
    RobotProcess &robot = program.robot;
    ASSERT_TRUE(WaitFor([&] { return !program.Shown().empty(); })) << robot.Stderr();
    ASSERT_TRUE(robot.DismissMessageBox());
    robot.Type("Edit3", "50");
    robot.Click("Button2");
    ASSERT_TRUE(WaitFor([&] { return program.Shown().size() == 2; })) << robot.Stderr();
    ASSERT_TRUE(robot.DismissMessageBox());
    EXPECT_TRUE(Has(program.Shown()[1], "is held by another driver or program")) << program.Shown()[1];
    EXPECT_TRUE(program.Writes().empty());

    ASSERT_TRUE(WaitFor([&] {
        for (const PortCall &c : CallsOf(program.port.Log(), "PPCLAIM"))
            if (c.Ok())
                return true;
        return false;
    }));
    ASSERT_TRUE(program.WaitForWrites(1));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(program.Values(), (std::vector<int>{0}));
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(4));
    EXPECT_EQ(program.Values(), (std::vector<int>{0, 0, 18, 0}));
    EXPECT_EQ(program.Said().size(), 1u) << robot.Stderr();
}

// A write that fails in the middle of a sensor loop (the port stays; a failed
// status read is the shared case of a lost device): the loop ends, the error
// is shown once, and the program tries to leave the data register at 0.
TEST(RealProgramOnHardware, FailedWriteInALoopEndsItWithTheErrorShownAndTriesZero)
{
    ProgramOnPort program(Library::Hardware);
    // The sixth write is the slow-down step's 0 of the second cycle (the port holds 18).
    program.port.FailFrom("PPWDATA", 6);
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Click("Button22");
    ASSERT_TRUE(WaitFor([&] { return !robot.StderrLines("robot: The motors cannot be driven").empty(); }))
        << robot.Stderr();
    std::this_thread::sleep_for(500ms);
    const size_t reads = program.StatusReads();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(program.StatusReads(), reads) << "the loop goes on";

    const std::vector<std::string> shown = program.Shown();
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
    EXPECT_TRUE(robot.Running());
}
