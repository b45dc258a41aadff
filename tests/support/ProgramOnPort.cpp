#include "support/ProgramOnPort.h"
#include "TextSearch.h"

#include "core/RobotWiring.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {
// A library looks again for a device it could not use once a second has
// passed since the last look.
constexpr auto NextLook = 1100ms;
// A drive that finds no device ends at once: its error shows within this
// long of the click (a generous bound; the library waits 0.3 s at most).
constexpr auto DriveEndsWithin = 2500ms;

// The devices' faults in the middle of the first sensor loop (LoseDeviceInFirstLoop).
constexpr int ParportFailingStatusRead = 4;  // the port holds 18 by then
constexpr int GpioAccessesBeforeGone = 120;  // opening and claiming take about 75, a status read two
constexpr size_t AdapterReadsBeforeLoss = 5;
constexpr size_t BoardReadsBeforeLoss = 15;

} // namespace

std::string LibraryName(Library library)
{
    switch (library) {
    case Library::Recording: return "Recording";
    case Library::Hardware: return "Hardware";
    case Library::Ftdi232R: return "Ftdi232R";
    case Library::Ftdi232H: return "Ftdi232H";
    case Library::Gpio: return "Gpio";
    case Library::Firmata: return "Firmata";
    }
    return "Unknown";
}

std::string LibraryTestName(const testing::TestParamInfo<Library> &info)
{
    return LibraryName(info.param);
}

bool WaitFor(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool Settled(const std::string &tracePath)
{
    size_t last = ReadTrace(tracePath).size();
    auto since = std::chrono::steady_clock::now();
    return WaitFor([&] {
        const size_t now = ReadTrace(tracePath).size();
        if (now != last) {
            last = now;
            since = std::chrono::steady_clock::now();
        }
        return std::chrono::steady_clock::now() - since > 500ms;
    });
}

int RegisterAt(const std::vector<Write> &writes, int64_t ns)
{
    int value = 0;
    for (const Write &w : writes)
        if (w.Ns <= ns)
            value = w.Value;
    return value;
}

bool ZeroFrom(const std::vector<Write> &writes, int64_t ns)
{
    if (RegisterAt(writes, ns) != 0)
        return false;
    for (const Write &w : writes)
        if (w.Ns > ns && w.Value != 0)
            return false;
    return true;
}

char ProcessState(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    const size_t end = text.rfind(')');
    return end == std::string::npos || end + 2 >= text.size() ? 0 : text[end + 2];
}

pid_t GuardOf(pid_t program)
{
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::vector<std::string> args;
        for (std::string arg; std::getline(in, arg, '\0');)
            args.push_back(arg);
        const std::string suffix = "port-guard";
        if (args.size() >= 2 && args[0].size() >= suffix.size() &&
            args[0].compare(args[0].size() - suffix.size(), suffix.size(), suffix) == 0 &&
            args[1] == std::to_string(program))
            return static_cast<pid_t>(std::stol(name));
    }
    return -1;
}

std::vector<std::string> Texts(const std::vector<DeviceCall> &calls)
{
    std::vector<std::string> texts;
    for (const DeviceCall &c : calls)
        texts.push_back(c.Text());
    return texts;
}

std::string Listing(const std::vector<DeviceCall> &calls)
{
    std::string out;
    for (const DeviceCall &c : calls)
        out += std::to_string(c.Ns) + " " + std::to_string(c.Pid) + " " + c.Text() + (c.Ok ? "\n" : " (failed)\n");
    return out;
}

