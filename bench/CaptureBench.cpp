// Capture speed on the test picture at 30 frames per second: whether every
// frame reaches the callback, the delay from the pipeline's hand-over to the
// callback, and the CPU time per frame of capture, conversion and preview.
#include "capture/CaptureTesting.h"
#include "capture/CaptureWindow.h"
#include "core/Clock.h"
#include "core/FrameFormat.h"

#include <QEventLoop>
#include <QImage>
#include <QTimer>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {
constexpr int RunSeconds = 10;
constexpr int WarmUpMs = 500;

int64_t ProcessCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void RunEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

std::vector<int64_t> *Delays = nullptr;
std::vector<uint32_t> *StreamTimes = nullptr;

LRESULT MeasureDelay(HWND window, VIDEOHDR *header)
{
    const int64_t now = MonotonicNs();
    if (Delays) {
        Delays->push_back(now - GetCaptureStats(window).frameSampleNs);
        StreamTimes->push_back(header->dwTimeCaptured);
    }
    return 1;
}

// Frames the source itself left out: steps of its stream time longer than one
// and a half frame periods (30 fps).
int SourceGaps(const std::vector<uint32_t> &times)
{
    int gaps = 0;
    for (size_t i = 1; i < times.size(); ++i)
        gaps += times[i] - times[i - 1] > 50;
    return gaps;
}

double Percentile(std::vector<int64_t> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return double(values[size_t(p * double(values.size() - 1))]);
}
} // namespace

// The preview of the camera tab (shown, scaled 320 x 240 into 160 x 120) with a
// callback that only takes the time.
static void BM_CaptureTestPictureToCallback(benchmark::State &state)
{
    setenv("ROBOT_CAPTURE_SOURCE", "test", 1);
    ResetCaptureDriverSettings();
    QWidget panel;
    panel.resize(161, 121);
    panel.show();
    std::vector<int64_t> delays;
    std::vector<uint32_t> times;
    for (auto _ : state) {
        const HWND w = capCreateCaptureWindowA(nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 160, 120,
                                               WindowHandle(&panel), 1);
        SendMessageA(w, WM_CAP_DRIVER_CONNECT, 0, 0);
        SendMessageA(w, WM_CAP_SET_SCALE, 1, 0);
        SendMessageA(w, WM_CAP_SET_PREVIEWRATE, 1, 0);
        SendMessageA(w, WM_CAP_SET_PREVIEW, 1, 0);
        SendMessageA(w, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(&MeasureDelay));
        RunEventsFor(WarmUpMs);
        const CaptureStats before = GetCaptureStats(w);
        delays.clear();
        times.clear();
        Delays = &delays;
        StreamTimes = &times;
        const int64_t cpu0 = ProcessCpuNs();
        RunEventsFor(RunSeconds * 1000);
        const CaptureStats after = GetCaptureStats(w);
        const int64_t cpu = ProcessCpuNs() - cpu0;
        Delays = nullptr;
        SendMessageA(w, WM_CAP_DRIVER_DISCONNECT, 0, 0);

        const double frames = double(after.samples - before.samples);
        const double callbacks = double(after.callbacks - before.callbacks);
        state.counters["pipeline_frames"] = frames;
        state.counters["callbacks"] = callbacks;
        state.counters["lost"] = frames - callbacks;
        state.counters["fps"] = frames / RunSeconds;
        state.counters["source_gaps"] = SourceGaps(times);
        state.counters["stream_ms"] = times.empty() ? 0 : times.back() - times.front();
        state.counters["delay_median_us"] = Percentile(delays, 0.5) / 1000;
        state.counters["delay_p95_us"] = Percentile(delays, 0.95) / 1000;
        state.counters["delay_max_us"] = Percentile(delays, 1.0) / 1000;
        state.counters["cpu_us_per_frame"] = frames > 0 ? double(cpu) / frames / 1000 : 0;
    }
}
BENCHMARK(BM_CaptureTestPictureToCallback)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The conversion of one 320 x 240 frame for the preview.
static void BM_I420ToRgb320x240(benchmark::State &state)
{
    std::vector<uint8_t> frame(I420FrameSize(320, 240), 100);
    for (auto _ : state) {
        QImage image = I420ToImage(frame.data(), 320, 240);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_I420ToRgb320x240)->Unit(benchmark::kMicrosecond);
