#pragma once
// The real program (build/bin/robot) run as a user runs it, on a private
// virtual X server, driven by clicks and key strokes from outside.
//
// Where a control is comes from a copy of the main window built offscreen in
// the test process from the same stored layout; without a window manager the
// program's window sits exactly where the program puts it, so a control's
// position in the copy is its position in the program's window. The copy also
// follows the tab bar (which page is shown, how far the tabs are scrolled).
#include <sys/types.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TForm1;
class QWidget;

using EnvVars = std::vector<std::pair<std::string, std::string>>;

// Runs a program to its end (at most `timeoutMs`); its standard output goes to
// `output` when given. Returns the exit code, or -1 when it could not be run,
// was killed, or ran too long (then it is killed).
int RunCommand(const std::vector<std::string> &argv, std::string *output = nullptr, int timeoutMs = 10000,
               const EnvVars &extraEnv = {});

// A child process started with its own environment, folder and output files.
struct SpawnRequest {
    std::vector<std::string> Argv;
    EnvVars Env;                  // the whole environment
    std::string Dir;              // working directory; empty: the caller's
    std::string StdoutPath;       // empty: /dev/null
    std::string StderrPath;       // empty: /dev/null
    bool OwnProcessGroup = false; // a process group of its own, led by the child
};
// The child's pid, or -1 (with the reason in `error`).
pid_t Spawn(const SpawnRequest &request, std::string *error = nullptr);

// Waits up to `ms` for the child to end; its wait status, or nothing while it runs.
std::optional<int> WaitForChild(pid_t pid, int ms);

// The test process's environment, less the variables whose names start with
// one of `dropPrefixes`.
EnvVars CurrentEnvironment(const std::vector<std::string> &dropPrefixes);

// A private Xvfb on a free display number (it chooses; -displayfd).
class VirtualDisplay {
public:
    VirtualDisplay() = default;
    ~VirtualDisplay() { Stop(); }
    VirtualDisplay(const VirtualDisplay &) = delete;
    VirtualDisplay &operator=(const VirtualDisplay &) = delete;

    // Starts the server and waits until it takes connections.
    bool Start(std::string *error = nullptr);
    // Ends the server (SIGTERM, then SIGKILL) and reaps it.
    void Stop();
    // ":N"
    const std::string &Name() const { return name_; }
    pid_t Pid() const { return pid_; }
    // What the server said on standard error, and whether it still runs: for
    // the message of a program it turned away.
    std::string Log() const;

private:
    pid_t pid_ = -1;
    std::string name_;
    std::string log_;
};

class RobotProcess {
public:
    RobotProcess();
    ~RobotProcess();
    RobotProcess(const RobotProcess &) = delete;
    RobotProcess &operator=(const RobotProcess &) = delete;

    // Starts a display of its own (first time only), prepares a fresh working
    // directory (scripts/prepare-workdir.sh) and starts build/bin/robot in it
    // with the test's environment (less display, Qt platform, preload, library
    // path and ROBOT_ switches) plus `env`; waits for the main window. The
    // hardware port library is found next to the program unless `env` puts
    // another folder on LD_LIBRARY_PATH.
    bool Start(const EnvVars &env, std::string *error = nullptr);
    // Only the display, for what is to be there before the program.
    bool StartDisplay(std::string *error = nullptr) { return display_.Start(error); }

    pid_t Pid() const { return pid_; }
    pid_t DisplayPid() const { return display_.Pid(); }
    const std::string &DisplayName() const { return display_.Name(); }
    // The X window id of the main window, in decimal.
    const std::string &WindowId() const { return window_; }
    std::string WorkDir() const;
    // Everything the program wrote to standard error so far.
    std::string Stderr() const;
    // Its lines that start with `prefix`.
    std::vector<std::string> StderrLines(const std::string &prefix) const;

    // A left click in the middle of the control of that object name; the
    // control's tab page is brought up first by clicking its tab.
    void Click(const std::string &objectName);
    // Replaces the text of an edit field: click, select all, type.
    void Type(const std::string &objectName, const std::string &text);
    // Asks the window to close, as a window manager's close button does.
    bool CloseWindow();
    // Key strokes to the focused window (xdotool key names: Escape, space,
    // Up, ...): pressed and let go, or held down and let go later.
    void Key(const std::string &name);
    void KeyDown(const std::string &name);
    void KeyUp(const std::string &name);
    // Closes the program's message box (its error display) with Return, once
    // it shows; false when none shows within `ms`.
    bool DismissMessageBox(int ms = 5000) { return AnswerMessageBox("Return", ms); }
    // The same with other keys (xdotool names: "alt+l" for a button "&Leave").
    bool AnswerMessageBox(const std::string &keys, int ms = 5000);
    // Shows the page of the tab with this object name (TabSheet3, ...).
    void ShowTab(const std::string &pageName);

    // Sends a signal to the program.
    void Signal(int signal);
    // Waits up to `ms` for the program to end; its wait status, or nothing.
    std::optional<int> WaitForExit(int ms);
    bool Running();
    // Ends the display server under the program (SIGKILL).
    void KillDisplay();

private:
    bool Launch(const EnvVars &env, std::string &why);
    bool ShowsItsWindow(std::string &why);
    void ShowPage(int index);
    void ClickAt(int x, int y);
    QWidget &Control(const std::string &objectName);

    QTemporaryDir dir_;
    VirtualDisplay display_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string window_;
    std::unique_ptr<TForm1> mirror_;
};

// A second client of the program's display that hears the main window's key
// presses as the program does: when the X server delivered a key, in the
// clock of the traces.
class KeyWitness {
public:
    KeyWitness(const std::string &display, const std::string &windowId);
    ~KeyWitness();
    KeyWitness(const KeyWitness &) = delete;
    KeyWitness &operator=(const KeyWitness &) = delete;
    // CLOCK_MONOTONIC ns at which the next key press arrived, or -1 after `ms`.
    long long NextPress(int ms);

private:
    void *display_ = nullptr;
};

// Wait-status checks; a failure says what the status was instead.
::testing::AssertionResult ExitedWith(const std::optional<int> &status, int code);
::testing::AssertionResult KilledBy(const std::optional<int> &status, int signal);
