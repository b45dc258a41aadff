// An emulated parallel port for tests: preloaded (LD_PRELOAD) into a program,
// it answers open, ioctl and close of one chosen /dev/parportN path as the
// kernel's ppdev driver does, and passes every other call through.
//
// PARPORT_EMU_DEVICE       the path to answer (exactly as the program spells it).
//                          Unset: the library does nothing.
// PARPORT_EMU_STATE        a file that holds the port's state (data register,
//                          control lines, claim, status script), mapped shared by
//                          every process that uses the port: the program and the
//                          children it forks. Made on first use; a later process
//                          of the same test joins it. Required with the device.
// PARPORT_EMU_LOG          file that receives one line per call on the device:
//                            <CLOCK_MONOTONIC ns> <pid> <call> <fd> <value> <result>
//                          call is open, close or the request's name (PPWDATA, ...;
//                          "ioctl-0x<hex>" for one ppdev does not know), value the
//                          byte written or read ("-" for none), result "ok", an
//                          errno name, or "wait" for a claim that starts to wait.
// PARPORT_EMU_STATUS       status register script: whitespace-separated decimals,
//                          one per PPRSTATUS, the last repeating; without it the
//                          status reads 254. Shared by all processes.
// PARPORT_EMU_OPEN_ERROR   errno name (EACCES, ENOENT, ...): every open fails so.
// PARPORT_EMU_CLAIM_WAIT_MS another driver holds the port this long after the
//                          state was made: PPCLAIM waits until then.
// PARPORT_EMU_CLAIM_ERROR  errno name: every PPCLAIM fails so (after any wait).
// PARPORT_EMU_FAIL         <REQUEST>:<N>[:<ERRNO>]: the N-th request of that name
//                          (counted over all processes, from 1) and every later
//                          one fails with ERRNO (default EIO) without touching the
//                          port; REQUEST "any" counts every request but the claim
//                          and the release.
//
// As ppdev: every request but PPCLAIM and PPEXCL needs the claim of that open
// file (else EINVAL); a claim waits while another open file holds it, and the
// kernel drops it when the open file's last descriptor closes, also when the
// process is killed. The claim belongs to the open file, not to a process: a
// copy of the descriptor passed to another process (SCM_RIGHTS) uses it too.
// The device's descriptor is a descriptor of the state file, and the claim an
// OFD lock on it, which the kernel releases as it would release the port; the
// claiming open file is told by its file position, which its copies share.
//
// The calls may come from a child forked from a threaded process: nothing on
// their path allocates, takes a lock or uses stdio; the real functions are
// looked up once, at load.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "emulator/EmulatorText.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#define EMU_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint32_t StateMagic = 0x50504531; // "PPE1"
constexpr int MaxScript = 8192;
constexpr unsigned char ControlLines = 0x0F;

// The requests the emulator knows, with their names for the log and the
// failure switch. The index is the slot of the request's counter.
struct Request {
    unsigned long Code;
    const char *Name;
};
constexpr Request Requests[] = {
    {PPCLAIM, "PPCLAIM"},       {PPRELEASE, "PPRELEASE"},   {PPYIELD, "PPYIELD"},
    {PPEXCL, "PPEXCL"},         {PPWDATA, "PPWDATA"},       {PPRDATA, "PPRDATA"},
    {PPRSTATUS, "PPRSTATUS"},   {PPWCONTROL, "PPWCONTROL"}, {PPRCONTROL, "PPRCONTROL"},
    {PPFCONTROL, "PPFCONTROL"}, {PPDATADIR, "PPDATADIR"},
};
constexpr int RequestCount = sizeof Requests / sizeof Requests[0];
constexpr int AnyRequest = RequestCount; // the failure switch counts every request

