// The FTDI port library's line device and its guard routine, run in a process
// of their own (ftdi-line-check) on the unmodified libftdi1 and libusb,
// against emulated adapters on a umockdev testbed (ftdi-emulator): judged by
// what reached the adapters, as the emulator logs it, and by the problems the
// device tells.
#include "core/Clock.h"
#include "support/TextSearch.h"
#include "support/EmulatedAdapter.h"
#include "support/ProgramOnPort.h" // WaitFor

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;

const std::string Checker = ROBOT_BINARY_DIR "/lib/test/ftdi-line-check";

// The default wiring the checker claims: motors on RXD CTS DCD RI (D1 D3 D6
// D7), sensors on DSR DTR (active low) and RTS (active high).
constexpr int MotorLines = 0xCA;



// Runs the checker's steps on the emulator's bus; its output lines.
std::vector<std::string> Check(const EmulatedAdapter &usb, const std::vector<std::string> &steps,
                               const std::vector<std::string> &asUser = {}, EnvVars more = {})
{
    std::vector<std::string> argv = asUser;
    argv.push_back(Checker);
    argv.insert(argv.end(), steps.begin(), steps.end());
    EnvVars env = usb.Env();
    env.insert(env.end(), more.begin(), more.end());
    std::string out;
    EXPECT_EQ(RunCommand(argv, &out, 20000, env), 0) << out;
    return SplitLines(out);
}

// The checker in the background, until it ends or is killed.
struct Background {
    pid_t Pid = -1;
    std::string Out;
    std::vector<std::string> Lines() const
    {
        std::ifstream in(Out);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }
    ~Background()
    {
        if (Pid > 0 && !WaitForChild(Pid, 0)) {
            kill(Pid, SIGKILL);
            WaitForChild(Pid, 3000);
        }
    }
};

void StartBackground(Background &job, const EmulatedAdapter &usb, const std::string &out,
                     const std::vector<std::string> &steps)
{
    SpawnRequest request;
    request.Argv = {Checker};
    request.Argv.insert(request.Argv.end(), steps.begin(), steps.end());
    request.Env = CurrentEnvironment({"LD_PRELOAD", "UMOCKDEV_"});
    for (const auto &var : usb.Env())
        request.Env.push_back(var);
    request.StdoutPath = out;
    job.Out = out;
    job.Pid = Spawn(request);
    ASSERT_GT(job.Pid, 0);
}

// The lines driven high after each access that set lines, in order.
std::vector<int> HighLevels(const std::vector<UsbAccess> &log, int pid = 0)
{
    std::vector<int> levels;
    for (const UsbAccess &a : LineChanges(log, pid))
        levels.push_back(a.High);
    return levels;
}
} // namespace

// Pin levels the sensors' lines show: DSR (D5) and DTR (D4) low fire, RTS (D2) high fires.
TEST(FtdiLineDevice, Ft232rOutputsStartAtZeroWritesDriveTheMappedLinesAndReadsApplyPolarity)
{
    EmulatedAdapter usb;
    usb.ScriptPins({0xFF & ~0x04, 0xFF & ~0x20 & ~0x04, 0xFF & ~0x10 & ~0x04, 0xFF});
    ASSERT_TRUE(usb.Start());
    const std::vector<std::string> out =
        Check(usb, {"open", "claim", "write:1", "write:3", "write:12", "read", "read", "read", "read", "close"});
    EXPECT_EQ(out, (std::vector<std::string>{"open ok", "claim ok", "write ok", "write ok", "write ok", "read 0",
                                             "read 1", "read 2", "read 4", "close"}));

    const std::vector<UsbAccess> log = usb.Log();
    const std::vector<UsbAccess> changes = LineChanges(log);
    ASSERT_GE(changes.size(), 3u);
    // Bit-bang with no outputs, the latch at 0, then the outputs.
    EXPECT_EQ(changes[0].Detail, "mode=01,mask=00");
    EXPECT_EQ(changes[1].Event, "write");
    EXPECT_EQ(changes[1].Detail, "00");
    EXPECT_EQ(changes[2].Detail, "mode=01,mask=ca");
    // Outputs 0..3 are RXD CTS DCD RI; close writes 0 and lets go.
    EXPECT_EQ(HighLevels(log), (std::vector<int>{0, 0, 0, 0x02, 0x0A, 0xC0, 0}));
    for (const UsbAccess &a : changes)
        EXPECT_EQ(a.High & ~MotorLines, 0) << a.Event << " " << a.Detail;
    ASSERT_FALSE(AccessesOf(log, "release").empty());
    EXPECT_LT(changes.back().Ns, AccessesOf(log, "release").back().Ns);
    EXPECT_EQ(AccessesOf(log, "read-pins").size(), 4u);
}

