#pragma once
// How the control program finds the virtual robot's arena window, so that its
// stop keys work there too (app/StopKeys.h): robot-sim names its window in a
// property of the X root window whose atom is ArenaAtomPrefix followed by the
// path of its port socket, of type WINDOW, holding the window's id; the arena
// window carries the same property naming itself, so a name left behind by a
// robot-sim that crashed never points at another program's window. robot-sim
// sets both once its window shows and removes the root's at its end. The
// control program takes the arena of the socket its port library reaches
// (ROBOT_SIM_SOCKET, else robot-sim.sock in XDG_RUNTIME_DIR) and follows the
// property: a robot-sim started later or again is found. Plain C++, for the
// program and robot-sim.
#include <string>

constexpr const char *ArenaAtomPrefix = "_ROBOT_SIM_ARENA ";

inline std::string ArenaAtomName(const std::string &socketPath) { return ArenaAtomPrefix + socketPath; }
