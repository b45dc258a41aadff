// The motion detector's per-frame work: the measure and the grid marks on a
// 320 x 240 planar frame (115,200 bytes), against a plain sum of the same
// 76,800 bytes. Goal: at most 1.5 times the plain sum.
#include "core/MotionMeasure.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace {
constexpr uint32_t FrameBytes = 115200;
constexpr uint32_t PictureBytes = 76800;
// Frames per timed block of the interleaved comparison: long enough for the
// clock, short enough that both sides see the same machine load.
constexpr int BlockFrames = 64;

std::vector<uint8_t> MakeFrame()
{
    std::vector<uint8_t> frame(FrameBytes);
    uint32_t x = 12345;
    for (auto &b : frame) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 24);
    }
    return frame;
}

// The reference: a plain loop over the picture bytes.
uint32_t PlainSum(const uint8_t *data, uint32_t count)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
        sum += data[i];
    return sum;
}

void PlainSumOnly(benchmark::State &state)
{
    std::vector<uint8_t> frame = MakeFrame();
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame.data());
        benchmark::DoNotOptimize(PlainSum(frame.data(), PictureBytes));
        benchmark::ClobberMemory();
    }
}

void MeasureAndMarks(benchmark::State &state)
{
    std::vector<uint8_t> frame = MakeFrame();
    for (auto _ : state) {
        int32_t mean = 0;
        benchmark::DoNotOptimize(frame.data());
        benchmark::DoNotOptimize(MeasureAndMark(frame.data(), FrameBytes, mean));
        benchmark::DoNotOptimize(mean);
        benchmark::ClobberMemory();
    }
}

// Both in one run, in alternating blocks; the iteration time is the measure's.
void MeasureAgainstPlainSum(benchmark::State &state)
{
    using Clock = std::chrono::steady_clock;
    std::vector<uint8_t> frame = MakeFrame();
    double plainSeconds = 0;
    double measureSeconds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < BlockFrames; ++i) {
            benchmark::DoNotOptimize(frame.data());
            benchmark::DoNotOptimize(PlainSum(frame.data(), PictureBytes));
            benchmark::ClobberMemory();
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < BlockFrames; ++i) {
            int32_t mean = 0;
            benchmark::DoNotOptimize(frame.data());
            benchmark::DoNotOptimize(MeasureAndMark(frame.data(), FrameBytes, mean));
            benchmark::DoNotOptimize(mean);
            benchmark::ClobberMemory();
        }
        const auto t2 = Clock::now();
        const double plain = std::chrono::duration<double>(t1 - t0).count();
        const double measure = std::chrono::duration<double>(t2 - t1).count();
        plainSeconds += plain;
        measureSeconds += measure;
        state.SetIterationTime(measure / BlockFrames);
    }
    const double frames = double(state.iterations()) * BlockFrames;
    state.counters["measure_us"] = measureSeconds / frames * 1e6;
    state.counters["plain_sum_us"] = plainSeconds / frames * 1e6;
    state.counters["ratio"] = plainSeconds > 0 ? measureSeconds / plainSeconds : 0;
}
} // namespace

BENCHMARK(PlainSumOnly)->Name("Motion/plain_sum_76800")->Unit(benchmark::kMicrosecond);
BENCHMARK(MeasureAndMarks)->Name("Motion/measure_marks_115200")->Unit(benchmark::kMicrosecond);
BENCHMARK(MeasureAgainstPlainSum)
    ->Name("Motion/measure_vs_plain_sum")
    ->UseManualTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);
