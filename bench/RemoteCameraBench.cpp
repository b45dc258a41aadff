// The robot's camera over the network, glass to glass on loopback: robot-node
// serving the test picture at 640x480 and 30 frames a second through a real
// mosquitto, this process on the remote port library receiving it through the
// capture layer's pipeline at the same size. Per frame, in ms: from the node's
// capture time (as the frame carries it, on this process's clock through the
// matched clocks) to the frame's hand-over to the program (the capture
// window's frame callback is one queued call after it).
//   RemoteCameraGlassToGlass/picture:0   the test picture (a ball on black: small JPEGs)
//   RemoteCameraGlassToGlass/picture:1   colour bars (smpte), as busy as a room
//   RemoteCameraGlassToGlass/picture:2   noise (snow): the largest JPEGs, the worst case
// median and 95th percentile; goal median < 50 ms
#include "capture/CameraPipeline.h"
#include "capture/CaptureSources.h"
#include "core/Clock.h"
#include "drive/PortIo.h"
#include "support/RemoteRobot.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <mutex>

namespace {
using namespace std::chrono_literals;

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(fraction * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

void RemoteCameraGlassToGlass(benchmark::State &state)
{
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString();
    TestBroker broker{path};
    TestNode node{path};
    std::string error;
    if (!broker.Start(&error))
        return state.SkipWithError(("mosquitto: " + error).c_str());
    const char *pictures[] = {"test", "videotestsrc is-live=true pattern=smpte",
                              "videotestsrc is-live=true pattern=snow"};
    if (!node.Start(broker.Url(), "bench", {{"ROBOT_CAPTURE_SOURCE", pictures[state.range(0)]}}))
        return state.SkipWithError(("robot-node: " + node.Log()).c_str());
    setenv("ROBOT_BROKER", broker.Url().c_str(), 1);
    setenv("ROBOT_NAME", "bench", 1);
    unsetenv(CaptureSourceVariable);
    // A copy of the library of its own: a fresh instance with these settings.
    static int copies = 0;
    static std::string copy;
    copy = path + "/libinpout32-" + std::to_string(++copies) + ".so";
    std::filesystem::copy_file(ROBOT_BINARY_DIR "/lib/remote/libinpout32.so", copy);
    SetPortIoLibraryFileNameForTesting(copy.c_str());
    PortIoStatusLine(); // loads the library, which connects

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<double> ms;
    FrameChoice choice;
    choice.size = QSize(640, 480);
    std::string problem;
    const CaptureSource source{CaptureSource::Kind::Robot, "robot", "bench"};
    auto pipeline = CameraPipeline::Open(
        source, choice,
        [&](CapturedFrame &&frame) {
            std::lock_guard<std::mutex> lock(mutex);
            ms.push_back(double(frame.sampleNs - frame.capturedNs) / 1e6);
            arrived.notify_all();
        },
        nullptr, problem);
    if (!pipeline)
        return state.SkipWithError(problem.c_str());
    // The first second: the camera opened at the node, the clocks matched.
    std::this_thread::sleep_for(1s);
    {
        std::lock_guard<std::mutex> lock(mutex);
        ms.clear();
    }
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        const size_t had = ms.size();
        if (!arrived.wait_for(lock, 2s, [&] { return ms.size() > had; }))
            return state.SkipWithError("the stream stopped");
    }
    pipeline.reset();
    std::lock_guard<std::mutex> lock(mutex);
    state.counters["median_ms"] = Percentile(ms, 0.5);
    state.counters["p95_ms"] = Percentile(ms, 0.95);
    state.counters["max_ms"] = *std::max_element(ms.begin(), ms.end());
    state.counters["frames"] = double(ms.size());
}
} // namespace

BENCHMARK(RemoteCameraGlassToGlass)->ArgName("picture")->Arg(0)->Arg(1)->Arg(2)->Iterations(300)->UseRealTime()->Unit(benchmark::kMillisecond);
