#include "core/FrameAge.h"

FrameAge JudgeFrameAge(int64_t capturedNs, int64_t nowNs, int64_t limitNs)
{
    if (capturedNs <= 0 || capturedNs - nowNs > limitNs)
        return FrameAge::Unknown;
    return nowNs - capturedNs > limitNs ? FrameAge::Late : FrameAge::Current;
}

bool CameraStalled(int64_t startNs, int64_t newestNs, int64_t nowNs)
{
    if (newestNs == 0)
        return nowNs - startNs > int64_t(FirstPictureWaitMs) * 1'000'000;
    return JudgeFrameAge(newestNs, nowNs) != FrameAge::Current;
}
