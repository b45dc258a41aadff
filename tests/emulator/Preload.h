#pragma once
// The skeleton every preloaded device emulator stands on (the parallel port,
// the GPIO chips, the V4L2 camera): the real functions looked up once at load,
// the eight open variants, ioctl and close interposed and handed to the
// emulator's hooks, the shared state file, the log's line and the parsing of
// the switches. An emulator brings its device: the hooks below, in its own file.
//
// Built into each emulator's library by robot_preload_emulator
// (tests/CMakeLists.txt): with -U_FORTIFY_SOURCE, since the open() defined
// here must be the plain one, and without the sanitizer in the sanitizer
// build, since the library is also preloaded into programs that have no
// sanitizer runtime (the sanitizer's symbolizer, Debian's gpio tools,
// GStreamer's plugin scanner).
//
// The calls may come from a child forked from a threaded process or from a
// signal handler: nothing on the path of an interposed call here allocates,
// takes a lock of the process or uses stdio. Start and what it calls run once,
// at load, and may.
#include "emulator/EmulatorText.h"

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#define EMU_EXPORT extern "C" __attribute__((visibility("default")))

namespace preload {

// ---- What an emulator brings ---------------------------------------------------

// The start of its complaints: "gpio emulator".
extern const char *const Name;
// Reads its switches and makes or joins its state; at load, after the real
// functions are looked up.
void Start();
// An open of `path` (relative to `dirfd` as openat has it): the descriptor,
// or -1 with errno set; NotOurs passes the call on to the real function.
constexpr int NotOurs = -2;
int Open(int dirfd, const char *path, int flags);
// A request or a close on `fd`: true with the call's result when the
// descriptor is the emulator's; false passes it on.
bool Ioctl(int fd, unsigned long request, void *arg, int &result);
bool Close(int fd, int &result);

// ---- What the skeleton gives ---------------------------------------------------

// The real functions, looked up at load (null when the process has none).
struct RealCalls {
    int (*open)(const char *, int, ...);
    int (*open64)(const char *, int, ...);
    int (*openat)(int, const char *, int, ...);
    int (*openat64)(int, const char *, int, ...);
    int (*open_2)(const char *, int);
    int (*open64_2)(const char *, int);
    int (*openat_2)(int, const char *, int);
    int (*openat64_2)(int, const char *, int);
    int (*ioctl)(int, unsigned long, ...);
    int (*close)(int);
};
extern RealCalls Real;
// The real close, or the system call's.
int RealClose(int fd);
// Looks up the next definition of `name` (for an emulator's further calls).
void *Next(const char *name);
template <class Fn> void Resolve(Fn &fn, const char *name) { fn = reinterpret_cast<Fn>(Next(name)); }

// -1 with errno set to `error`.
int Fail(int error);

// Appends one line to the log at `path` (nothing when it is empty), in one
// write() so that the lines of several processes never mix:
//   <CLOCK_MONOTONIC ns> <pid> <call> <fd> <fields> <result>
// result: ok for 0, the errno's name (E<n> for one without), wait for < 0.
// errno is kept.
void WriteLog(const char *path, const char *call, int fd, const char *fields, int error);

// The switches, read at load. CopyEnv: false when unset, empty or too long.
bool CopyEnv(const char *name, char *out, size_t size);
// The errno an environment variable names (EACCES); 0 when unset, said when unknown.
int ErrnoFromEnv(const char *name);
// A whole number from 0 to `most`, or `fallback` (said when it is not one).
long NumberFromEnv(const char *name, long fallback, long most);
// "<Name>: <text>" on standard error.
void Complain(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Maps the state file at `path` (made when missing), shared by every process
// of a test: State's first field is `uint32_t Magic`. Several processes may
// start at once: the first to hold the file's lock finds no `magic`, zeroes
// the state and has `fill` fill it in. `st` is the file's. At load only.
template <class State, class Fill> State *MapSharedState(const char *path, uint32_t magic, struct stat &st, Fill fill)
{
    const int fd = int(syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd < 0)
        return nullptr;
    flock(fd, LOCK_EX);
    void *mem = MAP_FAILED;
    if (syscall(SYS_fstat, fd, &st) == 0 &&
        (st.st_size >= off_t(sizeof(State)) || ftruncate(fd, sizeof(State)) == 0))
        mem = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    auto *state = mem == MAP_FAILED ? nullptr : static_cast<State *>(mem);
    if (state && state->Magic != magic) {
        std::memset(static_cast<void *>(state), 0, sizeof *state);
        fill(*state);
        __atomic_store_n(&state->Magic, magic, __ATOMIC_RELEASE);
    }
    flock(fd, LOCK_UN);
    syscall(SYS_close, fd);
    return state;
}

} // namespace preload
