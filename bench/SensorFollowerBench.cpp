// Per-sample overhead of the sensor line follower with a sample interval of 0:
// six label updates, one message drain, five field conversions and one status
// read through the recording port library (no trace file).
//
//   bin/robot_bench --benchmark_filter=LineFollower
//
// "samples_per_s" is the figure to watch (goal: at least 20,000 per second).
#include "autodrive/SensorLineFollower.h"
#include "autodrive/SensorStop.h"
#include "drive/Motor.h"
#include "drive/PortIo.h"
#include "form/Unit1.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <climits>
#include <cstdlib>

namespace {
// Neither a trace file nor a status script: the status register reads 254,
// the go value, so the go count and its label change at every sample.
void QuietPort()
{
    unsetenv("ROBOT_PORT_TRACE");
    unsetenv("ROBOT_STATUS_SCRIPT");
}

// One sampling step at a time, as the loop takes it in the middle of a cycle
// (no slow-down step). Arg 1: the window is shown, so drained repaints count.
void BM_LineFollowerSample(benchmark::State &state)
{
    QuietPort();
    TForm1 form;
    if (state.range(0))
        form.show();
    PumpMessages();
    const PortIoLibrary lib = BindPortIoLibrary();
    autodrive::LineFollowerSettings settings = autodrive::ReadLineFollowerSettings(form);
    settings.Samples = INT_MAX;
    settings.IntervalMs = 0;
    autodrive::LineCounts counts;
    int32_t k = 0;
    for (auto _ : state) {
        autodrive::TakeLineSample(form, lib, settings, counts, k);
        if (++k == INT_MAX - 1)
            k = 0;
    }
    state.counters["samples_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LineFollowerSample)->Arg(0)->Arg(1)->ArgName("shown")->UseRealTime();

// The real START handler: one cycle of 20,000 samples with STOP pressed at the
// first drain (the cycle always finishes), then the go decision and its picture.
void BM_LineFollowerHandler(benchmark::State &state)
{
    QuietPort();
    QTemporaryDir dir;
    const QString oldCwd = QDir::currentPath();
    QDir(dir.path()).mkpath("obrazki");
    QDir::setCurrent(dir.path());
    QImage picture(160, 52, QImage::Format_RGB32);
    picture.fill(Qt::green);
    picture.save("obrazki/naprzod2.bmp", "BMP");

    constexpr int Samples = 20000;
    TForm1 form;
    form.show();
    form.Edit39->setText(QString::number(Samples));
    form.Edit40->setText("0");
    form.Edit43->setText("0");
    PumpMessages();
    int64_t samples = 0;
    for (auto _ : state) {
        QTimer::singleShot(0, &form, [&form] { form.Button21Click(); });
        form.Button22Click();
        samples += Samples;
    }
    QDir::setCurrent(oldCwd);
    state.counters["samples_per_s"] = benchmark::Counter(double(samples), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LineFollowerHandler)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
} // namespace
