// ftdi-line-check: the FTDI port library's line device and guard routine,
// driven step by step as the kit drives them, for the emulator's tests (run
// under umockdev's preload against ftdi-emulator). Prints one line per step.
//
//   ftdi-line-check [--adapter SERIAL|PATH] [--outputs L,L,..] [--inputs L:low|high[:up|down|none],..] STEP...
//
// The lines are named as a pin map names them. Steps:
//   open            Open (with --adapter as the map's "adapter" setting)
//                     -> "open ok" | "open fail <key> <lasting 0|1> <text> | <fix>"
//   claim           FindLine for every line, then Claim
//                     -> "claim ok" | "line fail <why>" | "claim fail ..."
//   write:N         Write(N): bit i drives output i  -> "write ok" | "write fail ..."
//   read            Read                             -> "read <firing>" | "read fail ..."
//   order           OrderForGuard                    -> "order <kind> <fd> <payload>"
//   cut             AfterGuardCut                    -> "cut"
//   close           Close                            -> "close"
//   sleep:MS        waits                            -> nothing
//   hold            prints "holding" and waits until killed
//   guard-stopped:PAYLOAD, guard-gone:PAYLOAD
//                   the guard's routine, as the port guard runs it -> "guard done <ms>"
// Exit status 0 once every step ran (a failing step is printed, not fatal);
// 2 for wrong usage.
#include "core/Clock.h"
#include "portio/ftdi/FtdiGuard.h"
#include "portio/kit/LineDevice.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string &text, char by)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, by))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

void Print(const char *step, const portkit::LineProblem &why)
{
    std::printf("%s fail %s %d %s | %s\n", step, why.Key.c_str(), why.Lasting ? 1 : 0, why.Text.c_str(),
                why.Fix.c_str());
}

struct SensorLine {
    std::string Name;
    bool ActiveLow = true;
    portkit::Pull LinePull = portkit::Pull::AsIs;
};

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    portkit::PinMap map;
    map.Source = "ftdi-line-check";
    std::vector<std::string> outputNames{"RXD", "CTS", "DCD", "RI"};
    std::vector<SensorLine> sensorLines{{"DSR", true, portkit::Pull::AsIs},
                                      {"DTR", true, portkit::Pull::AsIs},
                                      {"RTS", false, portkit::Pull::AsIs}};
    std::vector<std::string> steps;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--adapter" || arg == "--outputs" || arg == "--inputs") && i + 1 >= argc) {
            std::fprintf(stderr, "ftdi-line-check: %s needs a value\n", arg.c_str());
            return 2;
        }
        if (arg == "--adapter") {
            map.Settings["adapter"] = argv[++i];
        } else if (arg == "--outputs") {
            outputNames = Split(argv[++i], ',');
        } else if (arg == "--inputs") {
            sensorLines.clear();
            for (const std::string &text : Split(argv[++i], ',')) {
                const std::vector<std::string> parts = Split(text, ':');
                SensorLine in;
                in.Name = parts[0];
                in.ActiveLow = parts.size() < 2 || parts[1] != "high";
                if (parts.size() > 2)
                    in.LinePull = parts[2] == "up"     ? portkit::Pull::Up
                                  : parts[2] == "down" ? portkit::Pull::Down
                                                       : portkit::Pull::None;
                sensorLines.push_back(in);
            }
        } else {
            steps.push_back(arg);
        }
    }

    std::unique_ptr<portkit::LineDevice> device = portkit::MakeLineDevice();
    for (const std::string &step : steps) {
        portkit::LineProblem why;
        if (step == "open") {
            if (device->Open(map, why))
                std::printf("open ok\n");
            else
                Print("open", why);
        } else if (step == "claim") {
            std::vector<portkit::OutputLine> outputs;
            std::vector<portkit::InputLine> inputs;
            std::string problem;
            bool found = true;
            for (const std::string &name : outputNames)
                if (const std::optional<int> line = device->FindLine(name, problem))
                    outputs.push_back({*line});
                else
                    found = false;
            for (const SensorLine &sensor : sensorLines)
                if (const std::optional<int> line = device->FindLine(sensor.Name, problem))
                    inputs.push_back({*line, sensor.ActiveLow, sensor.LinePull});
                else
                    found = false;
            if (!found)
                std::printf("line fail %s\n", problem.c_str());
            else if (device->Claim(outputs, inputs, why))
                std::printf("claim ok\n");
            else
                Print("claim", why);
        } else if (step.rfind("write:", 0) == 0) {
            if (device->Write(uint32_t(std::strtoul(step.c_str() + 6, nullptr, 0)), why))
                std::printf("write ok\n");
            else
                Print("write", why);
        } else if (step == "read") {
            uint32_t firing = 0;
            if (device->Read(firing, why))
                std::printf("read %u\n", firing);
            else
                Print("read", why);
        } else if (step == "order") {
            const portkit::GuardOrder order = device->OrderForGuard();
            std::printf("order %c %d %s\n", order.Kind, order.Fd, order.Payload.c_str());
        } else if (step == "cut") {
            device->AfterGuardCut();
            std::printf("cut\n");
        } else if (step == "close") {
            device->Close();
            std::printf("close\n");
        } else if (step.rfind("sleep:", 0) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(step.c_str() + 6)));
        } else if (step == "hold") {
            std::printf("holding\n");
            for (;;)
                std::this_thread::sleep_for(std::chrono::seconds(1));
        } else if (step.rfind("guard-stopped:", 0) == 0 || step.rfind("guard-gone:", 0) == 0) {
            const bool gone = step.rfind("guard-gone:", 0) == 0;
            const int64_t start = MonotonicNs();
            ZeroFtdiFromGuard(-1, step.substr(step.find(':') + 1),
                              gone ? portguard::Situation::ProgramGone : portguard::Situation::ProgramStopped);
            std::printf("guard done %lld\n", static_cast<long long>((MonotonicNs() - start) / 1000000));
        } else {
            std::fprintf(stderr, "ftdi-line-check: unknown step %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}
