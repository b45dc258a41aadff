// The real program, started as a user starts it, on the FTDI port library
// (ROBOT_PORT=ftdi) over emulated FT232R and FT232H adapters: what only a
// USB adapter has (no adapter, another program's claim, the kernel's serial
// driver, a chip it cannot drive, plugged in again), judged by the emulator's
// log, the port trace and what the program says. The cases every library
// shares are in PortLibraryProgramTest.cpp.
#include "core/RobotWiring.h"
#include "support/ProgramOnPort.h"
#include "support/TextSearch.h"

#include <gtest/gtest.h>

#include <thread>

namespace {
using namespace std::chrono_literals;

} // namespace

// Where the adapter cannot be had, every drive ends at once with the error
// shown, and one line says what happened and what to do, however often the
// library looks for the adapter again.
TEST(RealProgramOnFtdi, WithoutAUsableAdapterEveryDriveEndsAndTheLibrarySaysOnceWhatToDo)
{
    ExpectEachFaultEndsEveryDrive(
        Library::Ftdi232R,
        {
            {"no adapter", [](ProgramOnPort &p) { p.usb.NoAdapter(); },
             {"no FTDI adapter (FT232R or FT232H) is plugged in",
              "Plug the adapter in (lsusb lists an FT232R as 0403:6001"},
             {}, {}, true},
            {"held by another program", [](ProgramOnPort &p) { p.usb.HeldByAnotherProgram(); },
             {"the FTDI adapter FT232R at USB 1-2 (/dev/bus/usb/001/002) is held by another program",
              "sudo fuser -v /dev/bus/usb/001/002"}},
            {"serial driver stuck", [](ProgramOnPort &p) { p.usb.SerialDriver(true); },
             {"is bound to the kernel's serial driver ftdi_sio", "sudo rmmod ftdi_sio"}},
            {"another chip", [](ProgramOnPort &p) { p.usb.Add("FT231X"); },
             {"the FTDI adapter at USB 1-2 is an FT-X (FT230X/FT231X/FT234XD); this library drives only the FT232R",
              "Use an FT232R or FT232H adapter"}},
        });
}

// An adapter pulled out in a sensor loop (the shared case of a lost device)
// and plugged in again is taken back: a new device number, and the next move
// reaches its lines.
TEST(RealProgramOnFtdi, AdapterPluggedInAgainIsTakenBack)
{
    ProgramOnPort program(Library::Ftdi232R);
    program.LoseDeviceInFirstLoop();
    program.Start();
    RobotProcess &robot = program.robot;
    robot.Click("Button22");
    ASSERT_TRUE(WaitFor([&] { return !program.Shown().empty(); })) << robot.Stderr();
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
    EXPECT_EQ(program.Shown().size(), 1u) << robot.Stderr();
    EXPECT_TRUE(Has(program.Shown()[0], "stopped answering")) << robot.Stderr();
}

// The follower started while no adapter is plugged in ends at once with the
// error shown; the adapter plugged in afterwards is taken with its motor
// lines at 0 and left so: nothing drives until the operator clicks again.
TEST(RealProgramOnFtdi, AdapterPluggedInLaterDrivesNothingUntilTheNextClick)
{
    ProgramOnPort program(Library::Ftdi232R);
    program.ScriptStatus({StatusIdle});
    program.usb.Add("FT232R");
    ASSERT_TRUE(program.usb.Start());
    program.usb.Unplug();
    program.Start({}, true);
    RobotProcess &robot = program.robot;
    ASSERT_TRUE(WaitFor([&] { return !program.Said().empty(); })) << robot.Stderr();
    robot.Click("Button22");
    ASSERT_TRUE(WaitFor([&] { return !program.Shown().empty(); })) << robot.Stderr();
    ASSERT_TRUE(robot.DismissMessageBox());
    EXPECT_TRUE(Has(program.Shown()[0], "no FTDI adapter (FT232R or FT232H) is plugged in")) << program.Shown()[0];

    program.usb.Replug();
    ASSERT_TRUE(WaitFor([&] { return !LineChanges(program.usb.Log()).empty(); })) << "the adapter was not taken";
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(program.Writes().empty()) << "driven without a click";
    robot.Type("Edit3", "50");
    robot.Click("Button2");
    ASSERT_TRUE(program.WaitForWrites(3)) << robot.Stderr();
    EXPECT_EQ(program.Values(), (std::vector<int>{0, 18, 0}));
}
