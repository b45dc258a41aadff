// The Firmata board's port library (build/lib/firmata/libinpout32.so, loaded
// by path) over the fake board on a pseudo-terminal:
//
//   bin/robot_bench --benchmark_filter=Firmata
//
// BM_FirmataOut32, BM_FirmataInp32: the library's own cost per call (the
// kit, the line backend, the device, the system call). BM_FirmataOut32ToBoard:
// the delay from Out32 to the fake board's log line for that message (the
// pseudo-terminal, the board process waking, its framing), as "median_us" and
// "worst_us". A real board adds its USB transfer: about 1 ms with native USB,
// about 4 ms behind a USB-serial bridge, up to 16 ms behind an FTDI bridge at
// its default latency timer.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "support/FakeBoard.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <dlfcn.h>
#include <thread>

namespace {
using Inp32Fn = short (*)(short);
using Out32Fn = void (*)(short, short);

// One board and one loaded library for every benchmark here: the library
// opens the board at its first access and keeps it.
struct BoardLibrary {
    FakeBoard board;
    Inp32Fn Inp32 = nullptr;
    Out32Fn Out32 = nullptr;
    std::string Error;

    BoardLibrary()
    {
        if (!board.Start({}, &Error))
            return;
        setenv("ROBOT_SERIAL", board.Device().c_str(), 1);
        unsetenv("ROBOT_PORT_TRACE");
        unsetenv("ROBOT_PINS");
        void *library = dlopen(ROBOT_BINARY_DIR "/lib/firmata/libinpout32.so", RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            Error = dlerror();
            return;
        }
        Inp32 = reinterpret_cast<Inp32Fn>(dlsym(library, "Inp32"));
        Out32 = reinterpret_cast<Out32Fn>(dlsym(library, "Out32"));
        if (!Inp32 || !Out32) {
            Error = "no Inp32 or Out32";
            return;
        }
        Out32(DataPort, MotorOff); // the first access: the board opened and claimed
        if (Inp32(StatusPort) != StatusIdle)
            Error = "the board is not in use";
    }
};

BoardLibrary &Library()
{
    static BoardLibrary *library = new BoardLibrary;
    return *library;
}

void BM_FirmataOut32(benchmark::State &state)
{
    BoardLibrary &lib = Library();
    if (!lib.Error.empty()) {
        state.SkipWithError(lib.Error.c_str());
        return;
    }
    short code = MotorForwardCode;
    for (auto _ : state) {
        lib.Out32(DataPort, code);
        code = code ? MotorOff : MotorForwardCode;
    }
    lib.Out32(DataPort, MotorOff);
}
// Fewer writes than fill the pseudo-terminal while the board logs each one:
// a full device would time the board, not the library.
BENCHMARK(BM_FirmataOut32)->Iterations(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_FirmataInp32(benchmark::State &state)
{
    BoardLibrary &lib = Library();
    if (!lib.Error.empty()) {
        state.SkipWithError(lib.Error.c_str());
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(lib.Inp32(StatusPort));
}
BENCHMARK(BM_FirmataInp32)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_FirmataOut32ToBoard(benchmark::State &state)
{
    BoardLibrary &lib = Library();
    if (!lib.Error.empty()) {
        state.SkipWithError(lib.Error.c_str());
        return;
    }
    const size_t before = PortWrites(lib.board.Log()).size();
    std::vector<int64_t> sent;
    short code = MotorForwardCode;
    for (auto _ : state) {
        sent.push_back(MonotonicNs());
        lib.Out32(DataPort, code);
        code = code ? MotorOff : MotorForwardCode;
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // each message on its own
        state.ResumeTiming();
    }
    const size_t expected = before + sent.size();
    lib.board.WaitForLog([&](const auto &log) { return PortWrites(log).size() >= expected; });
    std::vector<BoardLine> writes;
    for (const BoardLine &line : lib.board.Log())
        if (line.Is("in", "port-write"))
            writes.push_back(line);
    if (writes.size() < expected) {
        state.SkipWithError("the board did not log every write");
        return;
    }
    std::vector<double> delaysUs;
    for (size_t i = 0; i < sent.size(); ++i)
        delaysUs.push_back((writes[before + i].Ns - sent[i]) / 1e3);
    std::sort(delaysUs.begin(), delaysUs.end());
    state.counters["median_us"] = delaysUs[delaysUs.size() / 2];
    state.counters["p99_us"] = delaysUs[delaysUs.size() * 99 / 100];
    state.counters["worst_us"] = delaysUs.back();
}
BENCHMARK(BM_FirmataOut32ToBoard)->Iterations(500)->UseRealTime()->Unit(benchmark::kMicrosecond);
} // namespace
