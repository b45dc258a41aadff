#include "support/RobotProcess.h"

#include "form/Unit1.h"

#include <QCoreApplication>
#include <QTabBar>
#include <QToolButton>

#include <X11/Xlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {
using Clock = std::chrono::steady_clock;

const char *const WindowTitle = "PROGRAM STERUJACY ROBOTEM";

std::vector<char *> Pointers(std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What `fd` gives until its end, `enough` holds, or the deadline passes.
template <class Enough> std::string ReadUntil(int fd, Clock::time_point deadline, Enough &&enough)
{
    std::string text;
    while (!enough(text)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left)) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, size_t(n));
    }
    return text;
}

void Set(EnvVars &env, const std::string &name, const std::string &value)
{
    for (auto &var : env)
        if (var.first == name) {
            var.second = value;
            return;
        }
    env.emplace_back(name, value);
}
} // namespace

EnvVars CurrentEnvironment(const std::vector<std::string> &dropPrefixes)
{
    EnvVars env;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        const size_t eq = entry.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string name = entry.substr(0, eq);
        const bool dropped = std::any_of(dropPrefixes.begin(), dropPrefixes.end(), [&](const std::string &p) {
            return name.compare(0, p.size(), p) == 0;
        });
        if (!dropped)
            env.emplace_back(name, entry.substr(eq + 1));
    }
    return env;
}