TEST(FtdiLineDevice, Ft232hSetsValuesAndDirectionsInOneMpsseCommandAndReadsTheLowByte)
{
    EmulatedAdapter usb;
    usb.Add("FT232H");
    usb.ScriptPins({0xFF, 0xFF & ~0x20});
    ASSERT_TRUE(usb.Start());
    const std::vector<std::string> out = Check(usb, {"open", "claim", "write:9", "read", "close"});
    EXPECT_EQ(out, (std::vector<std::string>{"open ok", "claim ok", "write ok", "read 5", "close"}));

    const std::vector<UsbAccess> log = usb.Log();
    const std::vector<UsbAccess> mpsse = AccessesOf(log, "mpsse");
    ASSERT_GE(mpsse.size(), 4u);
    // The engine starts with every line an input; the first command gives
    // the outputs their directions with the value 0, then checks the engine.
    EXPECT_EQ(AccessesOf(log, "bitmode").back().Detail, "mode=02,mask=00");
    EXPECT_EQ(mpsse[0].Detail, "set-low:00/ca");
    EXPECT_TRUE(Has(mpsse[1].Detail, "get-low")) << mpsse[1].Detail;
    EXPECT_EQ(mpsse[2].Detail, "set-low:82/ca"); // outputs 0 and 3: RXD, RI
    EXPECT_TRUE(Has(mpsse[3].Detail, "get-low:97")) << mpsse[3].Detail; // the outputs as driven, DSR low
    EXPECT_EQ(mpsse.back().Detail, "set-low:00/ca");
}

TEST(FtdiLineDevice, LinesAreNamedAsBoardsPrintThemAndTheChipsLimitsAreRefused)
{
    EmulatedAdapter usb;
    ASSERT_TRUE(usb.Start());
    std::vector<std::string> out = Check(usb, {"--outputs", "d1,CTS#,6,AD7", "open", "claim", "order"});
    EXPECT_EQ(out.at(1), "claim ok");
    EXPECT_EQ(out.at(2), "order U -1 path=1-2 outputs=ca chip=FT232R");

    out = Check(usb, {"--outputs", "RXD,CTS,DCD,CBUS0", "open", "claim"});
    EXPECT_TRUE(Has(out.at(1), "line fail CBUS0 is no line of the FT232R")) << out.at(1);
    EXPECT_TRUE(Has(out.at(1), "TXD RXD RTS CTS DTR DSR DCD RI")) << out.at(1);

    const size_t before = LineChanges(usb.Log()).size();
    out = Check(usb, {"--inputs", "DSR:low,DTR:low:down,RTS:high", "open", "claim"});
    EXPECT_TRUE(Has(out.at(1), "claim fail pull 1 the FT232R cannot pull line D4/DTR down")) << out.at(1);
    EXPECT_EQ(LineChanges(usb.Log()).size(), before) << "a refused claim drives nothing";
}

TEST(FtdiLineDevice, OtherChipsAreRefusedByNameAndASupportedOneIsPreferred)
{
    EmulatedAdapter alone;
    alone.Add("FT231X");
    ASSERT_TRUE(alone.Start());
    const std::vector<std::string> refused = Check(alone, {"open"});
    EXPECT_TRUE(Has(refused.at(0), "open fail chip 1 the FTDI adapter at USB 1-2 is an FT-X")) << refused.at(0);
    EXPECT_TRUE(AccessesOf(alone.Log(), "claim").empty());

    EmulatedAdapter two;
    two.Add("FT231X");
    two.Add("FT232R");
    ASSERT_TRUE(two.Start());
    EXPECT_EQ(Check(two, {"open", "claim", "order"}).at(2), "order U -1 path=1-3 outputs=ca chip=FT232R");
}

