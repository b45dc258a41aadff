#include "support/ProgramOnPort.h"
#include "TextSearch.h"

#include "core/RobotWiring.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {
// A library looks again for a device it could not use once a second has
// passed since the last look.
constexpr auto NextLook = 1100ms;
// A drive that finds no device ends at once: its error shows within this
// long of the click (a generous bound; the library waits 0.3 s at most).
constexpr auto DriveEndsWithin = 2500ms;
} // namespace

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
    } else {
        // Not there: the window's status line says so (each change of it is
        // also written on standard error).
        ASSERT_TRUE(WaitFor([&] {
            const std::vector<std::string> lines = robot.StderrLines("robot: port: ");
            return !lines.empty() && Has(lines.back(), ": absent (");
        })) << robot.Stderr();
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

ProgramOnPort::ProgramOnPort(Library library) : device_(MakePortDevice(library, *this)) {}

ProgramOnPort::~ProgramOnPort()
{
    ending_ = true;
    if (lossWatch_.joinable())
        lossWatch_.join();
}

std::string ProgramOnPort::WithDevice(std::string text) const
{
    const std::string mark = "<device>";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
        text.replace(at, mark.size(), Device());
    return text;
}

void ProgramOnPort::WatchForLoss(size_t reads)
{
    // The adapter and the board are pulled out from outside, as a hand does,
    // while the program runs its loop.
    lossWatch_ = std::thread([this, reads] {
        while (!ending_) {
            if (StatusReads() >= reads) {
                device_->PullOut();
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
    add(device_->Start());
    add(more);
    // An exception, not an assertion: a failed start must end the test
    // here, not carry on into a program that is not there.
    std::string error;
    if (!robot.Start(env, &error))
        throw std::runtime_error("the program did not start: " + error);
    device_->Claimed(faulty);
    if (pullOutAfterReads_ > 0)
        WatchForLoss(pullOutAfterReads_);
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

std::vector<DeviceCall> ProgramOnPort::CallsOfOthers(int64_t sinceNs) const
{
    std::vector<DeviceCall> out;
    for (const DeviceCall &c : DeviceCalls())
        if (c.Pid >= 0 ? c.Pid != robot.Pid() : c.Ns >= sinceNs)
            out.push_back(c);
    return out;
}

std::vector<std::string> ProgramOnPort::Shown() const
{
    std::vector<std::string> shown;
    for (const std::string &line : robot.StderrLines("robot: "))
        if (line.rfind("robot: motor pulses run at", 0) != 0 && line.rfind("robot: port: ", 0) != 0)
            shown.push_back(line);
    return shown;
}
