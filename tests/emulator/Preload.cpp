// The preload skeleton's own part: the look-up at load, the interposed opens,
// ioctl and close, the log and the switches (Preload.h).
#include "emulator/Preload.h"

#include "core/Clock.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

namespace preload {

RealCalls Real;

void *Next(const char *name) { return dlsym(RTLD_NEXT, name); }

int RealClose(int fd) { return Real.close ? Real.close(fd) : int(syscall(SYS_close, fd)); }

int Fail(int error)
{
    errno = error;
    return -1;
}

void WriteLog(const char *path, const char *call, int fd, const char *fields, int error)
{
    if (!path[0])
        return;
    const int saved = errno;
    emulator::Text<1200> line;
    line.Add(MonotonicNs()).Add(" ").Add(int64_t(getpid())).Add(" ").Add(call).Add(" ").Add(int64_t(fd));
    line.Add(" ").Add(fields).Add(" ");
    if (error == 0)
        line.Add("ok");
    else if (error < 0)
        line.Add("wait");
    else if (const char *name = emulator::ErrnoName(error))
        line.Add(name);
    else
        line.Add("E").Add(int64_t(error));
    line.Add("\n");
    const int out = int(syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (out >= 0) {
        (void)syscall(SYS_write, out, line.Str(), line.Length());
        syscall(SYS_close, out);
    }
    errno = saved;
}

bool CopyEnv(const char *name, char *out, size_t size)
{
    const char *value = std::getenv(name);
    if (!value || !*value || std::strlen(value) >= size)
        return false;
    std::strcpy(out, value);
    return true;
}

void Complain(const char *format, ...)
{
    std::fprintf(stderr, "%s: ", Name);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

int ErrnoFromEnv(const char *name)
{
    const char *value = std::getenv(name);
    if (!value || !*value)
        return 0;
    const int error = emulator::ErrnoByName(value);
    if (!error)
        Complain("%s=%s is no errno name it knows", name, value);
    return error;
}

long NumberFromEnv(const char *name, long fallback, long most)
{
    const char *text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno || *end || value < 0 || value > most) {
        Complain("%s=%s is no number from 0 to %ld", name, text, most);
        return fallback;
    }
    return value;
}

namespace {
__attribute__((constructor)) void Load()
{
    Resolve(Real.open, "open");
    Resolve(Real.open64, "open64");
    Resolve(Real.openat, "openat");
    Resolve(Real.openat64, "openat64");
    Resolve(Real.open_2, "__open_2");
    Resolve(Real.open64_2, "__open64_2");
    Resolve(Real.openat_2, "__openat_2");
    Resolve(Real.openat64_2, "__openat64_2");
    Resolve(Real.ioctl, "ioctl");
    Resolve(Real.close, "close");
    Start();
}

bool TakesMode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

// For a call that comes before the real functions are looked up.
int SysOpenat(int dirfd, const char *path, int flags, mode_t mode)
{
    return int(syscall(SYS_openat, dirfd, path, flags, mode));
}
} // namespace
} // namespace preload

// ---- The interposed calls ----------------------------------------------------------

using preload::Real;

// open, open64, openat, openat64: the mode argument is there only when the
// flags ask for one.
#define PRELOAD_OPEN(fn, params, dirfd, args)                                                                   \
    EMU_EXPORT int fn params                                                                                     \
    {                                                                                                            \
        mode_t mode = 0;                                                                                         \
        if (preload::TakesMode(flags)) {                                                                         \
            va_list modeArg;                                                                                     \
            va_start(modeArg, flags);                                                                            \
            mode = mode_t(va_arg(modeArg, int));                                                                 \
            va_end(modeArg);                                                                                     \
        }                                                                                                        \
        if (const int ours = preload::Open(dirfd, path, flags); ours != preload::NotOurs)                        \
            return ours;                                                                                         \
        return Real.fn ? Real.fn args : preload::SysOpenat(dirfd, path, flags, mode);                            \
    }
PRELOAD_OPEN(open, (const char *path, int flags, ...), AT_FDCWD, (path, flags, mode))
PRELOAD_OPEN(open64, (const char *path, int flags, ...), AT_FDCWD, (path, flags, mode))
PRELOAD_OPEN(openat, (int dirfd, const char *path, int flags, ...), dirfd, (dirfd, path, flags, mode))
PRELOAD_OPEN(openat64, (int dirfd, const char *path, int flags, ...), dirfd, (dirfd, path, flags, mode))

// The checked variants that _FORTIFY_SOURCE builds call.
#define PRELOAD_OPEN_CHECKED(fn, real, params, dirfd, args)                                                     \
    EMU_EXPORT int fn params                                                                                     \
    {                                                                                                            \
        if (const int ours = preload::Open(dirfd, path, flags); ours != preload::NotOurs)                        \
            return ours;                                                                                         \
        return Real.real ? Real.real args : preload::SysOpenat(dirfd, path, flags, 0);                           \
    }
PRELOAD_OPEN_CHECKED(__open_2, open_2, (const char *path, int flags), AT_FDCWD, (path, flags))
PRELOAD_OPEN_CHECKED(__open64_2, open64_2, (const char *path, int flags), AT_FDCWD, (path, flags))
PRELOAD_OPEN_CHECKED(__openat_2, openat_2, (int dirfd, const char *path, int flags), dirfd, (dirfd, path, flags))
PRELOAD_OPEN_CHECKED(__openat64_2, openat64_2, (int dirfd, const char *path, int flags), dirfd, (dirfd, path, flags))

EMU_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    int result = 0;
    if (preload::Ioctl(fd, request, arg, result))
        return result;
    return Real.ioctl ? Real.ioctl(fd, request, arg) : int(syscall(SYS_ioctl, fd, request, arg));
}

EMU_EXPORT int close(int fd)
{
    int result = 0;
    if (preload::Close(fd, result))
        return result;
    return preload::RealClose(fd);
}
