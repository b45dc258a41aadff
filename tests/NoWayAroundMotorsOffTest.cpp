// The holes through which a motor used to keep running, each closed, tried on
// the real program with real signals: a program stopped from its terminal or
// with SIGSTOP, a kill of its whole process group, a guard killed first, a
// trace with a very long name, a second copy waiting for the same port. Judged
// by what reached the data register (the recording library's trace, or the
// emulated port's log where it matters which process wrote).
#include "core/Clock.h"
#include "support/TextSearch.h"
#include "support/ProgramOnPort.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <thread>

namespace {
using namespace std::chrono_literals;
constexpr int64_t Ms = 1000000;


// The first write of 0 at or after `ns`, or nullptr.
const Write *FirstZeroFrom(const std::vector<Write> &writes, int64_t ns)
{
    for (const Write &w : writes)
        if (w.Ns >= ns && w.Value == 0)
            return &w;
    return nullptr;
}

bool WaitForState(pid_t pid, char state, std::chrono::milliseconds limit = 2s)
{
    return WaitFor([&] { return ProcessState(pid) == state; }, limit);
}

// The window works as before: a 50 ms forward move goes out whole.
void ExpectAnotherMoveGoesOut(ProgramOnPort &program)
{
    const size_t before = program.Writes().size();
    program.robot.Type("Edit3", "50");
    program.robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(before + 3));
    const std::vector<int> values = program.Values();
    EXPECT_EQ(std::vector<int>(values.end() - 3, values.end()), (std::vector<int>{0, 18, 0}));
}

std::string DriveName(const testing::TestParamInfo<bool> &info) { return info.param ? "Loop" : "Pulse"; }
class StoppedProgram : public testing::TestWithParam<bool> {};
} // namespace

// Ctrl+Z: the program writes 0 before it stops itself; once continued, the
// drive under way (a 3 s pulse, or the sensor follower) is over, nothing
// drives on, and the window works as before.
TEST_P(StoppedProgram, CtrlZWritesZeroThenStopsAndGoesOnWithTheMotorsOff)
{
    const bool follower = GetParam();
    ProgramOnPort program(Library::Recording);
    program.Start();
    if (follower) {
        program.robot.Click("Button22");
        ASSERT_TRUE(WaitFor([&] { return !program.Values().empty() && program.Values().back() == 18; }));
    } else {
        StartDriving(program, false, 3000);
    }
    const int64_t sent = MonotonicNs();
    program.robot.Signal(SIGTSTP);
    ASSERT_TRUE(WaitForState(program.robot.Pid(), 'T')) << ProcessState(program.robot.Pid());
    const std::vector<Write> atStop = program.Writes();
    const Write *zero = FirstZeroFrom(atStop, sent);
    ASSERT_NE(zero, nullptr);
    EXPECT_LT(zero->Ns - sent, 100 * Ms);
    EXPECT_TRUE(ZeroFrom(atStop, zero->Ns));
    RecordProperty("ctrl_z_zero_us", int((zero->Ns - sent) / 1000));

    std::this_thread::sleep_for(300ms); // stopped: nothing moves
    EXPECT_EQ(program.Writes().size(), atStop.size());
    const int64_t continued = MonotonicNs();
    program.robot.Signal(SIGCONT);
    std::this_thread::sleep_for(follower ? 500ms : 3500ms); // past the pulse's own end
    EXPECT_TRUE(ZeroFrom(program.Writes(), continued));
    if (follower) {
        const size_t reads = program.StatusReads();
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(program.StatusReads(), reads) << "the follower went on";
    }
    EXPECT_TRUE(program.robot.Running());
    ExpectAnotherMoveGoesOut(program);
}

// SIGSTOP cannot be caught: the port guard sees the program stopped with a
// motor code held and writes 0 within 200 ms, through the program's own claim
// of the port; it writes nothing while the program runs. Continued, the
// program ends the pulse under way at once.
TEST_P(StoppedProgram, SigstopTheGuardWritesZeroWithinAFifthOfASecond)
{
    const bool loop = GetParam();
    ProgramOnPort program(Library::Hardware);
    program.Start();
    StartDriving(program, loop, 3000);
    const pid_t robot = program.robot.Pid();
    const auto byOthers = [&] {
        std::vector<PortCall> calls;
        for (const PortCall &c : CallsOf(program.port.Log(), "PPWDATA"))
            if (c.Pid != robot)
                calls.push_back(c);
        return calls;
    };
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(byOthers().empty()) << "the guard wrote while the program ran";

    const int64_t stopped = MonotonicNs();
    program.robot.Signal(SIGSTOP);
    ASSERT_TRUE(WaitFor([&] { return !byOthers().empty(); }, 2s));
    const PortCall guard = byOthers().front();
    EXPECT_EQ(guard.Value, 0);
    EXPECT_TRUE(guard.Ok()) << guard.Result;
    EXPECT_LT(guard.Ns - stopped, 200 * Ms);
    RecordProperty("sigstop_zero_us", int((guard.Ns - stopped) / 1000));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(byOthers().size(), 1u) << "one write per stop";
    EXPECT_EQ(RegisterWrites(program.port.Log()).back(), 0);

    const int64_t continued = MonotonicNs();
    program.robot.Signal(SIGCONT);
    std::this_thread::sleep_for(loop ? 600ms : 3500ms);
    EXPECT_TRUE(ZeroFrom(program.Writes(), continued));
    EXPECT_EQ(ProcessState(robot) == 'T', false);
    ExpectAnotherMoveGoesOut(program);
}

