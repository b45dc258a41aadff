#include "emulator/V4l2Camera.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace emulator {

struct V4l2Camera::Format {
    uint32_t fourcc;
    const char *description;
    uint32_t flags;
    uint32_t width, height;
    uint32_t bytesPerLine;
    uint32_t sizeImage; // the largest frame
};

namespace {
using Format = V4l2Camera::Format;
constexpr Format Formats[] = {
    {V4L2_PIX_FMT_MJPEG, "Motion-JPEG", V4L2_FMT_FLAG_COMPRESSED, 1280, 720, 0, 1280 * 720 * 2},
    {V4L2_PIX_FMT_YUYV, "YUYV 4:2:2", 0, 640, 480, 640 * 2, 640 * 480 * 2},
};
constexpr int FormatCount = int(sizeof Formats / sizeof Formats[0]);
constexpr uint32_t FramesPerSecond = 30;
constexpr uint32_t MaxBuffers = 16;
// m.offset of buffer i is i times this: far apart, page aligned.
constexpr uint32_t OffsetStep = 1u << 24;
constexpr uint32_t DeviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;

int Fail(int error)
{
    errno = error;
    return -1;
}

void Copy(uint8_t *to, size_t size, const char *text)
{
    std::strncpy(reinterpret_cast<char *>(to), text, size - 1);
}

int FindFormat(uint32_t fourcc)
{
    for (int i = 0; i < FormatCount; ++i)
        if (Formats[i].fourcc == fourcc)
            return i;
    return -1;
}

void FillPix(v4l2_pix_format &pix, const Format &f)
{
    pix = {};
    pix.width = f.width;
    pix.height = f.height;
    pix.pixelformat = f.fourcc;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = f.bytesPerLine;
    pix.sizeimage = f.sizeImage;
    pix.colorspace = f.fourcc == V4L2_PIX_FMT_MJPEG ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
}
} // namespace

void V4l2Camera::Plug(std::string jpeg, std::string yuyv, CameraFaults faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fds_.empty())
        return;
    jpeg_ = std::move(jpeg);
    yuyv_ = std::move(yuyv);
    faults_ = faults;
    format_ = 0;
    delivered_ = 0;
    gone_ = false;
}

bool V4l2Camera::InUse()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return !fds_.empty();
}

V4l2Camera::~V4l2Camera()
{
    FreeBuffers();
}

const V4l2Camera::Format &V4l2Camera::Current() const
{
    return Formats[format_];
}

bool V4l2Camera::Gone()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return gone_;
}

int V4l2Camera::Open(int flags)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_)
        return Fail(ENOENT);
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | ((flags & O_NONBLOCK) ? TFD_NONBLOCK : 0));
    if (fd >= 0)
        fds_.push_back({fd, ++files_});
    return fd;
}

int V4l2Camera::FileOf(int fd) const
{
    for (const auto &[open, file] : fds_)
        if (open == fd)
            return file;
    return 0;
}

int V4l2Camera::Dup(int fd)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const int copy = int(syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, 0));
    if (copy >= 0)
        fds_.push_back({copy, FileOf(fd)});
    return copy;
}

int V4l2Camera::Close(int fd)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const int file = FileOf(fd);
    fds_.erase(std::remove_if(fds_.begin(), fds_.end(), [fd](const auto &o) { return o.first == fd; }), fds_.end());
    if (file == streamingFile_ && std::none_of(fds_.begin(), fds_.end(), [file](const auto &o) { return o.second == file; })) {
        streamingFile_ = 0;
        queue_.clear();
    }
    if (fds_.empty())
        FreeBuffers();
    return int(syscall(SYS_close, fd));
}

void V4l2Camera::FreeBuffers()
{
    for (Buffer &b : buffers_)
        if (b.memory >= 0)
            syscall(SYS_close, b.memory);
    buffers_.clear();
    queue_.clear();
}

void *V4l2Camera::Map(void *address, size_t length, int prot, int flags, int, off_t offset)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t index = size_t(offset) / OffsetStep;
    if (size_t(offset) % OffsetStep != 0 || index >= buffers_.size() || length > Current().sizeImage) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return mmap(address, length, prot, flags, buffers_[index].memory, 0);
}

int V4l2Camera::Ioctl(int fd, unsigned long request, void *arg)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (gone_)
        return Fail(ENODEV);
    return DoIoctl(fd, request, arg, lock);
}

void V4l2Camera::FillBuffer(uint32_t index, void *arg) const
{
    auto &b = *static_cast<v4l2_buffer *>(arg);
    const Buffer &ours = buffers_[index];
    b.index = index;
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.bytesused = ours.bytesUsed;
    b.flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (ours.queued ? V4L2_BUF_FLAG_QUEUED : 0);
    b.field = V4L2_FIELD_NONE;
    b.sequence = ours.sequence;
    b.m.offset = index * OffsetStep;
    b.length = Current().sizeImage;
}

