// A request to end the program (a signal's, or a display that went away) as
// the drive sees it: a pulse under way is cut short with 0 written, nothing
// drives after it, and the loops see the window as closing.
#include "support/Harness.h"

#include "drive/Motor.h"
#include "drive/ProgramEnd.h"
#include "drive/RunState.h"

#include <chrono>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

class ProgramEnd : public RobotTest {
protected:
    void TearDown() override
    {
        if (later_.joinable())
            later_.join();
        programend::EndOnHangUp(-1, 0);
        programend::ForgetForTesting();
        RobotTest::TearDown();
    }
    // Runs `action` on another thread after `ms`, as a signal handler would.
    void Later(int ms, std::function<void()> action)
    {
        later_ = std::thread([ms, action] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            action();
        });
    }
    // Milliseconds `command` took.
    static double Timed(void (*command)())
    {
        const auto start = Clock::now();
        command();
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }

    std::thread later_;
};
} // namespace

TEST_F(ProgramEnd, CutsAPulseShortAndNothingDrivesAfterIt)
{
    ForwardTimeMs = 5000;
    TurnTimeMs = 5000;
    Later(100, [] { programend::Request(143, 15); });
    const double cut = Timed(MoveForward);
    EXPECT_GE(cut, 90);
    EXPECT_LT(cut, 1500);
    // Later pulses write only 0 and do not wait.
    EXPECT_LT(Timed(TurnLeft), 100);
    EXPECT_EQ(Writes(), (std::vector<int>{0, 18, 0, 0, 0, 0}));
    EXPECT_TRUE(WindowClosing());
    EXPECT_EQ(programend::ExitStatus(), 143);
    EXPECT_EQ(programend::Signal(), 15);
    // The first request wins.
    EXPECT_FALSE(programend::Request(1, 0));
    EXPECT_EQ(programend::ExitStatus(), 143);
}

TEST_F(ProgramEnd, AConnectionThatHangsUpWakesAPulse)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    programend::EndOnHangUp(pair[0], 1);
    ForwardTimeMs = 5000;
    Later(100, [peer = pair[1]] { close(peer); });
    EXPECT_LT(Timed(MoveBackward), 1500);
    EXPECT_EQ(Writes(), (std::vector<int>{0, 9, 0}));
    EXPECT_TRUE(programend::Requested());
    EXPECT_EQ(programend::ExitStatus(), 1);
    close(pair[0]);
}