TEST(FtdiLineDevice, RobotFtdiAndTheMapChooseTheAdapterBySerialNumberOrBusPath)
{
    EmulatedAdapter usb;
    usb.Add("FT232R", "RIGHTR01");
    usb.Add("FT232H", "HIGHH001", 7);
    ASSERT_TRUE(usb.Start());
    EXPECT_EQ(Check(usb, {"open", "claim", "order"}, {}, {{"ROBOT_FTDI", "HIGHH001"}}).at(2),
              "order U -1 path=1-7 outputs=ca chip=FT232H");
    EXPECT_EQ(Check(usb, {"--adapter", "1-7", "open", "claim", "order"}).at(2),
              "order U -1 path=1-7 outputs=ca chip=FT232H");
    // The environment wins over the map.
    EXPECT_EQ(Check(usb, {"--adapter", "1-7", "open", "claim", "order"}, {}, {{"ROBOT_FTDI", "1-2"}}).at(2),
              "order U -1 path=1-2 outputs=ca chip=FT232R");

    const std::string missing = Check(usb, {"open"}, {}, {{"ROBOT_FTDI", "NOSUCH1"}}).at(0);
    EXPECT_TRUE(Has(missing, "open fail absent 0 no FTDI adapter with serial number NOSUCH1")) << missing;
    EXPECT_TRUE(Has(missing, "FT232R at USB 1-2, FT232H at USB 1-7")) << missing;
    const std::string elsewhere = Check(usb, {"open"}, {}, {{"ROBOT_FTDI", "2-1.4"}}).at(0);
    EXPECT_TRUE(Has(elsewhere, "open fail absent 0 no FTDI adapter is plugged in at USB 2-1.4")) << elsewhere;
}

// libftdi detaches the kernel's serial driver where usbfs lets it (the
// program-level tests cover the other ways an open fails).
TEST(FtdiLineDevice, TheSerialDriverIsDetachedWhereTheSystemAllowsIt)
{
    EmulatedAdapter bound;
    bound.SerialDriver(false);
    ASSERT_TRUE(bound.Start());
    EXPECT_EQ(Check(bound, {"open", "claim"}), (std::vector<std::string>{"open ok", "claim ok"}));
    const std::vector<UsbAccess> detach = AccessesOf(bound.Log(), "detach");
    ASSERT_EQ(detach.size(), 1u);
    EXPECT_TRUE(detach[0].Ok());
    EXPECT_LT(detach[0].Ns, AccessesOf(bound.Log(), "claim").back().Ns);
}

TEST(FtdiLineDevice, AnAdapterPulledOutFailsTheNextAccessAsGoneAndIsAbsentAfterwards)
{
    EmulatedAdapter usb;
    usb.UnplugAfter(4); // the claim's write of 0, one write, one read: the second read is lost
    ASSERT_TRUE(usb.Start());
    const std::vector<std::string> out =
        Check(usb, {"open", "claim", "write:1", "read", "read", "write:0", "sleep:200", "open"});
    ASSERT_EQ(out.size(), 7u);
    EXPECT_TRUE(Has(out[4], "read fail gone 0 the FT232R A1000002 at USB 1-2 stopped answering")) << out[4];
    EXPECT_TRUE(Has(out[4], "Plug it in again")) << out[4];
    EXPECT_TRUE(Has(out[5], "write fail gone 0 ")) << out[5];
    EXPECT_TRUE(Has(out[6], "open fail absent 0 no FTDI adapter")) << out[6];
}

TEST(FtdiLineDevice, AUserWithoutTheUdevRulesGroupIsToldTheRuleAndTheGroup)
{
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run the device as another user";
    EmulatedAdapter usb;
    ASSERT_TRUE(usb.Start());
    const std::vector<std::string> stranger{"setpriv", "--reuid=2002", "--regid=2002", "--clear-groups"};
    const std::string denied = Check(usb, {"open"}, stranger).at(0);
    EXPECT_TRUE(Has(denied, "open fail permission 0 cannot open the FTDI adapter FT232R at USB 1-2 "
                            "(/dev/bus/usb/001/002): permission denied")) << denied;
    EXPECT_TRUE(Has(denied, "60-robot-ftdi.rules")) << denied;
    EXPECT_TRUE(Has(denied, "sudo usermod -aG plugdev $USER")) << denied;

    // The node as the rule leaves it lets the group in; without the rule it does not.
    const std::vector<std::string> member{"setpriv", "--reuid=2002", "--regid=2002", "--groups=plugdev"};
    EXPECT_EQ(Check(usb, {"open", "claim"}, member), (std::vector<std::string>{"open ok", "claim ok"}));
    EmulatedAdapter bare;
    bare.WithoutUdevRule();
    ASSERT_TRUE(bare.Start());
    EXPECT_TRUE(Has(Check(bare, {"open"}, member).at(0), "open fail permission")) << "no rule, no access";
}

