#include "sim/testing/SimWindow.h"

#include <QDeadlineTimer>
#include <QThread>

#include <sstream>

namespace {
constexpr int WindowTimeoutMs = 30000;
// The arena window's title starts so.
constexpr const char *WindowPattern = "^Virtual robot - ";
// Points a drag passes through, so that the window sees the robot moved.
constexpr int DragSteps = 4;
} // namespace

SimWindow::SimWindow(const QString &worldJson) : sim_(worldJson) {}

int SimWindow::Run(std::vector<std::string> argv, std::string *output, int timeoutMs)
{
    return RunCommand(argv, output, timeoutMs, {{"DISPLAY", display_.Name()}});
}

bool SimWindow::Start(std::string *error)
{
    if (!display_.Start(error))
        return false;
    sim_.ShowOn(display_.Name());
    if (!sim_.Start()) {
        *error = sim_.error().toStdString();
        return false;
    }
    window_ = FindWindow(WindowPattern, WindowTimeoutMs);
    if (window_.empty()) {
        *error = "no arena window within 30 s";
        return false;
    }
    // Keys go to the focused window; there is no window manager to give it.
    Run({"xdotool", "windowfocus", "--sync", window_});
    return true;
}

std::string SimWindow::FindWindow(const std::string &pattern, int ms)
{
    QDeadlineTimer deadline(ms);
    for (;;) {
        std::string found;
        Run({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(sim_.pid()), "--name", pattern}, &found,
            5000);
        std::istringstream ids(found);
        std::string id;
        ids >> id;
        if (!id.empty() || deadline.hasExpired())
            return id;
        QThread::msleep(50);
    }
}

std::string SimWindow::WindowName()
{
    std::string name;
    Run({"xdotool", "getwindowname", window_}, &name);
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

ArenaLayout SimWindow::Layout()
{
    std::string shell;
    Run({"xdotool", "getwindowgeometry", "--shell", window_}, &shell);
    int width = 0, height = 0;
    std::istringstream lines(shell);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("WIDTH=", 0) == 0)
            width = std::stoi(line.substr(6));
        if (line.rfind("HEIGHT=", 0) == 0)
            height = std::stoi(line.substr(7));
    }
    const std::optional<SimState> state = sim_.Query();
    return ArenaLayout(QSize(width, height), state ? state->arenaWidth : 1, state ? state->arenaHeight : 1);
}

std::vector<std::string> SimWindow::At(sim::Vec2 p)
{
    const QPointF at = Layout().ToScreen(p);
    return {"mousemove", "--window", window_, std::to_string(qRound(at.x())), std::to_string(qRound(at.y()))};
}

void SimWindow::Click(ArenaLayout::Button button)
{
    const QPoint at = Layout().button(button).center();
    Run({"xdotool", "mousemove", "--window", window_, std::to_string(at.x()), std::to_string(at.y()), "click", "1"});
}

void SimWindow::Key(const std::string &keys)
{
    Run({"xdotool", "windowfocus", "--sync", window_});
    Run({"xdotool", "key", keys});
}

void SimWindow::Drag(sim::Vec2 to)
{
    const std::optional<SimState> state = sim_.Query();
    if (!state)
        return;
    const sim::Vec2 from{state->x, state->y};
    std::vector<std::string> argv = {"xdotool"};
    auto add = [&argv](std::vector<std::string> part) { argv.insert(argv.end(), part.begin(), part.end()); };
    add(At(from));
    add({"mousedown", "1"});
    for (int i = 1; i <= DragSteps; ++i) {
        add({"sleep", "0.05"});
        add(At(from + (double(i) / DragSteps) * (to - from)));
    }
    add({"sleep", "0.05", "mouseup", "1"});
    Run(argv);
}

void SimWindow::TurnToward(sim::Vec2 toward)
{
    std::vector<std::string> argv = {"xdotool"};
    const std::vector<std::string> at = At(toward);
    argv.insert(argv.end(), at.begin(), at.end());
    argv.insert(argv.end(), {"click", "3"});
    Run(argv);
}

bool SimWindow::AnswerFileDialog(const std::string &path)
{
    const std::string dialog = FindWindow("^Open a world$", 10000);
    if (dialog.empty())
        return false;
    // The dialog opens with the file name field focused.
    Run({"xdotool", "windowfocus", "--sync", dialog});
    Run({"xdotool", "type", "--delay", "5", path});
    Run({"xdotool", "key", "Return"});
    return true;
}

bool SimWindow::DismissMessage(const std::string &title, int ms)
{
    const std::string box = FindWindow(title, ms);
    if (box.empty())
        return false;
    Run({"xdotool", "windowfocus", "--sync", box});
    Run({"xdotool", "key", "Return"});
    Run({"xdotool", "windowfocus", "--sync", window_});
    return true;
}
