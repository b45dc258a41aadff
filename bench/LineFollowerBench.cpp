// The camera line follower's pass over one 320 x 240 frame.
//
//   LineAverage/rows        the nine averages as the follower reads them
//   LineAverage/per_pixel   the same through QImage::pixel(); its counter
//                           "x_rows" is how many times slower it is than the
//                           rows reading measured earlier in the same run
// Goal: the averaging under 0.2 ms.
#include "linecam/LineAnalysis.h"

#include <QImage>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>

namespace {
// Seconds per averaging of each reading, as measured in this run.
double g_rowsSeconds = 0;

// A camera-like frame as the follower gets it: written as a bitmap file and
// read back (24-bit bitmaps come back as 32-bit RGB).
QImage CameraLikeFrame()
{
    QImage frame(LineFrameWidth, LineFrameHeight, QImage::Format_RGB32);
    QRandomGenerator random(1);
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            frame.setPixel(x, y, qRgb(x * 255 / 319, y * 255 / 239, random.bounded(256)));
    QTemporaryDir dir;
    const QString path = dir.filePath("frame.bmp");
    frame.save(path, "BMP");
    return QImageReader(path).read();
}

template <class Average>
double TimeAverages(benchmark::State &state, Average average)
{
    const QImage frame = CameraLikeFrame();
    const auto start = std::chrono::steady_clock::now();
    int64_t rounds = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(average(frame));
        ++rounds;
    }
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    return rounds ? spent.count() / rounds : 0;
}

void LineAverageRows(benchmark::State &state)
{
    g_rowsSeconds = TimeAverages(state, AverageFrame);
}

void LineAveragePerPixel(benchmark::State &state)
{
    const double seconds = TimeAverages(state, AverageFramePerPixel);
    if (g_rowsSeconds > 0)
        state.counters["x_rows"] = seconds / g_rowsSeconds;
}
} // namespace

BENCHMARK(LineAverageRows)->Name("LineAverage/rows")->Unit(benchmark::kMicrosecond);
BENCHMARK(LineAveragePerPixel)->Name("LineAverage/per_pixel")->Unit(benchmark::kMicrosecond);
