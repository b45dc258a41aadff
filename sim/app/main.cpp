// robot-sim: the virtual robot. Shows the arena, answers the port library's
// register accesses on a local socket and serves the robot's camera on
// another, both only to this user.
//
//   robot-sim [WORLD.json] [--socket PATH]
//
// Without a world file it uses the default world built into it. The sockets
// go to a private folder (see SocketFolder) unless --socket or
// ROBOT_SIM_SOCKET names the port socket; the camera's is beside it. Once it
// is ready it prints, on standard output:
//   robot-sim: ready socket=<path> camera=<path>
//   robot-sim: camera source: <value for ROBOT_CAPTURE_SOURCE>
// and "robot-sim: world <path>" each time another world is opened from the
// window. It runs until its window is closed or it receives SIGTERM or SIGINT.
#include "sim/app/ArenaMark.h"
#include "sim/app/ArenaView.h"
#include "sim/app/CameraServer.h"
#include "sim/app/LocalSocket.h"
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
#include <cstdlib>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr const char *DefaultWorld = ":/worlds/default.json";
// The control program's window ends about here (left 16, 490 wide).
constexpr int ProgramWindowRight = 520;

int g_signalPipe[2] = {-1, -1};

// The private folder for the sockets, also the toolkit's runtime folder when
// it had none that is private (rather than one in /tmp of a name anyone could
// guess). Static, so that it is removed last, also when the option parser
// ends the program.
std::unique_ptr<SocketFolder> g_folder;

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
    try {
        g_folder = std::make_unique<SocketFolder>();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "robot-sim: %s\n", e.what());
        return 1;
    }
    if (g_folder->fresh())
        setenv("XDG_RUNTIME_DIR", g_folder->path().c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("robot-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The virtual robot: arena window, port socket and camera."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("world"), QStringLiteral("World file (JSON); default: the built-in default world."));
    const QCommandLineOption socketOption(
        QStringLiteral("socket"),
        QStringLiteral("Socket for the port library, in a folder closed to others' writes (default: "
                       "$ROBOT_SIM_SOCKET, else robot-sim.sock in $XDG_RUNTIME_DIR when that is private, "
                       "else in a fresh private folder). The camera's socket is made beside it."),
        QStringLiteral("path"));
    parser.addOption(socketOption);
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    if (args.size() > 1) {
        std::fprintf(stderr, "robot-sim: at most one world file\n");
        return 2;
    }
    const QString worldPath = args.isEmpty() ? QString::fromLatin1(DefaultWorld) : args[0];
    std::string socketPath = parser.value(socketOption).toStdString();
    if (const char *named = std::getenv(simproto::SocketVariable); socketPath.empty() && named)
        socketPath = named;
    if (socketPath.empty())
        socketPath = g_folder->path() + "/" + simproto::SocketFileName;

    try {
        CheckSocketFolder(socketPath);
        auto world = std::make_shared<const sim::World>(sim::LoadWorld(worldPath));
        auto floor = std::make_shared<const sim::FloorMap>(*world);
        const QString worldName = args.isEmpty() ? QStringLiteral("default world") : QFileInfo(worldPath).fileName();
        SharedRobot robot(std::move(world), std::move(floor), worldName.toStdString());
        CameraServer camera(robot, CameraSocketPath(socketPath));
        PortServer server(socketPath, robot, [&robot, &camera](int64_t ns) {
            sim::Simulation view = robot.Snapshot();
            view.AdvanceTo(ns);
            SimulatorFacts facts = robot.Facts();
            facts.cameraClients = camera.Clients();
            facts.cameraFrames = camera.Frames();
            return StateJson(view, facts);
        });

        ArenaView view(robot, [&camera] { return camera.LatestPicture(); }, args.isEmpty() ? QString() : worldPath);
        // Beside the control program's window, which stands at the screen's left edge.
        view.move(ProgramWindowRight, 0);
        view.show();
        // The control program's stop keys work in this window too.
        ArenaMark mark(view, server.path());
        QuitOnSignals(app);

        std::printf("robot-sim: ready socket=%s camera=%s\n", server.path().c_str(), camera.path().c_str());
        std::printf("robot-sim: camera source: %s\n", camera.SourceDescription().c_str());
        std::fflush(stdout);
        return QApplication::exec();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "robot-sim: %s\n", e.what());
        return 1;
    }
}