void ExpectDrivesEndWithoutTheDevice(ProgramOnPort &program, const std::vector<std::string> &said, bool absent)
{
    RobotProcess &robot = program.robot;
    const auto hasSaid = [&](const std::string &text) {
        for (const std::string &part : said)
            EXPECT_TRUE(Has(text, program.WithDevice(part))) << part << "\n" << text;
    };
    // The library's one line, in the window too unless the device is simply
    // not there, before anything is driven.
    ASSERT_TRUE(WaitFor([&] { return !program.Said().empty(); })) << robot.Stderr();
    if (!absent) {
        ASSERT_TRUE(WaitFor([&] { return !program.Shown().empty(); })) << robot.Stderr();
        ASSERT_TRUE(robot.DismissMessageBox());
        hasSaid(program.Shown()[0]);
    }
    robot.Type("Edit3", "50");
    for (const char *button : {"Button2", "Button2", "Button22"}) {
        SCOPED_TRACE(button);
        const size_t before = program.Shown().size();
        const auto clicked = std::chrono::steady_clock::now();
        robot.Click(button);
        ASSERT_TRUE(WaitFor([&] { return program.Shown().size() > before; }, DriveEndsWithin)) << robot.Stderr();
        EXPECT_LT(std::chrono::steady_clock::now() - clicked, DriveEndsWithin) << "the drive waited for the device";
        const std::string shown = program.Shown().back();
        EXPECT_TRUE(Has(shown, "The motors cannot be driven: ")) << shown;
        hasSaid(shown);
        ASSERT_TRUE(robot.DismissMessageBox());
        std::this_thread::sleep_for(NextLook); // the library looks for the device again
    }
    ASSERT_TRUE(Settled(program.TracePath()));

    EXPECT_EQ(program.LineAccesses(), 0u);
    EXPECT_TRUE(program.Writes().empty());
    EXPECT_TRUE(program.StatusBytes().empty()) << "the follower read a sensor";
    const std::vector<std::string> lines = program.Said();
    ASSERT_EQ(lines.size(), 1u) << robot.Stderr();
    hasSaid(lines[0]);
    EXPECT_TRUE(Has(lines[0], "No drive runs until it can be used.") || Has(lines[0], "No drive runs until it is free."))
        << lines[0];
    EXPECT_EQ(program.Shown().size(), absent ? 3u : 4u) << robot.Stderr();
    EXPECT_TRUE(robot.Running());
}

void ExpectEachFaultEndsEveryDrive(Library library, const std::vector<DeviceFault> &faults)
{
    for (const DeviceFault &fault : faults) {
        SCOPED_TRACE(fault.Name);
        ProgramOnPort program(library);
        fault.SetUp(program);
        program.Start(fault.Env, true);
        ExpectDrivesEndWithoutTheDevice(program, fault.Said, fault.Absent);
        if (fault.Then)
            fault.Then(program);
    }
}

void StartDriving(ProgramOnPort &program, bool loop, int pulseMs)
{
    if (loop) {
        program.robot.Click("Button7");
    } else {
        program.robot.Type("Edit3", std::to_string(pulseMs));
        program.robot.Click("Button2");
    }
    if (!WaitFor([&] {
            const std::vector<int> values = program.Values();
            return !values.empty() && values.back() == MotorForwardCode;
        }))
        throw std::runtime_error("the motors did not start");
}

