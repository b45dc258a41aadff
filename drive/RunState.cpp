#include "drive/RunState.h"

#include "drive/DriveStop.h"
#include "drive/ProgramEnd.h"

namespace {
bool g_closing = false;
int g_loops = 0;
} // namespace

bool WindowClosing() { return g_closing || programend::Requested(); }
void SetWindowClosing(bool closing) { g_closing = closing; }
bool DrivesMustStop() { return WindowClosing() || drivestop::Active(); }
int RunningLoops() { return g_loops; }
LoopScope::LoopScope() { ++g_loops; }
LoopScope::~LoopScope() { --g_loops; }
