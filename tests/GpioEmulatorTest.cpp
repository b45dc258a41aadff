// The emulated GPIO chips checked with Debian's own gpio tools (libgpiod 1.6,
// unmodified) preloaded with the emulator: what a Pi 4 shows, what a request
// does to the lines, and each fault switch as a tool reports it.
#include "support/EmulatedGpio.h"
#include "support/ProgramOnPort.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

// The tool's standard output and error, and its exit code.
struct ToolRun {
    int Code;
    std::string Output;
};

ToolRun Tool(const EmulatedGpio &gpio, const std::string &command)
{
    ToolRun run;
    run.Code = RunCommand({"sh", "-c", command + " 2>&1"}, &run.Output, 10000, gpio.Env());
    return run;
}

bool Matches(const std::string &text, const std::string &pattern)
{
    return std::regex_search(text, std::regex(pattern));
}

int CountLines(const std::string &text, const std::string &pattern)
{
    std::istringstream in(text);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += Matches(line, pattern);
    return n;
}

} // namespace

TEST(GpioEmulator, ToolsSeeThePi4sTwoChipsWithTheirNamesAndTheLinesItsDriversHold)
{
    EmulatedGpio gpio;
    EXPECT_EQ(Tool(gpio, "gpiodetect").Output,
              "gpiochip0 [pinctrl-bcm2711] (58 lines)\ngpiochip1 [raspberrypi-exp-gpio] (8 lines)\n");

    const ToolRun info = Tool(gpio, "gpioinfo gpiochip0");
    EXPECT_EQ(info.Code, 0) << info.Output;
    EXPECT_EQ(CountLines(info.Output, R"(^\s+line +\d+:)"), 58);
    for (const char *line : {R"(line +0: +"ID_SDA" +unused +input)", R"(line +4: +"GPIO_GCLK" +unused)",
                             R"(line +17: +"GPIO17" +unused +input +active-high)", R"(line +27: +"GPIO27")",
                             R"(line +29: +"RGMIO_MDC")", R"(line +57: +"RGMII_TXD3")"})
        EXPECT_TRUE(Matches(info.Output, line)) << line << "\n" << info.Output;
    EXPECT_TRUE(Matches(info.Output, R"(line +42: +"STATUS_LED_G_CLK" +"ACT" +output +active-high \[used\])"));

    // Found by label (libgpiod opens every chip to look) and lines by name.
    const ToolRun expander = Tool(gpio, "gpioinfo raspberrypi-exp-gpio");
    EXPECT_TRUE(Matches(expander.Output, R"(^gpiochip1 - 8 lines:)")) << expander.Output;
    EXPECT_TRUE(Matches(expander.Output, R"(line +2: +"PWR_LED_OFF" +"PWR" +output +active-low \[used\])"));
    EXPECT_TRUE(Matches(expander.Output, R"(line +7: +unnamed +unused +input)"));
    EXPECT_EQ(Tool(gpio, "gpiofind GPIO25").Output, "gpiochip0 25\n");
    EXPECT_EQ(Tool(gpio, "gpiofind SD_PWR_ON").Output, "gpiochip1 6\n");
}

TEST(GpioEmulator, ARequestDrivesItsLinesAndTheyFallToTheirPowerUpPullWhenLetGo)
{
    EmulatedGpio gpio;
    ASSERT_EQ(Tool(gpio, "gpioset gpiochip0 17=1 22=1").Code, 0);
    const std::vector<GpioCall> log = gpio.Log();
    const std::vector<GpioCall> requests = GpioCallsOf(log, "GPIO_GET_LINEHANDLE_IOCTL");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].Ok());
    EXPECT_EQ(RequestField(requests[0].Detail, "lines"), "17,22");
    EXPECT_EQ(RequestField(requests[0].Detail, "flags"), "output");
    EXPECT_EQ(RequestField(requests[0].Detail, "defaults"), "1,1");
    EXPECT_EQ(RequestField(requests[0].Detail, "consumer"), "gpioset");
    // gpioset lets go when it exits: the lines become inputs at the
    // pull-down they have from power-up, as the Pi's pin controller leaves them.
    const std::vector<GpioCall> releases = GpioCallsOf(log, "release");
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(releases[0].Object, RequestField(requests[0].Detail, "handle"));
    EXPECT_EQ(LineLevels(releases[0].Detail), (std::map<int, int>{{17, 0}, {22, 0}}));
    EXPECT_TRUE(Matches(Tool(gpio, "gpioinfo gpiochip0").Output, R"(line +17: +"GPIO17" +unused +input)"));

    // Lines 0-8 are pulled up from power-up, 9-27 down; a requested pull wins.
    EXPECT_EQ(Tool(gpio, "gpioget gpiochip0 4 8 9 17").Output, "1 1 0 0\n");
    EXPECT_EQ(Tool(gpio, "gpioget --bias=pull-up gpiochip0 9").Output, "1\n");
    EXPECT_EQ(Tool(gpio, "gpioget --bias=pull-down gpiochip0 4").Output, "0\n");
    EXPECT_EQ(Tool(gpio, "gpioget --active-low gpiochip0 4").Output, "0\n");
}

