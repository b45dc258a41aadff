// The emulated GPIO chips checked with Debian's own gpio tools (unmodified)
// preloaded with the emulator: what a Pi 4 shows, what a request does to the
// lines, and each fault switch as a tool reports it. The tools are those of
// the machine's libgpiod, 1.6 (the kernel's first GPIO interface) or 2 (its
// second), whose command lines and words differ: Tools says each in both.
#include "support/EmulatedGpio.h"
#include "support/ProgramOnPort.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// The gpio tools of this machine's libgpiod, in their own words.
struct Tools {
    bool Second; // libgpiod 2's tools

    Tools()
    {
        std::string version;
        RunCommand({"gpiodetect", "--version"}, &version);
        Second = !Matches(version, R"(\(libgpiod\) v[01]\.)"); // "gpiodetect (libgpiod) v1.6.3"
    }
    // Every line of a chip.
    std::string Info(const std::string &chip) const { return Second ? "gpioinfo -c " + chip : "gpioinfo " + chip; }
    // Sets the lines and ends (the lines are let go).
    std::string Set(const std::string &chip, const std::string &values) const
    {
        return Second ? "gpioset -t0 -c " + chip + " " + values : "gpioset " + chip + " " + values;
    }
    // Sets the lines and holds them until killed.
    std::vector<std::string> Hold(const std::string &chip, const std::string &value) const
    {
        return Second ? std::vector<std::string>{"gpioset", "-c", chip, value}
                      : std::vector<std::string>{"gpioset", "--mode=signal", chip, value};
    }
    // The lines' values, "1 0 ...".
    std::string Get(const std::string &chip, const std::string &lines, const std::string &options = "") const
    {
        return "gpioget " + options + (Second ? " --numeric -c " : " ") + chip + " " + lines;
    }
    // Where the named line is: "gpiochip0 25" at the start.
    std::string Find(const std::string &name) const { return (Second ? "gpioinfo " : "gpiofind ") + name; }
    // A line as gpioinfo shows it; an empty consumer for a free line.
    std::string InfoLine(int offset, const std::string &name, const std::string &consumer, const std::string &direction,
                         bool activeLow = false) const
    {
        const std::string line = "line +" + std::to_string(offset) + ":\\s+" + (name.empty() ? "unnamed" : "\"" + name + "\"");
        if (Second)
            return line + "\\s+" + direction + (activeLow ? " active-low" : "") +
                   (consumer.empty() ? "\\n" : " consumer=\"" + consumer + "\"");
        return line + " +" + (consumer.empty() ? "unused" : "\"" + consumer + "\"") + " +" + direction + " +" +
               (activeLow ? "active-low" : "active-high") + (consumer.empty() ? "" : " +\\[used\\]");
    }
    // How a tool says that the chip is not there.
    std::string NoChip() const { return Second ? "cannot find GPIO chip" : "No such file or directory"; }
};

} // namespace

TEST(GpioEmulator, ToolsSeeThePi4sTwoChipsWithTheirNamesAndTheLinesItsDriversHold)
{
    const Tools tools;
    EmulatedGpio gpio;
    EXPECT_EQ(Tool(gpio, "gpiodetect").Output,
              "gpiochip0 [pinctrl-bcm2711] (58 lines)\ngpiochip1 [raspberrypi-exp-gpio] (8 lines)\n");

    const ToolRun info = Tool(gpio, tools.Info("gpiochip0"));
    EXPECT_EQ(info.Code, 0) << info.Output;
    EXPECT_EQ(CountLines(info.Output, R"(^\s+line +\d+:)"), 58);
    for (const std::string &line :
         {tools.InfoLine(0, "ID_SDA", "", "input"), tools.InfoLine(4, "GPIO_GCLK", "", "input"),
          tools.InfoLine(17, "GPIO17", "", "input"), tools.InfoLine(29, "RGMIO_MDC", "", "input"),
          tools.InfoLine(57, "RGMII_TXD3", "", "input"), tools.InfoLine(42, "STATUS_LED_G_CLK", "ACT", "output")})
        EXPECT_TRUE(Matches(info.Output, line)) << line << "\n" << info.Output;

    // Found by label (libgpiod 1.6 opens every chip to look) and lines by name.
    if (!tools.Second) {
        const ToolRun expander = Tool(gpio, "gpioinfo raspberrypi-exp-gpio");
        EXPECT_TRUE(Matches(expander.Output, R"(^gpiochip1 - 8 lines:)")) << expander.Output;
    }
    const std::string expander = Tool(gpio, tools.Info("gpiochip1")).Output;
    EXPECT_TRUE(Matches(expander, tools.InfoLine(2, "PWR_LED_OFF", "PWR", "output", true))) << expander;
    EXPECT_TRUE(Matches(expander, tools.InfoLine(7, "", "", "input"))) << expander;
    EXPECT_TRUE(Matches(Tool(gpio, tools.Find("GPIO25")).Output, "^gpiochip0 25\\b"));
    EXPECT_TRUE(Matches(Tool(gpio, tools.Find("SD_PWR_ON")).Output, "^gpiochip1 6\\b"));
}

