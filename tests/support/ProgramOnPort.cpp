#include "support/ProgramOnPort.h"

#include "core/Clock.h"
#include "core/RobotWiring.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

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

void ProgramOnPort::ScriptStatus(const std::vector<int> &values)
{
    port.ScriptStatus(values);
    std::ofstream out(port.Root() + "/../recording-status.txt");
    for (int v : values)
        out << v << '\n';
}

void ProgramOnPort::Start(const EnvVars &more)
{
    EnvVars env{{"ROBOT_PORT_TRACE", TracePath()}};
    if (library_ == Library::Hardware) {
        for (const auto &var : port.Env())
            env.push_back(var);
    } else {
        env.emplace_back("LD_LIBRARY_PATH", ROBOT_BINARY_DIR "/lib/recording");
        env.emplace_back("ROBOT_STATUS_SCRIPT", port.Root() + "/../recording-status.txt");
    }
    for (const auto &var : more)
        env.push_back(var);
    // An exception, not an assertion: a failed start must end the test
    // here, not carry on into a program that is not there.
    std::string error;
    if (!robot.Start(env, &error))
        throw std::runtime_error("the program did not start: " + error);
}

std::vector<Write> ProgramOnPort::Writes() const
{
    std::vector<Write> out;
    if (library_ == Library::Hardware) {
        for (const PortCall &c : port.Log())
            if (c.Call == "PPWDATA" && c.Ok())
                out.push_back({c.Ns, c.Value});
    } else {
        for (const PortAccess &a : ReadTrace(TracePath()))
            if (a.kind == 'W' && a.port == DataPort)
                out.push_back({a.ns, a.value});
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

size_t ProgramOnPort::StatusReads() const
{
    if (library_ == Library::Hardware)
        return CallsOf(port.Log(), "PPRSTATUS").size();
    size_t n = 0;
    for (const PortAccess &a : ReadTrace(TracePath()))
        n += a.kind == 'R' && a.port == StatusPort;
    return n;
}
