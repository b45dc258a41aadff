#include "support/FakeBoard.h"

#include "core/RobotWiring.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {
const char *const BoardProgram = ROBOT_BINARY_DIR "/lib/test/fake-firmata-board";
const char *const ReadyPrefix = "fake-firmata-board: ready ";
constexpr int ReadyWaitMs = 10000;
} // namespace

long BoardLine::Int(const std::string &key) const
{
    const auto found = Fields.find(key);
    if (found == Fields.end())
        return -1;
    char *end = nullptr;
    const long value = std::strtol(found->second.c_str(), &end, 10);
    return end && *end == '\0' ? value : -1;
}

std::vector<BoardLine> ReadBoardLog(const std::string &path)
{
    return ReadDeviceLog<BoardLine>(path, [](std::istream &words, BoardLine &line) {
        if (!(words >> line.Ns >> line.Dir >> line.What))
            return false;
        for (std::string word; words >> word;) {
            const size_t equals = word.find('=');
            if (equals != std::string::npos)
                line.Fields[word.substr(0, equals)] = word.substr(equals + 1);
        }
        return true;
    });
}

std::vector<BoardLine> LinesOf(const std::vector<BoardLine> &log, const std::string &dir, const std::string &what)
{
    std::vector<BoardLine> out;
    for (const BoardLine &line : log)
        if (line.Is(dir, what))
            out.push_back(line);
    return out;
}

std::vector<int> PortWrites(const std::vector<BoardLine> &log, int port)
{
    std::vector<int> values;
    for (const BoardLine &line : log)
        if (line.Is("in", "port-write") && line.Int("port") == port)
            values.push_back(int(line.Int("value")));
    return values;
}

long FindLine(const std::vector<BoardLine> &log, const std::string &dir, const std::string &what, long from)
{
    for (size_t i = size_t(from + 1); i < log.size(); ++i)
        if (log[i].Is(dir, what))
            return long(i);
    return -1;
}

FakeBoard::~FakeBoard()
{
    Stop();
}

bool FakeBoard::Start(const FakeBoardOptions &options, std::string *error)
{
    auto fail = [&](const std::string &why) {
        if (error)
            *error = why;
        Stop();
        return false;
    };
    std::vector<std::string> args{BoardProgram, "--log", LogPath()};
    auto add = [&](const char *option, const std::string &value) {
        args.push_back(option);
        args.push_back(value);
    };
    if (options.ResetMs > 0)
        add("--reset-ms", std::to_string(options.ResetMs));
    if (options.LatencyUs > 0)
        add("--latency-us", std::to_string(options.LatencyUs));
    if (!options.Firmware.empty())
        add("--firmware", options.Firmware);
    if (!options.Fault.empty())
        add("--fault", options.Fault);
    if (options.UnplugAfter > 0)
        add("--unplug-after", std::to_string(options.UnplugAfter));
    if (options.NoCapabilities)
        args.push_back("--no-capabilities");
    if (options.Bytewise)
        args.push_back("--bytewise");
    if (options.ChattyBytesPerS > 0)
        add("--chatty", std::to_string(options.ChattyBytesPerS));
    if (!options.Script.empty()) {
        const std::string script = dir_.filePath("script.txt").toStdString();
        std::ofstream(script) << options.Script;
        add("--script", script);
    }

    // Its standard input a socket (a write to a board that has gone raises no
    // SIGPIPE), its standard output a pipe for the ready line.
    int control[2], output[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0)
        return fail(std::string("socketpair: ") + std::strerror(errno));
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(control[0]);
        close(control[1]);
        return fail(std::string("pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, control[1], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, BoardProgram, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(control[1]);
    close(output[1]);
    control_ = control[0];
    if (spawned != 0) {
        pid_ = -1;
        close(output[0]);
        return fail(std::string("cannot start ") + BoardProgram + ": " + std::strerror(spawned));
    }

    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ReadyWaitMs);
    while (said.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{output[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buffer[256];
        const ssize_t n = read(output[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        said.append(buffer, size_t(n));
    }
    close(output[0]);
    const size_t at = said.find(ReadyPrefix);
    const size_t end = said.find('\n');
    if (at != 0 || end == std::string::npos)
        return fail("the fake board did not get ready: \"" + said + "\"");
    device_ = said.substr(std::strlen(ReadyPrefix), end - std::strlen(ReadyPrefix));
    return true;
}

void FakeBoard::Command(const std::string &line)
{
    if (control_ < 0)
        return;
    const std::string text = line + "\n";
    (void)send(control_, text.data(), text.size(), MSG_NOSIGNAL);
}

void FakeBoard::SetPin(int pin, bool high)
{
    Command("pin " + std::to_string(pin) + (high ? " 1" : " 0"));
}

void FakeBoard::SendRaw(const std::vector<uint8_t> &bytes)
{
    std::string line = "send";
    char hex[4];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        line += std::string(" ") + hex;
    }
    Command(line);
}

void FakeBoard::Unplug()
{
    Command("unplug");
    if (pid_ > 0 && WaitForChild(pid_, 5000))
        pid_ = -1;
}

bool FakeBoard::WaitForLog(const std::function<bool(const std::vector<BoardLine> &)> &done, int ms) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (done(Log()))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void FakeBoard::Stop()
{
    if (pid_ > 0) {
        Command("quit");
        if (!WaitForChild(pid_, 2000)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    if (control_ >= 0) {
        close(control_);
        control_ = -1;
    }
}

std::vector<std::pair<int, bool>> PinsOfStatus(int status)
{
    using namespace defaultboard;
    return {{S4, (status & RightLineBit) != 0}, {S5, (status & LeftLineBit) != 0}, {S7, !(status & ObstacleBit)}};
}
