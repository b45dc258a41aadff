// The GPIO line device (portio/gpio) in a process of its own
// (gpio-line-probe), over the emulated chips of a Raspberry Pi 4: what it asks
// of the kernel, what it reports, each fault said with what to do, and the
// motors switched off on every way out, the guard's included.
#include "core/Clock.h"
#include "support/TextSearch.h"
#include "support/EmulatedGpio.h"
#include "support/ProgramOnPort.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

namespace {

using namespace defaultgpio;

const std::string Probe = ROBOT_BINARY_DIR "/bin/gpio-line-probe";
// The default pin map's lines, in the probe's words.
const std::string Motors = "GPIO17,GPIO27,GPIO22,GPIO23";
const std::string Sensors = "GPIO24:low:up,GPIO25:low:up,GPIO5:high:down";


std::vector<std::string> Fields(const std::string &line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t'))
        fields.push_back(field);
    return fields;
}

// The probe's answers, one per step.
std::vector<std::string> RunProbe(const EmulatedGpio &gpio, const std::vector<std::string> &steps)
{
    std::vector<std::string> argv{Probe};
    argv.insert(argv.end(), steps.begin(), steps.end());
    std::string output;
    EXPECT_EQ(RunCommand(argv, &output, 20000, gpio.Env()), 0) << output;
    return SplitLines(output);
}

// A problem's fields: step, key, lasting, text, fix.
struct Problem {
    std::string Key, Lasting, Text, Fix;
};
Problem ProblemOf(const std::string &answer)
{
    const std::vector<std::string> f = Fields(answer);
    EXPECT_EQ(f.size(), 5u) << answer;
    if (f.size() != 5)
        return {};
    return {f[1], f[2], f[3], f[4]};
}


std::vector<GpioCall> Requests(const EmulatedGpio &gpio) { return GpioCallsOf(gpio.Log(), "GPIO_GET_LINEHANDLE_IOCTL"); }

// The levels the motor lines were set to, in order, as {D4, D3, D1, D0} bits.
std::vector<std::map<int, int>> MotorSets(const std::vector<GpioCall> &log, int pid = 0)
{
    std::vector<std::map<int, int>> sets;
    for (const GpioCall &c : GpioCallsOf(log, "GPIOHANDLE_SET_LINE_VALUES_IOCTL", pid))
        if (c.Ok())
            sets.push_back(LineLevels(c.Detail));
    return sets;
}

std::map<int, int> Motor(int d4, int d3, int d1, int d0) { return {{D4, d4}, {D3, d3}, {D1, d1}, {D0, d0}}; }

} // namespace

TEST(GpioDevice, TakesTheMotorLinesAsOutputsAtZeroFirstAndTheSensorsWithTheirPullAndPolarity)
{
    EmulatedGpio gpio;
    EXPECT_EQ(RunProbe(gpio, {"open", "-", "claim", Motors, Sensors}),
              (std::vector<std::string>{"open ok", "claim ok"}));
    const std::vector<GpioCall> requests = Requests(gpio);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].Object, "gpiochip0");
    EXPECT_EQ(RequestField(requests[0].Detail, "lines"), "17,27,22,23");
    EXPECT_EQ(RequestField(requests[0].Detail, "flags"), "output");
    EXPECT_EQ(RequestField(requests[0].Detail, "defaults"), "0,0,0,0");
    // The request whose copy the guard gets is the kernel's second
    // interface's, whichever libgpiod the build has.
    EXPECT_TRUE(requests[0].SecondInterface);
    std::map<std::string, std::string> inputs; // lines -> flags
    for (size_t i = 1; i < requests.size(); ++i) {
        inputs[RequestField(requests[i].Detail, "lines")] = RequestField(requests[i].Detail, "flags");
        EXPECT_TRUE(requests[i].Ok());
    }
    EXPECT_EQ(inputs, (std::map<std::string, std::string>{{"24,25", "input+active-low+pull-up"},
                                                          {"5", "input+pull-down"}}));
    for (const GpioCall &r : requests)
        EXPECT_EQ(RequestField(r.Detail, "consumer"), "robot");
}

