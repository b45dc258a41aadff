#pragma once
// The robot's camera as a stream of raw I420 frames (320 x 240, 30 per second)
// on a local stream socket that only this user may connect to. A client first
// receives one line with the stream's GStreamer caps,
//   video/x-raw,format=I420,width=320,height=240,framerate=30/1
// and then whole frames back to back; the capture layer opens it as the
// source "unix:<path>". A render thread draws the newest frame; each client
// has a writer thread that sends whole frames only, always the newest one, so
// a slow client skips frames instead of falling behind.
#include "sim/app/SharedRobot.h"
#include "sim/core/Camera.h"

#include <QImage>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CameraServer {
public:
    // Listens at `path` (see ListenAt); std::runtime_error when it cannot.
    // Renders the robot's view of its world's floor, whichever world it is in.
    CameraServer(SharedRobot &robot, const std::string &path);
    ~CameraServer();
    CameraServer(const CameraServer &) = delete;
    CameraServer &operator=(const CameraServer &) = delete;

    const std::string &path() const { return path_; }
    // What ROBOT_CAPTURE_SOURCE takes to open this camera.
    std::string SourceDescription() const;
    // The caps line a client receives first (with its newline).
    static std::string StreamHeader();
    int Clients() const { return clients_.load(); }
    // Frames rendered so far.
    int64_t Frames() const { return frameNumber_.load(); }
    // The newest picture (null before the first).
    QImage LatestPicture() const;

private:
    struct Client {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void RenderLoop();
    void AcceptLoop();
    void Serve(Client &client);
    void ReapFinished();

    SharedRobot &robot_;
    std::string path_;
    int listenFd_ = -1;
    int wakeFd_ = -1;

    mutable std::mutex frameMutex_;
    std::condition_variable frameReady_;
    std::shared_ptr<const std::vector<uint8_t>> frame_; // the newest I420 frame
    QImage picture_;                                    // the same frame as a picture
    std::atomic<int64_t> frameNumber_{0};
    bool stopping_ = false; // under frameMutex_

    std::list<Client> clientList_; // the accept thread's
    std::atomic<int> clients_{0};
    std::thread renderThread_;
    std::thread acceptThread_;
};
