#pragma once
// The motion detector of the camera tab: its program-wide state, the per-frame
// callback and the reset of its counts.
#include "capture/CaptureWindow.h"

#include <QString>

#include <cstdint>

// The smallest change of mean that counts as motion; taken from Edit34 at every
// click of Button16.
extern int32_t MotionThreshold;
// The means of the last two frames.
extern int32_t FrameMeans[2];
// The slot of FrameMeans the next frame writes: 0 or 1.
extern int32_t FrameMeanSlot;
// The mean of the frame being handled; 0 between frames.
extern int32_t CurrentFrameMean;
// Motion frames and still frames since program start or the last RESET.
extern int32_t MotionCount;
extern int32_t StillCount;
// Number of the next motion snapshot; never reset.
extern int32_t SnapshotNumber;
// The snapshot path of the latest frame.
extern QString SnapshotPath;

// Measures, marks and judges one frame; on motion plays "m.wav", saves a
// numbered, dated snapshot and shows it in Image5. A frame of a capture
// window that is not current (core/FrameAge.h) is passed over. Always
// returns 1.
LRESULT MotionFrameCallback(HWND window, VIDEOHDR *header);

// Clears the counts and the current mean and their labels.
void ResetMotionCounters();

// When detection stops: tells the operator how many snapshots could not be
// saved after the first such error (which was shown when it happened).
void ReportLostSnapshots();
