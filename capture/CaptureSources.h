#pragma once
// The capture devices the service offers and what it remembers of them for the
// life of the program (as a capture driver keeps its settings): the device
// chosen in the source dialog, the frame size chosen in the format dialog and
// the picture controls.
#include <QSize>

#include <map>
#include <string>
#include <vector>

// Environment variable that selects the capture devices: unset or "v4l2" the
// V4L2 cameras, "test" a moving test picture, "unix:<path>" a raw video stream
// on a local socket of this user (see LocalStream.h), else a GStreamer source
// description.
constexpr const char *CaptureSourceVariable = "ROBOT_CAPTURE_SOURCE";

struct CaptureSource {
    enum class Kind { V4l2, Test, LocalStream, Description };
    Kind kind = Kind::Test;
    std::string key;  // device path, "test", or the value itself
    std::string name; // shown in the source dialog
};

// The devices as the environment selects them; V4L2 cameras come from
// GStreamer's device monitor, ordered by device path. May be empty.
std::vector<CaptureSource> CaptureSources();

// The frame size every device starts with.
constexpr int DefaultFrameWidth = 320;
constexpr int DefaultFrameHeight = 240;

struct DriverSettings {
    // Key of the device driver 0 stands for; empty: the first device.
    std::string chosenDevice;
    // Frame size chosen per device key.
    std::map<std::string, QSize> frameSizes;
    // Picture controls (lower-case name → value) chosen per device key.
    std::map<std::string, std::map<std::string, int>> pictureControls;

    QSize FrameSize(const std::string &key) const;
};

// The one set of driver settings of this program (GUI thread only).
DriverSettings &CaptureDriverSettings();

// The device a driver index stands for: index 0 is the device chosen in the
// source dialog, else the first; index n > 0 the n-th. False when there is none.
bool ResolveDriver(unsigned index, CaptureSource &source);
