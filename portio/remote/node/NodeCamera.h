#pragma once
// robot-node's camera: the robot's own camera, chosen as the program chooses
// one (ROBOT_CAPTURE_SOURCE on the robot's computer: unset the first V4L2 or
// libcamera camera, "test", "unix:<path>", a device, a description), sent as
// RTP/JPEG over UDP to the programs that ask for it on the drive topic, while
// they renew their asks (CameraLeases). Each RTP packet carries its frame's
// capture time on the node's clock (LinkNs) in a one-byte header extension
// (RFC 8285, id CaptureTimeExtensionId, 8 bytes big-endian), so the program
// can tell a frame's age.
//
// The camera is opened at the first ask and closed when the last lease
// lapses, on a thread of its own: opening a device takes a while, and the
// node's main loop keeps the motors' times meanwhile.
//
// Owns the camera's pipeline, the sending pipeline and the thread.
#include "portio/remote/CameraLeases.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace remotenode {

// The one-byte header extension that carries a packet's capture time.
constexpr int CaptureTimeExtensionId = 1;
constexpr int CaptureTimeExtensionBytes = 8;
// The size of the frames the node sends.
constexpr int CameraWidth = 640, CameraHeight = 480;

class NodeCamera {
public:
    // `lateMs`: for tests, every frame is stamped as taken this much earlier.
    explicit NodeCamera(int lateMs);
    ~NodeCamera();
    NodeCamera(const NodeCamera &) = delete;
    NodeCamera &operator=(const NodeCamera &) = delete;

    // A program's ask (the node's main thread): what to answer.
    remoteproto::CameraState Ask(const remoteproto::CameraAsk &ask, int64_t now);
    // Lapses the leases due; returns when to be called next.
    int64_t Expire(int64_t now);
    // The next line for the node's log, or empty (main thread).
    std::string TakeNote();

    struct Sender;

private:
    void Run();

    const int64_t lateNs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    // Under mutex_:
    CameraLeases leases_;
    bool failed_ = false;     // the last opening failed; tried again at the next first ask
    bool stopping_ = false;
    std::vector<std::string> notes_;
    std::thread thread_;
};

} // namespace remotenode