// A stopped program keeps its claim: the guard makes every line an input by
// a request that needs none, and the program, going on, brings its outputs
// back at 0 before its next write.
TEST(FtdiGuardRoutine, AStoppedProgramsMotorLinesBecomeInputsAndComeBackAtZero)
{
    EmulatedAdapter usb;
    ASSERT_TRUE(usb.Start());
    QTemporaryDir dir;
    Background program;
    StartBackground(program, usb, dir.filePath("program.txt").toStdString(),
                    {"open", "claim", "write:1", "order", "sleep:1500", "cut", "write:2", "close"});
    ASSERT_TRUE(WaitFor([&] { return program.Lines().size() >= 4; })) << "the program did not claim";
    const std::string order = program.Lines()[3];
    ASSERT_EQ(order.rfind("order U -1 ", 0), 0u) << order;

    const std::vector<std::string> guard = Check(usb, {"guard-stopped:" + order.substr(11)});
    ASSERT_EQ(guard.size(), 1u);
    EXPECT_EQ(guard[0].rfind("guard done ", 0), 0u) << guard[0];
    // Roughly: the guard has 200 ms for a stopped program (bench/ measures it).
    EXPECT_LT(std::stoi(guard[0].substr(11)), 1000);
    ASSERT_TRUE(WaitForChild(program.Pid, 10000));
    program.Pid = -1;

    const std::vector<UsbAccess> log = usb.Log();
    const int programPid = AccessesOf(log, "claim").at(0).Pid;
    std::vector<UsbAccess> byGuard;
    for (const UsbAccess &a : LineChanges(log))
        if (a.Pid != programPid)
            byGuard.push_back(a);
    ASSERT_EQ(byGuard.size(), 1u);
    EXPECT_EQ(byGuard[0].Detail, "mode=01,mask=00");
    EXPECT_EQ(byGuard[0].Directions, 0) << "every line an input";
    for (const UsbAccess &a : log) {
        if (a.Pid != programPid) {
            EXPECT_NE(a.Event, "claim") << "the stopped program holds the interface";
        }
    }

    // After the cut: mask 0, the latch at 0, the outputs, then the write.
    std::vector<UsbAccess> after;
    for (const UsbAccess &a : LineChanges(log, programPid))
        if (a.Ns > byGuard[0].Ns)
            after.push_back(a);
    ASSERT_GE(after.size(), 4u);
    EXPECT_EQ(after[0].Detail, "mode=01,mask=00");
    EXPECT_EQ(after[1].Detail, "00");
    EXPECT_EQ(after[2].Detail, "mode=01,mask=ca");
    EXPECT_EQ(after[2].High, 0);
    EXPECT_EQ(after[3].High, 0x08); // output 1: CTS
}

TEST(FtdiGuardRoutine, AfterTheProgramIsKilledTheGuardClaimsTheAdapterAndDrivesTheMotorLinesLow)
{
    EmulatedAdapter usb;
    ASSERT_TRUE(usb.Start());
    QTemporaryDir dir;
    Background program;
    StartBackground(program, usb, dir.filePath("program.txt").toStdString(),
                    {"open", "claim", "write:3", "order", "hold"});
    ASSERT_TRUE(WaitFor([&] { return program.Lines().size() >= 5; })) << "the program did not claim";
    const std::string order = program.Lines()[3];
    const int64_t killedNs = MonotonicNs();
    kill(program.Pid, SIGKILL);
    const std::vector<std::string> guard = Check(usb, {"guard-gone:" + order.substr(11)});
    ASSERT_EQ(guard.size(), 1u);

    const std::vector<UsbAccess> log = usb.Log();
    const int programPid = AccessesOf(log, "claim").at(0).Pid;
    EXPECT_EQ(program.Pid, programPid);
    std::vector<UsbAccess> claims;
    for (const UsbAccess &a : AccessesOf(log, "claim"))
        if (a.Pid != programPid && a.Ok())
            claims.push_back(a);
    ASSERT_EQ(claims.size(), 1u) << "the guard claims the adapter once the program's claim is gone";
    const std::vector<UsbAccess> changes = LineChanges(log);
    ASSERT_FALSE(changes.empty());
    EXPECT_NE(changes.back().Pid, programPid);
    EXPECT_EQ(changes.back().Directions, MotorLines) << "the motor lines stay outputs";
    EXPECT_EQ(changes.back().High, 0);
    EXPECT_LT(changes.back().Ns - killedNs, 1'000'000'000) << "within a second of the kill";
    const std::vector<UsbAccess> releases = AccessesOf(log, "release", claims[0].Pid);
    ASSERT_EQ(releases.size(), 1u) << "and lets go";
}
