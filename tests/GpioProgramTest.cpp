// The real program, started as a user starts it, on the GPIO port library
// (build/lib/gpio) over the emulated chips of a Raspberry Pi 4: what only GPIO
// lines have (no chip, a chip it may not open, a line another consumer holds,
// the lines' pulls), judged by the emulator's log, the port trace and the
// program's standard error. The cases every library shares are in
// PortLibraryProgramTest.cpp.
#include "support/ProgramOnPort.h"

#include <gtest/gtest.h>

#include <map>

// A chip that cannot be had: every drive ends at once with the error shown,
// and one line says what is wrong and what to do, however often the library
// looks for the chip again.
TEST(RealProgramOnGpio, WithoutAUsableChipEveryDriveEndsAndTheLibrarySaysOnceWhatToDo)
{
    ExpectEachFaultEndsEveryDrive(
        Library::Gpio,
        {
            {"no chip", [](ProgramOnPort &p) { p.gpio.Chips(0); },
             {"there is no GPIO chip gpiochip0 (/dev/gpiochip0 does not exist; this computer shows no GPIO chip)",
              "Set `chip` in the pin map to one of the chips gpiodetect lists"},
             {}, {}, true},
            {"permission denied", [](ProgramOnPort &p) { p.gpio.FailOpen("EACCES"); },
             {"cannot open /dev/gpiochip0: Permission denied", "GROUP=\"gpio\"", "sudo usermod -aG gpio $USER"}},
            {"a line held by another consumer", [](ProgramOnPort &p) { p.gpio.Hold("GPIO27", "pigpio"); },
             {"GPIO27 (line 27 of gpiochip0 [pinctrl-bcm2711]) is held by \"pigpio\"", "gpioinfo gpiochip0"}},
        });
}

// A sensor line nobody drives reads what its pull makes it: the default map's
// pulls say that nothing fires. A map of its own sets each line's pull and
// polarity, names lines by offset, and the library asks for one request per
// polarity and pull. (The status bytes of driven lines through the default
// map and a map with turned polarities are a shared case.)
TEST(RealProgramOnGpio, SensorLinesReadAsTheirPullsAndPolaritiesSay)
{
    const auto follow = [](ProgramOnPort &program, size_t reads) {
        program.robot.Click("Button22");
        ASSERT_TRUE(WaitFor([&] { return program.StatusBytes().size() >= reads; })) << program.StatusBytes().size();
        program.robot.Click("Button21");
        ASSERT_TRUE(Settled(program.TracePath()));
    };
    {
        SCOPED_TRACE("the default map: S5 and S4 fire low, S7 high; floating, the pulls say nothing fires");
        ProgramOnPort program(Library::Gpio);
        program.gpio.ScriptLevels({"GPIO24=0 GPIO25=0 GPIO5=1", ""});
        program.Start();
        follow(program, 4);
        const std::vector<int> bytes = program.StatusBytes();
        EXPECT_EQ(std::vector<int>(bytes.begin(), bytes.begin() + 3), (std::vector<int>{78, 254, 254}));
    }
    {
        SCOPED_TRACE("a map of its own: S5 fires high with a pull-down, S7 low with a pull-up, offsets");
        ProgramOnPort program(Library::Gpio);
        program.pinMap = "device gpio\nD4 GPIO17\nD3 GPIO27\nD1 GPIO22\nD0 GPIO23\n"
                         "S5 24 active-high pull-down\n"
                         "S4 GPIO25 active-low pull-up\n"
                         "S7 5 active-low pull-up\n";
        program.gpio.ScriptLevels({"GPIO24=0 GPIO25=1 GPIO5=1", "GPIO24=1 GPIO25=1 GPIO5=1",
                                   "GPIO24=0 GPIO25=1 GPIO5=0", ""});
        program.Start();
        follow(program, 6);
        const std::vector<int> bytes = program.StatusBytes();
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
