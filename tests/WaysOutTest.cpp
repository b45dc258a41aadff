// Every way the real program can end in the middle of a drive leaves the data
// register at 0, soon enough: end signals, a crash, kill -9, the display gone.
// Judged by what reached the register (the recording library's trace, or the
// emulated port's log where it matters which process wrote).
#include "core/Clock.h"
#include "support/TextSearch.h"
#include "support/ProgramOnPort.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <xcb/xcb.h>

namespace {
using namespace std::chrono_literals;
constexpr int64_t Ms = 1000000;


class EndSignal : public testing::TestWithParam<int> {};

std::string SignalName(const testing::TestParamInfo<int> &info)
{
    return std::string("SIG") + sigabbrev_np(info.param);
}
} // namespace

// A single move's pulse and a loop are cut short at once; the program ends
// with 128 + the signal's number, as a shell reports a signal.
TEST_P(EndSignal, CutsAPulseAndALoopShort)
{
    const int signal = GetParam();
    for (bool loop : {false, true}) {
        SCOPED_TRACE(loop ? "continuous loop" : "5 s single move");
        ProgramOnPort program(Library::Recording);
        program.Start();
        StartDriving(program, loop);
        const int64_t sent = MonotonicNs();
        program.robot.Signal(signal);
        ASSERT_TRUE(ExitedWith(program.robot.WaitForExit(5000), 128 + signal)) << program.robot.Stderr();
        const std::vector<Write> writes = program.Writes();
        EXPECT_TRUE(ZeroFrom(writes, sent + 100 * Ms)) << writes.back().Value;
        EXPECT_TRUE(Has(program.robot.Stderr(), std::string("robot: SIG") + sigabbrev_np(signal) +
                                                    ": motors off, ending."))
            << program.robot.Stderr();
    }
}

INSTANTIATE_TEST_SUITE_P(RealProgram, EndSignal, testing::Values(SIGTERM, SIGINT, SIGHUP), SignalName);

// kill -9: no code of the program runs, and its guard appends the 0.
TEST(RealProgramEnds, KilledTheGuardWritesZeroWithinASecond)
{
    ProgramOnPort program(Library::Recording);
    program.Start();
    StartDriving(program, false);
    const int64_t killed = MonotonicNs();
    program.robot.Signal(SIGKILL);
    ASSERT_TRUE(KilledBy(program.robot.WaitForExit(5000), SIGKILL));
    ASSERT_TRUE(WaitFor([&] { return program.Values().back() == 0; }, 2s));
    const std::vector<Write> writes = program.Writes();
    EXPECT_LT(writes.back().Ns - killed, 1000 * Ms);
    EXPECT_EQ(writes.size(), 3u); // 0, 18, and the guard's 0
}

// A crash: the dying program itself writes 0 (the emulated port's log tells
// its writes from the guard's), and the crash then runs its course.
TEST(RealProgramEnds, CrashWritesZeroBeforeTheDefaultAction)
{
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    for (int signal : {SIGSEGV, SIGABRT}) {
        SCOPED_TRACE(sigabbrev_np(signal));
        ProgramOnPort program(Library::Hardware);
        program.Start();
        StartDriving(program, true);
        const int64_t sent = MonotonicNs();
        program.robot.Signal(signal);
        ASSERT_TRUE(KilledBy(program.robot.WaitForExit(5000), signal));
        bool zeroByTheProgram = false;
        for (const PortCall &c : CallsOf(program.port.Log(), "PPWDATA", program.robot.Pid()))
            zeroByTheProgram |= c.Ns >= sent && c.Value == 0 && c.Ok() && c.Ns - sent < 100 * Ms;
        EXPECT_TRUE(zeroByTheProgram);
        ASSERT_TRUE(WaitFor([&] { return ZeroFrom(program.Writes(), sent + 100 * Ms); }, 2s));
    }
}

// The display gone, by its server's end or by the window destroyed from
// another client: the program ends (status 1) with the motors off. A server
// that has gone wakes the pulse under way; a destroyed window is seen when the
// pulse (here 200 ms) is over.
TEST(RealProgramEnds, DisplayLostEndsTheProgramWithTheMotorsOff)
{
    for (bool serverKilled : {true, false}) {
        SCOPED_TRACE(serverKilled ? "X server killed" : "window destroyed");
        ProgramOnPort program(Library::Recording);
        program.Start();
        StartDriving(program, true);
        const int64_t lost = MonotonicNs();
        if (serverKilled) {
            program.robot.KillDisplay();
        } else {
            xcb_connection_t *x = xcb_connect(program.robot.DisplayName().c_str(), nullptr);
            ASSERT_EQ(xcb_connection_has_error(x), 0);
            // Checked: the reply makes sure the server has done it before this
            // connection closes (an unchecked request may go with it).
            const xcb_void_cookie_t destroy =
                xcb_destroy_window_checked(x, static_cast<xcb_window_t>(std::stoul(program.robot.WindowId())));
            xcb_generic_error_t *refused = xcb_request_check(x, destroy);
            EXPECT_EQ(refused, nullptr);
            free(refused);
            xcb_disconnect(x);
        }
        ASSERT_TRUE(ExitedWith(program.robot.WaitForExit(5000), 1)) << program.robot.Stderr();
        EXPECT_TRUE(ZeroFrom(program.Writes(), lost + (serverKilled ? 100 : 300) * Ms));
        EXPECT_TRUE(Has(program.robot.Stderr(), "robot: the window or its display has gone: motors off"));
    }
}
