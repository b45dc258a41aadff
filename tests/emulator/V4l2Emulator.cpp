// An emulated V4L2 camera for tests: preloaded (LD_PRELOAD) into a process, it
// answers stat, open, ioctl, mmap, dup and close of one chosen /dev/videoN path as
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
#include "emulator/V4l2Camera.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

#define EMU_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
constexpr unsigned VideoMajor = 81; // the kernel's V4L2 device nodes
constexpr int TrackedFds = 4096;

using OpenFn = int (*)(const char *, int, ...);
using StatFn = int (*)(const char *, struct stat *);
using IoctlFn = int (*)(int, unsigned long, ...);
using MmapFn = void *(*)(void *, size_t, int, int, int, off_t);
using CloseFn = int (*)(int);
using DupFn = int (*)(int);
OpenFn g_open, g_open64;
StatFn g_stat, g_stat64;
IoctlFn g_ioctl;
MmapFn g_mmap, g_mmap64;
CloseFn g_close;
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

mode_t ModeArgument(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
}

template <class Fn> void Resolve(Fn &fn, const char *name)
{
    fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void StartEmulator()
{
    Resolve(g_open, "open");
    Resolve(g_open64, "open64");
    Resolve(g_stat, "stat");
    Resolve(g_stat64, "stat64");
    Resolve(g_ioctl, "ioctl");
    Resolve(g_mmap, "mmap");
    Resolve(g_mmap64, "mmap64");
    Resolve(g_close, "close");
    Resolve(g_dup, "dup");
    const char *device = std::getenv("V4L2_EMU_DEVICE");
    if (device && std::strlen(device) < sizeof g_device)
        std::strcpy(g_device, device);
}
} // namespace

// ---- The interposed calls ----------------------------------------------------

#define EMU_OPEN(name, real)                                                                                     \
    EMU_EXPORT int name(const char *path, int flags, ...)                                                        \
    {                                                                                                            \
        va_list args;                                                                                            \
        va_start(args, flags);                                                                                   \
        const mode_t mode = ModeArgument(flags, args);                                                           \
        va_end(args);                                                                                            \
        if (IsCameraPath(path))                                                                        \
            return OpenCamera(flags);                                                                            \
        return real ? real(path, flags, mode) : int(syscall(SYS_openat, AT_FDCWD, path, flags, mode));           \
    }
EMU_OPEN(open, g_open)
EMU_OPEN(open64, g_open64)


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

EMU_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (IsCamera(fd))
        return g_camera.Ioctl(fd, request, arg);
    return g_ioctl ? g_ioctl(fd, request, arg) : int(syscall(SYS_ioctl, fd, request, arg));
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

EMU_EXPORT int close(int fd)
{
    if (IsCamera(fd)) {
        Track(fd, false);
        return g_camera.Close(fd);
    }
    return g_close ? g_close(fd) : int(syscall(SYS_close, fd));
}
