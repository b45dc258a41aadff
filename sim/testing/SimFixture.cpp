#include "sim/testing/SimFixture.h"

#include "drive/PortIo.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

SimWatcher::SimWatcher(const SimProcess &sim, int periodMs)
    : sim_(sim), thread_([this, periodMs] {
          while (!stop_) {
              if (const auto s = sim_.Query()) {
                  std::lock_guard<std::mutex> lock(mutex_);
                  samples_.push_back(*s);
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
          }
      })
{
}

SimWatcher::~SimWatcher() { Stop(); }

void SimWatcher::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

std::vector<SimState> SimWatcher::Samples() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
}

LineRun SummariseLineRun(const std::vector<SimState> &samples, int settleMs)
{
    LineRun run;
    if (samples.empty())
        return run;
    const int64_t from = samples.front().t + int64_t(settleMs) * 1000000;
    const SimState *previous = nullptr;
    double sum = 0;
    for (const SimState &s : samples) {
        run.contacts = std::max(run.contacts, s.contacts);
        if (s.t < from)
            continue;
        ++run.samples;
        run.worst = std::max(run.worst, s.lineDistance);
        sum += s.lineDistance;
        if (previous) {
            // The shorter way round: a step across the lap's end is a small step.
            run.progress += std::remainder(s.trackPosition - previous->trackPosition, s.trackLength);
            run.driven += s.odometer - previous->odometer;
        }
        previous = &s;
    }
    if (run.samples > 0)
        run.mean = sum / double(run.samples);
    return run;
}

void SimEndToEnd::RecordLineRun(const LineRun &run)
{
    RecordProperty("worstLineDistanceMm", static_cast<int>(run.worst * 1000));
    RecordProperty("meanLineDistanceMm", static_cast<int>(run.mean * 1000));
    RecordProperty("progressCm", static_cast<int>(run.progress * 100));
}

void SimEndToEnd::SetUp()
{
    RobotTest::SetUp();
    // The status pictures and the sound, as the build made them.
    const QString assets = QStringLiteral(ROBOT_BINARY_DIR "/assets");
    QDirIterator it(assets, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString from = it.next();
        const QString to = QDir::current().filePath(QDir(assets).relativeFilePath(from));
        QDir().mkpath(QFileInfo(to).path());
        QFile::copy(from, to);
    }
    SetPortIoLibraryFileNameForTesting(SimProcess::PortLibraryFile);
}

void SimEndToEnd::TearDown()
{
    SetPortIoLibraryFileNameForTesting(nullptr);
    if (sim) {
        EXPECT_TRUE(sim->Stop()) << sim->Output().toStdString();
    }
    sim.reset();
    unsetenv("ROBOT_SIM_SOCKET");
    unsetenv("ROBOT_CAPTURE_SOURCE");
    RobotTest::TearDown();
}

void SimEndToEnd::StartSim(const QString &worldJson)
{
    sim = std::make_unique<SimProcess>(worldJson);
    // An exception ends the test with the reason; an assertion here would
    // let the test go on without a simulator.
    if (!sim->Start())
        throw std::runtime_error("robot-sim did not start: " + sim->error().toStdString());
    setenv("ROBOT_SIM_SOCKET", sim->socketPath().c_str(), 1);
    setenv("ROBOT_CAPTURE_SOURCE", sim->cameraSource().toUtf8().constData(), 1);
}
