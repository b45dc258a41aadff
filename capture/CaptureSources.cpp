#include "capture/CaptureSources.h"

#include "capture/GStreamer.h"
#include "capture/LocalStream.h"

#include <gst/gst.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {
constexpr const char *V4l2Choice = "v4l2";
constexpr const char *TestChoice = "test";
constexpr const char *TestSourceName = "Obraz testowy";

std::string DeviceProperty(GstDevice *device, const char *name)
{
    std::string value;
    if (GstStructure *props = gst_device_get_properties(device)) {
        if (const char *text = gst_structure_get_string(props, name))
            value = text;
        gst_structure_free(props);
    }
    return value;
}

std::vector<CaptureSource> V4l2Cameras()
{
    EnsureGStreamer();
    std::vector<CaptureSource> cameras;
    GstDeviceMonitor *monitor = gst_device_monitor_new();
    gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
    if (gst_device_monitor_start(monitor)) {
        GList *devices = gst_device_monitor_get_devices(monitor);
        for (GList *item = devices; item; item = item->next) {
            GstDevice *device = GST_DEVICE(item->data);
            if (DeviceProperty(device, "device.api") != V4l2Choice)
                continue;
            std::string path = DeviceProperty(device, "api.v4l2.path");
            if (path.empty())
                path = DeviceProperty(device, "device.path");
            if (path.empty())
                continue;
            gchar *display = gst_device_get_display_name(device);
            cameras.push_back({CaptureSource::Kind::V4l2, path,
                               std::string(display ? display : "") + " (" + path + ")"});
            g_free(display);
        }
        g_list_free_full(devices, gst_object_unref);
        gst_device_monitor_stop(monitor);
    }
    gst_object_unref(monitor);
    std::sort(cameras.begin(), cameras.end(),
              [](const CaptureSource &a, const CaptureSource &b) { return a.key < b.key; });
    return cameras;
}
} // namespace

std::vector<CaptureSource> CaptureSources()
{
    const char *choice = std::getenv(CaptureSourceVariable);
    if (!choice || !*choice || std::strcmp(choice, V4l2Choice) == 0)
        return V4l2Cameras();
    if (std::strcmp(choice, TestChoice) == 0)
        return {{CaptureSource::Kind::Test, TestChoice, TestSourceName}};
    if (std::strncmp(choice, LocalStreamPrefix, std::strlen(LocalStreamPrefix)) == 0)
        return {{CaptureSource::Kind::LocalStream, choice, choice}};
    return {{CaptureSource::Kind::Description, choice, choice}};
}

QSize DriverSettings::FrameSize(const std::string &key) const
{
    const auto it = frameSizes.find(key);
    return it != frameSizes.end() ? it->second : QSize(DefaultFrameWidth, DefaultFrameHeight);
}

DriverSettings &CaptureDriverSettings()
{
    static DriverSettings settings;
    return settings;
}

bool ResolveDriver(unsigned index, CaptureSource &source)
{
    const std::vector<CaptureSource> sources = CaptureSources();
    if (index >= sources.size())
        return false;
    source = sources[index];
    if (index == 0) {
        const std::string &chosen = CaptureDriverSettings().chosenDevice;
        const auto it = std::find_if(sources.begin(), sources.end(),
                                     [&](const CaptureSource &s) { return s.key == chosen; });
        if (it != sources.end())
            source = *it;
    }
    return true;
}
