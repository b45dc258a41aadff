// An emulated V4L2 camera for tests: preloaded (LD_PRELOAD) into a process, it
// answers stat, open (all eight ways), ioctl, mmap, dup and close of one chosen /dev/videoN path as
// a USB webcam's driver does (V4l2Camera.h: MJPEG 1280 x 720 and YUYV
// 640 x 480), so that GStreamer's unmodified v4l2src captures from it; every
// other call passes through. poll() needs no emulation: the device's
// descriptors are kernel timers that tick at the frame rate.
//
// V4L2_EMU_DEVICE   the path to answer, exactly as the program spells it.
//                   Unset: the library does nothing.
// V4L2_EMU_MJPEG    a file: the JPEG picture of every MJPEG frame.
// V4L2_EMU_YUYV     a file: the 640 x 480 YUYV bytes of every raw frame.
// V4L2_EMU_CORRUPT  N: the N-th frame comes cut to half its bytes.
// V4L2_EMU_UNPLUG   N: after N frames the camera is unplugged: every call on
//                   it fails with ENODEV, and the path is gone.
// The switches are read at each open while no descriptor of the camera is
// open: a test sets them before it connects, and the camera starts afresh.
// For one process (GStreamer's threads included); not for forked children.
// It stands on the preload skeleton (Preload.h).
#include "emulator/Preload.h"
#include "emulator/V4l2Camera.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/sysmacros.h>

namespace {
constexpr unsigned VideoMajor = 81; // the kernel's V4L2 device nodes
constexpr int TrackedFds = 4096;

using StatFn = int (*)(const char *, struct stat *);
using MmapFn = void *(*)(void *, size_t, int, int, int, off_t);
using DupFn = int (*)(int);
StatFn g_stat, g_stat64;
MmapFn g_mmap, g_mmap64;
DupFn g_dup;

char g_device[PATH_MAX];
emulator::V4l2Camera g_camera;
// Which descriptors are the camera's, read without a lock on every close.
std::atomic<uint64_t> g_fds[TrackedFds / 64];

bool IsCamera(int fd)
{
    return g_device[0] && fd >= 0 && fd < TrackedFds &&
           (g_fds[fd / 64].load(std::memory_order_acquire) >> (fd % 64) & 1u);
}

void Track(int fd, bool ours)
{
    const uint64_t bit = uint64_t(1) << (fd % 64);
    if (ours)
        g_fds[fd / 64].fetch_or(bit, std::memory_order_acq_rel);
    else
        g_fds[fd / 64].fetch_and(~bit, std::memory_order_acq_rel);
}

bool IsCameraPath(const char *path)
{
    return g_device[0] && path && std::strcmp(path, g_device) == 0;
}

std::string FileFromEnv(const char *name)
{
    const char *path = std::getenv(name);
    if (!path)
        return {};
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t NumberFromEnv(const char *name)
{
    const char *value = std::getenv(name);
    return value ? uint32_t(std::strtoul(value, nullptr, 10)) : 0;
}

int TrackNew(int fd)
{
    if (fd >= TrackedFds) {
        g_camera.Close(fd);
        errno = EMFILE;
        return -1;
    }
    if (fd >= 0)
        Track(fd, true);
    return fd;
}

int OpenCamera(int flags)
{
    if (!g_camera.InUse())
        g_camera.Plug(FileFromEnv("V4L2_EMU_MJPEG"), FileFromEnv("V4L2_EMU_YUYV"),
                      {NumberFromEnv("V4L2_EMU_CORRUPT"), NumberFromEnv("V4L2_EMU_UNPLUG")});
    return TrackNew(g_camera.Open(flags));
}

template <class Stat> int StatCamera(Stat *st)
{
    if (g_camera.Gone() && g_camera.InUse()) {
        errno = ENOENT;
        return -1;
    }
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(VideoMajor, 0);
    st->st_nlink = 1;
    return 0;
}

} // namespace

// ---- The device on the preload skeleton ---------------------------------------

const char *const preload::Name = "v4l2 emulator";

void preload::Start()
{
    Resolve(g_stat, "stat");
    Resolve(g_stat64, "stat64");
    Resolve(g_mmap, "mmap");
    Resolve(g_mmap64, "mmap64");
    Resolve(g_dup, "dup");
    CopyEnv("V4L2_EMU_DEVICE", g_device, sizeof g_device);
}

int preload::Open(int, const char *path, int flags) { return IsCameraPath(path) ? OpenCamera(flags) : NotOurs; }

bool preload::Ioctl(int fd, unsigned long request, void *arg, int &result)
{
    if (!IsCamera(fd))
        return false;
    result = g_camera.Ioctl(fd, request, arg);
    return true;
}

bool preload::Close(int fd, int &result)
{
    if (!IsCamera(fd))
        return false;
    Track(fd, false);
    result = g_camera.Close(fd);
    return true;
}

// ---- Its further calls -----------------------------------------------------------

EMU_EXPORT int stat(const char *path, struct stat *st)
{
    if (IsCameraPath(path))
        return StatCamera(st);
    return g_stat ? g_stat(path, st) : int(syscall(SYS_newfstatat, AT_FDCWD, path, st, 0));
}

EMU_EXPORT int stat64(const char *path, struct stat64 *st)
{
    if (IsCameraPath(path))
        return StatCamera(st);
    return g_stat64 ? reinterpret_cast<int (*)(const char *, struct stat64 *)>(g_stat64)(path, st)
                    : int(syscall(SYS_newfstatat, AT_FDCWD, path, st, 0));
}

EMU_EXPORT void *mmap(void *address, size_t length, int prot, int flags, int fd, off_t offset)
{
    if (IsCamera(fd))
        return g_camera.Map(address, length, prot, flags, fd, offset);
    return g_mmap ? g_mmap(address, length, prot, flags, fd, offset)
                  : reinterpret_cast<void *>(syscall(SYS_mmap, address, length, prot, flags, fd, offset));
}

EMU_EXPORT void *mmap64(void *address, size_t length, int prot, int flags, int fd, off_t offset)
{
    if (IsCamera(fd))
        return g_camera.Map(address, length, prot, flags, fd, offset);
    return g_mmap64 ? g_mmap64(address, length, prot, flags, fd, offset)
                    : reinterpret_cast<void *>(syscall(SYS_mmap, address, length, prot, flags, fd, offset));
}

EMU_EXPORT int dup(int fd)
{
    if (IsCamera(fd))
        return TrackNew(g_camera.Dup(fd));
    return g_dup ? g_dup(fd) : int(syscall(SYS_dup, fd));
}
