#pragma once
// The sensor line follower's loop, in the steps its START button runs. The
// sampling step is separate so that its cost can be measured on its own.
#include "core/SensorDecisions.h"
#include "drive/PortIo.h"

#include <cstdint>

class TForm1;

namespace autodrive {

// The seven settings, read once per START; times in milliseconds.
struct LineFollowerSettings {
    int32_t Samples = 0;     // readings of the status register per cycle
    int32_t IntervalMs = 0;  // pause after each reading and after each match
    int32_t StopMs = 0;      // how long the robot stands before it reads again
    int32_t LeftTurnMs = 0;  // the left-turn pulse when only the left sensor saw the line
    int32_t RightTurnMs = 0; // the right-turn pulse when only the right sensor saw it
    int32_t StopValue = 0;   // the reading that keeps the robot standing
    int32_t SlowDownMs = 0;  // motors off before the cycle's last reading
};

// Converts the seven fields in the order START reads them; throws
// ConversionError at the first bad one.
LineFollowerSettings ReadLineFollowerSettings(const TForm1 &form);

// Sample `index` (from 0) of a cycle: the slow-down step before the last
// sample, one reading of the status register, the reading and the counts so
// far on the labels, a message drain, then the five category tests with their
// pauses.
void TakeLineSample(TForm1 &form, const PortIoLibrary &lib, const LineFollowerSettings &settings,
                    LineCounts &counts, int32_t index);

} // namespace autodrive