INSTANTIATE_TEST_SUITE_P(RealProgram, StoppedProgram, testing::Bool(), DriveName);

// A session manager or a supervising script kills the program's whole process
// group: the guard lives in a session of its own and writes the 0.
TEST(RealProgramGuard, OutlivesAKillOfTheProgramsProcessGroup)
{
    ProgramOnPort program(Library::Recording);
    program.Start();
    StartDriving(program, true);
    const pid_t guard = GuardOf(program.robot.Pid());
    ASSERT_GT(guard, 0);
    EXPECT_NE(getpgid(guard), program.robot.Pid());
    EXPECT_NE(getsid(guard), getsid(program.robot.Pid()));
    const int64_t killed = MonotonicNs();
    ASSERT_EQ(kill(-program.robot.Pid(), SIGKILL), 0);
    ASSERT_TRUE(KilledBy(program.robot.WaitForExit(5000), SIGKILL));
    ASSERT_TRUE(WaitFor([&] { return program.Values().back() == 0; }, 2s));
    EXPECT_LT(program.Writes().back().Ns - killed, 1000 * Ms);
    RecordProperty("group_kill_zero_us", int((program.Writes().back().Ns - killed) / 1000));
}

// The guard killed while "Ruch ciagly" drives, and no new one can be had (its
// program gone from the disk): the library writes 0 itself at once, says why
// once, the drive ends with the error shown, and a new drive is refused.
// (A guard that can be replaced: the shared cases, PortLibraryProgramTest.cpp.)
TEST(RealProgramGuard, AGuardThatCannotBeReplacedStopsTheMotorsAndTheDriveWithTheErrorShown)
{
    ProgramOnPort program(Library::Recording);
    const std::filesystem::path top = std::filesystem::canonical(program.Dir()) / "installed";
    std::filesystem::create_directories(top / "lib/recording");
    std::filesystem::create_directories(top / "bin");
    std::filesystem::copy_file(ROBOT_BINARY_DIR "/lib/recording/libinpout32.so", top / "lib/recording/libinpout32.so");
    std::filesystem::copy_file(ROBOT_BINARY_DIR "/bin/port-guard", top / "bin/port-guard");
    program.Start({{"LD_LIBRARY_PATH", (top / "lib/recording").string()}});
    StartDriving(program, true);
    const pid_t guard = GuardOf(program.robot.Pid());
    std::filesystem::remove(top / "bin/port-guard");
    const int64_t killed = MonotonicNs();
    ASSERT_EQ(kill(guard, SIGKILL), 0);
    ASSERT_TRUE(WaitFor([&] { return !program.Shown().empty(); }, 5s)) << program.robot.Stderr();
    const std::vector<Write> writes = program.Writes();
    const Write *zero = FirstZeroFrom(writes, killed);
    ASSERT_NE(zero, nullptr);
    EXPECT_LT(zero->Ns - killed, 1000 * Ms);
    const std::string cause = "the port guard (port-guard) has ended and no new one could be started (cannot run " +
                              (top / "bin/port-guard").string() + ": No such file or directory)";
    EXPECT_TRUE(Has(program.Shown()[0], cause)) << program.Shown()[0];
    ASSERT_EQ(program.robot.StderrLines("inpout32: " + cause + ": the motors were switched off").size(), 1u)
        << program.robot.Stderr();

    ASSERT_TRUE(program.robot.DismissMessageBox());
    const std::vector<Write> before = program.Writes();
    program.robot.Click("Button2");
    ASSERT_TRUE(WaitFor([&] { return program.Shown().size() == 2; }, 5s)) << program.robot.Stderr();
    EXPECT_TRUE(Has(program.Shown()[1], cause + ": the motor code was not written")) << program.Shown()[1];
    EXPECT_TRUE(ZeroFrom(program.Writes(), before.back().Ns)) << "a motor code without a guard";
}

// A trace whose name is far longer than any fixed buffer: the guard writes
// through the open file, whatever its name.
TEST(RealProgramGuard, GuardsATraceWithAVeryLongName)
{
    ProgramOnPort program(Library::Recording);
    std::filesystem::path folder = std::filesystem::path(program.port.Root()).parent_path();
    while (folder.string().size() < 2000)
        folder /= std::string(200, 'd');
    std::filesystem::create_directories(folder);
    const std::string trace = (folder / "trace.txt").string();
    program.Start({{"ROBOT_PORT_TRACE", trace}});
    program.robot.Click("Button7");
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<int> values = DataWrites(ReadTrace(trace));
        return !values.empty() && values.back() == 18;
    }));
    const int64_t killed = MonotonicNs();
    program.robot.Signal(SIGKILL);
    ASSERT_TRUE(KilledBy(program.robot.WaitForExit(5000), SIGKILL));
    ASSERT_TRUE(WaitFor([&] { return DataWrites(ReadTrace(trace)).back() == 0; }, 2s));
    RecordProperty("long_trace_zero_us", int((ReadTrace(trace).back().ns - killed) / 1000));
}

