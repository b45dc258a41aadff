#pragma once
// The camera line follower's settings and its per-frame function.
#include "capture/CaptureWindow.h"

#include <cstdint>

// Half-width of the left half's colour window (Edit36).
extern int32_t LineTolerance;
// MoveForward pulses at the end of every analysed frame (Edit37).
extern int32_t LineForwardSteps;
// TurnLeft or TurnRight pulses per matching half per frame (Edit38).
extern int32_t LineTurnSteps;

// Installed on LineCaptureWindow: one full pass of the follower per preview
// frame (grab, save, load, average, show, steer, preview on). Works on
// LineCaptureWindow whatever window it is given; returns 1. A frame that
// cannot be saved or loaded ends the pass with its error, which the capture
// window shows as it shows any frame callback's. A frame of the capture
// window that is not current (core/FrameAge.h) is not steered by; a camera
// that stamps its pictures and stalls stops the follower with one message.
LRESULT LineFrameCallback(HWND window, VIDEOHDR *header);