namespace {
// What the program and its guard did to an adapter's lines, each claim's
// set-up told apart from the program's own writes and reads.
struct AdapterTraffic {
    std::vector<Write> Writes;
    size_t Reads = 0;
};

AdapterTraffic TrafficOf(const std::vector<UsbAccess> &log, int readerPid)
{
    AdapterTraffic traffic;
    std::map<int, bool> setUpWrite, setUpRead; // per client
    for (const UsbAccess &a : log) {
        if (!a.Ok())
            continue;
        if (a.Event == "bitmode") {
            // FT232R: bit-bang with no outputs, then the set-up's 0;
            // FT232H: MPSSE, then the set-up's 0 and its check.
            setUpWrite[a.Client] = a.Detail == "mode=01,mask=00" || a.Detail.rfind("mode=02", 0) == 0;
            setUpRead[a.Client] = a.Detail.rfind("mode=02", 0) == 0;
        } else if (a.Event == "write" && a.Directions != 0) {
            traffic.Writes.push_back({a.Ns, CodeOfLines(a.High)});
        } else if (a.Event == "write") {
            setUpWrite[a.Client] = false;
        } else if (a.Event == "mpsse" && a.Detail.find("set-low") != std::string::npos) {
            if (!setUpWrite[a.Client])
                traffic.Writes.push_back({a.Ns, CodeOfLines(a.High)});
            setUpWrite[a.Client] = false;
        } else if (a.Event == "mpsse" && a.Detail.find("get-low") != std::string::npos) {
            if (!setUpRead[a.Client] && (readerPid == 0 || a.Pid == readerPid))
                ++traffic.Reads;
            setUpRead[a.Client] = false;
        } else if (a.Event == "read-pins" && (readerPid == 0 || a.Pid == readerPid)) {
            ++traffic.Reads;
        }
    }
    return traffic;
}

// The board's port writes of the motor pins' port read back as codes through
// `motorPins`. The claim's write before the pin modes is not one of the
// program's.
std::vector<Write> BoardWrites(const std::vector<BoardLine> &log, const std::array<int, 4> &motorPins)
{
    const int port = motorPins[0] / 8;
    const int dataBits[] = {0, 1, 3, 4}; // D0, D1, D3, D4
    std::vector<Write> out;
    for (size_t i = 0; i < log.size(); ++i) {
        if (!log[i].Is("in", "port-write") || log[i].Int("port") != port)
            continue;
        size_t j = i + 1; // the host's next message
        while (j < log.size() && log[j].Dir != "in")
            ++j;
        if (j < log.size() && log[j].What == "pin-mode")
            continue;
        const long value = log[i].Int("value");
        int code = 0;
        for (size_t k = 0; k < 4; ++k)
            if (value & (1 << (motorPins[k] % 8)))
                code |= 1 << dataBits[k];
        out.push_back({log[i].Ns, code});
    }
    return out;
}
} // namespace

ProgramOnPort::~ProgramOnPort()
{
    ending_ = true;
    if (lossWatch_.joinable())
        lossWatch_.join();
}

std::string ProgramOnPort::Device() const
{
    if (library_ == Library::Hardware)
        return port.Device();
    if (library_ == Library::Firmata)
        return board.Device();
    return "";
}

std::string ProgramOnPort::WithDevice(std::string text) const
{
    const std::string mark = "<device>";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
        text.replace(at, mark.size(), Device());
    return text;
}

void ProgramOnPort::ScriptStatus(const std::vector<int> &values)
{
    switch (library_) {
    case Library::Recording: {
        std::ofstream out(Dir() + "/recording-status.txt");
        for (int v : values)
            out << v << '\n';
        break;
    }
    case Library::Hardware:
        port.ScriptStatus(values);
        break;
    case Library::Ftdi232R:
    case Library::Ftdi232H: {
        std::vector<int> levels;
        // The claim's check of an FT232H reads the lines once before the program does.
        if (library_ == Library::Ftdi232H)
            levels.push_back(LinesOfStatus(StatusIdle));
        for (int status : values)
            levels.push_back(LinesOfStatus(status));
        usb.ScriptPins(levels);
        break;
    }
    case Library::Gpio:
        gpio.ScriptStatus(values);
        break;
    case Library::Firmata:
        throw std::logic_error("the board's sensors cannot be scripted read by read; use SetStatus");
    }
}

void ProgramOnPort::SetStatus(int status)
{
    if (library_ != Library::Firmata)
        throw std::logic_error("only the board's sensors are set while the program runs; use ScriptStatus");
    for (const auto &[pin, high] : PinsOfStatus(status))
        board.SetPin(pin, high);
}

void ProgramOnPort::LoseDeviceInFirstLoop()
{
    switch (library_) {
    case Library::Recording:
        throw std::logic_error("the recording library has no device to lose");
    case Library::Hardware:
        port.FailFrom("PPRSTATUS", ParportFailingStatusRead);
        break;
    case Library::Gpio:
        gpio.GoneAfter(GpioAccessesBeforeGone);
        break;
    case Library::Ftdi232R:
    case Library::Ftdi232H:
        pullOutAfterReads_ = AdapterReadsBeforeLoss;
        break;
    case Library::Firmata:
        pullOutAfterReads_ = BoardReadsBeforeLoss;
        break;
    }
}

