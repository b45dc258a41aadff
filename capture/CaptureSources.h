#pragma once
// The capture devices the service offers and what it remembers of them for the
// life of the program (as a capture driver keeps its settings): the device
// chosen in the source dialog, the frame size chosen in the format dialog and
// the picture controls.
#include "capture/CameraChoice.h"

#include <QSize>

#include <map>
#include <optional>
#include <string>
#include <vector>

// Environment variable that selects the capture devices: unset the V4L2
// cameras, or when there is none the cameras libcamera finds (a Raspberry Pi
// camera module); "v4l2" the V4L2 cameras only; a device path ("/dev/video2")
// that V4L2 device; "libcamera" the libcamera cameras; "test" a moving test
// picture; "unix:<path>" a raw video stream on a local socket of this user
// (see LocalStream.h); anything else a GStreamer source description. Unset,
// while the port library in use serves the robot's camera over the network
// (ROBOT_PORT=remote), that camera alone (see RobotStream.h): a value set
// wins over it.
constexpr const char *CaptureSourceVariable = "ROBOT_CAPTURE_SOURCE";

// The GStreamer element of libcamera's cameras, and the Debian package that
// has it.
constexpr const char *LibcameraElement = "libcamerasrc";
constexpr const char *LibcameraPackage = "gstreamer1.0-libcamera";

// A source of pictures. A new kind (a camera elsewhere, whose frames carry the
// time they were taken) is one more Kind and one more case where the pipeline
// makes its source element (CameraPipeline.cpp, MakeSource).
struct CaptureSource {
    enum class Kind { V4l2, Libcamera, Test, LocalStream, Description, Robot };
    Kind kind = Kind::Test;
    // Device path, libcamera's camera name (empty: the first camera), "test",
    // "robot", or the value itself.
    std::string key;
    std::string name; // shown in the source dialog and in messages
};

// The devices as the environment selects them; V4L2 and libcamera cameras
// come from GStreamer's device monitor, V4L2 ones ordered by device path. May
// be empty.
std::vector<CaptureSource> CaptureSources();

// Why there is no capture driver `index`: what was looked for, and what to do.
std::string NoCameraMessage(unsigned index);

// The frame size every device starts with.
constexpr int DefaultFrameWidth = 320;
constexpr int DefaultFrameHeight = 240;

// What the format dialog chose for a device: the size of the frames the
// program works on, and the form to ask the device for when it has that size
// in both (none: the pipeline chooses, see ChooseOffer).
struct FrameChoice {
    QSize size{DefaultFrameWidth, DefaultFrameHeight};
    std::optional<PictureForm> form;
};

struct DriverSettings {
    // Key of the device driver 0 stands for; empty: the first device.
    std::string chosenDevice;
    // Frame size and form chosen per device key.
    std::map<std::string, FrameChoice> frames;
    // Picture controls (lower-case name → value) chosen per device key.
    std::map<std::string, std::map<std::string, int>> pictureControls;

    FrameChoice Frames(const std::string &key) const;
};

// The one set of driver settings of this program (GUI thread only).
DriverSettings &CaptureDriverSettings();

// The device a driver index stands for: index 0 is the device chosen in the
// source dialog, else the first; index n > 0 the n-th. False when there is none.
bool ResolveDriver(unsigned index, CaptureSource &source);
