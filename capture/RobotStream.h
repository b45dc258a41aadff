#pragma once
// The robot's camera over the network (ROBOT_PORT=remote): robot-node sends
// it as RTP/JPEG over UDP while the port library asks for it on the
// program's behalf, naming a UDP port of this machine (PortIoCamera,
// drive/PortIo.h). Every packet carries its frame's capture time on the
// robot's clock (a one-byte RTP header extension, id 1, 8 bytes big-endian);
// the source bin turns it into this program's clock and hands it on with the
// frame as a reference timestamp meta of caps RobotCaptureTimeCaps. A frame
// whose time is not known (no extension, the clocks not matched yet) is
// dropped: nothing downstream takes a picture of unknown age.
#include <cstdint>
#include <string>

typedef struct _GstElement GstElement;
typedef struct _GstBuffer GstBuffer;

// The meta's caps: its timestamp is the capture time on core/Clock.h's clock.
constexpr const char *RobotCaptureTimeCaps = "timestamp/x-robot-capture";
constexpr int RobotCaptureTimeExtensionId = 1;

// A source bin with JPEG pictures on its one source pad (floating, for a
// pipeline to take), receiving on a fresh UDP port that the port library asks
// the robot to send to until the bin goes. Null, with the reason in
// `problem`, when the library serves no camera or the bin cannot be made.
GstElement *OpenRobotStream(std::string &problem);

// The capture time `buffer` carries (RobotCaptureTimeCaps), or 0.
int64_t RobotCaptureTime(GstBuffer *buffer);

// The capture time an RTP packet's header extension carries (the robot's
// clock), or 0 for none: the one-byte extension RobotCaptureTimeExtensionId
// of exactly 8 bytes, big-endian.
int64_t PacketCaptureTime(const uint8_t *data, unsigned size);