// Shared by every process of one test through the state file.
struct SharedState {
    uint32_t Magic;
    int64_t EpochNs;       // when the state was made
    uint32_t Data;         // data register
    uint32_t Control;      // C0..C3 as last written
    uint32_t Reverse;      // data lines are inputs
    uint32_t HolderToken;  // the claim: the claiming open file's token, 0 when free
    uint32_t LastToken;
    uint32_t Counts[RequestCount + 1]; // requests so far, per kind and in all
    int32_t ScriptLength;
    uint32_t ScriptNext;
    unsigned char Script[MaxScript];
};

struct Config {
    bool Active = false;
    char Device[PATH_MAX] = {};
    char Log[PATH_MAX] = {};
    char StatePath[PATH_MAX] = {};
    dev_t StateDev = 0;
    ino_t StateIno = 0;
    SharedState *State = nullptr;
    int OpenError = 0;
    int ClaimError = 0;
    int64_t ClaimWaitMs = 0;
    int FailRequest = -1; // index into Requests, AnyRequest, or -1: never
    uint32_t FailFrom = 0;
    int FailErrno = EIO;
};
Config g;

using OpenFn = int (*)(const char *, int, ...);
using OpenatFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using Openat2Fn = int (*)(int, const char *, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);
OpenFn g_open, g_open64;
OpenatFn g_openat, g_openat64;
Open2Fn g_open_2, g_open64_2;
Openat2Fn g_openat_2, g_openat64_2;
IoctlFn g_ioctl;
CloseFn g_close;

using emulator::ErrnoByName;
using emulator::ErrnoName;