pid_t Spawn(const SpawnRequest &request, std::string *error)
{
    std::vector<std::string> args = request.Argv;
    std::vector<std::string> envStrings;
    for (const auto &var : request.Env)
        envStrings.push_back(var.first + "=" + var.second);
    std::vector<char *> argv = Pointers(args);
    std::vector<char *> envp = Pointers(envStrings);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const std::string out = request.StdoutPath.empty() ? "/dev/null" : request.StdoutPath;
    const std::string err = request.StderrPath.empty() ? "/dev/null" : request.StderrPath;
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (!request.Dir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, request.Dir.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (request.OwnProcessGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        if (error)
            *error = "cannot start " + request.Argv[0] + ": " + std::strerror(result);
        return -1;
    }
    return pid;
}

std::optional<int> WaitForChild(pid_t pid, int ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status;
        if (done < 0 && errno != EINTR)
            return std::nullopt;
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int RunCommand(const std::vector<std::string> &argv, std::string *output, int timeoutMs, const EnvVars &extraEnv)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    std::vector<std::string> args = argv;
    std::vector<std::string> envStrings;
    EnvVars env = CurrentEnvironment({});
    for (const auto &var : extraEnv)
        Set(env, var.first, var.second);
    for (const auto &var : env)
        envStrings.push_back(var.first + "=" + var.second);
    std::vector<char *> argp = Pointers(args);
    std::vector<char *> envp = Pointers(envStrings);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (result != 0) {
        close(fds[0]);
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string text = ReadUntil(fds[0], deadline, [](const std::string &) { return false; });
    close(fds[0]);
    std::optional<int> status = WaitForChild(pid, int(std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count())));
    if (!status) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    if (output)
        *output = text;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

namespace {
std::string DescribeStatus(const std::optional<int> &status)
{
    if (!status)
        return "still running";
    if (WIFEXITED(*status))
        return "exited with " + std::to_string(WEXITSTATUS(*status));
    if (WIFSIGNALED(*status))
        return std::string("killed by ") + strsignal(WTERMSIG(*status)) + (WCOREDUMP(*status) ? " (core dumped)" : "");
    return "wait status " + std::to_string(*status);
}
} // namespace

::testing::AssertionResult ExitedWith(const std::optional<int> &status, int code)
{
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == code)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << DescribeStatus(status) << ", not exited with " << code;
}

::testing::AssertionResult KilledBy(const std::optional<int> &status, int signal)
{
    if (status && WIFSIGNALED(*status) && WTERMSIG(*status) == signal)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << DescribeStatus(status) << ", not killed by " << strsignal(signal);
}

// ---- VirtualDisplay -------------------------------------------------------

bool VirtualDisplay::Start(std::string *error)
{
    if (pid_ > 0)
        return true;
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    SpawnRequest request;
    // Through setpriv, so that the server ends with the test process even
    // when that one is killed (a test's time-out) or dies.
    // -noreset: a server whose last client leaves (a check, an xdotool call
    // before the program has connected) resets, and turns away whoever
    // connects meanwhile.
    request.Argv = {"setpriv", "--pdeathsig", "KILL", "Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten",
                    "tcp", "-noreset", "-screen", "0", "1024x768x24"};
    request.Env = CurrentEnvironment({});
    char logName[] = "/tmp/robot-xvfb-XXXXXX";
    const int logFd = mkstemp(logName);
    if (logFd >= 0) {
        close(logFd);
        log_ = logName;
        request.StderrPath = log_;
    }
    pid_ = Spawn(request, error);
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        return false;
    }
    // Xvfb writes its display number once it takes connections.
    std::string number = ReadUntil(fds[0], Clock::now() + std::chrono::seconds(20), [](const std::string &text) {
        return text.find('\n') != std::string::npos;
    });
    close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' '))
        number.pop_back();
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        if (error)
            *error = "Xvfb did not say which display it took";
        Stop();
        return false;
    }
    name_ = ":" + number;
    // Said to take connections: checked, for a server that has not opened
    // them all yet.
    const auto until = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        if (Display *x = XOpenDisplay(name_.c_str())) {
            XCloseDisplay(x);
            return true;
        }
        if (Clock::now() > until) {
            if (error)
                *error = "Xvfb took " + name_ + " but does not take connections";
            Stop();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string VirtualDisplay::Log() const
{
    const std::string said = log_.empty() ? std::string() : ReadFile(log_);
    const bool running = pid_ > 0 && kill(pid_, 0) == 0;
    return "Xvfb " + name_ + (running ? " runs" : " has ended") + (said.empty() ? "" : "; it said:\n" + said);
}

void VirtualDisplay::Stop()
{
    if (!log_.empty()) {
        unlink(log_.c_str());
        log_.clear();
    }
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    if (!WaitForChild(pid_, 5000)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

// ---- RobotProcess ------------------------------------------------------------

RobotProcess::RobotProcess() = default;

RobotProcess::~RobotProcess()
{
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        WaitForExit(5000);
    }
    mirror_.reset();
    display_.Stop();
}

std::string RobotProcess::WorkDir() const { return dir_.filePath("work").toStdString(); }

std::string RobotProcess::Stderr() const { return ReadFile(dir_.filePath("stderr.txt").toStdString()); }

std::vector<std::string> RobotProcess::StderrLines(const std::string &prefix) const
{
    std::vector<std::string> lines;
    std::istringstream in(Stderr());
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    return lines;
}

bool RobotProcess::Launch(const EnvVars &env, std::string &why)
{
    EnvVars all = CurrentEnvironment(
        {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "LD_PRELOAD", "LD_LIBRARY_PATH", "ROBOT_", "PARPORT_EMU_"});
    Set(all, "DISPLAY", display_.Name());
    Set(all, "ROBOT_AUDIO_SINK", "fakesink");
    for (const auto &var : env)
        Set(all, var.first, var.second);
    SpawnRequest request;
    request.Argv = {ROBOT_BINARY_DIR "/bin/robot"};
    request.Env = all;
    request.Dir = WorkDir();
    request.StdoutPath = dir_.filePath("stdout.txt").toStdString();
    request.StderrPath = dir_.filePath("stderr.txt").toStdString();
    // A job of its own, as a shell starts it: a signal to its group is not
    // one to the test's.
    request.OwnProcessGroup = true;
    status_.reset();
    pid_ = Spawn(request, &why);
    return pid_ > 0;
}

bool RobotProcess::ShowsItsWindow(std::string &why)
{
    // The main window, once it is mapped.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    window_.clear();
    while (window_.empty()) {
        std::string found;
        RunCommand({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid_), "--name",
                    std::string("^") + WindowTitle + "$"},
                   &found, 5000, {{"DISPLAY", display_.Name()}});
        std::istringstream ids(found);
        ids >> window_;
        if (!window_.empty())
            return true;
        if (!Running()) {
            why = "the program ended before its window showed:\n" + Stderr() + display_.Log();
            return false;
        }
        if (Clock::now() > deadline) {
            why = "no window within 30 s";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool RobotProcess::Start(const EnvVars &env, std::string *error)
{
    std::string ignored;
    std::string &why = error ? *error : ignored;
    if (!dir_.isValid())
        return false;
    if (RunCommand({ROBOT_SOURCE_DIR "/scripts/prepare-workdir.sh", ROBOT_BINARY_DIR, WorkDir()}) != 0) {
        why = "prepare-workdir.sh failed";
        return false;
    }
    if (!display_.Start(&why) || !Launch(env, why) || !ShowsItsWindow(why))
        return false;
    // Keys go to the focused window; there is no window manager to give it.
    RunCommand({"xdotool", "windowfocus", "--sync", window_}, nullptr, 5000, {{"DISPLAY", display_.Name()}});

    mirror_ = std::make_unique<TForm1>();
    mirror_->show();
    QCoreApplication::processEvents();
    return true;
}

QWidget &RobotProcess::Control(const std::string &objectName)
{
    QWidget *w = mirror_->findChild<QWidget *>(QString::fromStdString(objectName));
    if (!w)
        throw std::runtime_error("no control named " + objectName);
    return *w;
}

void RobotProcess::ClickAt(int x, int y)
{
    RunCommand({"xdotool", "mousemove", "--window", window_, std::to_string(x), std::to_string(y), "click", "1"},
               nullptr, 5000, {{"DISPLAY", display_.Name()}});
}

// Brings a page up as a user does: scrolls the tab bar with its arrows until
// the page's tab is in sight, then clicks the tab. The copy does the same.
void RobotProcess::ShowPage(int index)
{
    QTabWidget *tabs = mirror_->PageControl1;
    QTabBar *bar = tabs->tabBar();
    const QList<QToolButton *> arrows = bar->findChildren<QToolButton *>();
    for (int step = 0; step < 2 * tabs->count(); ++step) {
        int visibleRight = bar->width();
        QToolButton *back = nullptr;
        QToolButton *forth = nullptr;
        for (QToolButton *arrow : arrows) {
            if (!arrow->isVisible())
                continue;
            visibleRight = std::min(visibleRight, arrow->x());
            (arrow->arrowType() == Qt::LeftArrow ? back : forth) = arrow;
        }
        const QRect tab = bar->tabRect(index);
        QToolButton *arrow = tab.left() < 0 ? back : tab.right() >= visibleRight ? forth : nullptr;
        if (!arrow)
            break;
        const QPoint at = arrow->mapTo(mirror_.get(), arrow->rect().center());
        ClickAt(at.x(), at.y());
        arrow->click();
        QCoreApplication::processEvents();
    }
    const QPoint at = bar->mapTo(mirror_.get(), bar->tabRect(index).center());
    ClickAt(at.x(), at.y());
    tabs->setCurrentIndex(index);
    QCoreApplication::processEvents();
}

void RobotProcess::Click(const std::string &objectName)
{
    QWidget &w = Control(objectName);
    QTabWidget *tabs = mirror_->PageControl1;
    for (QWidget *page = &w; page; page = page->parentWidget()) {
        const int index = tabs->indexOf(page);
        if (index >= 0) {
            if (tabs->currentIndex() != index)
                ShowPage(index);
            break;
        }
    }
    const QPoint at = w.mapTo(mirror_.get(), w.rect().center());
    ClickAt(at.x(), at.y());
}

void RobotProcess::Type(const std::string &objectName, const std::string &text)
{
    Click(objectName);
    const EnvVars display{{"DISPLAY", display_.Name()}};
    RunCommand({"xdotool", "key", "ctrl+a", "BackSpace"}, nullptr, 5000, display);
    if (!text.empty())
        RunCommand({"xdotool", "type", "--delay", "5", text}, nullptr, 10000, display);
}

bool RobotProcess::CloseWindow()
{
    Display *x = XOpenDisplay(display_.Name().c_str());
    if (!x)
        return false;
    const Window window = std::stoul(window_);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(x, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const bool sent = XSendEvent(x, window, False, NoEventMask, &event) != 0;
    XCloseDisplay(x); // flushes
    return sent;
}

void RobotProcess::Key(const std::string &name)
{
    RunCommand({"xdotool", "key", name}, nullptr, 5000, {{"DISPLAY", display_.Name()}});
}

void RobotProcess::KeyDown(const std::string &name)
{
    RunCommand({"xdotool", "keydown", name}, nullptr, 5000, {{"DISPLAY", display_.Name()}});
}

void RobotProcess::KeyUp(const std::string &name)
{
    RunCommand({"xdotool", "keyup", name}, nullptr, 5000, {{"DISPLAY", display_.Name()}});
}

bool RobotProcess::AnswerMessageBox(const std::string &keys, int ms)
{
    const EnvVars display{{"DISPLAY", display_.Name()}};
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::string found;
    while (found.empty() && Clock::now() < deadline) {
        RunCommand({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid_), "--name", "^Robot$"},
                   &found, 5000, display);
        if (found.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::istringstream ids(found);
    std::string box;
    if (!(ids >> box))
        return false;
    RunCommand({"xdotool", "windowfocus", "--sync", box, "key", keys}, nullptr, 5000, display);
    // The main window has the keys again.
    RunCommand({"xdotool", "windowfocus", "--sync", window_}, nullptr, 5000, display);
    return true;
}

void RobotProcess::ShowTab(const std::string &pageName)
{
    const int index = mirror_->PageControl1->indexOf(&Control(pageName));
    if (index < 0)
        throw std::runtime_error(pageName + " is no tab page");
    ShowPage(index);
}

KeyWitness::KeyWitness(const std::string &display, const std::string &windowId)
{
    Display *x = XOpenDisplay(display.c_str());
    if (!x)
        throw std::runtime_error("cannot open the display " + display);
    XSelectInput(x, static_cast<Window>(std::stoul(windowId)), KeyPressMask);
    XSync(x, False);
    display_ = x;
}

KeyWitness::~KeyWitness() { XCloseDisplay(static_cast<Display *>(display_)); }

long long KeyWitness::NextPress(int ms)
{
    Display *x = static_cast<Display *>(display_);
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        while (XPending(x) > 0) {
            XEvent event;
            XNextEvent(x, &event);
            if (event.type == KeyPress) {
                timespec now;
                clock_gettime(CLOCK_MONOTONIC, &now);
                return now.tv_sec * 1000000000LL + now.tv_nsec;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return -1;
        pollfd p{ConnectionNumber(x), POLLIN, 0};
        poll(&p, 1, int(left));
    }
}

void RobotProcess::Signal(int signal)
{
    if (pid_ > 0 && !status_)
        kill(pid_, signal);
}

std::optional<int> RobotProcess::WaitForExit(int ms)
{
    if (!status_ && pid_ > 0)
        status_ = WaitForChild(pid_, ms);
    return status_;
}

bool RobotProcess::Running() { return pid_ > 0 && !WaitForExit(0); }

void RobotProcess::KillDisplay()
{
    if (display_.Pid() > 0)
        kill(display_.Pid(), SIGKILL);
}
