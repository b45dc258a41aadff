#include "support/EmulatedAdapter.h"

#include "core/RobotWiring.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {
// How long the emulator gets to make its testbed.
constexpr auto StartWait = std::chrono::seconds(10);

// The default map: motor bits to lines, sensor bits from lines.
struct MotorLine {
    int Bit, Line;
};
constexpr MotorLine Motors[] = {{0, 6}, {1, 1}, {3, 3}, {4, 7}}; // D0 DCD, D1 RXD, D3 CTS, D4 RI
constexpr int RightLineSensorLine = 4; // S4: DTR, low over the line
constexpr int LeftLineSensorLine = 5;  // S5: DSR, low over the line
constexpr int ObstacleSensorLine = 2;  // S7: RTS, high with an obstacle ahead

std::string ReadText(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
} // namespace

std::vector<UsbAccess> ReadUsbLog(const std::string &path)
{
    return ReadDeviceLog<UsbAccess>(path, [](std::istream &fields, UsbAccess &a) {
        std::string directions, high;
        if (!(fields >> a.Ns >> a.Adapter >> a.Client >> a.Pid >> a.Event >> a.Detail >> a.Result >> directions >>
              high))
            return false;
        a.Directions = std::stoi(directions, nullptr, 16);
        a.High = std::stoi(high, nullptr, 16);
        return true;
    });
}

std::vector<UsbAccess> LineChanges(const std::vector<UsbAccess> &log, int pid)
{
    std::vector<UsbAccess> out;
    for (const UsbAccess &a : log)
        if ((a.Event == "write" || a.Event == "mpsse" || a.Event == "bitmode") && a.Ok() &&
            (pid == 0 || a.Pid == pid))
            out.push_back(a);
    return out;
}

EmulatedAdapter::EmulatedAdapter() = default;

EmulatedAdapter::~EmulatedAdapter()
{
    if (commands_ >= 0)
        close(commands_); // the emulator ends at the end of its input
    if (pid_ > 0 && !WaitForChild(pid_, 3000)) {
        kill(pid_, SIGKILL);
        WaitForChild(pid_, 3000);
    }
    // A client still starting as the emulator ended (a guard, say) may have
    // put a socket in the testbed's folder after umockdev emptied it.
    std::error_code ignored;
    if (!testbed_.empty())
        std::filesystem::remove_all(testbed_, ignored);
}

void EmulatedAdapter::Add(const std::string &chip, const std::string &serial, int port)
{
    std::string adapter = chip;
    if (!serial.empty())
        adapter += ",serial=" + serial;
    if (port > 0)
        adapter += ",port=" + std::to_string(port);
    adapters_.push_back(adapter);
}

void EmulatedAdapter::ScriptPins(const std::vector<int> &levels)
{
    std::ofstream out(dir_.filePath("pins.txt").toStdString());
    for (int v : levels)
        out << v << '\n';
    scripted_ = true;
}

void EmulatedAdapter::SerialDriver(bool stuck)
{
    faults_.push_back("--serial-driver");
    faults_.push_back(stuck ? "stuck" : "bound");
}

void EmulatedAdapter::UnplugAfter(int n)
{
    faults_.push_back("--unplug-after");
    faults_.push_back(std::to_string(n));
}

bool EmulatedAdapter::Start()
{
    std::vector<std::string> args{ROBOT_BINARY_DIR "/lib/test/ftdi-emulator", "--log", LogPath()};
    for (const std::string &adapter : adapters_) {
        args.push_back("--adapter");
        args.push_back(adapter);
    }
    if (none_)
        args.push_back("--none");
    if (scripted_) {
        args.push_back("--pins");
        args.push_back(dir_.filePath("pins.txt").toStdString());
    }
    args.insert(args.end(), faults_.begin(), faults_.end());

    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "no pipe for the emulator";
        return false;
    }
    const std::string out = dir_.filePath("emulator.out").toStdString();
    const std::string err = dir_.filePath("emulator.err").toStdString();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    commands_ = input[1];
    if (failed) {
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << args[0];
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + StartWait;
    const std::string prefix = "UMOCKDEV_DIR=";
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string text = ReadText(out);
        const size_t at = text.find(prefix);
        const size_t end = text.find('\n', at);
        if (at != std::string::npos && end != std::string::npos) {
            testbed_ = text.substr(at + prefix.size(), end - at - prefix.size());
            return true;
        }
        if (WaitForChild(pid_, 0)) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the FTDI emulator did not come up: " << Stderr();
    return false;
}

void EmulatedAdapter::Unplug(const std::string &busPath)
{
    Command("unplug " + busPath);
}

void EmulatedAdapter::Replug(const std::string &busPath)
{
    Command("replug " + busPath);
}

void EmulatedAdapter::Command(const std::string &line)
{
    const std::string text = line + "\n";
    if (commands_ < 0 || write(commands_, text.data(), text.size()) != ssize_t(text.size()))
        ADD_FAILURE() << "cannot tell the emulator: " << line;
}

EnvVars EmulatedAdapter::Env() const
{
    return {{"LD_PRELOAD", "libumockdev-preload.so.0"}, {"UMOCKDEV_DIR", testbed_}};
}

std::string EmulatedAdapter::Stderr() const
{
    return ReadText(dir_.filePath("emulator.err").toStdString());
}

int CodeOfLines(int high)
{
    int code = 0;
    for (const MotorLine &m : Motors)
        if (high & (1 << m.Line))
            code |= 1 << m.Bit;
    return code;
}

int LinesOfStatus(int status)
{
    int lines = 0xFF & ~(1 << ObstacleSensorLine); // nothing fires; the other lines read their pull-ups
    if (!(status & RightLineBit))
        lines &= ~(1 << RightLineSensorLine);
    if (!(status & LeftLineBit))
        lines &= ~(1 << LeftLineSensorLine);
    if (!(status & ObstacleBit))
        lines |= 1 << ObstacleSensorLine;
    return lines;
}
