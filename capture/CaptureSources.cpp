#include "capture/CaptureSources.h"

#include "capture/GStreamer.h"
#include "capture/LocalStream.h"
#include "drive/PortIo.h"

#include <gst/gst.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {
constexpr const char *V4l2Choice = "v4l2";
constexpr const char *LibcameraChoice = "libcamera";
constexpr const char *TestChoice = "test";
constexpr const char *DevicePathPrefix = "/dev/";
constexpr const char *TestSourceName = "Obraz testowy";
constexpr const char *LibcameraSourceName = "Kamera Raspberry Pi (libcamera)";
constexpr const char *RobotChoice = "robot";
constexpr const char *RobotSourceName = "Kamera robota (sieć)";

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

// libcamera's name of the camera a device stands for; false when the device
// is not one of libcamera's.
bool LibcameraName(GstDevice *device, std::string &name)
{
    GstElement *element = gst_device_create_element(device, nullptr);
    if (!element)
        return false;
    gst_object_ref_sink(element);
    GstElementFactory *factory = gst_element_get_factory(element);
    const bool ours = factory && std::strcmp(GST_OBJECT_NAME(factory), LibcameraElement) == 0;
    if (ours) {
        gchar *camera = nullptr;
        g_object_get(element, "camera-name", &camera, nullptr);
        name = camera ? camera : "";
        g_free(camera);
    }
    gst_object_unref(element);
    return ours;
}

struct Cameras {
    std::vector<CaptureSource> v4l2;
    std::vector<CaptureSource> libcamera;
};

Cameras MonitoredCameras()
{
    EnsureGStreamer();
    Cameras cameras;
    GstDeviceMonitor *monitor = gst_device_monitor_new();
    gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
    if (gst_device_monitor_start(monitor)) {
        GList *devices = gst_device_monitor_get_devices(monitor);
        for (GList *item = devices; item; item = item->next) {
            GstDevice *device = GST_DEVICE(item->data);
            gchar *display = gst_device_get_display_name(device);
            const std::string shown = display ? display : "";
            g_free(display);
            std::string camera;
            if (DeviceProperty(device, "device.api") == V4l2Choice) {
                std::string path = DeviceProperty(device, "api.v4l2.path");
                if (path.empty())
                    path = DeviceProperty(device, "device.path");
                if (!path.empty())
                    cameras.v4l2.push_back({CaptureSource::Kind::V4l2, path, shown + " (" + path + ")"});
            } else if (LibcameraName(device, camera)) {
                cameras.libcamera.push_back({CaptureSource::Kind::Libcamera, camera, shown + " (libcamera)"});
            }
        }
        g_list_free_full(devices, gst_object_unref);
        gst_device_monitor_stop(monitor);
    }
    gst_object_unref(monitor);
    std::sort(cameras.v4l2.begin(), cameras.v4l2.end(),
              [](const CaptureSource &a, const CaptureSource &b) { return a.key < b.key; });
    return cameras;
}

bool LibcameraInstalled()
{
    EnsureGStreamer();
    GstElementFactory *factory = gst_element_factory_find(LibcameraElement);
    if (factory)
        gst_object_unref(factory);
    return factory != nullptr;
}

const char *Choice()
{
    const char *choice = std::getenv(CaptureSourceVariable);
    return choice ? choice : "";
}
} // namespace

std::vector<CaptureSource> CaptureSources()
{
    const std::string choice = Choice();
    if (choice.empty() && LoadedPortIoCamera())
        return {{CaptureSource::Kind::Robot, RobotChoice, RobotSourceName}};
    if (choice.empty() || choice == V4l2Choice) {
        Cameras cameras = MonitoredCameras();
        // A Raspberry Pi camera module is reached through libcamera only.
        if (choice.empty() && cameras.v4l2.empty())
            return cameras.libcamera;
        return cameras.v4l2;
    }
    if (choice == LibcameraChoice) {
        std::vector<CaptureSource> cameras = MonitoredCameras().libcamera;
        // Without one, the first camera is still tried, so that connecting
        // says what is missing (the element, or the camera).
        if (cameras.empty())
            cameras.push_back({CaptureSource::Kind::Libcamera, "", LibcameraSourceName});
        return cameras;
    }
    if (choice == TestChoice)
        return {{CaptureSource::Kind::Test, TestChoice, TestSourceName}};
    if (choice.compare(0, std::strlen(LocalStreamPrefix), LocalStreamPrefix) == 0)
        return {{CaptureSource::Kind::LocalStream, choice, choice}};
    if (choice.compare(0, std::strlen(DevicePathPrefix), DevicePathPrefix) == 0)
        return {{CaptureSource::Kind::V4l2, choice, choice}};
    return {{CaptureSource::Kind::Description, choice, choice}};
}

std::string NoCameraMessage(unsigned index)
{
    const std::string choice = Choice();
    if (index > 0 && !CaptureSources().empty())
        return "There is no capture driver " + std::to_string(index) + ".";
    const std::string choose = " Plug a camera in, or choose one with " + std::string(CaptureSourceVariable) +
                               " (for example test, /dev/video2 or libcamera).";
    if (choice == V4l2Choice)
        return "No camera found: no V4L2 camera (/dev/video*) is connected." + choose;
    if (!LibcameraInstalled())
        return "No camera found: no V4L2 camera (/dev/video*) is connected (a Raspberry Pi camera module "
               "would need the package " + std::string(LibcameraPackage) + ")." + choose;
    return "No camera found: no V4L2 camera (/dev/video*) is connected and libcamera finds no camera." + choose;
}

FrameChoice DriverSettings::Frames(const std::string &key) const
{
    const auto it = frames.find(key);
    return it != frames.end() ? it->second : FrameChoice();
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
