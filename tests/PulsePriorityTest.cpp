// Real-time pulses: where allowed, the thread runs a pulse at SCHED_FIFO from
// before its first write to after its last and at normal priority otherwise;
// at start the program says which mode is in effect, and how to allow the
// real-time one when it is not.
#include "support/Harness.h"

#include "drive/Motor.h"
#include "drive/PulsePriority.h"
#include "sim/testing/OtherUser.h"

#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <sched.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {
int Tid() { return static_cast<int>(syscall(SYS_gettid)); }

// The scheduling policy of thread `tid`, seen from another thread half-way
// through `command`'s 200 ms pulse.
int PolicyDuringPulse(void (*command)())
{
    const int tid = Tid();
    std::atomic<int> seen{-1};
    std::thread observer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seen = sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK;
    });
    command();
    observer.join();
    return seen;
}

// The program's first lines on standard error, run headless as `argsBefore`
// (e.g. setpriv for another user) and ended once it has said them.
QString StartupMessages(const QStringList &argsBefore, const QString &workDir)
{
    QProcess robot;
    QStringList env = QProcess::systemEnvironment();
    env << QStringLiteral("QT_QPA_PLATFORM=offscreen") << QStringLiteral("XDG_RUNTIME_DIR=") + workDir;
    robot.setEnvironment(env);
    robot.setReadChannel(QProcess::StandardError);
    robot.setWorkingDirectory(workDir);
    const QString program = QStringLiteral(ROBOT_BINARY_DIR "/bin/robot");
    if (argsBefore.isEmpty())
        robot.start(program, {});
    else
        robot.start(argsBefore.front(), argsBefore.mid(1) << program);
    QString said;
    for (int i = 0; i < 100 && !said.contains(QStringLiteral("motor pulses")); ++i) {
        robot.waitForReadyRead(100);
        said += QString::fromLocal8Bit(robot.readAllStandardError());
    }
    robot.terminate();
    robot.waitForFinished(5000);
    return said;
}
using RealTimePulses = RobotTest;
} // namespace

TEST_F(RealTimePulses, RunAtRealTimePriorityOnlyForTheirLength)
{
    if (!PulseSchedulingInEffect().realTime)
        GTEST_SKIP() << "real-time scheduling is not allowed here";
    const int before = sched_getscheduler(Tid());
    ForwardTimeMs = 200;
    EXPECT_EQ(PolicyDuringPulse(MoveForward), SCHED_FIFO);
    EXPECT_EQ(sched_getscheduler(Tid()), before);
    // Switched off (as the benchmark does): normal priority throughout.
    UseRealTimePulses(false);
    EXPECT_EQ(PolicyDuringPulse(MoveBackward), before);
    UseRealTimePulses(true);
    EXPECT_EQ(Writes(), (std::vector<int>{0, 18, 0, 0, 9, 0}));
}

TEST(PulseScheduling, TheProgramSaysWhichModeIsInEffectAndHowToAllowRealTime)
{
    if (const QString why = OtherUserUnavailable(); !why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    // Root may: it is told so.
    QTemporaryDir mine;
    const QString asRoot = StartupMessages({}, mine.path());
    EXPECT_TRUE(asRoot.contains(QStringLiteral("motor pulses run at real-time priority (SCHED_FIFO 50)")))
        << asRoot.toStdString();
    // Another user without a limit may not: it is told how to allow it.
    OtherUsersFolder theirs;
    ASSERT_TRUE(theirs.ok());
    const QString id = QString::number(OtherUserId);
    const QString asOther = StartupMessages(
        {QStringLiteral("setpriv"), QStringLiteral("--reuid=") + id, QStringLiteral("--regid=") + id,
         QStringLiteral("--clear-groups")},
        theirs.path());
    EXPECT_TRUE(asOther.contains(QStringLiteral("motor pulses run at normal priority"))) << asOther.toStdString();
    EXPECT_TRUE(asOther.contains(QStringLiteral("rtprio 50"))) << asOther.toStdString();
}
