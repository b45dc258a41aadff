#pragma once
#include <cstdint>

// Non-zero while continuous moves go on; only STOP clears it, and every loop
// sets it back to 1 when it ends.
extern uint8_t ContinuousRunFlag;
