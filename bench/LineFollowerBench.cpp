// The camera line follower's pass over one 320 x 240 frame.
//
//   CameraLine/pass/camera:1  the whole pass but its motor pulses: grab and
//                           save by a capture window on the test picture, load,
//                           average, labels ("grabbed" says the window was live)
//   CameraLine/pass/camera:0  the same with no capture window: load, average,
//                           labels of the file left there
//   .../mjpeg720:1          the capture window on a 1280 x 720 MJPEG camera,
//                           decoded and scaled on the streaming thread (its
//                           cost per frame: CameraDecode/jpeg/1280/720)
// The frame file goes to a temporary folder (TMPDIR, else /tmp); the capture
// windows flush each saved frame to the disk, which shows in the real time.
//   CameraLine/rows         the nine averages as the follower reads them
//   CameraLine/per_pixel    the same through QImage::pixel(); its counter
//                           "x_rows" is how many times slower it is than the
//                           rows reading measured earlier in the same run
// Goals: the pass under 2 ms, the averaging under 0.2 ms.
#include "BusyMachine.h"
#include "core/LineAnalysis.h"
#include "core/reference/LineAveragesPerPixel.h"
#include "form/CameraShared.h"
#include "form/Unit1.h"
#include "linecam/LineFollower.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <optional>
#include <thread>

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

// A window of the program in a working directory of its own, its follower set
// to send no pulse; with `camera`, started on the test picture (or on
// ROBOT_CAPTURE_SOURCE), otherwise with no capture window, so that the pass
// works on the frame file alone.
class FollowerRig {
public:
    explicit FollowerRig(bool camera)
    {
        oldCwd_ = QDir::currentPath();
        QDir(dir_.path()).mkpath("zdjecia/przechwyt");
        QDir::setCurrent(dir_.path());
        CameraFrame().save("zdjecia/przechwyt/temp.bmp", "BMP");
        oldSource_ = qgetenv("ROBOT_CAPTURE_SOURCE");
        if (oldSource_.isEmpty())
            qputenv("ROBOT_CAPTURE_SOURCE", "test");
        previousForm_ = Form1;
        Form1 = &form_;
        form_.Edit37->setText("0"); // no forward pulses
        form_.Edit38->setText("0"); // no turn pulses
        CameraRunning = 0;
        form_.Button15Click();
        if (!camera) {
            form_.Button15Click();
            LineCaptureWindow = nullptr;
        }
        // Let the first frames arrive (each runs a pass of its own).
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (IsWindow(LineCaptureWindow) && std::chrono::steady_clock::now() < until)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    ~FollowerRig()
    {
        if (CameraRunning != 0)
            form_.Button15Click();
        Form1 = previousForm_;
        if (oldSource_.isEmpty())
            qunsetenv("ROBOT_CAPTURE_SOURCE");
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
    QByteArray oldSource_;
    TForm1 form_;
    TForm1 *previousForm_ = nullptr;
};

// One pass. With the second argument 1 the machine is kept busy, and the
// passes come as the camera's frames bring them (one every 33 ms, the time in
// between not measured): a thread that waits for its frames is scheduled
// differently from one that never stops.
void LinePass(benchmark::State &state)
{
    constexpr const char *Mjpeg720 = "videotestsrc is-live=true pattern=ball"
                                     " ! video/x-raw,width=1280,height=720,framerate=30/1 ! jpegenc";
    const bool mjpeg = state.range(2) != 0;
    if (mjpeg)
        qputenv("ROBOT_CAPTURE_SOURCE", Mjpeg720);
    FollowerRig rig(state.range(0) != 0);
    const bool busy = state.range(1) != 0;
    std::optional<BusyMachine> load;
    if (busy)
        load.emplace();
    for (auto _ : state) {
        benchmark::DoNotOptimize(LineFrameCallback(nullptr, nullptr));
        if (busy) {
            state.PauseTiming();
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
            state.ResumeTiming();
        }
    }
    state.counters["grabbed"] = rig.Grabbing() ? 1 : 0;
    if (mjpeg)
        qunsetenv("ROBOT_CAPTURE_SOURCE");
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

BENCHMARK(LinePass)
    ->Name("CameraLine/pass")
    ->ArgNames({"camera", "busy", "mjpeg720"})
    ->Args({1, 0, 0})
    ->Args({0, 0, 0})
    ->Args({1, 1, 0})
    ->Args({1, 0, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(LineAverageRows)->Name("CameraLine/rows")->Unit(benchmark::kMicrosecond);
BENCHMARK(LineAveragePerPixel)->Name("CameraLine/per_pixel")->Unit(benchmark::kMicrosecond);
