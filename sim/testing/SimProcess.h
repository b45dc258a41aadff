#pragma once
// For tests: robot-sim as a child process with a world and a socket of its
// own, headless, and its state as it answers queries.
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>

#include <cstdint>

// The simulator's answer to a query (see sim/app/SharedRobot.h).
struct SimState {
    int64_t t = 0;
    double x = 0, y = 0, heading = 0; // metres, degrees
    int data = 0;
    int status = 0;
    int contacts = 0;
    bool touching = false;
    double odometer = 0;
    double lineDistance = 0;
    double sensorLineDistance = 0;
    double trackPosition = 0;
    double trackLength = 0;
    double obstacleDistance = 0;
    QString controller;
    int cameraClients = 0;
    int64_t cameraFrames = 0;
};

class SimProcess {
public:
    // The world as JSON text, or empty for the simulator's default world.
    explicit SimProcess(const QString &worldJson = {});
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts robot-sim (QT_QPA_PLATFORM=offscreen) and waits for its ready
    // line. False, with the reason in error(), when it did not come up.
    bool Start(const std::string &socketPath = {});
    // Ends it with SIGTERM (SIGKILL after a few seconds); true when it ended
    // by itself with exit code 0.
    bool Stop();
    // Ends it at once with SIGKILL, as a crash would.
    void Kill();

    std::optional<SimState> Query() const;

    const std::string &socketPath() const { return socketPath_; }
    int cameraPort() const { return cameraPort_; }
    // The GStreamer source description of its camera.
    const QString &cameraSource() const { return cameraSource_; }
    const QString &error() const { return error_; }
    // Its process id (0 when not running).
    qint64 processId() const { return process_ ? process_->processId() : 0; }
    QString Output() const { return output_; }

    // robot-sim and the virtual robot's port library of this build.
    static QString Executable();
    static QString PortLibrary() { return QString::fromUtf8(PortLibraryFile); }
    // The same, as a path that lives as long as the program.
    static constexpr const char *PortLibraryFile = ROBOT_BINARY_DIR "/lib/sim/libinpout32.so";

private:
    QTemporaryDir dir_;
    QString worldJson_;
    std::unique_ptr<QProcess> process_;
    std::string socketPath_;
    int cameraPort_ = 0;
    QString cameraSource_;
    QString error_;
    mutable QString output_;
};
