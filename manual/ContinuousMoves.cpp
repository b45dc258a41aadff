// "Ruch ciagly": a direction button repeats 200 ms pulses until STOP. The loop
// drains messages between pulses; a STOP dispatched there clears the run flag,
// which the loop sees after its drain. A direction click dispatched there runs a
// second loop nested inside the first; each STOP ends the innermost one.
#include "manual/ContinuousMoves.h"

#include "core/ErrorDisplay.h"
#include "drive/Motor.h"
#include "drive/RunState.h"
#include "form/Unit1.h"

uint8_t ContinuousRunFlag = 1;

namespace {
constexpr int32_t ContinuousPulseMs = 200;
} // namespace

void RunContinuously(int32_t &durationMs, void (*command)(), const bool *held)
{
    LoopScope running;
    durationMs = ContinuousPulseMs;
    do {
        command();
        PumpMessages();
    } while (ContinuousRunFlag != 0 && !DrivesMustStop() && (!held || *held));
    ContinuousRunFlag = 1;
}

void TForm1::Button6Click() { RunHandler([] { RunContinuously(ForwardTimeMs, MoveBackward); }); }
void TForm1::Button7Click() { RunHandler([] { RunContinuously(ForwardTimeMs, MoveForward); }); }
void TForm1::Button8Click() { RunHandler([] { RunContinuously(TurnTimeMs, TurnLeft); }); }
void TForm1::Button9Click() { RunHandler([] { RunContinuously(TurnTimeMs, TurnRight); }); }

void TForm1::Button10Click()
{
    RunHandler([] {
        PumpMessages();
        ContinuousRunFlag = 0;
        PumpMessages();
    });
}
