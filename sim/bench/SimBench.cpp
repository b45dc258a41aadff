// Speed and timing of the virtual robot: one camera frame's rendering, the
// arena window's port strip, the port library's round trip to robot-sim (also
// while another client floods it), the camera's frame interval as a client
// receives it, and robot-sim on the largest world it accepts. Run build/bin/sim_bench (headless:
// QT_QPA_PLATFORM=offscreen).
#include "core/Clock.h"
#include "sim/app/TimelineStrip.h"
#include "sim/core/Camera.h"
#include "sim/core/Kinematics.h"
#include "sim/core/Simulation.h"
#include "sim/core/World.h"
#include "sim/protocol/SimLink.h"
#include "sim/testing/LargestWorld.h"
#include "sim/testing/OtherUser.h"
#include "sim/testing/SimProcess.h"

#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QThread>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <memory>
#include <vector>

namespace {
SimProcess *g_sim = nullptr;

const sim::World &DefaultWorld()
{
    static const sim::World world = sim::LoadWorld(QStringLiteral(ROBOT_SOURCE_DIR "/sim/worlds/default.json"));
    return world;
}

// Rendering one frame and packing it as I420: the camera thread's work per
// frame (a frame is due every 33 ms).
void BM_RenderCameraFrame(benchmark::State &state)
{
    const sim::World &world = DefaultWorld();
    static const sim::FloorMap floor(world);
    std::vector<uint8_t> frame(sim::CameraFrameBytes);
    sim::Pose pose = world.robot.start;
    for (auto _ : state) {
        pose.x += 0.001;
        const QImage picture = sim::RenderCamera(floor, world.robot.camera, pose);
        sim::RgbToI420(picture, frame.data());
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(BM_RenderCameraFrame)->Unit(benchmark::kMillisecond);

// The arena window's port strip, once per window refresh (every 33 ms): a
// copy of the timeline and its drawing, 900 x 100 pixels, with the last 10 s
// as busy as a line follower makes them (a motor change every 50 ms, a sensor
// change every 20 ms).
void BM_DrawTimelineStrip(benchmark::State &state)
{
    sim::PortTimeline timeline;
    const int64_t start = 1'000'000'000'000;
    const int64_t end = start + 10'000'000'000;
    const int codes[] = {18, 17, 18, 10, 0};
    for (int64_t t = start, i = 0; t < end; t += 10'000'000, ++i) {
        if (i % 5 == 0)
            timeline.Data(t, codes[(i / 5) % 5]);
        if (i % 2 == 0)
            timeline.Status(t, (i / 2) % 3 == 0 ? 222 : (i / 2) % 3 == 1 ? 254 : 238);
    }
    QImage canvas(900, 100, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        const sim::PortTimeline shown = timeline; // the window takes a copy each refresh
        QPainter painter(&canvas);
        TimelineStrip::Draw(painter, canvas.rect(), shown, end, 10'000'000'000);
    }
    state.counters["changes"] = double(timeline.DataLevels().size() + timeline.StatusLevels().size());
}
BENCHMARK(BM_DrawTimelineStrip)->Unit(benchmark::kMicrosecond);

// One second of driving along a wall, pressed against it: the worst case of
// the contact search.
void BM_MoveAlongAWall(benchmark::State &state)
{
    sim::World world;
    world.width = 2;
    world.height = 2;
    const double r = world.robot.bodyRadius;
    for (auto _ : state) {
        sim::Motion m = sim::MoveWithContacts(world, {1, r, 0.001}, 0.15, 0.15, 1.0);
        benchmark::DoNotOptimize(m.pose.x); // not const: the value must be made
    }
}
BENCHMARK(BM_MoveAlongAWall)->Unit(benchmark::kMicrosecond);

// The most memory (MB) the process has taken so far.
double PeakMegabytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    return 0;
}

// robot-sim started on the largest world the reader accepts, to its ready
// line; peak_MB is the most memory it took in its first second. Goals: under
// 2 s and under 300 MB.
void BM_LargestWorldStart(benchmark::State &state)
{
    const QString json = QString::fromUtf8(LargestWorldJson());
    double peak = 0;
    for (auto _ : state) {
        SimProcess sim(json);
        if (!sim.Start()) {
            state.SkipWithError(sim.error().toUtf8().constData());
            return;
        }
        state.PauseTiming();
        QThread::msleep(1000); // the window painted and the camera running
        peak = std::max(peak, PeakMegabytes(sim.pid()));
        sim.Stop();
        state.ResumeTiming();
    }
    state.counters["peak_MB"] = peak;
}
BENCHMARK(BM_LargestWorldStart)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// A state query's round trip on the largest world while its fastest robot
// drives on one wheel and a client sends stamps far in the future. Goal: each
// answer within 100 ms.
void BM_QueryUnderHostileStamps(benchmark::State &state)
{
    SimProcess sim(QString::fromUtf8(LargestWorldJson()));
    if (!sim.Start()) {
        state.SkipWithError(sim.error().toUtf8().constData());
        return;
    }
    simproto::SimLink client(0, sim.socketPath());
    simproto::SimLink watcher(0, sim.socketPath());
    int64_t code = 0;
    double slowest = 0;
    for (auto _ : state) {
        client.Write(DataPort, ++code % 2 ? 16 : 2, MonotonicNs() + 1'000'000'000'000'000'000);
        const int64_t before = MonotonicNs();
        if (!watcher.Query(1000)) {
            state.SkipWithError("no answer within a second");
            return;
        }
        slowest = std::max(slowest, (MonotonicNs() - before) / 1e6);
    }
    state.counters["slowest_ms"] = slowest;
}
BENCHMARK(BM_QueryUnderHostileStamps)->Unit(benchmark::kMillisecond)->Iterations(200);

// Inp32 of the status register through the virtual robot's port library:
// what every sample of the sensor drives costs.
void BM_Inp32RoundTrip(benchmark::State &state)
{
    void *lib = dlopen(SimProcess::PortLibraryFile, RTLD_NOW);
    auto inp32 = lib ? reinterpret_cast<short (*)(short)>(dlsym(lib, "Inp32")) : nullptr;
    if (!inp32 || inp32(StatusPort) != StatusIdle) {
        state.SkipWithError("the port library does not reach robot-sim");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(inp32(StatusPort));
}
BENCHMARK(BM_Inp32RoundTrip)->Unit(benchmark::kMicrosecond);

// Inp32 of the status register while another client of the same user keeps
// its socket full of state queries, on the default world (0) and on the
// largest one (1), whose queries cost the most. One read every 2 ms, as the
// sensor line follower samples. Goal: every read answered, the worst within a
// few milliseconds; median_us and worst_us are the round trip's.
void BM_Inp32DuringQueryFlood(benchmark::State &state)
{
    std::unique_ptr<SimProcess> largest;
    const SimProcess *sim = g_sim;
    if (state.range(0) == 1) {
        largest = std::make_unique<SimProcess>(QString::fromUtf8(LargestWorldJson()));
        if (!largest->Start()) {
            state.SkipWithError(largest->error().toUtf8().constData());
            return;
        }
        sim = largest.get();
    }
    simproto::SimLink controller(0, sim->socketPath());
    Peer flooder({QStringLiteral("flood"), QString::fromStdString(sim->socketPath())}, false);
    if (!flooder.WaitFor(QStringLiteral("flooding"))) {
        state.SkipWithError("the flooding client did not fill its socket");
        return;
    }
    std::vector<double> us;
    int unanswered = 0;
    for (auto _ : state) {
        const int64_t before = MonotonicNs();
        unanswered += !controller.Read(StatusPort, before, 200);
        const int64_t took = MonotonicNs() - before;
        state.SetIterationTime(took / 1e9);
        us.push_back(took / 1e3);
        QThread::usleep(2000);
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["worst_us"] = us.back();
    state.counters["unanswered"] = unanswered;
}
BENCHMARK(BM_Inp32DuringQueryFlood)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->Iterations(1000)->UseManualTime();

// The time between two whole frames as a camera client receives them.
void BM_CameraFrameInterval(benchmark::State &state)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", g_sim->cameraSocket().c_str());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        state.SkipWithError("cannot reach the camera");
        return;
    }
    // The format line comes first.
    for (char c = 0; c != '\n';)
        if (recv(fd, &c, 1, 0) != 1) {
            state.SkipWithError("the camera did not say its format");
            close(fd);
            return;
        }
    std::vector<uint8_t> frame(sim::CameraFrameBytes);
    auto receiveFrame = [&] {
        size_t got = 0;
        while (got < frame.size()) {
            const ssize_t n = recv(fd, frame.data() + got, frame.size() - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return true;
    };
    receiveFrame(); // the first frame may have been waiting
    for (auto _ : state)
        if (!receiveFrame()) {
            state.SkipWithError("the camera closed the connection");
            break;
        }
    close(fd);
}
BENCHMARK(BM_CameraFrameInterval)->Unit(benchmark::kMillisecond)->Iterations(90);
} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv); // the strip's drawing needs fonts
    SimProcess sim;
    if (!sim.Start()) {
        std::fprintf(stderr, "sim_bench: %s\n", sim.error().toUtf8().constData());
        return 1;
    }
    g_sim = &sim;
    setenv("ROBOT_SIM_SOCKET", sim.socketPath().c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
