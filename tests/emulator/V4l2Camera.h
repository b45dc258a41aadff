#pragma once
// An emulated USB webcam as its V4L2 driver presents it: MJPEG at 1280 x 720
// and YUYV at 640 x 480, 30 frames per second each, memory-mapped buffers.
// The device part only: it answers the calls on descriptors it handed out;
// the preload plumbing (V4l2Emulator.cpp) decides which calls are its own.
//
// A descriptor of the device is a timer descriptor of the kernel: armed at the
// frame rate while streaming, so that poll() waits for the next frame in the
// kernel as it does on a real camera, and a blocking VIDIOC_DQBUF waits on it.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace emulator {

struct CameraFaults {
    uint32_t corruptFrame = 0; // this frame (from 1) comes cut to half its bytes
    uint32_t unplugAfter = 0;  // after this many frames the device is gone (0: never)
};

class V4l2Camera {
public:
    struct Format; // one the camera offers

    V4l2Camera() = default;
    ~V4l2Camera();
    V4l2Camera(const V4l2Camera &) = delete;
    V4l2Camera &operator=(const V4l2Camera &) = delete;

    // A camera plugged in afresh (also after it was unplugged), unless a
    // descriptor of it is still open: `jpeg` is the picture of every MJPEG
    // frame, `yuyv` the 640 x 480 YUYV bytes of every raw frame.
    void Plug(std::string jpeg, std::string yuyv, CameraFaults faults);
    bool InUse();

    // Each returns -1 with errno set on failure, as the kernel's calls do.
    int Open(int flags);
    int Ioctl(int fd, unsigned long request, void *arg);
    void *Map(void *address, size_t length, int prot, int flags, int fd, off_t offset);
    // A copy of a descriptor (dup): the same open file.
    int Dup(int fd);
    int Close(int fd);
    // Unplugged: the device node is gone too.
    bool Gone();

private:
    struct Buffer {
        int memory = -1; // a memfd holding the buffer's bytes
        bool queued = false;
        uint32_t bytesUsed = 0;
        uint32_t sequence = 0;
    };
    int DoIoctl(int fd, unsigned long request, void *arg, std::unique_lock<std::mutex> &lock);
    int Dequeue(int fd, void *arg, std::unique_lock<std::mutex> &lock);
    void FillBuffer(uint32_t index, void *v4l2Buffer) const;
    void FreeBuffers();
    const Format &Current() const;

    std::mutex mutex_;
    std::string jpeg_;
    std::string yuyv_;
    CameraFaults faults_;
    int FileOf(int fd) const; // 0: none
    std::vector<std::pair<int, int>> fds_; // descriptor, open file (1, 2, ...)
    int files_ = 0;
    int format_ = 0;
    std::vector<Buffer> buffers_;
    std::vector<uint32_t> queue_; // queued buffer indices, oldest first
    int streamingFile_ = 0;
    uint32_t delivered_ = 0;
    bool gone_ = false;
};

} // namespace emulator
