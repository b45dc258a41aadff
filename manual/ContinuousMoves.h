#pragma once
#include <cstdint>

// Non-zero while continuous moves go on; only STOP clears it, and every loop
// sets it back to 1 when it ends.
extern uint8_t ContinuousRunFlag;

// The loop of "Ruch ciagly": `command` in 200 ms pulses (the duration it reads
// is set to 200), messages drained after each, until STOP, the window's close
// or the emergency stop; a key's run (KeyDriving.h) also ends when `held`
// turns false. Sets the flag back to 1 when it ends.
void RunContinuously(int32_t &durationMs, void (*command)(), const bool *held = nullptr);
