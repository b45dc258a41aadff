// robot-sim: the virtual robot. Shows the arena, answers the port library's
// register accesses on a local socket and serves the robot's camera on the
// loopback address.
//
//   robot-sim [WORLD.json] [--socket PATH] [--camera-port N]
//
// Without a world file it uses the default world built into it. Once it is
// ready it prints, on standard output:
//   robot-sim: ready socket=<path> camera-port=<port>
//   robot-sim: camera source: <GStreamer source description>
// and it runs until its window is closed or it receives SIGTERM or SIGINT.
#include "sim/app/ArenaView.h"
#include "sim/app/CameraServer.h"
#include "sim/app/PortServer.h"
#include "sim/app/SharedRobot.h"
#include "sim/core/Camera.h"
#include "sim/core/World.h"
#include "sim/protocol/SimProtocol.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr const char *DefaultWorld = ":/worlds/default.json";
// The control program's window ends about here (left 16, 490 wide).
constexpr int ProgramWindowRight = 520;

int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    if (write(g_signalPipe[1], &byte, 1) < 0) {
        // Nothing to do in a signal handler; the pipe is never full with one byte.
    }
}

// SIGTERM and SIGINT end the event loop, so that the socket file is removed.
void QuitOnSignals(QApplication &app)
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] { app.quit(); });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
} // namespace

int main(int argc, char *argv[])
{
    std::signal(SIGPIPE, SIG_IGN); // a client that goes away is noticed by send's result
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("robot-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The virtual robot: arena window, port socket and camera."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("world"), QStringLiteral("World file (JSON); default: the built-in default world."));
    const QCommandLineOption socketOption(QStringLiteral("socket"),
                                          QStringLiteral("Socket for the port library (default: $ROBOT_SIM_SOCKET, "
                                                         "else $XDG_RUNTIME_DIR/robot-sim.sock, else /tmp/robot-sim-<uid>.sock)."),
                                          QStringLiteral("path"));
    const QCommandLineOption portOption(QStringLiteral("camera-port"),
                                        QStringLiteral("TCP port of the camera on 127.0.0.1 (default 0: any free port)."),
                                        QStringLiteral("port"), QStringLiteral("0"));
    parser.addOption(socketOption);
    parser.addOption(portOption);
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    if (args.size() > 1) {
        std::fprintf(stderr, "robot-sim: at most one world file\n");
        return 2;
    }
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "robot-sim: --camera-port needs a number from 0 to 65535\n");
        return 2;
    }
    const QString worldPath = args.isEmpty() ? QString::fromLatin1(DefaultWorld) : args[0];
    const std::string socketPath =
        parser.isSet(socketOption) ? parser.value(socketOption).toStdString() : simproto::SocketPath();

    try {
        const sim::World world = sim::LoadWorld(worldPath);
        const sim::FloorMap floor(world);
        SharedRobot robot(world);
        CameraServer camera(robot, floor, static_cast<uint16_t>(port));
        PortServer server(socketPath, robot, [&robot, &camera](int64_t ns) {
            sim::Simulation view = robot.Snapshot();
            view.AdvanceTo(ns);
            return StateJson(view, robot.Controller(), camera.Clients(), camera.Frames());
        });

        ArenaView view(robot, floor, [&camera] { return camera.LatestPicture(); });
        view.setWindowTitle(QStringLiteral("Virtual robot - %1")
                                .arg(args.isEmpty() ? QStringLiteral("default world") : QFileInfo(worldPath).fileName()));
        // Beside the control program's window, which stands at the screen's left edge.
        view.move(ProgramWindowRight, 0);
        view.show();
        QuitOnSignals(app);

        std::printf("robot-sim: ready socket=%s camera-port=%u\n", server.path().c_str(), camera.port());
        std::printf("robot-sim: camera source: %s\n", camera.SourceDescription().c_str());
        std::fflush(stdout);
        return QApplication::exec();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "robot-sim: %s\n", e.what());
        return 1;
    }
}
