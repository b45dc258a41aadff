#pragma once
// The run flag shared by the two sensor drives: either START clears it, either
// STOP sets it, and one STOP therefore ends every sensor loop running, nested
// ones included (each leaves at its own next test, innermost first).
#include <cstdint>

constexpr int32_t SensorRun = 0;
constexpr int32_t SensorStop = 1;

// 0 = run, 1 = stop.
extern int32_t SensorStopFlag;

// True when a sensor loop should end at this test of the flag: STOP was
// pressed, the main window is being closed, or every drive is being stopped.
bool SensorDriveMustEnd();

// The body of both STOP buttons: drains what is waiting, raises the flag and
// switches the motors off twice, 10 ms apart.
void StopSensorDrives();