TEST(GpioDevice, WritesDriveTheMotorLinesAndReadsSayWhichSensorsFireOneSamplingEach)
{
    EmulatedGpio gpio;
    // Nothing; left line (S5 low); right line and obstacle (S4 low, S7 high);
    // the sensors' lines floating at their pulls.
    gpio.ScriptLevels({"GPIO24=1 GPIO25=1 GPIO5=0", "GPIO24=0 GPIO25=1 GPIO5=0", "GPIO24=1 GPIO25=0 GPIO5=1", ""});
    const std::vector<std::string> answers =
        RunProbe(gpio, {"open", "-", "claim", Motors, Sensors, "write", "9", "write", "6", "write", "0", "read", "read",
                        "read", "read"});
    EXPECT_EQ(answers, (std::vector<std::string>{"open ok", "claim ok", "write ok", "write ok", "write ok", "read 0",
                                                 "read 1", "read 6", "read 0"}));
    // Bit i of a write is the i-th motor line.
    EXPECT_EQ(MotorSets(gpio.Log()), (std::vector<std::map<int, int>>{Motor(1, 0, 0, 1), Motor(0, 1, 1, 0),
                                                                      Motor(0, 0, 0, 0)}));
}

TEST(GpioDevice, FindsTheChipByNamePathNumberOrLabelAndALineByOffsetOrName)
{
    EmulatedGpio gpio;
    for (const char *chip : {"gpiochip1", "/dev/gpiochip1", "1", "001", "raspberrypi-exp-gpio"})
        EXPECT_EQ(RunProbe(gpio, {"open", chip, "find", "SD_PWR_ON", "find", "7"}),
                  (std::vector<std::string>{"open ok", "find SD_PWR_ON 6", "find 7 7"}))
            << chip;
    const std::vector<std::string> answers =
        RunProbe(gpio, {"open", "pinctrl-bcm2711", "find", "GPIO5", "find", "58", "find", "gpio17", "find", "GPIO99"});
    ASSERT_EQ(answers.size(), 5u);
    EXPECT_EQ(answers[1], "find GPIO5 5");
    EXPECT_EQ(answers[2], "find 58 none\tgpiochip0 [pinctrl-bcm2711] has lines 0 to 57, no line 58");
    EXPECT_TRUE(Has(answers[3], "has no line named gpio17 (did you mean GPIO17?)")) << answers[3];
    // An unknown name: the chip's lines to choose from.
    EXPECT_TRUE(Has(answers[4], "has no line named GPIO99; its lines: 0 ID_SDA, 1 ID_SCL,")) << answers[4];
    EXPECT_TRUE(Has(answers[4], "27 GPIO27,")) << answers[4];
}

TEST(GpioDevice, AChipThatCannotBeOpenedIsSaidWithTheChipsThereAreAndWhatToDo)
{
    {
        EmulatedGpio gpio;
        gpio.Chips(1);
        const Problem p = ProblemOf(RunProbe(gpio, {"open", "gpiochip1"}).at(0));
        EXPECT_EQ(p.Key, "absent");
        EXPECT_EQ(p.Lasting, "0");
        EXPECT_EQ(p.Text, "there is no GPIO chip gpiochip1 (/dev/gpiochip1 does not exist; the chips here: "
                          "gpiochip0 [pinctrl-bcm2711])");
        EXPECT_TRUE(Has(p.Fix, "gpiodetect")) << p.Fix;
        EXPECT_TRUE(Has(ProblemOf(RunProbe(gpio, {"open", "pinctrl-bcm2712"}).at(0)).Text,
                        "no GPIO chip is named or labelled pinctrl-bcm2712"));
        // A number no chip can have is no chip either, not a crash.
        EXPECT_EQ(ProblemOf(RunProbe(gpio, {"open", "99999999999999999999999"}).at(0)).Key, "absent");
    }
    {
        EmulatedGpio gpio;
        gpio.Chips(0);
        EXPECT_TRUE(Has(ProblemOf(RunProbe(gpio, {"open", "-"}).at(0)).Text, "this computer shows no GPIO chip"));
    }
    {
        EmulatedGpio gpio;
        gpio.FailOpen("EACCES");
        const Problem p = ProblemOf(RunProbe(gpio, {"open", "-"}).at(0));
        EXPECT_EQ(p.Key, "permission");
        EXPECT_EQ(p.Text, "cannot open /dev/gpiochip0: Permission denied");
        // The device belongs to root: a udev rule gives it to a group.
        EXPECT_TRUE(Has(p.Fix, R"(SUBSYSTEM=="gpio", KERNEL=="gpiochip*", GROUP="gpio", MODE="0660")")) << p.Fix;
        EXPECT_TRUE(Has(p.Fix, "usermod -aG gpio")) << p.Fix;
    }
    {
        EmulatedGpio gpio;
        const Problem p = ProblemOf(RunProbe(gpio, {"open", "/dev/null"}).at(0));
        EXPECT_EQ(p.Key, "not-gpio");
        EXPECT_EQ(p.Lasting, "1"); // trying again cannot help
    }
}