void ProgramOnPort::WatchForLoss(size_t reads)
{
    // The adapter and the board are pulled out from outside, as a hand does,
    // while the program runs its loop.
    lossWatch_ = std::thread([this, reads] {
        while (!ending_) {
            if (StatusReads() >= reads) {
                if (library_ == Library::Firmata)
                    board.Unplug();
                else
                    usb.Unplug();
                return;
            }
            std::this_thread::sleep_for(5ms);
        }
    });
}

void ProgramOnPort::Start(const EnvVars &more, bool faulty)
{
    EnvVars env{{"ROBOT_PORT_TRACE", TracePath()}};
    auto add = [&env](const EnvVars &vars) { env.insert(env.end(), vars.begin(), vars.end()); };
    if (!pinMap.empty()) {
        const std::string path = Dir() + "/robot-pins.conf";
        std::ofstream(path) << pinMap;
        env.emplace_back("ROBOT_PINS", path);
    }
    switch (library_) {
    case Library::Recording:
        env.emplace_back("LD_LIBRARY_PATH", ROBOT_BINARY_DIR "/lib/recording");
        if (std::filesystem::exists(Dir() + "/recording-status.txt"))
            env.emplace_back("ROBOT_STATUS_SCRIPT", Dir() + "/recording-status.txt");
        break;
    case Library::Hardware:
        add(port.Env()); // the hardware library is the one next to the program
        break;
    case Library::Ftdi232R:
    case Library::Ftdi232H:
        if (usb.TestbedDir().empty()) {
            // Unscripted, the emulated chip's inputs read high: the obstacle
            // sensor's line would say an obstacle is ahead.
            if (!usb.Scripted())
                ScriptStatus({StatusIdle});
            if (!usb.Chosen())
                usb.Add(library_ == Library::Ftdi232H ? "FT232H" : "FT232R");
            if (!usb.Start())
                throw std::runtime_error("the FTDI emulator did not start");
        }
        env.emplace_back("LD_LIBRARY_PATH", ROBOT_BINARY_DIR "/lib/ftdi");
        add(usb.Env());
        break;
    case Library::Gpio:
        env.emplace_back("LD_LIBRARY_PATH", ROBOT_BINARY_DIR "/lib/gpio");
        add(gpio.Env());
        break;
    case Library::Firmata:
        if (board.Device().empty()) {
            std::string error;
            if (!board.Start(boardOptions, &error))
                throw std::runtime_error("the fake board did not start: " + error);
        }
        env.emplace_back("LD_LIBRARY_PATH", ROBOT_BINARY_DIR "/lib/firmata");
        add(board.Env());
        break;
    }
    add(more);
    // An exception, not an assertion: a failed start must end the test
    // here, not carry on into a program that is not there.
    std::string error;
    if (!robot.Start(env, &error))
        throw std::runtime_error("the program did not start: " + error);
    // The claim's last step: the board reports the sensors' port.
    const auto claimed = [](const std::vector<BoardLine> &log) {
        const long on = FindLine(log, "in", "report-port");
        return on >= 0 && FindLine(log, "out", "report", on) >= 0;
    };
    if (library_ == Library::Firmata && !faulty && !board.WaitForLog(claimed, 10000))
        throw std::runtime_error("the program did not claim the board");
    if (pullOutAfterReads_ > 0)
        WatchForLoss(pullOutAfterReads_);
}

std::vector<Write> ProgramOnPort::Writes() const
{
    std::vector<Write> out;
    switch (library_) {
    case Library::Recording:
        return TracedWrites();
    case Library::Hardware:
        for (const PortCall &c : port.Log())
            if (c.Call == "PPWDATA" && c.Ok())
                out.push_back({c.Ns, c.Value});
        break;
    case Library::Ftdi232R:
    case Library::Ftdi232H:
        return TrafficOf(usb.Log(), 0).Writes;
    case Library::Gpio:
        for (const GpioCall &c : GpioCallsOf(gpio.Log(), "GPIOHANDLE_SET_LINE_VALUES_IOCTL"))
            if (c.Ok())
                out.push_back({c.Ns, DefaultMapCode(LineLevels(c.Detail))});
        break;
    case Library::Firmata:
        return BoardWrites(board.Log(), boardMotorPins);
    }
    return out;
}

