#include "support/ProgramOnPort.h"

#include "core/Clock.h"
#include "core/RobotWiring.h"

#include <fstream>
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
    std::string error;
    ASSERT_TRUE(robot.Start(env, &error)) << error;
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