void SleepUntilNs(int64_t deadline)
{
    timespec ts;
    ts.tv_sec = deadline / 1000000000;
    ts.tv_nsec = deadline % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// ---- The log: one write() per line, built on the stack ---------------------

// value < 0: none. error 0: ok; -1: the claim starts to wait.
void Log(const char *call, int fd, int value, int error)
{
    if (!g.Log[0])
        return;
    const int saved = errno;
    emulator::Text<256> line;
    line.Add(MonotonicNs()).Add(" ").Add(int64_t(getpid())).Add(" ").Add(call).Add(" ").Add(int64_t(fd)).Add(" ");
    if (value < 0)
        line.Add("-");
    else
        line.Add(int64_t(value));
    line.Add(" ");
    if (error == 0)
        line.Add("ok");
    else if (error < 0)
        line.Add("wait");
    else if (const char *name = ErrnoName(error))
        line.Add(name);
    else
        line.Add("E").Add(int64_t(error));
    line.Add("\n");
    // One write() per line, so that lines of several processes never mix.
    const int out = int(syscall(SYS_openat, AT_FDCWD, g.Log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (out >= 0) {
        (void)syscall(SYS_write, out, line.Str(), line.Length());
        syscall(SYS_close, out);
    }
    errno = saved;
}

// ---- Which descriptors are the device ------------------------------------

// A descriptor open on the state file: one handed out here, or a copy that
// came from another process (the port guard gets the program's). The file's
// identity decides, not the number (a forked child may have closed a
// descriptor behind the library's back and reused the number).
bool IsDevice(int fd)
{
    if (!g.Active || fd < 0)
        return false;
    struct stat st;
    const int saved = errno;
    const bool same = syscall(SYS_fstat, fd, &st) == 0 && st.st_dev == g.StateDev && st.st_ino == g.StateIno;
    errno = saved;
    return same;
}

bool IsDevicePath(int dirfd, const char *path)
{
    if (!g.Active || !path)
        return false;
    if (path[0] != '/' && dirfd != AT_FDCWD)
        return false;
    return std::strcmp(path, g.Device) == 0;
}

// Opens the device: a descriptor of the state file, positioned past the state
// so that a stray write() cannot touch it.
int OpenDevice(int flags)
{
    if (g.OpenError) {
        Log("open", -1, -1, g.OpenError);
        errno = g.OpenError;
        return -1;
    }
    const int fd = int(syscall(SYS_openat, AT_FDCWD, g.StatePath, O_RDWR | (flags & O_CLOEXEC)));
    if (fd < 0) {
        const int error = errno;
        Log("open", -1, -1, error);
        errno = error;
        return -1;
    }
    (void)syscall(SYS_lseek, fd, 0, SEEK_END);
    Log("open", fd, -1, 0);
    return fd;
}

// ---- The port -------------------------------------------------------------

// An open file's token is its position past the state (the device is opened
// at the state's end, and claiming moves it to the claim's token).
uint32_t TokenOf(int fd)
{
    const off_t at = off_t(syscall(SYS_lseek, fd, 0, SEEK_CUR));
    return at > off_t(sizeof(SharedState)) ? uint32_t(at - off_t(sizeof(SharedState))) : 0;
}

bool Holds(int fd)
{
    const uint32_t holder = __atomic_load_n(&g.State->HolderToken, __ATOMIC_ACQUIRE);
    return holder != 0 && TokenOf(fd) == holder;
}

// The claim: an OFD lock on the first byte of the state file.
int LockClaim(int fd, short type, bool wait)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    return syscall(SYS_fcntl, fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

int Claim(int fd)
{
    if (Holds(fd))
        return EINVAL; // ppdev: "you've already got it"
    const int64_t freeAt = g.State->EpochNs + g.ClaimWaitMs * 1000000;
    bool waited = false;
    if (MonotonicNs() < freeAt) {
        Log("PPCLAIM", fd, -1, -1);
        waited = true;
        SleepUntilNs(freeAt);
    }
    if (g.ClaimError)
        return g.ClaimError;
    if (!waited && LockClaim(fd, F_WRLCK, false) != 0) {
        Log("PPCLAIM", fd, -1, -1); // another open file holds it
        waited = true;
    }
    if (waited)
        if (const int error = LockClaim(fd, F_WRLCK, true))
            return error;
    const uint32_t token = __atomic_add_fetch(&g.State->LastToken, 1, __ATOMIC_ACQ_REL);
    (void)syscall(SYS_lseek, fd, off_t(sizeof(SharedState)) + off_t(token), SEEK_SET);
    __atomic_store_n(&g.State->HolderToken, token, __ATOMIC_RELEASE);
    return 0;
}

void Release(int fd)
{
    __atomic_store_n(&g.State->HolderToken, 0, __ATOMIC_RELEASE);
    LockClaim(fd, F_UNLCK, false);
}

int FindRequest(unsigned long code)
{
    for (int i = 0; i < RequestCount; ++i)
        if (Requests[i].Code == code)
            return i;
    return -1;
}

// Counts the request; true when the failure switch makes it fail.
bool Fails(int index)
{
    const uint32_t nth = __atomic_add_fetch(&g.State->Counts[index], 1, __ATOMIC_ACQ_REL);
    uint32_t counted = nth;
    if (g.FailRequest == AnyRequest) {
        if (Requests[index].Code == PPCLAIM || Requests[index].Code == PPRELEASE)
            return false;
        counted = __atomic_add_fetch(&g.State->Counts[AnyRequest], 1, __ATOMIC_ACQ_REL);
    } else if (g.FailRequest != index) {
        return false;
    }
    return counted >= g.FailFrom;
}

unsigned char NextStatus()
{
    const int32_t length = g.State->ScriptLength;
    if (length <= 0)
        return StatusIdle;
    const uint32_t at = __atomic_fetch_add(&g.State->ScriptNext, 1, __ATOMIC_ACQ_REL);
    return g.State->Script[at < uint32_t(length) ? at : uint32_t(length - 1)];
}

int DeviceIoctl(int fd, unsigned long code, void *arg)
{
    const int index = FindRequest(code);
    if (index < 0) {
        // Logged as "ioctl-0x<request in hex>".
        static const char digit[] = "0123456789abcdef";
        char call[32] = "ioctl-0x";
        char hex[16];
        int n = 0;
        for (unsigned long v = code; n == 0 || (v && n < 16); v >>= 4)
            hex[n++] = digit[v & 15];
        size_t used = 8;
        while (n > 0)
            call[used++] = hex[--n];
        call[used] = '\0';
        Log(call, fd, -1, ENOTTY);
        errno = ENOTTY;
        return -1;
    }
    const Request &request = Requests[index];
    int value = -1;
    int error = 0;
    if (request.Code == PPCLAIM) {
        Fails(index);
        error = Claim(fd);
    } else if (request.Code == PPEXCL) {
        error = Holds(fd) ? EINVAL : 0;
    } else if (!Holds(fd)) {
        error = EINVAL; // ppdev: "claim the port first"
    } else if (request.Code == PPRELEASE) {
        // Logged before the port is free: a claimant waiting for it logs its
        // claim after this line, as the order of events has it.
        Fails(index);
        Log(request.Name, fd, value, error);
        Release(fd);
        return 0;
    } else if (Fails(index)) {
        error = g.FailErrno;
        if (request.Code == PPWDATA || request.Code == PPWCONTROL)
            value = *static_cast<unsigned char *>(arg);
    } else {
        SharedState &s = *g.State;
        switch (request.Code) {
        case PPWDATA:
            value = *static_cast<unsigned char *>(arg);
            __atomic_store_n(&s.Data, uint32_t(value), __ATOMIC_RELEASE);
            break;
        case PPRDATA: // the latch as last written
            value = int(__atomic_load_n(&s.Data, __ATOMIC_ACQUIRE));
            *static_cast<unsigned char *>(arg) = static_cast<unsigned char>(value);
            break;
        case PPRSTATUS: // the raw register, S7 as the register has it
            value = NextStatus();
            *static_cast<unsigned char *>(arg) = static_cast<unsigned char>(value);
            break;
        case PPWCONTROL:
            value = *static_cast<unsigned char *>(arg);
            __atomic_store_n(&s.Control, uint32_t(value) & ControlLines, __ATOMIC_RELEASE);
            break;
        case PPRCONTROL:
            value = int(__atomic_load_n(&s.Control, __ATOMIC_ACQUIRE));
            *static_cast<unsigned char *>(arg) = static_cast<unsigned char>(value);
            break;
        case PPFCONTROL: {
            const auto *frob = static_cast<const ppdev_frob_struct *>(arg);
            const uint32_t now = __atomic_load_n(&s.Control, __ATOMIC_ACQUIRE);
            value = int(((now & ~uint32_t(frob->mask)) ^ frob->val) & ControlLines);
            __atomic_store_n(&s.Control, uint32_t(value), __ATOMIC_RELEASE);
            break;
        }
        case PPDATADIR:
            value = *static_cast<int *>(arg) ? 1 : 0;
            __atomic_store_n(&s.Reverse, uint32_t(value), __ATOMIC_RELEASE);
            break;
        default: // PPYIELD: nobody else waits here
            break;
        }
    }
    Log(request.Name, fd, value, error);
    if (error) {
        errno = error;
        return -1;
    }
    return 0;
}

// The claim ends with the open file's last descriptor, which only the kernel
// knows: its lock goes then, and the holder's token matches no open file.
int CloseDevice(int fd)
{
    const int result = g_close ? g_close(fd) : int(syscall(SYS_close, fd));
    const int error = result == 0 ? 0 : errno;
    Log("close", fd, -1, error);
    errno = error;
    return result;
}

// ---- Set-up, once per program at load ---------------------------------------

bool CopyEnv(const char *name, char *out, size_t size)
{
    const char *value = std::getenv(name);
    if (!value || !*value || std::strlen(value) >= size)
        return false;
    std::strcpy(out, value);
    return true;
}

int ErrnoFromEnv(const char *name)
{
    const char *value = std::getenv(name);
    if (!value || !*value)
        return 0;
    const int error = ErrnoByName(value);
    if (!error)
        std::fprintf(stderr, "parport emulator: %s=%s is no errno name it knows\n", name, value);
    return error;
}

// "<REQUEST>:<N>[:<ERRNO>]"
void ReadFailSwitch()
{
    char order[64];
    if (!CopyEnv("PARPORT_EMU_FAIL", order, sizeof order))
        return;
    char *from = std::strchr(order, ':');
    if (!from) {
        std::fprintf(stderr, "parport emulator: PARPORT_EMU_FAIL needs <REQUEST>:<N>[:<ERRNO>]\n");
        return;
    }
    *from++ = '\0';
    char *err = std::strchr(from, ':');
    if (err)
        *err++ = '\0';
    int index = std::strcmp(order, "any") == 0 ? AnyRequest : -1;
    for (int i = 0; i < RequestCount && index < 0; ++i)
        if (std::strcmp(order, Requests[i].Name) == 0)
            index = i;
    const long n = std::strtol(from, nullptr, 10);
    const int error = err ? ErrnoByName(err) : EIO;
    if (index < 0 || n < 1 || !error) {
        std::fprintf(stderr, "parport emulator: PARPORT_EMU_FAIL=%s:%s is not understood\n", order, from);
        return;
    }
    g.FailRequest = index;
    g.FailFrom = uint32_t(n);
    g.FailErrno = error;
}

void LoadScript(SharedState &s, const char *path)
{
    FILE *f = std::fopen(path, "r");
    if (!f) {
        std::fprintf(stderr, "parport emulator: cannot read the status script %s\n", path);
        return;
    }
    long v;
    while (s.ScriptLength < MaxScript && std::fscanf(f, "%ld", &v) == 1)
        s.Script[s.ScriptLength++] = static_cast<unsigned char>(v);
    std::fclose(f);
}

// Maps the state file, making it when it is new. Several processes may start
// at once: the first one to hold the file's lock fills it in.
SharedState *MapState()
{
    const int fd = int(syscall(SYS_openat, AT_FDCWD, g.StatePath, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd < 0)
        return nullptr;
    flock(fd, LOCK_EX);
    struct stat st;
    void *mem = MAP_FAILED;
    if (fstat(fd, &st) == 0 && (st.st_size >= off_t(sizeof(SharedState)) ||
                                ftruncate(fd, sizeof(SharedState)) == 0))
        mem = mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    SharedState *state = mem == MAP_FAILED ? nullptr : static_cast<SharedState *>(mem);
    if (state && state->Magic != StateMagic) {
        std::memset(state, 0, sizeof *state);
        state->EpochNs = MonotonicNs();
        char script[PATH_MAX];
        if (CopyEnv("PARPORT_EMU_STATUS", script, sizeof script))
            LoadScript(*state, script);
        __atomic_store_n(&state->Magic, StateMagic, __ATOMIC_RELEASE);
    }
    g.StateDev = st.st_dev;
    g.StateIno = st.st_ino;
    flock(fd, LOCK_UN);
    syscall(SYS_close, fd);
    return state;
}

template <class Fn> void Resolve(Fn &fn, const char *name)
{
    fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void StartEmulator()
{
    Resolve(g_open, "open");
    Resolve(g_open64, "open64");
    Resolve(g_openat, "openat");
    Resolve(g_openat64, "openat64");
    Resolve(g_open_2, "__open_2");
    Resolve(g_open64_2, "__open64_2");
    Resolve(g_openat_2, "__openat_2");
    Resolve(g_openat64_2, "__openat64_2");
    Resolve(g_ioctl, "ioctl");
    Resolve(g_close, "close");

    if (!CopyEnv("PARPORT_EMU_DEVICE", g.Device, sizeof g.Device))
        return;
    if (!CopyEnv("PARPORT_EMU_STATE", g.StatePath, sizeof g.StatePath) || !(g.State = MapState())) {
        std::fprintf(stderr, "parport emulator: PARPORT_EMU_STATE must name a file it can make\n");
        return;
    }
    CopyEnv("PARPORT_EMU_LOG", g.Log, sizeof g.Log);
    g.OpenError = ErrnoFromEnv("PARPORT_EMU_OPEN_ERROR");
    g.ClaimError = ErrnoFromEnv("PARPORT_EMU_CLAIM_ERROR");
    if (const char *wait = std::getenv("PARPORT_EMU_CLAIM_WAIT_MS"))
        g.ClaimWaitMs = std::strtoll(wait, nullptr, 10);
    ReadFailSwitch();
    g.Active = true;
}

bool TakesMode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

// For a call that comes before the real functions are looked up.
int SysOpenat(int dirfd, const char *path, int flags, mode_t mode)
{
    return int(syscall(SYS_openat, dirfd, path, flags, mode));
}

} // namespace

// ---- The interposed calls -----------------------------------------------------

// The mode argument, present only when the flags ask for one.
#define EMU_MODE(flags, mode)                                                                                    \
    mode_t mode = 0;                                                                                             \
    if (TakesMode(flags)) {                                                                                      \
        va_list args;                                                                                            \
        va_start(args, flags);                                                                                   \
        mode = mode_t(va_arg(args, int));                                                                        \
        va_end(args);                                                                                            \
    }

EMU_EXPORT int open(const char *path, int flags, ...)
{
    EMU_MODE(flags, mode)
    if (IsDevicePath(AT_FDCWD, path))
        return OpenDevice(flags);
    return g_open ? g_open(path, flags, mode) : SysOpenat(AT_FDCWD, path, flags, mode);
}

EMU_EXPORT int open64(const char *path, int flags, ...)
{
    EMU_MODE(flags, mode)
    if (IsDevicePath(AT_FDCWD, path))
        return OpenDevice(flags);
    return g_open64 ? g_open64(path, flags, mode) : SysOpenat(AT_FDCWD, path, flags, mode);
}

EMU_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    EMU_MODE(flags, mode)
    if (IsDevicePath(dirfd, path))
        return OpenDevice(flags);
    return g_openat ? g_openat(dirfd, path, flags, mode) : SysOpenat(dirfd, path, flags, mode);
}

EMU_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    EMU_MODE(flags, mode)
    if (IsDevicePath(dirfd, path))
        return OpenDevice(flags);
    return g_openat64 ? g_openat64(dirfd, path, flags, mode) : SysOpenat(dirfd, path, flags, mode);
}

// The checked variants that _FORTIFY_SOURCE builds call.
EMU_EXPORT int __open_2(const char *path, int flags)
{
    if (IsDevicePath(AT_FDCWD, path))
        return OpenDevice(flags);
    return g_open_2 ? g_open_2(path, flags) : SysOpenat(AT_FDCWD, path, flags, 0);
}

EMU_EXPORT int __open64_2(const char *path, int flags)
{
    if (IsDevicePath(AT_FDCWD, path))
        return OpenDevice(flags);
    return g_open64_2 ? g_open64_2(path, flags) : SysOpenat(AT_FDCWD, path, flags, 0);
}

EMU_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    if (IsDevicePath(dirfd, path))
        return OpenDevice(flags);
    return g_openat_2 ? g_openat_2(dirfd, path, flags) : SysOpenat(dirfd, path, flags, 0);
}

EMU_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
    if (IsDevicePath(dirfd, path))
        return OpenDevice(flags);
    return g_openat64_2 ? g_openat64_2(dirfd, path, flags) : SysOpenat(dirfd, path, flags, 0);
}

EMU_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (IsDevice(fd))
        return DeviceIoctl(fd, request, arg);
    return g_ioctl ? g_ioctl(fd, request, arg) : int(syscall(SYS_ioctl, fd, request, arg));
}

EMU_EXPORT int close(int fd)
{
    if (IsDevice(fd))
        return CloseDevice(fd);
    return g_close ? g_close(fd) : int(syscall(SYS_close, fd));
}