std::vector<int> ProgramOnPort::Values() const
{
    std::vector<int> values;
    for (const Write &w : Writes())
        values.push_back(w.Value);
    return values;
}

std::vector<Write> ProgramOnPort::TracedWrites() const
{
    std::vector<Write> out;
    for (const PortAccess &a : ReadTrace(TracePath()))
        if (a.kind == 'W' && a.port == DataPort)
            out.push_back({a.ns, a.value});
    return out;
}

std::vector<int> ProgramOnPort::StatusBytes() const
{
    std::vector<int> bytes;
    for (const PortAccess &a : ReadTrace(TracePath()))
        if (a.kind == 'R' && a.port == StatusPort)
            bytes.push_back(a.value);
    return bytes;
}

size_t ProgramOnPort::StatusReads() const
{
    switch (library_) {
    case Library::Recording:
    case Library::Firmata:
        return StatusBytes().size();
    case Library::Hardware:
        return CallsOf(port.Log(), "PPRSTATUS").size();
    case Library::Ftdi232R:
    case Library::Ftdi232H:
        return TrafficOf(usb.Log(), robot.Pid()).Reads;
    case Library::Gpio: { // one read of the line sensors' request per status read
        size_t n = 0;
        for (const GpioCall &c : GpioCallsOf(gpio.Log(), "GPIOHANDLE_GET_LINE_VALUES_IOCTL"))
            n += c.Ok() && LineLevels(c.Detail).count(defaultgpio::S5);
        return n;
    }
    }
    return 0;
}

std::vector<DeviceCall> ProgramOnPort::DeviceCalls() const
{
    std::vector<DeviceCall> calls;
    switch (library_) {
    case Library::Recording:
        break;
    case Library::Hardware:
        for (const PortCall &c : port.Log())
            calls.push_back({c.Ns, c.Pid, c.Call, c.Value < 0 ? "" : std::to_string(c.Value), c.Ok()});
        break;
    case Library::Ftdi232R:
    case Library::Ftdi232H:
        for (const UsbAccess &a : usb.Log())
            calls.push_back({a.Ns, a.Pid, a.Event, a.Detail == "-" ? "" : a.Detail, a.Ok()});
        break;
    case Library::Gpio:
        for (const GpioCall &c : gpio.Log())
            calls.push_back({c.Ns, c.Pid, c.Call, c.Detail == "-" ? "" : c.Detail, c.Ok()});
        break;
    case Library::Firmata:
        // The host's messages and what happened to the board; not what it sent.
        for (const BoardLine &line : board.Log()) {
            if (line.Dir == "out")
                continue;
            std::string detail;
            for (const auto &[key, value] : line.Fields)
                if (key != "bytes")
                    detail += (detail.empty() ? "" : " ") + key + "=" + value;
            calls.push_back({line.Ns, -1, line.What, detail, true});
        }
        break;
    }
    return calls;
}

std::vector<DeviceCall> ProgramOnPort::CallsOfOthers(int64_t sinceNs) const
{
    std::vector<DeviceCall> out;
    for (const DeviceCall &c : DeviceCalls())
        if (c.Pid >= 0 ? c.Pid != robot.Pid() : c.Ns >= sinceNs)
            out.push_back(c);
    return out;
}

size_t ProgramOnPort::LineAccesses() const
{
    switch (library_) {
    case Library::Recording:
        return 0;
    case Library::Hardware:
        return CallsOf(port.Log(), "PPWDATA").size() + CallsOf(port.Log(), "PPRSTATUS").size();
    case Library::Ftdi232R:
    case Library::Ftdi232H:
        return LineChanges(usb.Log()).size();
    case Library::Gpio:
        return GpioCallsOf(gpio.Log(), "GPIO_GET_LINEHANDLE_IOCTL").size();
    case Library::Firmata:
        return LinesOf(board.Log(), "in", "port-write").size();
    }
    return 0;
}

std::vector<std::string> ProgramOnPort::Shown() const
{
    std::vector<std::string> shown;
    for (const std::string &line : robot.StderrLines("robot: "))
        if (line.rfind("robot: motor pulses run at", 0) != 0)
            shown.push_back(line);
    return shown;
}
