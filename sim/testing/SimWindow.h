#pragma once
// For tests: robot-sim's arena window on a private X server, handled from
// outside as a user handles it, with xdotool: its buttons clicked, its keys
// pressed, the robot dragged and turned, its file dialog answered. Where the
// buttons and the robot are on the window comes from the window's own layout
// (ArenaLayout) at the window's size.
#include "sim/app/ArenaLayout.h"
#include "sim/testing/SimProcess.h"
#include "support/RobotProcess.h"

#include <QString>

#include <string>

class SimWindow {
public:
    // The world as JSON text, or empty for the default world.
    explicit SimWindow(const QString &worldJson = {});

    // Starts a display of its own and robot-sim on it, and waits for the
    // arena window. False, with the reason in `error`, when it did not show.
    bool Start(std::string *error);

    SimProcess &sim() { return sim_; }
    const std::string &DisplayName() const { return display_.Name(); }

    // A left click in the middle of a button.
    void Click(ArenaLayout::Button button);
    // Keys pressed in the window, as xdotool names them ("r", "space", "ctrl+o").
    void Key(const std::string &keys);
    // The robot taken at its centre with the left button and set down at
    // `to` (world metres), through a few points on the way.
    void Drag(sim::Vec2 to);
    // The right button pressed at `toward` (world metres): the robot turns to face it.
    void TurnToward(sim::Vec2 toward);
    // Answers the open dialog (after Ctrl+O or the button) with `path`.
    // False when no dialog showed within a few seconds.
    bool AnswerFileDialog(const std::string &path);
    // Closes the message box titled `title` with Return; false when none
    // showed within `ms`.
    bool DismissMessage(const std::string &title, int ms = 5000);
    // The X windows of robot-sim whose name matches `pattern` (a regular
    // expression), in decimal; empty when there are none.
    std::string FindWindow(const std::string &pattern, int ms);
    // The arena window's name as the X server has it.
    std::string WindowName();

    // The window's layout for the world it shows now.
    ArenaLayout Layout();

private:
    int Run(std::vector<std::string> argv, std::string *output = nullptr, int timeoutMs = 10000);
    // The window's point over world point `p`, as xdotool's arguments.
    std::vector<std::string> At(sim::Vec2 p);

    VirtualDisplay display_;
    SimProcess sim_;
    std::string window_;
};