TEST(GpioEmulator, ScriptedLevelsHoldUntilTheLinesAreReadAgainTheLastRepeating)
{
    EmulatedGpio gpio;
    gpio.ScriptLevels({"GPIO24=0 GPIO25=1", "GPIO24=1,GPIO25=0 5=1", "GPIO24=0"});
    EXPECT_EQ(Tool(gpio, "gpioget gpiochip0 24 25 5").Output, "0 1 1\n"); // 5 floats: pulled up
    // One entry per sampling: a second line of the same entry is not a new sampling.
    EXPECT_EQ(Tool(gpio, "gpioget gpiochip0 24").Output, "1\n");
    EXPECT_EQ(Tool(gpio, "gpioget --active-low gpiochip0 25 5").Output, "1 0\n");
    EXPECT_EQ(Tool(gpio, "gpioget gpiochip0 24 25").Output, "0 0\n"); // the last entry: 25 floats, pulled down
    EXPECT_EQ(Tool(gpio, "gpioget gpiochip0 24 25").Output, "0 0\n");
    EXPECT_EQ(Tool(gpio, "gpioget --bias=pull-up gpiochip0 24 25").Output, "0 1\n");
}

TEST(GpioEmulator, ALineHeldInOneProcessIsBusyForOthersUntilItsHolderIsKilled)
{
    EmulatedGpio gpio;
    QTemporaryDir dir;
    SpawnRequest holder;
    holder.Argv = {"gpioset", "--mode=signal", "gpiochip0", "23=1"};
    holder.Env = CurrentEnvironment({"LD_PRELOAD"});
    for (const auto &var : gpio.Env())
        holder.Env.push_back(var);
    const pid_t pid = Spawn(holder);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([&] { return !GpioCallsOf(gpio.Log(), "GPIO_GET_LINEHANDLE_IOCTL", pid).empty(); }));

    EXPECT_TRUE(Matches(Tool(gpio, "gpioinfo gpiochip0").Output,
                        R"(line +23: +"GPIO23" +"gpioset" +output +active-high \[used\])"));
    const ToolRun second = Tool(gpio, "gpioset gpiochip0 23=0");
    EXPECT_NE(second.Code, 0);
    EXPECT_TRUE(Matches(second.Output, "Device or resource busy")) << second.Output;

    kill(pid, SIGKILL);
    ASSERT_TRUE(WaitForChild(pid, 5000));
    // The kernel lets go of a killed process's lines; the emulator notices at
    // the next look.
    EXPECT_TRUE(Matches(Tool(gpio, "gpioinfo gpiochip0").Output, R"(line +23: +"GPIO23" +unused +input)"));
    const std::vector<GpioCall> releases = GpioCallsOf(gpio.Log(), "release");
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(LineLevels(releases[0].Detail), (std::map<int, int>{{23, 0}}));
    EXPECT_EQ(Tool(gpio, "gpioset gpiochip0 23=0").Code, 0);
}

TEST(GpioEmulator, EachFaultSwitchIsWhatTheToolsReport)
{
    {
        EmulatedGpio gpio;
        gpio.Chips(0);
        EXPECT_EQ(Tool(gpio, "gpiodetect").Output, "");
        EXPECT_TRUE(Matches(Tool(gpio, "gpioget gpiochip0 17").Output, "No such file or directory"));
    }
    {
        EmulatedGpio gpio;
        gpio.Chips(1);
        EXPECT_EQ(Tool(gpio, "gpiodetect").Output, "gpiochip0 [pinctrl-bcm2711] (58 lines)\n");
    }
    {
        EmulatedGpio gpio;
        gpio.FailOpen("EACCES");
        const ToolRun run = Tool(gpio, "gpioget gpiochip0 17");
        EXPECT_NE(run.Code, 0);
        EXPECT_TRUE(Matches(run.Output, "Permission denied")) << run.Output;
        EXPECT_EQ(GpioCallsOf(gpio.Log(), "open").back().Result, "EACCES");
    }
    {
        EmulatedGpio gpio;
        gpio.Hold("GPIO17", "pigpio");
        gpio.Hold("5", "gpio-keys");
        const std::string info = Tool(gpio, "gpioinfo gpiochip0").Output;
        EXPECT_TRUE(Matches(info, R"(line +17: +"GPIO17" +"pigpio" +input +active-high \[used\])")) << info;
        EXPECT_TRUE(Matches(info, R"(line +5: +"GPIO5" +"gpio-keys")"));
        EXPECT_TRUE(Matches(Tool(gpio, "gpioset gpiochip0 17=1").Output, "Device or resource busy"));
    }
    {
        EmulatedGpio gpio;
        gpio.GoneAfter(4);
        // gpioget's lookup takes three accesses (the chips' info, twice for
        // gpiochip0), the line's info a fourth; its request is the fifth.
        const ToolRun run = Tool(gpio, "gpioget gpiochip0 17");
        EXPECT_TRUE(Matches(run.Output, "No such device")) << run.Output;
        const std::vector<GpioCall> log = gpio.Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(GpioCallsOf(log, "GPIO_GET_LINEHANDLE_IOCTL").at(0).Result, "ENODEV");
        // Gone for good: the chips' files are no more.
        EXPECT_EQ(Tool(gpio, "gpiodetect").Output, "");
    }
}
