#include "sim/testing/SimProcess.h"

#include "sim/protocol/SimLink.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRegularExpression>

namespace {
constexpr int StartTimeoutMs = 15000;
constexpr int QueryTimeoutMs = 1000;
} // namespace

QString SimProcess::Executable() { return QStringLiteral(ROBOT_BINARY_DIR "/bin/robot-sim"); }

SimProcess::SimProcess(const QString &worldJson) : worldJson_(worldJson) {}

SimProcess::~SimProcess() { Stop(); }

bool SimProcess::Start(const std::string &socketPath)
{
    const std::string path = socketPath.empty() ? (dir_.path() + "/sim.sock").toStdString() : socketPath;
    return Launch({QStringLiteral("--socket"), QString::fromStdString(path)},
                  QProcessEnvironment::systemEnvironment());
}

bool SimProcess::StartInItsOwnPlace(QProcessEnvironment env)
{
    env.remove(QStringLiteral("ROBOT_SIM_SOCKET"));
    return Launch({}, env);
}

bool SimProcess::Launch(const QStringList &socketArgs, const QProcessEnvironment &baseEnv)
{
    QStringList args = socketArgs;
    if (!worldJson_.isEmpty()) {
        const QString worldPath = dir_.filePath(QStringLiteral("world.json"));
        QFile file(worldPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(worldJson_.toUtf8()) < 0) {
            error_ = QStringLiteral("cannot write the world file");
            return false;
        }
        file.close();
        args.prepend(worldPath);
    }
    process_ = std::make_unique<QProcess>();
    QProcessEnvironment env = baseEnv;
    if (display_.empty()) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    } else {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), QString::fromStdString(display_));
    }
    process_->setProcessEnvironment(env);
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->start(Executable(), args);
    if (!process_->waitForStarted(StartTimeoutMs)) {
        error_ = QStringLiteral("robot-sim did not start: ") + process_->errorString();
        return false;
    }
    const QRegularExpression ready(QStringLiteral("ready socket=(\\S+) camera=(\\S+)"));
    const QRegularExpression source(QStringLiteral("camera source: (.*)\\n"));
    QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (process_->state() == QProcess::NotRunning)
            break;
        process_->waitForReadyRead(100);
        output_ += QString::fromUtf8(process_->readAll());
        const auto r = ready.match(output_);
        const auto s = source.match(output_);
        if (r.hasMatch() && s.hasMatch()) {
            socketPath_ = r.captured(1).toStdString();
            cameraSocket_ = r.captured(2).toStdString();
            cameraSource_ = s.captured(1).trimmed();
            return true;
        }
    }
    output_ += QString::fromUtf8(process_->readAll());
    error_ = QStringLiteral("robot-sim did not get ready: ") + output_;
    return false;
}

bool SimProcess::Stop()
{
    if (!process_ || process_->state() == QProcess::NotRunning)
        return process_ && process_->exitStatus() == QProcess::NormalExit && process_->exitCode() == 0;
    process_->terminate();
    if (!process_->waitForFinished(5000)) {
        process_->kill();
        process_->waitForFinished(5000);
        return false;
    }
    output_ += QString::fromUtf8(process_->readAll());
    return process_->exitStatus() == QProcess::NormalExit && process_->exitCode() == 0;
}

void SimProcess::Kill()
{
    if (!process_ || process_->state() == QProcess::NotRunning)
        return;
    process_->kill();
    process_->waitForFinished(5000);
}

QString SimProcess::Output() const
{
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->waitForReadyRead(10);
        output_ += QString::fromUtf8(process_->readAll());
    }
    return output_;
}

std::optional<SimState> SimProcess::Query() const
{
    // A link of its own for every query: the caller may be on any thread.
    simproto::SimLink link(0, socketPath_);
    const std::optional<std::string> text = link.Query(QueryTimeoutMs);
    if (!text)
        return std::nullopt;
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(*text)).object();
    SimState s;
    s.t = static_cast<int64_t>(o.value("t").toDouble());
    s.x = o.value("x").toDouble();
    s.y = o.value("y").toDouble();
    s.heading = o.value("heading").toDouble();
    s.data = o.value("data").toInt();
    s.status = o.value("status").toInt();
    s.contacts = o.value("contacts").toInt();
    s.touching = o.value("touching").toBool();
    s.odometer = o.value("odometer").toDouble();
    s.lineDistance = o.value("lineDistance").toDouble();
    s.sensorLineDistance = o.value("sensorLineDistance").toDouble();
    s.trackPosition = o.value("trackPosition").toDouble();
    s.trackLength = o.value("trackLength").toDouble();
    s.obstacleDistance = o.value("obstacleDistance").toDouble();
    s.controller = o.value("controller").toString();
    s.forcedStop = o.value("forcedStop").toString();
    s.forcedStops = o.value("forcedStops").toInt();
    s.cameraClients = o.value("cameraClients").toInt();
    s.cameraFrames = static_cast<int64_t>(o.value("cameraFrames").toDouble());
    s.arenaWidth = o.value("arenaWidth").toDouble();
    s.arenaHeight = o.value("arenaHeight").toDouble();
    s.paused = o.value("paused").toBool();
    s.world = o.value("world").toString();
    s.trailPoints = o.value("trailPoints").toInt();
    s.trailX = o.value("trailX").toDouble();
    s.trailY = o.value("trailY").toDouble();
    return s;
}
