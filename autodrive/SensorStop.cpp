#include "autodrive/SensorStop.h"

#include "drive/Motor.h"
#include "drive/PortIo.h"
#include "drive/RunState.h"

int32_t SensorStopFlag = SensorRun;

namespace {
// Pause between the two "motors off" writes of STOP.
constexpr int32_t StopRepeatMs = 10;
} // namespace

bool SensorDriveMustEnd()
{
    return SensorStopFlag != SensorRun || DrivesMustStop();
}

void StopSensorDrives()
{
    const PortIoLibrary lib = BindPortIoLibrary();
    PumpMessages();
    SensorStopFlag = SensorStop;
    lib.Out(DataPort, MotorOff);
    SleepMs(StopRepeatMs);
    lib.Out(DataPort, MotorOff);
}
