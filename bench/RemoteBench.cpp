// The robot behind a broker: the remote port library driving robot-node on
// the recording library through a real mosquitto on loopback (the tests'
// support: TestBroker, TcpRelay, TestNode), the program's link through the
// relay. Times in ms as counters, from the program's Out32 (CLOCK_MONOTONIC)
// to the node's trace of its port (the same clock):
//   RemoteOut32ToNode   Out32 to the node's write, with no fixed delay
//                       (ROBOT_REMOTE_DELAY_MS=0): the link's own latency.
//                       The default delay adds its 30 ms to every write by
//                       design, so that pulses keep their length.
//   RemotePulseError    a 100 ms pulse at the node against the program's,
//                       with 0, 5 and 20 ms of jitter added to the link.
//   RemoteCutToZero     a standing code, the program's link silenced (only
//                       the lease stops the robot) or closed (the broker
//                       passes the program's will): the cut to the node's 0.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "support/RemoteRobot.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

namespace {
using namespace std::chrono_literals;

double Rank(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(fraction * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

void Report(benchmark::State &state, const std::vector<double> &ms, const char *what)
{
    if (ms.empty()) {
        state.SkipWithError("no samples");
        return;
    }
    state.counters[std::string("median_") + what] = Rank(ms, 0.5);
    state.counters[std::string("p99_") + what] = Rank(ms, 0.99);
    state.counters[std::string("max_") + what] = *std::max_element(ms.begin(), ms.end());
}

// A broker, a relay in front of it, robot-node serving "bench", and a copy of
// the remote port library of its own (a fresh instance with these settings)
// reaching the broker through the relay.
struct Rig {
    explicit Rig(const std::string &delayMs)
    {
        std::string error;
        if (!broker.Start(&error))
            problem = "mosquitto: " + error;
        else if (relay = std::make_unique<TcpRelay>(broker.Port()); !node.Start(broker.Url(), "bench"))
            problem = "robot-node: " + node.Log();
        if (!problem.empty())
            return;
        const std::string copy = path + "/libinpout32-" + std::to_string(++copies) + ".so";
        std::filesystem::copy_file(ROBOT_BINARY_DIR "/lib/remote/libinpout32.so", copy);
        setenv("ROBOT_BROKER", ("mqtt://127.0.0.1:" + std::to_string(relay->Port())).c_str(), 1);
        setenv("ROBOT_NAME", "bench", 1);
        setenv("ROBOT_REMOTE_DELAY_MS", delayMs.c_str(), 1);
        lib = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            problem = dlerror();
            return;
        }
        out = reinterpret_cast<void (*)(short, short)>(dlsym(lib, "Out32"));
        status = reinterpret_cast<const char *(*)()>(dlsym(lib, "PortIoStatus"));
        if (!WaitFor([&] { return std::string(status()).find(": connected") != std::string::npos; }, 10s))
            problem = std::string("the library did not connect: ") + status();
    }
    // Out32 and its time.
    int64_t Out(int value)
    {
        const int64_t ns = MonotonicNs();
        out(DataPort, short(value));
        return ns;
    }

    static inline int copies = 0;
    QTemporaryDir dir;
    std::string path = dir.path().toStdString();
    TestBroker broker{path};
    std::unique_ptr<TcpRelay> relay;
    TestNode node{path};
    void *lib = nullptr; // left loaded: its link thread ends with the process
    void (*out)(short, short) = nullptr;
    const char *(*status)() = nullptr;
    std::string problem;
};

void RemoteOut32ToNode(benchmark::State &state)
{
    Rig rig("0");
    if (!rig.problem.empty())
        return state.SkipWithError(rig.problem.c_str());
    std::vector<int64_t> sent;
    int value = 18;
    for (auto _ : state) {
        sent.push_back(rig.Out(value));
        value = value ? 0 : 18;
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(300ms);
    const std::vector<Write> writes = rig.node.Writes();
    if (writes.size() != sent.size())
        return state.SkipWithError("the node's writes are not the program's, one for one");
    std::vector<double> ms;
    for (size_t i = 0; i < sent.size(); ++i)
        ms.push_back(double(writes[i].Ns - sent[i]) / 1e6);
    Report(state, ms, "ms");
}

void RemotePulseError(benchmark::State &state)
{
    Rig rig("30");
    if (!rig.problem.empty())
        return state.SkipWithError(rig.problem.c_str());
    rig.relay->SetDelay(0, int(state.range(0)));
    std::vector<double> program;
    for (auto _ : state) {
        const int64_t on = rig.Out(18);
        std::this_thread::sleep_for(100ms);
        program.push_back(double(rig.Out(0) - on) / 1e6);
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(300ms);
    const std::vector<Pulse> pulses = PulsesOf(rig.node.Writes());
    if (pulses.size() != program.size())
        return state.SkipWithError("the node's pulses are not the program's, one for one");
    std::vector<double> ms;
    for (size_t i = 0; i < pulses.size(); ++i)
        ms.push_back(std::abs(pulses[i].ms - program[i]));
    Report(state, ms, "err_ms");
}

void RemoteCutToZero(benchmark::State &state)
{
    const bool closed = state.range(0) != 0;
    Rig rig("30");
    if (!rig.problem.empty())
        return state.SkipWithError(rig.problem.c_str());
    std::vector<double> ms;
    for (auto _ : state) {
        rig.Out(18);
        // Renewed a few times by now; the cut falls anywhere between two renewals.
        std::this_thread::sleep_for(std::chrono::milliseconds(400 + 7 * ms.size() % 100));
        const size_t before = rig.node.Writes().size();
        const int64_t cut = MonotonicNs();
        rig.relay->Set(closed ? TcpRelay::Mode::Cut : TcpRelay::Mode::Silent);
        const bool zero = WaitFor([&] {
            const auto w = rig.node.Writes();
            return w.size() > before && w.back().Value == 0;
        }, 5s);
        if (!zero)
            return state.SkipWithError("the robot kept its code after the cut");
        ms.push_back(double(rig.node.Writes().back().Ns - cut) / 1e6);
        const auto connected = [&] { return std::string(rig.status()).find(": connected") != std::string::npos; };
        if (closed) // the library has seen its link close before it is mended
            WaitFor([&] { return !connected(); }, 5s);
        rig.relay->Set(TcpRelay::Mode::Pass);
        rig.Out(0); // the lapse is told here, once
        // Back with the broker (a closed link tries again every second), the
        // session granted and the status current.
        WaitFor(connected, 10s);
        rig.Out(0);
    }
    Report(state, ms, "ms");
    state.counters["lease_ms"] = 300;
}
} // namespace

BENCHMARK(RemoteOut32ToNode)->Iterations(400)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RemotePulseError)->ArgName("jitter_ms")->Arg(0)->Arg(5)->Arg(20)->Iterations(40)->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RemoteCutToZero)->ArgName("closed")->Arg(0)->Arg(1)->Iterations(20)->UseRealTime()
    ->Unit(benchmark::kMillisecond);
