// Pulse length error of the motor pulse commands, measured on the recording
// port library's trace: each pulse lasts from the write of its code to the
// next write to the data register (the 0 that ends it); the error is that
// length minus the duration asked for. Reported as counters in milliseconds:
// median, 99th percentile (nearest rank) and maximum over all pulses of a run.
//
// The program's RUNPATH of this binary puts the recording library first; keep
// LD_LIBRARY_PATH free of other port libraries when running it.
#include "BusyMachine.h"
#include "drive/Motor.h"
#include "drive/PortIo.h"
#include "drive/PulsePriority.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>
#include <sys/stat.h>

namespace {
// Lengths in ms of the pulses of `code` in a trace, each from the write of the
// code to the next write to the data register.
std::vector<double> PulseLengthsMs(const std::string &tracePath, int code)
{
    std::vector<double> out;
    std::ifstream in(tracePath);
    long long started = -1;
    for (std::string line; std::getline(in, line);) {
        long long ns = 0;
        char kind = 0;
        int port = 0, value = 0;
        if (std::sscanf(line.c_str(), "%lld,%c,%d,%d", &ns, &kind, &port, &value) != 4 || kind != 'W' ||
            port != DataPort)
            continue;
        if (started >= 0)
            out.push_back((ns - started) / 1e6);
        started = value == code ? ns : -1;
    }
    return out;
}

double NearestRank(const std::vector<double> &sorted, double fraction)
{
    const size_t rank = static_cast<size_t>(std::ceil(fraction * sorted.size()));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

// `durationMs` pulses of MoveForward, one per iteration, and their length
// errors as counters.
void MeasurePulses(benchmark::State &state, int durationMs)
{
    QTemporaryDir dir;
    const std::string trace = dir.filePath("trace.txt").toStdString();
    setenv("ROBOT_PORT_TRACE", trace.c_str(), 1);
    unsetenv("ROBOT_STATUS_SCRIPT");
    ForwardTimeMs = durationMs;
    for (auto _ : state)
        MoveForward();
    unsetenv("ROBOT_PORT_TRACE");

    std::vector<double> errors = PulseLengthsMs(trace, MotorForwardCode);
    if (errors.size() != static_cast<size_t>(state.iterations())) {
        state.SkipWithError("the trace does not hold one pulse per call: is the recording library loaded?");
        return;
    }
    for (double &e : errors)
        e -= durationMs;
    std::sort(errors.begin(), errors.end());
    state.counters["median_err_ms"] = NearestRank(errors, 0.5);
    state.counters["p99_err_ms"] = NearestRank(errors, 0.99);
    state.counters["max_err_ms"] = errors.back();
    state.counters["min_err_ms"] = errors.front();
}

// As the program runs its pulses: real-time where allowed.
void BM_MoveForwardPulseError(benchmark::State &state)
{
    UseRealTimePulses(true);
    state.SetLabel(PulseSchedulingInEffect().realTime ? "real-time" : "normal priority");
    MeasurePulses(state, static_cast<int>(state.range(0)));
}

// On a busy machine, with real-time pulses (second argument 1) or without.
void BM_PulseErrorOnABusyMachine(benchmark::State &state)
{
    const bool realTime = state.range(1) != 0;
    if (realTime && !PulseSchedulingInEffect().realTime) {
        state.SkipWithError("real-time scheduling is not allowed here (see AnnouncePulseScheduling)");
        return;
    }
    UseRealTimePulses(realTime);
    state.SetLabel(realTime ? "busy, real-time" : "busy, normal priority");
    {
        BusyMachine busy;
        MeasurePulses(state, static_cast<int>(state.range(0)));
    }
    UseRealTimePulses(true);
}
} // namespace

// The 200 ms case gets few pulses (20 s): its 99th percentile is the second
// largest error. The machine's load average is printed in the context above.
BENCHMARK(BM_MoveForwardPulseError)->Arg(1)->Iterations(1000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MoveForwardPulseError)->Arg(20)->Iterations(250)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MoveForwardPulseError)->Arg(200)->Iterations(100)->UseRealTime()->Unit(benchmark::kMillisecond);
// The same lengths with the machine kept busy, without and with real-time pulses.
BENCHMARK(BM_PulseErrorOnABusyMachine)->Args({1, 0})->Args({1, 1})->Iterations(1000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PulseErrorOnABusyMachine)->Args({20, 0})->Args({20, 1})->Iterations(250)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PulseErrorOnABusyMachine)->Args({200, 0})->Args({200, 1})->Iterations(100)->UseRealTime()->Unit(benchmark::kMillisecond);

// The main() of robot_bench: one application object (offscreen when no platform
// is set) for every benchmark, as the program has it.
int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!std::getenv("XDG_RUNTIME_DIR")) {
        const QByteArray dir = QDir::tempPath().toUtf8() + "/robot-bench-runtime";
        mkdir(dir.constData(), 0700);
        setenv("XDG_RUNTIME_DIR", dir.constData(), 1);
    }
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
