#include "drive/Motor.h"

#include "core/Clock.h"
#include "drive/DriveStop.h"
#include "drive/PortIo.h"
#include "drive/ProgramEnd.h"
#include "drive/PulsePriority.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <sys/prctl.h>

int32_t ForwardTimeMs = 0;
int32_t TurnTimeMs = 0;

namespace {
// The default timer slack of 50 us would show in every pulse; 1 ns keeps the
// wake-up as close to the deadline as the scheduler allows.
void TightenTimerSlackOnce()
{
    static const bool done = [] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        return true;
    }();
    (void)done;
}

// At real-time priority the last moments before the deadline are spent
// watching the clock: the wake-up no longer depends on the scheduler.
void HoldUntil(int64_t startNs, int32_t ms, bool realTime)
{
    if (ms <= 0)
        return;
    const int64_t deadline = startNs + int64_t(ms) * 1000000;
    if (!realTime) {
        SleepUntilMs(startNs, ms);
        return;
    }
    TightenTimerSlackOnce();
    if (!programend::SleepUntil(deadline - PulseSpinNs))
        return;
    while (MonotonicNs() < deadline && !programend::Requested() && !drivestop::Active()) {
    }
}

void Pulse(short code, const int32_t &durationMs)
{
    // The drives are being stopped: a pulse not yet begun is skipped.
    if (drivestop::Active())
        return;
    const PortIoLibrary lib = BindPortIoLibrary();
    // From before the first write to after the last.
    const PulsePriority priority;
    try {
        lib.Out(DataPort, MotorOff);
        lib.Out(DataPort, code);
        // The duration is read now, after the code went out, and measured from here.
        HoldUntil(MonotonicNs(), durationMs, priority.RealTime());
        lib.Out(DataPort, MotorOff);
    } catch (...) {
        // The port failed mid-pulse: try to leave it at 0 before the error is shown.
        lib.MotorsOff();
        throw;
    }
}
} // namespace

void SleepUntilMs(int64_t startNs, int32_t ms)
{
    if (ms <= 0)
        return;
    TightenTimerSlackOnce();
    // Woken early when the program is asked to end; the caller then writes
    // 0 and its loop ends at the next test.
    programend::SleepUntil(startNs + int64_t(ms) * 1000000);
}

void SleepMs(int32_t ms)
{
    SleepUntilMs(MonotonicNs(), ms);
}

void MoveForward() { Pulse(MotorForwardCode, ForwardTimeMs); }
void MoveBackward() { Pulse(MotorBackwardCode, ForwardTimeMs); }
void TurnLeft() { Pulse(MotorLeftCode, TurnTimeMs); }
void TurnRight() { Pulse(MotorRightCode, TurnTimeMs); }

void PumpMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}
