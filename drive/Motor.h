#pragma once
// Timed motor pulses on the data register and the message drain of the
// long-running handlers. The motor codes they write are in core/RobotWiring.h.
#include "core/RobotWiring.h"

#include <cstdint>

// Pulse lengths in milliseconds; callers set them before calling a command.
extern int32_t ForwardTimeMs;
extern int32_t TurnTimeMs;

// Each binds the port library afresh, writes 0, its code, holds it for its
// duration and writes 0 again. Returns when the pulse is over.
void MoveForward();
void MoveBackward();
void TurnLeft();
void TurnRight();

// Processes every pending event of the GUI thread without waiting; handlers
// whose events are waiting run nested inside this call.
void PumpMessages();

// Sleeps the given milliseconds (negative counts as 0) to an absolute deadline
// on the monotonic clock.
void SleepMs(int32_t ms);

// Sleeps until `startNs` + `ms` milliseconds on the monotonic clock.
void SleepUntilMs(int64_t startNs, int32_t ms);
