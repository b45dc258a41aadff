#include "capture/GStreamer.h"

#include <gst/gst.h>

#include <mutex>

void EnsureGStreamer()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (!gst_is_initialized())
            gst_init(nullptr, nullptr);
    });
}
