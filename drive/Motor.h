#pragma once
// Timed motor pulses on the data register and the message drain of the
// long-running handlers.
#include <cstdint>

// Motor codes on the data register. Bits 4/3 drive one motor forward/backward,
// bits 1/0 the other; a code sets exactly one bit of each pair.
constexpr short MotorOff = 0x00;
constexpr short MotorForwardCode = 0x12;  // 18: D4 (pin 6) + D1 (pin 3)
constexpr short MotorBackwardCode = 0x09; // 9:  D3 (pin 5) + D0 (pin 2)
constexpr short MotorLeftCode = 0x11;     // 17: D4 (pin 6) + D0 (pin 2)
constexpr short MotorRightCode = 0x0A;    // 10: D3 (pin 5) + D1 (pin 3)

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

// CLOCK_MONOTONIC in nanoseconds.
int64_t MonotonicNs();
