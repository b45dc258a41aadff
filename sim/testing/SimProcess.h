#pragma once
// For tests: robot-sim as a child process with a world and a socket of its
// own, headless, and its state as it answers queries.
#include <QProcess>
#include <QProcessEnvironment>
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
    QString forcedStop; // why the simulator stopped the motors itself; empty when it has not since the last write
    int forcedStops = 0;
    int cameraClients = 0;
    int64_t cameraFrames = 0;
    double arenaWidth = 0, arenaHeight = 0; // metres
    bool paused = false;
    QString world; // its name
    int trailPoints = 0; // the arena window's trail, from (trailX, trailY)
    double trailX = 0, trailY = 0;
};

class SimProcess {
public:
    // The world as JSON text, or empty for the simulator's default world.
    explicit SimProcess(const QString &worldJson = {});
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Shows the window on X display `name` (":N") instead of offscreen; before Start.
    void ShowOn(const std::string &display) { display_ = display; }
    // Starts robot-sim (offscreen, or on the display given to ShowOn) with its port socket at
    // `socketPath` (empty: in a private folder of this object's) and waits for
    // its ready line. False, with the reason in error(), when it did not come up.
    bool Start(const std::string &socketPath = {});
    // The same without a socket path, so that robot-sim chooses the place
    // itself, in `env` (ROBOT_SIM_SOCKET removed).
    bool StartInItsOwnPlace(QProcessEnvironment env);
    // Ends it with SIGTERM (SIGKILL after a few seconds); true when it ended
    // by itself with exit code 0.
    bool Stop();
    // Ends it at once with SIGKILL, as a crash would.
    void Kill();

    std::optional<SimState> Query() const;

    // Where it listens, as its ready line says.
    const std::string &socketPath() const { return socketPath_; }
    const std::string &cameraSocket() const { return cameraSocket_; }
    // The value of ROBOT_CAPTURE_SOURCE that opens its camera.
    const QString &cameraSource() const { return cameraSource_; }
    qint64 pid() const { return process_ ? process_->processId() : 0; }
    const QString &error() const { return error_; }
    // What it has printed so far (standard output and error).
    QString Output() const;

    // robot-sim and the virtual robot's port library of this build.
    static QString Executable();
    static QString PortLibrary() { return QString::fromUtf8(PortLibraryFile); }
    // The same, as a path that lives as long as the program.
    static constexpr const char *PortLibraryFile = ROBOT_BINARY_DIR "/lib/sim/libinpout32.so";

private:
    bool Launch(const QStringList &args, const QProcessEnvironment &env);

    QTemporaryDir dir_;
    QString worldJson_;
    std::string display_;
    std::unique_ptr<QProcess> process_;
    std::string socketPath_;
    std::string cameraSocket_;
    QString cameraSource_;
    QString error_;
    mutable QString output_;
};