TEST(GpioEmulator, ARequestDrivesItsLinesAndTheyFallToTheirPowerUpPullWhenLetGo)
{
    const Tools tools;
    EmulatedGpio gpio;
    ASSERT_EQ(Tool(gpio, tools.Set("gpiochip0", "17=1 22=1")).Code, 0);
    const std::vector<GpioCall> log = gpio.Log();
    const std::vector<GpioCall> requests = GpioCallsOf(log, "GPIO_GET_LINEHANDLE_IOCTL");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].Ok());
    EXPECT_EQ(requests[0].SecondInterface, tools.Second);
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
    EXPECT_TRUE(Matches(Tool(gpio, tools.Info("gpiochip0")).Output, tools.InfoLine(17, "GPIO17", "", "input")));

    // Lines 0-8 are pulled up from power-up, 9-27 down; a requested pull wins.
    EXPECT_EQ(Tool(gpio, tools.Get("gpiochip0", "4 8 9 17")).Output, "1 1 0 0\n");
    EXPECT_EQ(Tool(gpio, tools.Get("gpiochip0", "9", "--bias=pull-up")).Output, "1\n");
    EXPECT_EQ(Tool(gpio, tools.Get("gpiochip0", "4", "--bias=pull-down")).Output, "0\n");
    EXPECT_EQ(Tool(gpio, tools.Get("gpiochip0", "4", "--active-low")).Output, "0\n");
}

TEST(GpioEmulator, ScriptedLevelsHoldUntilTheLinesAreReadAgainTheLastRepeating)
{
    const Tools tools;
    EmulatedGpio gpio;
    gpio.ScriptLevels({"GPIO24=0 GPIO25=1", "GPIO24=1,GPIO25=0 5=1", "GPIO24=0"});
    EXPECT_EQ(Tool(gpio, tools.Get("gpiochip0", "24 25 5")).Output, "0 1 1\n"); // 5 floats: pulled up
    // One entry per sampling: a second line of the same entry is not a new sampling.
    EXPECT_EQ(Tool(gpio, tools.Get("gpiochip0", "24")).Output, "1\n");
    EXPECT_EQ(Tool(gpio, tools.Get("gpiochip0", "25 5", "--active-low")).Output, "1 0\n");
    EXPECT_EQ(Tool(gpio, tools.Get("gpiochip0", "24 25")).Output, "0 0\n"); // the last entry: 25 floats, pulled down
    EXPECT_EQ(Tool(gpio, tools.Get("gpiochip0", "24 25")).Output, "0 0\n");
    EXPECT_EQ(Tool(gpio, tools.Get("gpiochip0", "24 25", "--bias=pull-up")).Output, "0 1\n");
}