// Copy A drives, copy B waits for the port (it says once, in its window too,
// that the port is held, and a move meanwhile ends at once), A is killed: A's
// guard writes 0 through A's claim before anyone else can claim the port, and
// B, once it has the port, writes 0 before anything else, then drives it.
// Tried a few times: the race it used to lose was a matter of luck.
TEST(RealProgramGuard, ASecondCopyCannotTakeOverARunningMotor)
{
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ProgramOnPort first(Library::Hardware);
        first.Start();
        StartDriving(first, true);

        RobotProcess second;
        std::string error;
        ASSERT_TRUE(second.Start(first.port.Env(), &error)) << error;
        const auto secondsClaim = [&] {
            for (const PortCall &c : CallsOf(first.port.Log(), "PPCLAIM", second.Pid()))
                if (c.Ok())
                    return true;
            return false;
        };
        ASSERT_TRUE(WaitFor([&] { return second.StderrLines("inpout32: ").size() == 1; })) << second.Stderr();
        EXPECT_TRUE(Has(second.Stderr(), "is held by another driver or program")) << second.Stderr();
        ASSERT_TRUE(second.DismissMessageBox());
        second.Type("Edit3", "20");
        second.Click("Button2");
        ASSERT_TRUE(WaitFor([&] { return !second.StderrLines("robot: The motors cannot be driven").empty(); }));
        ASSERT_TRUE(second.DismissMessageBox());
        EXPECT_FALSE(secondsClaim());
        const std::vector<PortCall> waiting = CallsOf(first.port.Log(), "PPCLAIM", second.Pid());
        ASSERT_FALSE(waiting.empty());
        EXPECT_EQ(waiting.front().Result, "wait");

        const int64_t killed = MonotonicNs();
        first.robot.Signal(SIGKILL);
        ASSERT_TRUE(KilledBy(first.robot.WaitForExit(5000), SIGKILL));
        ASSERT_TRUE(WaitFor(secondsClaim, 5s));
        ASSERT_TRUE(WaitFor([&] { return !CallsOf(first.port.Log(), "PPWDATA", second.Pid()).empty(); }, 2s));

        // In the log's order: the guard's 0 and release, then B's claim and B's 0.
        const std::vector<PortCall> log = first.port.Log();
        size_t guardZero = log.size(), guardRelease = log.size(), claim = log.size(), secondWrite = log.size();
        for (size_t i = 0; i < log.size(); ++i) {
            const PortCall &c = log[i];
            const bool guard = c.Pid != first.robot.Pid() && c.Pid != second.Pid();
            if (guard && c.Call == "PPWDATA" && guardZero == log.size())
                guardZero = i;
            if (guard && c.Call == "PPRELEASE" && guardRelease == log.size())
                guardRelease = i;
            if (c.Pid == second.Pid() && c.Call == "PPCLAIM" && c.Ok())
                claim = i;
            if (c.Pid == second.Pid() && c.Call == "PPWDATA" && secondWrite == log.size())
                secondWrite = i;
        }
        ASSERT_LT(guardZero, log.size());
        EXPECT_EQ(log[guardZero].Value, 0);
        RecordProperty("second_copy_guard_zero_us_" + std::to_string(round),
                       int((log[guardZero].Ns - killed) / 1000));
        EXPECT_LT(log[guardZero].Ns - killed, 1000 * Ms);
        EXPECT_LT(guardZero, guardRelease);
        EXPECT_LT(guardRelease, claim);
        ASSERT_LT(secondWrite, log.size());
        EXPECT_GT(secondWrite, claim);
        EXPECT_EQ(log[secondWrite].Value, 0);
        EXPECT_EQ(RegisterWrites(log).back(), 0);
        EXPECT_EQ(second.StderrLines("inpout32: ").size(), 1u) << second.Stderr();

        // The port is the second copy's from then on.
        const size_t before = CallsOf(first.port.Log(), "PPWDATA", second.Pid()).size();
        second.Click("Button2");
        EXPECT_TRUE(WaitFor([&] { return CallsOf(first.port.Log(), "PPWDATA", second.Pid()).size() >= before + 3; }));
    }
}

// A helper that cannot start the program ends the test with the reason.
TEST(TestSupport, AProgramThatDoesNotStartEndsTheTestWithTheReason)
{
    ProgramOnPort program(Library::Recording);
    try {
        program.Start({{"QT_QPA_PLATFORM", "no-such-platform"}});
        FAIL() << "the start did not fail";
    } catch (const std::runtime_error &e) {
        EXPECT_TRUE(Has(e.what(), "the program did not start")) << e.what();
        EXPECT_TRUE(Has(e.what(), "no-such-platform")) << e.what();
    }
}
