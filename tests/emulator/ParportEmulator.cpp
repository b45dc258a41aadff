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
// It stands on the preload skeleton (Preload.h), whose rules its calls keep.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "emulator/Preload.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

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

using emulator::ErrnoByName;
using preload::Complain;
using preload::CopyEnv;

void SleepUntilNs(int64_t deadline)
{
    timespec ts;
    ts.tv_sec = deadline / 1000000000;
    ts.tv_nsec = deadline % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// ---- The log ------------------------------------------------------------------

// value < 0: none. error 0: ok; -1: the claim starts to wait.
void Log(const char *call, int fd, int value, int error)
{
    emulator::Text<16> field;
    if (value < 0)
        field.Add("-");
    else
        field.Add(int64_t(value));
    preload::WriteLog(g.Log, call, fd, field.Str(), error);
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
    const int result = preload::RealClose(fd);
    const int error = result == 0 ? 0 : errno;
    Log("close", fd, -1, error);
    errno = error;
    return result;
}

// ---- Set-up, once per program at load ---------------------------------------

// "<REQUEST>:<N>[:<ERRNO>]"
void ReadFailSwitch()
{
    char order[64];
    if (!CopyEnv("PARPORT_EMU_FAIL", order, sizeof order))
        return;
    char *from = std::strchr(order, ':');
    if (!from) {
        Complain("PARPORT_EMU_FAIL needs <REQUEST>:<N>[:<ERRNO>]");
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
        Complain("PARPORT_EMU_FAIL=%s:%s is not understood", order, from);
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
        Complain("cannot read the status script %s", path);
        return;
    }
    long v;
    while (s.ScriptLength < MaxScript && std::fscanf(f, "%ld", &v) == 1)
        s.Script[s.ScriptLength++] = static_cast<unsigned char>(v);
    std::fclose(f);
}

SharedState *MapState()
{
    struct stat st = {};
    SharedState *state = preload::MapSharedState<SharedState>(g.StatePath, StateMagic, st, [](SharedState &s) {
        s.EpochNs = MonotonicNs();
        char script[PATH_MAX];
        if (CopyEnv("PARPORT_EMU_STATUS", script, sizeof script))
            LoadScript(s, script);
    });
    g.StateDev = st.st_dev;
    g.StateIno = st.st_ino;
    return state;
}
} // namespace

// ---- The device on the preload skeleton ------------------------------------------

const char *const preload::Name = "parport emulator";

void preload::Start()
{
    if (!CopyEnv("PARPORT_EMU_DEVICE", g.Device, sizeof g.Device))
        return;
    if (!CopyEnv("PARPORT_EMU_STATE", g.StatePath, sizeof g.StatePath) || !(g.State = MapState())) {
        Complain("PARPORT_EMU_STATE must name a file it can make");
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

int preload::Open(int dirfd, const char *path, int flags)
{
    return IsDevicePath(dirfd, path) ? OpenDevice(flags) : NotOurs;
}

bool preload::Ioctl(int fd, unsigned long request, void *arg, int &result)
{
    if (!IsDevice(fd))
        return false;
    result = DeviceIoctl(fd, request, arg);
    return true;
}

bool preload::Close(int fd, int &result)
{
    if (!IsDevice(fd))
        return false;
    result = CloseDevice(fd);
    return true;
}