TEST(GpioDevice, ALineHeldByAnotherConsumerIsNamedWithItsHolderAndNothingIsTaken)
{
    EmulatedGpio gpio;
    gpio.Hold("GPIO25", "pigpio");
    const std::vector<std::string> answers = RunProbe(gpio, {"open", "-", "claim", Motors, Sensors});
    const Problem p = ProblemOf(answers.at(1));
    EXPECT_EQ(p.Key, "busy");
    EXPECT_EQ(p.Text, "GPIO25 (line 25 of gpiochip0 [pinctrl-bcm2711]) is held by \"pigpio\"");
    EXPECT_TRUE(Has(p.Fix, "gpioinfo gpiochip0")) << p.Fix;
    EXPECT_TRUE(Requests(gpio).empty());

    // A line of the board's own drivers, as gpioinfo names its holder.
    EXPECT_TRUE(Has(ProblemOf(RunProbe(gpio, {"open", "-", "claim", "STATUS_LED_G_CLK", "-"}).at(1)).Text,
                    "is held by \"ACT\""));

    // Held under this program's own name: another copy of it, which no
    // driver or overlay explains.
    EmulatedGpio twice;
    twice.Hold("GPIO17", "robot");
    const Problem copy = ProblemOf(RunProbe(twice, {"open", "-", "claim", Motors, Sensors}).at(1));
    EXPECT_EQ(copy.Key, "busy");
    EXPECT_EQ(copy.Text, "GPIO17 (line 17 of gpiochip0 [pinctrl-bcm2711]) is held by another copy of this program "
                         "(consumer \"robot\")");
    EXPECT_TRUE(Has(copy.Fix, "Close the other robot program")) << copy.Fix;
    EXPECT_FALSE(Has(copy.Fix, "overlay")) << copy.Fix;
}

TEST(GpioDevice, AChipGoneDuringALoopFailsEveryWriteAndReadAsGone)
{
    const std::vector<std::string> setUp = {"open", "-", "claim", Motors, Sensors};
    int settingUp = 0; // the accesses opening and claiming take (each libgpiod its own)
    {
        EmulatedGpio gpio;
        ASSERT_EQ(RunProbe(gpio, setUp), (std::vector<std::string>{"open ok", "claim ok"}));
        settingUp = GpioAccesses(gpio.Log());
    }
    EmulatedGpio gpio;
    // Gone after the first write and read (one access per request read).
    gpio.GoneAfter(settingUp + 3);
    std::vector<std::string> steps = setUp;
    for (const char *step : {"write", "9", "read", "write", "0", "read", "read", "close"})
        steps.push_back(step);
    const std::vector<std::string> answers = RunProbe(gpio, steps);
    ASSERT_EQ(answers.size(), 8u);
    EXPECT_EQ(answers[2], "write ok");
    EXPECT_EQ(answers[3].substr(0, 5), "read ");
    EXPECT_EQ(answers[3].find("problem"), std::string::npos) << answers[3];
    for (size_t i = 4; i < 7; ++i) {
        const Problem p = ProblemOf(answers[i]);
        EXPECT_EQ(p.Key, "gone") << answers[i];
        EXPECT_EQ(p.Text, "the GPIO chip gpiochip0 [pinctrl-bcm2711] is gone (No such device)");
    }
    EXPECT_EQ(answers[7], "close ok");
}

