#include "support/EmulatedPort.h"

#include "core/RobotWiring.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::vector<PortCall> ReadPortLog(const std::string &path)
{
    return ReadDeviceLog<PortCall>(path, [](std::istream &fields, PortCall &c) {
        std::string value;
        if (!(fields >> c.Ns >> c.Pid >> c.Call >> c.Fd >> value >> c.Result))
            return false;
        c.Value = value == "-" ? -1 : std::stoi(value);
        return true;
    });
}

std::vector<int> RegisterWrites(const std::vector<PortCall> &log)
{
    std::vector<int> values;
    for (const PortCall &c : log)
        if (c.Call == "PPWDATA" && c.Ok())
            values.push_back(c.Value);
    return values;
}

EmulatedPort::EmulatedPort()
{
    // parport0 at 0x378, its data register (and its ECP block at 0x778), as
    // the kernel lists it.
    const fs::path port = fs::path(Root()) / "proc/sys/dev/parport/parport0";
    fs::create_directories(port);
    std::ofstream(port / "base-addr") << DataPort << "\t1912\n";
    fs::create_directories(fs::path(Root()) / "dev");
}

void EmulatedPort::ScriptStatus(const std::vector<int> &values)
{
    std::ofstream out(dir_.filePath("status.txt").toStdString());
    for (int v : values)
        out << v << '\n';
    scripted_ = true;
}

EnvVars EmulatedPort::Env() const
{
    EnvVars env{
        {"LD_PRELOAD", ROBOT_BINARY_DIR "/lib/test/libparport-emulator.so"},
        {"ROBOT_PARPORT_ROOT", Root()},
        {"PARPORT_EMU_DEVICE", Device()},
        {"PARPORT_EMU_STATE", dir_.filePath("port.state").toStdString()},
        {"PARPORT_EMU_LOG", LogPath()},
    };
    if (scripted_)
        env.emplace_back("PARPORT_EMU_STATUS", dir_.filePath("status.txt").toStdString());
    if (!openError_.empty())
        env.emplace_back("PARPORT_EMU_OPEN_ERROR", openError_);
    if (!claimError_.empty())
        env.emplace_back("PARPORT_EMU_CLAIM_ERROR", claimError_);
    if (claimWaitMs_ > 0)
        env.emplace_back("PARPORT_EMU_CLAIM_WAIT_MS", std::to_string(claimWaitMs_));
    if (!fail_.empty())
        env.emplace_back("PARPORT_EMU_FAIL", fail_);
    return env;
}
