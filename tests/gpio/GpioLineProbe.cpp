// Drives the GPIO device (portio/gpio) step by step, as the port library does,
// in a process of its own, so that the tests can put the emulated GPIO chip
// under it (LD_PRELOAD) with any fault switch and kill it where they like.
//
// gpio-line-probe STEP...    one output line per step, in order:
//   open CHIP                Open with the map setting `chip` ("-": none, the default)
//   find NAME                FindLine                   "find NAME INDEX"
//   claim OUT IN             Claim: OUT a comma list of motor line names ("-"
//                            for none), IN of sensor lines as
//                            NAME:low|high:up|down|none|asis ("-" for none)
//   write N                  Write (bit i: the i-th motor line)
//   read                     Read                       "read FIRING"
//   guard                    starts a guard process (this program again) and
//                            gives it OrderForGuard's descriptor and payload
//                                                       "guard PID"
//   guard-stopped            the guard runs the routine for a stopped program
//   hold                     says "holding" and waits to be killed
//   close                    Close
// A step that succeeds says "<step> ok" unless shown above; one that fails
//   "<step> problem<TAB><key><TAB><lasting 0|1><TAB><text><TAB><fix>"
// and the probe goes on. The guard runs the routine for a program that has
// gone when this process has.
#include "portio/gpio/GpioLines.h"
#include "portio/kit/LineDevice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string &text, char by)
{
    std::vector<std::string> parts;
    if (text == "-")
        return parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, by))
        parts.push_back(part);
    return parts;
}

void Say(const std::string &line) { std::cout << line << std::endl; }

void SayProblem(const std::string &step, const portkit::LineProblem &why)
{
    Say(step + " problem\t" + why.Key + "\t" + (why.Lasting ? "1" : "0") + "\t" + why.Text + "\t" + why.Fix);
}

// ---- The guard: one order, then "stopped" requests until the program goes ----

bool SendOrder(int link, int fd, const std::string &payload)
{
    iovec part{const_cast<char *>(payload.data()), payload.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    return sendmsg(link, &message, MSG_NOSIGNAL) >= 0;
}

int RunGuard(int link)
{
    char buffer[512];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{buffer, sizeof buffer};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(link, &message, MSG_CMSG_CLOEXEC);
    cmsghdr *rights = CMSG_FIRSTHDR(&message);
    if (n < 0 || !rights || rights->cmsg_type != SCM_RIGHTS)
        return 2;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(rights), sizeof fd);
    const std::string payload(buffer, size_t(n));
    for (;;) {
        char request[16];
        const ssize_t got = recv(link, request, sizeof request, 0);
        if (got <= 0)
            break; // the program has gone
        ZeroGpioFromGuard(fd, payload, portguard::Situation::ProgramStopped);
        (void)send(link, "done", 4, MSG_NOSIGNAL);
    }
    // As port-guard: the routine, then its copy closed.
    ZeroGpioFromGuard(fd, payload, portguard::Situation::ProgramGone);
    close(fd);
    return 0;
}

portkit::Pull PullOf(const std::string &word)
{
    if (word == "up")
        return portkit::Pull::Up;
    if (word == "down")
        return portkit::Pull::Down;
    if (word == "none")
        return portkit::Pull::None;
    return portkit::Pull::AsIs;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--guard")
        return RunGuard(std::atoi(argv[2]));

    std::unique_ptr<portkit::LineDevice> device = portkit::MakeLineDevice();
    int link = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        portkit::LineProblem why;
        if (step == "open") {
            portkit::PinMap map;
            if (const std::string chip = next(); chip != "-")
                map.Settings["chip"] = chip;
            if (device->Open(map, why))
                Say("open ok");
            else
                SayProblem(step, why);
        } else if (step == "find") {
            const std::string name = next();
            std::string reason;
            const std::optional<int> index = device->FindLine(name, reason);
            Say(index ? "find " + name + " " + std::to_string(*index) : "find " + name + " none\t" + reason);
        } else if (step == "claim") {
            std::vector<portkit::OutputLine> outputs;
            std::vector<portkit::InputLine> inputs;
            std::string reason;
            bool found = true;
            for (const std::string &name : Split(next(), ',')) {
                const std::optional<int> index = device->FindLine(name, reason);
                found = found && index;
                outputs.push_back({index.value_or(-1)});
            }
            for (const std::string &entry : Split(next(), ',')) {
                const std::vector<std::string> parts = Split(entry, ':');
                const std::optional<int> index = device->FindLine(parts.at(0), reason);
                found = found && index;
                inputs.push_back({index.value_or(-1), parts.size() > 1 && parts[1] == "low",
                                  PullOf(parts.size() > 2 ? parts[2] : "asis")});
            }
            if (!found)
                Say("claim unknown-line\t" + reason);
            else if (device->Claim(outputs, inputs, why))
                Say("claim ok");
            else
                SayProblem(step, why);
        } else if (step == "write") {
            if (device->Write(uint32_t(std::strtoul(next().c_str(), nullptr, 0)), why))
                Say("write ok");
            else
                SayProblem(step, why);
        } else if (step == "read") {
            uint32_t firing = 0;
            if (device->Read(firing, why))
                Say("read " + std::to_string(firing));
            else
                SayProblem(step, why);
        } else if (step == "guard") {
            const portkit::GuardOrder order = device->OrderForGuard();
            int pair[2];
            if (order.Kind != portguard::GpioKind || order.Fd < 0 ||
                socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
                Say("guard none");
                continue;
            }
            const pid_t pid = fork();
            if (pid == 0) {
                const int end = dup(pair[1]); // without close-on-exec
                execl("/proc/self/exe", argv[0], "--guard", std::to_string(end).c_str(), nullptr);
                _exit(127);
            }
            close(pair[1]);
            link = pair[0];
            SendOrder(link, order.Fd, order.Payload);
            Say("guard " + std::to_string(pid) + " " + order.Payload);
        } else if (step == "guard-stopped") {
            char answer[8] = {};
            const bool done = link >= 0 && send(link, "stopped", 7, MSG_NOSIGNAL) > 0 &&
                              recv(link, answer, sizeof answer, 0) == 4;
            Say(done ? "guard-stopped ok" : "guard-stopped failed");
        } else if (step == "hold") {
            Say("holding");
            for (;;)
                pause();
        } else if (step == "close") {
            device->Close();
            Say("close ok");
        } else {
            std::cerr << "gpio-line-probe: unknown step " << step << "\n";
            return 2;
        }
    }
    return 0;
}