TEST(GpioDevice, CloseDrivesTheMotorLinesLowBeforeLettingThemGo)
{
    EmulatedGpio gpio;
    RunProbe(gpio, {"open", "-", "claim", Motors, Sensors, "write", "15", "close"});
    const std::vector<GpioCall> log = gpio.Log();
    const std::string motors = RequestField(Requests(gpio).at(0).Detail, "handle");
    std::vector<std::string> order; // what happened to the motor lines' handle
    for (const GpioCall &c : log)
        if (c.Object == motors)
            order.push_back(c.Call + " " + c.Detail);
    EXPECT_EQ(order, (std::vector<std::string>{"GPIOHANDLE_SET_LINE_VALUES_IOCTL 17=1,27=1,22=1,23=1",
                                               "GPIOHANDLE_SET_LINE_VALUES_IOCTL 17=0,27=0,22=0,23=0",
                                               "close released", "release 17=0,27=0,22=0,23=0"}));
    EXPECT_EQ(GpioCallsOf(log, "release").size(), 3u); // the sensors' two requests too
}

TEST(GpioDevice, TheGuardZeroesThroughItsCopyWhenStoppedAndLetsGoWhenTheProgramIsKilled)
{
    EmulatedGpio gpio;
    QTemporaryDir dir;
    const std::string out = dir.filePath("probe.txt").toStdString();
    SpawnRequest request;
    request.Argv = {Probe, "open", "-", "claim", Motors, Sensors, "write", "9", "guard", "guard-stopped",
                    "write", "6", "hold"};
    request.Env = CurrentEnvironment({"LD_PRELOAD"});
    for (const auto &var : gpio.Env())
        request.Env.push_back(var);
    request.StdoutPath = out;
    const pid_t program = Spawn(request);
    ASSERT_GT(program, 0);
    // Whatever the test finds, the probe does not outlive it.
    struct KillAtEnd {
        pid_t Pid;
        ~KillAtEnd()
        {
            kill(Pid, SIGKILL);
            WaitForChild(Pid, 5000);
        }
    } killAtEnd{program};
    auto answers = [&] {
        std::ifstream in(out);
        return SplitLines(std::string(std::istreambuf_iterator<char>(in), {}));
    };
    ASSERT_TRUE(WaitFor([&] { return answers().size() == 7; })) << answers().size();
    const std::vector<std::string> said = answers();
    EXPECT_EQ(said[3].substr(0, 6), "guard ");
    EXPECT_TRUE(Has(said[3], "gpiochip0 17,27,22,23")) << said[3]; // the order's payload
    EXPECT_EQ(said[4], "guard-stopped ok");
    EXPECT_EQ(said[5], "write ok");
    const int guard = std::stoi(said[3].substr(6));

    // Stopped: the guard drove the lines low through its copy and let nothing
    // go; the program's next write went through the same handle.
    std::vector<GpioCall> log = gpio.Log();
    EXPECT_EQ(MotorSets(log, guard), (std::vector<std::map<int, int>>{Motor(0, 0, 0, 0)}));
    EXPECT_EQ(MotorSets(log, program), (std::vector<std::map<int, int>>{Motor(1, 0, 0, 1), Motor(0, 1, 1, 0)}));
    EXPECT_TRUE(GpioCallsOf(log, "release").empty());

    // Gone: the guard drives them low and lets them go, within a second.
    const int64_t killedNs = MonotonicNs();
    kill(program, SIGKILL);
    ASSERT_TRUE(WaitForChild(program, 5000));
    ASSERT_TRUE(WaitFor([&] { return !GpioCallsOf(gpio.Log(), "release", guard).empty(); }, std::chrono::seconds(5)));
    log = gpio.Log();
    const std::vector<GpioCall> zeroes = GpioCallsOf(log, "GPIOHANDLE_SET_LINE_VALUES_IOCTL", guard);
    ASSERT_EQ(zeroes.size(), 2u);
    EXPECT_EQ(LineLevels(zeroes[1].Detail), Motor(0, 0, 0, 0));
    EXPECT_LT(zeroes[1].Ns - killedNs, 1'000'000'000) << "ns after the kill";
    const std::vector<GpioCall> closes = GpioCallsOf(log, "close", guard);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].Detail, "released");
    EXPECT_LT(zeroes[1].Ns, closes[0].Ns);

    // Every line is free again (the sensors' handles died with the program).
    const std::vector<std::string> again = RunProbe(gpio, {"open", "-", "claim", Motors, Sensors});
    EXPECT_EQ(again, (std::vector<std::string>{"open ok", "claim ok"}));
}
