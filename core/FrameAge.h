#pragma once
// Whether a camera's picture is current enough to act on: the camera line
// follower steers and the motion detection judges only on a current one, and
// a running camera drive stops when no current picture has come for longer
// than the limit (the robot's camera over the network can stall or lag).
#include <cstdint>

// The oldest a picture may be, from its capture to its use.
constexpr int FrameAgeLimitMs = 150;
constexpr int64_t FrameAgeLimitNs = int64_t(FrameAgeLimitMs) * 1'000'000;

enum class FrameAge {
    Current,
    Late,    // taken longer than the limit ago
    Unknown, // no capture time, or one later than now by more than the limit
             // (the clocks do not agree): never taken as current
};

// `capturedNs` and `nowNs` on core/Clock.h's clock; 0 for a capture time not known.
FrameAge JudgeFrameAge(int64_t capturedNs, int64_t nowNs, int64_t limitNs = FrameAgeLimitNs);

// A running camera drive waits this long for its first picture (a camera over
// the network is asked for and opened first).
constexpr int FirstPictureWaitMs = 3000;

// Whether a camera drive started at `startNs` has lost its camera: no picture
// yet (`newestNs` 0) FirstPictureWaitMs after the start, or the newest picture
// its camera delivered no longer current.
bool CameraStalled(int64_t startNs, int64_t newestNs, int64_t nowNs);