TEST(GpioEmulator, ALineHeldInOneProcessIsBusyForOthersUntilItsHolderIsKilled)
{
    const Tools tools;
    EmulatedGpio gpio;
    SpawnRequest holder;
    holder.Argv = tools.Hold("gpiochip0", "23=1");
    holder.Env = CurrentEnvironment({"LD_PRELOAD"});
    for (const auto &var : gpio.Env())
        holder.Env.push_back(var);
    const pid_t pid = Spawn(holder);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([&] { return !GpioCallsOf(gpio.Log(), "GPIO_GET_LINEHANDLE_IOCTL", pid).empty(); }));

    EXPECT_TRUE(Matches(Tool(gpio, tools.Info("gpiochip0")).Output, tools.InfoLine(23, "GPIO23", "gpioset", "output")));
    const ToolRun second = Tool(gpio, tools.Set("gpiochip0", "23=0"));
    EXPECT_NE(second.Code, 0);
    EXPECT_TRUE(Matches(second.Output, "Device or resource busy")) << second.Output;

    kill(pid, SIGKILL);
    ASSERT_TRUE(WaitForChild(pid, 5000));
    // The kernel lets go of a killed process's lines; the emulator notices at
    // the next look.
    EXPECT_TRUE(Matches(Tool(gpio, tools.Info("gpiochip0")).Output, tools.InfoLine(23, "GPIO23", "", "input")));
    const std::vector<GpioCall> releases = GpioCallsOf(gpio.Log(), "release");
    ASSERT_EQ(releases.size(), 1u);
    EXPECT_EQ(LineLevels(releases[0].Detail), (std::map<int, int>{{23, 0}}));
    EXPECT_EQ(Tool(gpio, tools.Set("gpiochip0", "23=0")).Code, 0);
}

TEST(GpioEmulator, EachFaultSwitchIsWhatTheToolsReport)
{
    const Tools tools;
    {
        EmulatedGpio gpio;
        gpio.Chips(0);
        EXPECT_EQ(Tool(gpio, "gpiodetect").Output, "");
        EXPECT_TRUE(Matches(Tool(gpio, tools.Get("gpiochip0", "17")).Output, tools.NoChip()));
    }
    {
        EmulatedGpio gpio;
        gpio.Chips(1);
        EXPECT_EQ(Tool(gpio, "gpiodetect").Output, "gpiochip0 [pinctrl-bcm2711] (58 lines)\n");
    }
    {
        EmulatedGpio gpio;
        gpio.FailOpen("EACCES");
        const ToolRun run = Tool(gpio, tools.Get("gpiochip0", "17"));
        EXPECT_NE(run.Code, 0);
        EXPECT_TRUE(Matches(run.Output, "Permission denied")) << run.Output;
        EXPECT_EQ(GpioCallsOf(gpio.Log(), "open").back().Result, "EACCES");
    }
    {
        EmulatedGpio gpio;
        gpio.Hold("GPIO17", "pigpio");
        gpio.Hold("5", "gpio-keys");
        const std::string info = Tool(gpio, tools.Info("gpiochip0")).Output;
        EXPECT_TRUE(Matches(info, tools.InfoLine(17, "GPIO17", "pigpio", "input"))) << info;
        EXPECT_TRUE(Matches(info, tools.InfoLine(5, "GPIO5", "gpio-keys", "input")));
        EXPECT_TRUE(Matches(Tool(gpio, tools.Set("gpiochip0", "17=1")).Output, "Device or resource busy"));
    }
    {
        // The chips go just before gpioget's request: as many accesses as
        // its look-up takes (counted on a first run) are answered.
        int lookUp = 0;
        {
            EmulatedGpio gpio;
            ASSERT_EQ(Tool(gpio, tools.Get("gpiochip0", "17")).Code, 0);
            std::vector<GpioCall> log = gpio.Log();
            const auto request = std::find_if(log.begin(), log.end(),
                                              [](const GpioCall &c) { return c.Call == "GPIO_GET_LINEHANDLE_IOCTL"; });
            ASSERT_NE(request, log.end());
            lookUp = GpioAccesses({log.begin(), request});
        }
        EmulatedGpio gpio;
        gpio.GoneAfter(lookUp);
        const ToolRun run = Tool(gpio, tools.Get("gpiochip0", "17"));
        EXPECT_TRUE(Matches(run.Output, "No such device")) << run.Output;
        const std::vector<GpioCall> log = gpio.Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(GpioCallsOf(log, "GPIO_GET_LINEHANDLE_IOCTL").at(0).Result, "ENODEV");
        // Gone for good: the chips' files are no more.
        EXPECT_EQ(Tool(gpio, "gpiodetect").Output, "");
    }
}
