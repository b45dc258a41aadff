#include "support/Harness.h"

#include "capture/CaptureTesting.h"
#include "core/ErrorDisplay.h"
#include "core/RobotWiring.h"
#include "drive/Motor.h"
#include "drive/RunState.h"
#include "form/CameraShared.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::vector<PortAccess> ReadTrace(const std::string &path)
{
    std::vector<PortAccess> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        PortAccess a{};
        char kind = 0;
        if (std::sscanf(line.c_str(), "%ld,%c,%d,%d", &a.ns, &kind, &a.port, &a.value) == 4) {
            a.kind = kind;
            out.push_back(a);
        }
    }
    return out;
}

std::vector<int> DataWrites(const std::vector<PortAccess> &trace)
{
    std::vector<int> out;
    for (const auto &a : trace)
        if (a.kind == 'W' && a.port == DataPort)
            out.push_back(a.value);
    return out;
}

std::vector<Pulse> Pulses(const std::vector<PortAccess> &trace)
{
    std::vector<Pulse> out;
    for (size_t i = 0; i + 1 < trace.size(); ++i)
        if (trace[i].kind == 'W' && trace[i].value != 0)
            out.push_back({trace[i].value, (trace[i + 1].ns - trace[i].ns) / 1e6});
    return out;
}

bool WaitUntil(const std::function<bool()> &done, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void ProcessFor(int ms)
{
    WaitUntil([] { return false; }, ms);
}

void RobotTest::SetUp()
{
    dir_ = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(dir_->isValid());
    oldCwd_ = QDir::currentPath();
    QDir root(dir_->path());
    for (const char *sub : {"zdjecia/przechwyt", "zdjecia/ruch", "obrazki", "kamera"})
        root.mkpath(sub);
    QDir::setCurrent(dir_->path());
    tracePath_ = dir_->filePath("trace.txt").toStdString();
    setenv("ROBOT_PORT_TRACE", tracePath_.c_str(), 1);
    unsetenv("ROBOT_STATUS_SCRIPT");
    SetErrorDisplay([this](const std::string &m) { errors.push_back(m); });
    ForwardTimeMs = 0;
    TurnTimeMs = 0;
    SetWindowClosing(false);
    // The camera state lives for the whole program: each test starts as a
    // freshly started program would.
    CameraRunning = 0;
    CaptureWindow = nullptr;
    LineCaptureWindow = nullptr;
    ResetCaptureDriverSettings();
}

void RobotTest::TearDown()
{
    timers_.clear();
    SetCaptureMessageRecorder({});
    SetCaptureDialogHook({});
    form_.reset(); // and with it the capture windows
    Form1 = nullptr;
    CameraRunning = 0;
    SetErrorDisplay({});
    for (const char *name : {"ROBOT_PORT_TRACE", "ROBOT_STATUS_SCRIPT", "ROBOT_CAPTURE_SOURCE", "ROBOT_AUDIO_SINK"})
        unsetenv(name);
    QDir::setCurrent(oldCwd_);
}

TForm1 &RobotTest::Form()
{
    if (!form_) {
        form_ = std::make_unique<TForm1>();
        Form1 = form_.get();
    }
    return *form_;
}

void RobotTest::ScriptStatus(const std::vector<int> &values)
{
    const std::string path = dir_->filePath(QString("status%1.txt").arg(++scripts_)).toStdString();
    std::ofstream out(path);
    for (int v : values)
        out << v << '\n';
    out.close();
    setenv("ROBOT_STATUS_SCRIPT", path.c_str(), 1);
}

void RobotTest::After(int ms, std::function<void()> action)
{
    QTimer::singleShot(ms, std::move(action));
}

size_t RobotTest::Reads() const
{
    size_t n = 0;
    for (const auto &a : Trace())
        n += a.kind == 'R';
    return n;
}

void RobotTest::ClickAfterReads(size_t reads, std::function<void()> click)
{
    timers_.push_back(std::make_unique<QTimer>());
    QTimer *t = timers_.back().get();
    QObject::connect(t, &QTimer::timeout, [this, t, reads, click] {
        if (Reads() >= reads) {
            t->stop();
            click();
        }
    });
    t->start(0);
}

double RobotTest::Held(size_t i) const
{
    std::vector<int64_t> at;
    for (const auto &a : Trace())
        if (a.kind == 'W')
            at.push_back(a.ns);
    return i + 1 < at.size() ? (at[i + 1] - at[i]) / 1e6 : -1;
}