int V4l2Camera::Dequeue(int fd, void *arg, std::unique_lock<std::mutex> &lock)
{
    const int file = FileOf(fd);
    if (file != streamingFile_ || !file)
        return Fail(EINVAL);
    if (queue_.empty())
        return Fail(EAGAIN);
    // The next frame: the timer's tick (waited for unless non-blocking).
    lock.unlock();
    uint64_t ticks = 0;
    const bool ticked = syscall(SYS_read, fd, &ticks, sizeof ticks) == sizeof ticks;
    const int error = errno;
    lock.lock();
    if (!ticked)
        return Fail(error);
    if (file != streamingFile_ || queue_.empty())
        return Fail(EINVAL); // stopped meanwhile
    const uint32_t frame = ++delivered_;
    if (faults_.unplugAfter && frame > faults_.unplugAfter) {
        gone_ = true;
        return Fail(ENODEV);
    }
    const uint32_t index = queue_.front();
    queue_.erase(queue_.begin());
    Buffer &buffer = buffers_[index];
    const std::string &picture = Current().fourcc == V4L2_PIX_FMT_MJPEG ? jpeg_ : yuyv_;
    size_t size = std::min<size_t>(picture.size(), Current().sizeImage);
    if (frame == faults_.corruptFrame)
        size /= 2;
    if (pwrite(buffer.memory, picture.data(), size, 0) != ssize_t(size))
        return Fail(EIO);
    buffer.bytesUsed = uint32_t(size);
    buffer.sequence = frame - 1;
    buffer.queued = false;
    FillBuffer(index, arg);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    auto &b = *static_cast<v4l2_buffer *>(arg);
    b.timestamp.tv_sec = now.tv_sec;
    b.timestamp.tv_usec = now.tv_nsec / 1000;
    return 0;
}

int V4l2Camera::DoIoctl(int fd, unsigned long request, void *arg, std::unique_lock<std::mutex> &lock)
{
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto &cap = *static_cast<v4l2_capability *>(arg);
        cap = {};
        Copy(cap.driver, sizeof cap.driver, "uvcvideo");
        Copy(cap.card, sizeof cap.card, "Emulated USB Camera");
        Copy(cap.bus_info, sizeof cap.bus_info, "usb-emulated-1");
        cap.version = (6u << 16) | (1u << 8);
        cap.capabilities = DeviceCaps | V4L2_CAP_DEVICE_CAPS;
        cap.device_caps = DeviceCaps;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto &desc = *static_cast<v4l2_fmtdesc *>(arg);
        if (desc.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc.index >= uint32_t(FormatCount))
            return Fail(EINVAL);
        const Format &f = Formats[desc.index];
        desc.flags = f.flags;
        desc.pixelformat = f.fourcc;
        Copy(desc.description, sizeof desc.description, f.description);
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto &size = *static_cast<v4l2_frmsizeenum *>(arg);
        const int i = FindFormat(size.pixel_format);
        if (i < 0 || size.index != 0)
            return Fail(EINVAL);
        size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size.discrete = {Formats[i].width, Formats[i].height};
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto &interval = *static_cast<v4l2_frmivalenum *>(arg);
        const int i = FindFormat(interval.pixel_format);
        if (i < 0 || interval.index != 0 || interval.width != Formats[i].width ||
            interval.height != Formats[i].height)
            return Fail(EINVAL);
        interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
        interval.discrete = {1, FramesPerSecond};
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        auto &format = *static_cast<v4l2_format *>(arg);
        if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return Fail(EINVAL);
        int chosen = format_;
        if (request != VIDIOC_G_FMT) {
            // As a driver does: an unknown format becomes the first, every
            // size the format's one size.
            chosen = std::max(0, FindFormat(format.fmt.pix.pixelformat));
            if (request == VIDIOC_S_FMT) {
                if (!buffers_.empty() && chosen != format_)
                    return Fail(EBUSY);
                format_ = chosen;
            }
        }
        FillPix(format.fmt.pix, Formats[chosen]);
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto &parm = *static_cast<v4l2_streamparm *>(arg);
        if (parm.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return Fail(EINVAL);
        parm.parm.capture = {};
        parm.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parm.parm.capture.timeperframe = {1, FramesPerSecond};
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto &req = *static_cast<v4l2_requestbuffers *>(arg);
        if (req.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req.memory != V4L2_MEMORY_MMAP)
            return Fail(EINVAL);
        if (streamingFile_)
            return Fail(EBUSY);
        FreeBuffers();
        req.count = std::min(req.count, MaxBuffers);
        for (uint32_t i = 0; i < req.count; ++i) {
            Buffer buffer;
            buffer.memory = int(syscall(SYS_memfd_create, "v4l2-emulator-buffer", MFD_CLOEXEC));
            if (buffer.memory < 0 || ftruncate(buffer.memory, Current().sizeImage) != 0) {
                FreeBuffers();
                return Fail(ENOMEM);
            }
            buffers_.push_back(buffer);
        }
        req.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto &b = *static_cast<v4l2_buffer *>(arg);
        if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.index >= buffers_.size() ||
            (request == VIDIOC_QBUF && (b.memory != V4L2_MEMORY_MMAP || buffers_[b.index].queued)))
            return Fail(EINVAL);
        if (request == VIDIOC_QBUF) {
            buffers_[b.index].queued = true;
            queue_.push_back(b.index);
        }
        FillBuffer(b.index, arg);
        return 0;
    }
    case VIDIOC_DQBUF:
        return Dequeue(fd, arg, lock);
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (*static_cast<int *>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return Fail(EINVAL);
        const bool on = request == VIDIOC_STREAMON;
        if (on && buffers_.empty())
            return Fail(EINVAL);
        itimerspec timer{};
        if (on)
            timer.it_value.tv_nsec = timer.it_interval.tv_nsec = 1000000000 / FramesPerSecond;
        timerfd_settime(fd, 0, &timer, nullptr);
        streamingFile_ = on ? FileOf(fd) : 0;
        if (!on) {
            queue_.clear();
            for (Buffer &b : buffers_)
                b.queued = false;
        }
        return 0;
    }
    default:
        // Inputs, standards, controls, selections, events, exported buffers:
        // the camera has none of them.
        return Fail(ENOTTY);
    }
}

} // namespace emulator
