#pragma once
// Closing the main window while a driving loop runs: the loops test this besides
// their own run flags, end at their next test, and leave the motors off.

// True once the main window has been closed, or the program asked to end.
bool WindowClosing();
// What every driving loop tests besides its own run flag: the window is
// closing, or every drive is being stopped (drive/DriveStop.h).
bool DrivesMustStop();
void SetWindowClosing(bool closing);

// Counts the driving loops now running (nested loops each count).
int RunningLoops();

// Marks one running loop for its lifetime.
class LoopScope {
public:
    LoopScope();
    ~LoopScope();
    LoopScope(const LoopScope &) = delete;
    LoopScope &operator=(const LoopScope &) = delete;
};
