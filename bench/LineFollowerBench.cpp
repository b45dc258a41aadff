// The camera line follower's pass over one 320 x 240 frame.
//
//   CameraLine/pass         the whole pass but its motor pulses: grab, save,
//                           load, average, labels (counter "grabbed" is 1 when
//                           a capture window on the test picture did the grab
//                           and the save, 0 when the pass found the file alone)
//   CameraLine/rows         the nine averages as the follower reads them
//   CameraLine/per_pixel    the same through QImage::pixel(); its counter
//                           "x_rows" is how many times slower it is than the
//                           rows reading measured earlier in the same run
// Goals: the pass under 2 ms, the averaging under 0.2 ms.
#include "app/Unit1.h"
#include "camera/CameraShared.h"
#include "linecam/LineAnalysis.h"
#include "linecam/LineFollower.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

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

// A window of the program in a working directory of its own, the follower
// started on the test picture and set to send no pulse.
class FollowerRig {
public:
    FollowerRig()
    {
        oldCwd_ = QDir::currentPath();
        QDir(dir_.path()).mkpath("zdjecia/przechwyt");
        QDir::setCurrent(dir_.path());
        CameraFrame().save("zdjecia/przechwyt/temp.bmp", "BMP");
        if (!std::getenv("ROBOT_CAPTURE_SOURCE"))
            setenv("ROBOT_CAPTURE_SOURCE", "test", 1);
        previousForm_ = Form1;
        Form1 = &form_;
        form_.Edit37->setText("0"); // no forward pulses
        form_.Edit38->setText("0"); // no turn pulses
        CameraRunning = 0;
        form_.Button15Click();
        // Let the first frames arrive (each runs a pass of its own).
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (IsWindow(LineCaptureWindow) && std::chrono::steady_clock::now() < until)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    ~FollowerRig()
    {
        form_.Button15Click();
        Form1 = previousForm_;
        QDir::setCurrent(oldCwd_);
    }
    bool Grabbing() const { return IsWindow(LineCaptureWindow); }

private:
    static QImage CameraFrame()
    {
        QImage frame(LineFrameWidth, LineFrameHeight, QImage::Format_RGB32);
        frame.fill(qRgb(40, 120, 200));
        return frame;
    }

    QTemporaryDir dir_;
    QString oldCwd_;
    TForm1 form_;
    TForm1 *previousForm_ = nullptr;
};

void LinePass(benchmark::State &state)
{
    FollowerRig rig;
    for (auto _ : state)
        benchmark::DoNotOptimize(LineFrameCallback(nullptr, nullptr));
    state.counters["grabbed"] = rig.Grabbing() ? 1 : 0;
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

BENCHMARK(LinePass)->Name("CameraLine/pass")->Unit(benchmark::kMicrosecond);
BENCHMARK(LineAverageRows)->Name("CameraLine/rows")->Unit(benchmark::kMicrosecond);
BENCHMARK(LineAveragePerPixel)->Name("CameraLine/per_pixel")->Unit(benchmark::kMicrosecond);
