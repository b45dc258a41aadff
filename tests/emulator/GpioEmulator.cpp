// An emulated GPIO chip for tests: preloaded (LD_PRELOAD) into a program, it
// answers what the kernel answers for the GPIO character devices of a
// Raspberry Pi 4 (its 58-line pinctrl-bcm2711 chip and its 8-line firmware
// expander) through both of the kernel's GPIO interfaces: the first (line
// handles), which libgpiod 1.6 uses, and the second (line requests), which
// libgpiod 2 uses; it passes every other call through.
//
// What it answers, as the kernel does:
//   /dev/gpiochipN             open (O_RDWR), stat, lstat, access; the names
//                              in a scandir of /dev
//   /sys/bus/gpio/devices/gpiochipN/dev
//                              access and open ("254:N"), which libgpiod 1.6
//                              reads to make sure the device is a GPIO chip
//   /sys/dev/char/254:N/subsystem
//                              realpath ("/sys/bus/gpio"), libgpiod 2's check
//   on a chip's descriptor     GPIO_GET_CHIPINFO_IOCTL, GPIO_GET_LINEINFO_IOCTL,
//                              GPIO_GET_LINEHANDLE_IOCTL; GPIO_V2_GET_LINEINFO_IOCTL,
//                              GPIO_V2_GET_LINE_IOCTL
//   on a line handle           GPIOHANDLE_GET_LINE_VALUES_IOCTL,
//                              GPIOHANDLE_SET_LINE_VALUES_IOCTL,
//                              GPIOHANDLE_SET_CONFIG_IOCTL, close
//   on a line request          GPIO_V2_LINE_GET_VALUES_IOCTL,
//                              GPIO_V2_LINE_SET_VALUES_IOCTL,
//                              GPIO_V2_LINE_SET_CONFIG_IOCTL, close
// Edge events and line-info watches are not emulated: their requests fail
// with ENOTTY, as do another interface's requests on a handle or a line
// request. While the emulator is active, every /dev/gpiochip* of the machine
// is hidden.
//
// GPIO_EMU_DIR        a folder for the chips' shared state (made if missing):
//                     the state file, mapped by every process of a test, one
//                     file per chip and one per line handle. Unset: the
//                     library does nothing. The process that makes the state
//                     reads the switches below; later ones join it.
// GPIO_EMU_LOG        file that receives one line per call:
//                       <CLOCK_MONOTONIC ns> <pid> <call> <fd> <object> <detail> <result>
//                     call: open, close, the request's name
//                     (GPIOHANDLE_SET_LINE_VALUES_IOCTL,
//                     GPIO_V2_LINE_SET_VALUES_IOCTL, ...; "ioctl-0x<hex>"
//                     for others), or release (a handle's lines let go, when
//                     the last descriptor of the handle closed, or noticed
//                     later after a process was killed; fd -1);
//                     object: gpiochipN, handleN, or - ;
//                     detail: the path opened; lines=N for the chip's info; the
//                     offset asked about; a request as
//                     lines=17,27;flags=output+pull-down;defaults=0,0;consumer=robot;handle=handle1
//                     (handle only when granted; a line request of the second
//                     interface is a handle too, and its flags, in the first
//                     interface's words, are one list per line when its lines
//                     differ: flags=input+pull-up,input); values as offset=level with
//                     the physical levels (active-low undone), for a release
//                     the levels the lines fall to; kept or released for the
//                     close of a handle; - for none;
//                     result: ok or an errno name.
// GPIO_EMU_CHIPS      how many chips exist: 2 (default: gpiochip0
//                     pinctrl-bcm2711, gpiochip1 raspberrypi-exp-gpio), 1, or
//                     0: none (opens fail with ENOENT).
// GPIO_EMU_OPEN_ERROR errno name (EACCES, EPERM, ...): every open of a chip
//                     fails so.
// GPIO_EMU_HELD       lines of gpiochip0 held by another consumer, as
//                     <line>=<consumer>[,<line>=<consumer>...], a line by name
//                     or offset: GPIO17=pigpio. Requesting them fails with
//                     EBUSY; the line info names the consumer. (Some lines
//                     are held as on a real Pi 4: line 42 by "ACT", the
//                     expander's 0, 1, 2, 4 and 6.)
// GPIO_EMU_GONE_AFTER N: the chips go away after N accesses (GPIO requests on
//                     a chip or a handle, counted over all processes): every
//                     later request fails with ENODEV, and the chips' files
//                     are no more.
// GPIO_EMU_INPUTS     levels outside drivers put on the lines: a file, one
//                     entry per line, the last repeating; an entry is a list
//                     of <line>=<0|1> (by name on either chip, or offset on
//                     gpiochip0), separated by blanks or commas. The levels
//                     of an entry hold until a line is read a second time
//                     (one entry per sampling of a set of lines), shared by
//                     all processes. A line no entry drives floats: it reads
//                     its pull (the one requested, else its power-up pull:
//                     up on lines 0-8, down on 9-27).
//
// A line handle (or line request) is a file of the state folder of its own, holding an open
// file description lock: a copy of its descriptor in another process (sent by
// SCM_RIGHTS, inherited) is recognised by the file, and the handle's lines are
// let go when the last descriptor closes, also when a process is killed, as
// the kernel lets go of them. A line let go becomes an input at its power-up
// pull, as the Pi's pin controller leaves it.
//
// It stands on the preload skeleton (Preload.h), whose rules its calls keep
// (the state's lock is a file lock that gives up after a while).
#include "core/Clock.h"
#include "emulator/Preload.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <linux/gpio.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <vector>

namespace {

constexpr uint32_t StateMagic = 0x47504532; // "GPE2"
constexpr int MaxChips = 2;
constexpr int MaxLines = GPIOHANDLES_MAX; // 64: a handle's and a chip's most
constexpr int MaxHandles = 128;
constexpr int MaxScript = 4096;
constexpr int NameSize = 32; // the kernel's name and consumer fields
// The character device's major number, as a Pi's kernel gives it; the
// minor is the chip's number.
constexpr unsigned ChipMajor = 254;
// How long a call waits for the state's lock before it goes on without it
// (a signal handler that interrupted the holder in the same thread).
constexpr int64_t LockPatienceNs = 2'000'000'000;

// ---- The chips, as a Raspberry Pi 4 shows them ------------------------------------

// The pinctrl chip's line names (the board's device tree).
constexpr const char *PiLineNames[] = {
    "ID_SDA",      "ID_SCL",      "SDA1",        "SCL1",        "GPIO_GCLK",        "GPIO5",
    "GPIO6",       "SPI_CE1_N",   "SPI_CE0_N",   "SPI_MISO",    "SPI_MOSI",         "SPI_SCLK",
    "GPIO12",      "GPIO13",      "TXD1",        "RXD1",        "GPIO16",           "GPIO17",
    "GPIO18",      "GPIO19",      "GPIO20",      "GPIO21",      "GPIO22",           "GPIO23",
    "GPIO24",      "GPIO25",      "GPIO26",      "GPIO27",      "RGMII_MDIO",       "RGMIO_MDC",
    "CTS0",        "RTS0",        "TXD0",        "RXD0",        "SD1_CLK",          "SD1_CMD",
    "SD1_DATA0",   "SD1_DATA1",   "SD1_DATA2",   "SD1_DATA3",   "PWM0_MISO",        "PWM1_MOSI",
    "STATUS_LED_G_CLK", "SPIFLASH_CE_N", "SDA0", "SCL0",        "RGMII_RXCLK",      "RGMII_RXCTL",
    "RGMII_RXD0",  "RGMII_RXD1",  "RGMII_RXD2",  "RGMII_RXD3",  "RGMII_TXCLK",      "RGMII_TXCTL",
    "RGMII_TXD0",  "RGMII_TXD1",  "RGMII_TXD2",  "RGMII_TXD3",
};
constexpr int PiLines = sizeof PiLineNames / sizeof PiLineNames[0];
static_assert(PiLines == 58, "a Pi 4's pinctrl chip has 58 lines");
// BCM lines 0-8 are pulled up at power-up, 9-27 down.
constexpr int LastPulledUpAtPowerUp = 8;

// The firmware's expander (its last line has no name).
constexpr const char *ExpanderLineNames[] = {
    "BT_ON", "WL_ON", "PWR_LED_OFF", "GLOBAL_RESET", "VDD_SD_IO_SEL", "CAM_GPIO", "SD_PWR_ON", "",
};
constexpr int ExpanderLines = sizeof ExpanderLineNames / sizeof ExpanderLineNames[0];

// Lines the board's own drivers hold from boot.
struct BootHold {
    int Chip;
    int Offset;
    const char *Consumer;
    bool ActiveLow;
    int Level; // the physical level it drives
};
constexpr BootHold BootHolds[] = {
    {0, 42, "ACT", false, 0},        // the green activity LED
    {1, 0, "shutdown", false, 1},    // Bluetooth on
    {1, 1, "reset", true, 1},        // Wi-Fi out of reset
    {1, 2, "PWR", true, 0},          // the red power LED, lit
    {1, 4, "vdd-sd-io", false, 0},   // the SD card at 3.3 V
    {1, 6, "vcc-sd", false, 1},      // the SD card powered
};

// ---- The shared state -------------------------------------------------------------

struct LineState {
    char Name[NameSize];
    char Consumer[NameSize];
    uint32_t Flags;       // GPIOLINE_FLAG_* as the line info reports them
    uint32_t Level;       // the physical level it drives while an output
    uint32_t PowerUpPull; // 1 pulled up, 0 pulled down when nothing drives it
    int32_t Owner;        // handle slot + 1; -1 another consumer; 0 free
};

struct ChipState {
    char Name[NameSize];
    char Label[NameSize];
    uint32_t Lines;
    uint64_t Ino;      // of its file in the state folder
    uint64_t ReadMask; // lines read during the current input entry
    LineState Line[MaxLines];
};

// Which of the kernel's interfaces made a handle: only its requests work on it.
enum Interface : int32_t { FirstInterface = 1, SecondInterface = 2 };

struct HandleState {
    int32_t Id; // 0: a free slot
    int32_t Chip;
    int32_t Abi; // Interface
    uint32_t Count;
    uint32_t Offsets[MaxLines];
    uint64_t Ino;
};

struct InputEntry {
    uint64_t Driven[MaxChips]; // lines this entry drives
    uint64_t Levels[MaxChips]; // and their levels
};

struct SharedState {
    uint32_t Magic;
    int64_t EpochNs;
    uint64_t Dev; // the state folder's file system
    int32_t ChipCount;
    int32_t OpenError;
    uint32_t GoneAfter; // 0: never
    uint32_t Accesses;
    uint32_t Gone;
    int32_t NextHandleId;
    ChipState Chips[MaxChips];
    HandleState Handles[MaxHandles];
    int32_t InputLength;
    int32_t InputAt;
    InputEntry Inputs[MaxScript];
};

struct Config {
    bool Active = false;
    char Dir[PATH_MAX - 64] = {};
    char Log[PATH_MAX] = {};
    SharedState *State = nullptr;
};
Config g;

using AccessFn = int (*)(const char *, int);
using StatFn = int (*)(const char *, struct stat *);
using Stat64Fn = int (*)(const char *, struct stat64 *);
using ScandirFn = int (*)(const char *, struct dirent ***, int (*)(const struct dirent *),
                          int (*)(const struct dirent **, const struct dirent **));
using Scandir64Fn = int (*)(const char *, struct dirent64 ***, int (*)(const struct dirent64 *),
                            int (*)(const struct dirent64 **, const struct dirent64 **));
using RealpathFn = char *(*)(const char *, char *);
AccessFn g_access;
StatFn g_stat, g_lstat;
Stat64Fn g_stat64, g_lstat64;
ScandirFn g_scandir;
Scandir64Fn g_scandir64;
RealpathFn g_realpath;

using emulator::Text;
using preload::CopyEnv;
using preload::Fail;
using preload::NumberFromEnv;

using Path = Text<PATH_MAX>;
using Detail = Text<900>;

// ---- The log ---------------------------------------------------------------------------

void Log(const char *call, int fd, const char *object, const char *detail, int error)
{
    Text<1000> fields;
    fields.Add(object && *object ? object : "-").Add(" ").Add(detail && *detail ? detail : "-");
    preload::WriteLog(g.Log, call, fd, fields.Str(), error);
}

// ---- Paths -----------------------------------------------------------------------

Path ChipFile(int chip) { return Path().Add(g.Dir).Add("/gpiochip").Add(int64_t(chip)); }
Path DevAttrFile(int chip) { return Path().Add(g.Dir).Add("/gpiochip").Add(int64_t(chip)).Add(".dev"); }
Path HandleFile(int id) { return Path().Add(g.Dir).Add("/handle").Add(int64_t(id)); }
Path StateFile() { return Path().Add(g.Dir).Add("/state"); }

// "gpiochip<N>" at `s`, followed by `rest`: N, or -1.
int ChipNumberAt(const char *s, const char *rest)
{
    if (std::strncmp(s, "gpiochip", 8) != 0)
        return -1;
    s += 8;
    if (*s < '0' || *s > '9' || (s[0] == '0' && s[1] >= '0' && s[1] <= '9'))
        return -1;
    int n = 0;
    while (*s >= '0' && *s <= '9') {
        if (n > 100000)
            return -1;
        n = n * 10 + (*s++ - '0');
    }
    return std::strcmp(s, rest) == 0 ? n : -1;
}

// The chip a path names: /dev/gpiochipN -> N, else -1.
int ChipNode(int dirfd, const char *path)
{
    if (!g.Active || !path || (path[0] != '/' && dirfd != AT_FDCWD))
        return -1;
    return std::strncmp(path, "/dev/", 5) == 0 ? ChipNumberAt(path + 5, "") : -1;
}

// /sys/bus/gpio/devices/gpiochipN/dev -> N, else -1.
int ChipDevAttr(int dirfd, const char *path)
{
    static const char prefix[] = "/sys/bus/gpio/devices/";
    if (!g.Active || !path || (path[0] != '/' && dirfd != AT_FDCWD))
        return -1;
    return std::strncmp(path, prefix, sizeof prefix - 1) == 0 ? ChipNumberAt(path + sizeof prefix - 1, "/dev")
                                                             : -1;
}

bool ChipPresent(int chip)
{
    return chip >= 0 && chip < g.State->ChipCount && !__atomic_load_n(&g.State->Gone, __ATOMIC_ACQUIRE);
}

// ---- The state's lock: a file lock of a description of its own ------------------------

class StateLock {
public:
    StateLock()
    {
        const int saved = errno;
        fd_ = int(syscall(SYS_openat, AT_FDCWD, StateFile().Str(), O_RDWR | O_CLOEXEC));
        if (fd_ >= 0) {
            const int64_t giveUp = MonotonicNs() + LockPatienceNs;
            while (!Take(F_WRLCK) && MonotonicNs() < giveUp) {
                const timespec pause{0, 100'000};
                nanosleep(&pause, nullptr);
            }
        }
        errno = saved;
    }
    ~StateLock()
    {
        if (fd_ >= 0) {
            Take(F_UNLCK);
            syscall(SYS_close, fd_);
        }
    }
    StateLock(const StateLock &) = delete;
    StateLock &operator=(const StateLock &) = delete;

private:
    bool Take(short type)
    {
        struct flock lock = {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        lock.l_len = 1;
        return syscall(SYS_fcntl, fd_, F_OFD_SETLK, &lock) == 0;
    }
    int fd_;
};

// ---- Which descriptors are the emulator's ----------------------------------------------

struct Identity {
    int Chip = -1;   // a chip's descriptor
    int Handle = -1; // a handle's slot
};

Identity Identify(int fd)
{
    Identity who;
    if (!g.Active || fd < 0)
        return who;
    struct stat st;
    const int saved = errno;
    const bool known = syscall(SYS_fstat, fd, &st) == 0 && uint64_t(st.st_dev) == g.State->Dev;
    errno = saved;
    if (!known)
        return who;
    for (int c = 0; c < MaxChips; ++c)
        if (g.State->Chips[c].Ino == uint64_t(st.st_ino) && g.State->Chips[c].Lines)
            who.Chip = c;
    for (int h = 0; h < MaxHandles && who.Chip < 0; ++h)
        if (__atomic_load_n(&g.State->Handles[h].Id, __ATOMIC_ACQUIRE) &&
            g.State->Handles[h].Ino == uint64_t(st.st_ino))
            who.Handle = h;
    return who;
}

// ---- Lines and handles -------------------------------------------------------------------

Text<16> HandleName(int slot) { return Text<16>().Add("handle").Add(int64_t(g.State->Handles[slot].Id)); }

// The level a line shows: what it drives, what drives it from outside, or its pull.
int PhysicalLevel(int chip, int offset)
{
    const LineState &line = g.State->Chips[chip].Line[offset];
    if (line.Flags & GPIOLINE_FLAG_IS_OUT)
        return int(line.Level);
    const int32_t length = g.State->InputLength;
    if (length > 0 && chip < MaxChips) {
        const InputEntry &entry = g.State->Inputs[g.State->InputAt < length ? g.State->InputAt : length - 1];
        if (entry.Driven[chip] & (uint64_t(1) << offset))
            return (entry.Levels[chip] >> offset) & 1;
    }
    if (line.Flags & GPIOLINE_FLAG_BIAS_PULL_UP)
        return 1;
    if (line.Flags & (GPIOLINE_FLAG_BIAS_PULL_DOWN | GPIOLINE_FLAG_BIAS_DISABLE))
        return 0;
    return int(line.PowerUpPull);
}

// "17=1,27=0": the physical levels of a handle's lines.
Detail Levels(const HandleState &handle)
{
    Detail text;
    for (uint32_t i = 0; i < handle.Count; ++i) {
        if (i)
            text.Add(",");
        text.Add(int64_t(handle.Offsets[i])).Add("=").Add(int64_t(PhysicalLevel(handle.Chip, int(handle.Offsets[i]))));
    }
    return text;
}

// Is a descriptor of the handle still open somewhere? Its file's lock says.
bool HandleHeld(const HandleState &handle)
{
    const int fd = int(syscall(SYS_openat, AT_FDCWD, HandleFile(handle.Id).Str(), O_RDWR | O_CLOEXEC));
    if (fd < 0)
        return false;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 0;
    const bool held = syscall(SYS_fcntl, fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    syscall(SYS_close, fd);
    return held;
}

// The handle's lines are let go: inputs at their power-up pull, as the Pi's
// pin controller leaves a freed line.
void Release(int slot)
{
    HandleState &handle = g.State->Handles[slot];
    ChipState &chip = g.State->Chips[handle.Chip];
    for (uint32_t i = 0; i < handle.Count; ++i) {
        LineState &line = chip.Line[handle.Offsets[i]];
        line.Owner = 0;
        line.Consumer[0] = '\0';
        line.Flags = 0;
    }
    Log("release", -1, HandleName(slot).Str(), Levels(handle).Str(), 0);
    syscall(SYS_unlinkat, AT_FDCWD, HandleFile(handle.Id).Str(), 0);
    __atomic_store_n(&handle.Id, 0, __ATOMIC_RELEASE);
}

// Lets go of the handles no process holds any more (their last holder was
// killed, or ended without closing them). Under the state's lock.
void ReleaseAbandoned()
{
    for (int h = 0; h < MaxHandles; ++h)
        if (g.State->Handles[h].Id && !HandleHeld(g.State->Handles[h]))
            Release(h);
}

// ---- Requests --------------------------------------------------------------------

// The flags of a request, as the kernel checks them.
int CheckRequestFlags(uint32_t flags)
{
    constexpr uint32_t valid = GPIOHANDLE_REQUEST_INPUT | GPIOHANDLE_REQUEST_OUTPUT | GPIOHANDLE_REQUEST_ACTIVE_LOW |
                               GPIOHANDLE_REQUEST_OPEN_DRAIN | GPIOHANDLE_REQUEST_OPEN_SOURCE |
                               GPIOHANDLE_REQUEST_BIAS_PULL_UP | GPIOHANDLE_REQUEST_BIAS_PULL_DOWN |
                               GPIOHANDLE_REQUEST_BIAS_DISABLE;
    constexpr uint32_t bias =
        GPIOHANDLE_REQUEST_BIAS_PULL_UP | GPIOHANDLE_REQUEST_BIAS_PULL_DOWN | GPIOHANDLE_REQUEST_BIAS_DISABLE;
    constexpr uint32_t drive = GPIOHANDLE_REQUEST_OPEN_DRAIN | GPIOHANDLE_REQUEST_OPEN_SOURCE;
    const bool input = flags & GPIOHANDLE_REQUEST_INPUT;
    const bool output = flags & GPIOHANDLE_REQUEST_OUTPUT;
    if ((flags & ~valid) || (input && output) || ((flags & drive) && !output) || (flags & drive) == drive ||
        ((flags & bias) && !input && !output) || __builtin_popcount(flags & bias) > 1)
        return EINVAL;
    return 0;
}

// The line-info flags a request's flags give a line.
uint32_t LineFlags(uint32_t requestFlags, uint32_t before)
{
    uint32_t flags = GPIOLINE_FLAG_KERNEL;
    if (requestFlags & GPIOHANDLE_REQUEST_OUTPUT)
        flags |= GPIOLINE_FLAG_IS_OUT;
    else if (!(requestFlags & GPIOHANDLE_REQUEST_INPUT))
        flags |= before & GPIOLINE_FLAG_IS_OUT; // as is
    if (requestFlags & GPIOHANDLE_REQUEST_ACTIVE_LOW)
        flags |= GPIOLINE_FLAG_ACTIVE_LOW;
    if (requestFlags & GPIOHANDLE_REQUEST_OPEN_DRAIN)
        flags |= GPIOLINE_FLAG_OPEN_DRAIN;
    if (requestFlags & GPIOHANDLE_REQUEST_OPEN_SOURCE)
        flags |= GPIOLINE_FLAG_OPEN_SOURCE;
    if (requestFlags & GPIOHANDLE_REQUEST_BIAS_PULL_UP)
        flags |= GPIOLINE_FLAG_BIAS_PULL_UP;
    if (requestFlags & GPIOHANDLE_REQUEST_BIAS_PULL_DOWN)
        flags |= GPIOLINE_FLAG_BIAS_PULL_DOWN;
    if (requestFlags & GPIOHANDLE_REQUEST_BIAS_DISABLE)
        flags |= GPIOLINE_FLAG_BIAS_DISABLE;
    return flags;
}

void AddFlagWords(Detail &text, uint32_t flags)
{
    static const struct {
        uint32_t Bit;
        const char *Word;
    } words[] = {
        {GPIOHANDLE_REQUEST_INPUT, "input"},           {GPIOHANDLE_REQUEST_OUTPUT, "output"},
        {GPIOHANDLE_REQUEST_ACTIVE_LOW, "active-low"}, {GPIOHANDLE_REQUEST_OPEN_DRAIN, "open-drain"},
        {GPIOHANDLE_REQUEST_OPEN_SOURCE, "open-source"}, {GPIOHANDLE_REQUEST_BIAS_PULL_UP, "pull-up"},
        {GPIOHANDLE_REQUEST_BIAS_PULL_DOWN, "pull-down"}, {GPIOHANDLE_REQUEST_BIAS_DISABLE, "bias-disable"},
    };
    bool any = false;
    for (const auto &w : words)
        if (flags & w.Bit) {
            text.Add(any ? "+" : "").Add(w.Word);
            any = true;
        }
    if (!any)
        text.Add("as-is");
}

// A request of either interface, in the first interface's words.
struct LineRequest {
    uint32_t Count = 0;
    uint32_t Offsets[MaxLines] = {};
    uint32_t Flags[MaxLines] = {};   // GPIOHANDLE_REQUEST_* of each line
    uint8_t Defaults[MaxLines] = {}; // the first (logical) value of each output line
    char Consumer[NameSize] = {};
    int32_t Abi = FirstInterface;
};

Detail DescribeRequest(const LineRequest &req)
{
    Detail text;
    text.Add("lines=");
    for (uint32_t i = 0; i < req.Count; ++i)
        text.Add(i ? "," : "").Add(int64_t(req.Offsets[i]));
    text.Add(";flags=");
    bool alike = true, outputs = false;
    for (uint32_t i = 0; i < req.Count; ++i) {
        alike = alike && req.Flags[i] == req.Flags[0];
        outputs = outputs || (req.Flags[i] & GPIOHANDLE_REQUEST_OUTPUT);
    }
    for (uint32_t i = 0; i < (alike ? std::min<uint32_t>(req.Count, 1) : req.Count); ++i) {
        text.Add(i ? "," : "");
        AddFlagWords(text, req.Flags[i]);
    }
    if (outputs) {
        text.Add(";defaults=");
        for (uint32_t i = 0; i < req.Count; ++i)
            text.Add(i ? "," : "").Add(int64_t(req.Defaults[i]));
    }
    text.Add(";consumer=").AddWord(req.Consumer[0] ? req.Consumer : "?");
    return text;
}

// Makes the handle's file and its descriptor, which holds the file's lock.
int NewHandleFile(int id)
{
    const int fd = int(syscall(SYS_openat, AT_FDCWD, HandleFile(id).Str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd < 0)
        return -1;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 0;
    if (syscall(SYS_fcntl, fd, F_OFD_SETLK, &lock) != 0) {
        syscall(SYS_close, fd);
        return -1;
    }
    return fd;
}

// Grants the lines (checked already) to a new handle: its descriptor in `fd`.
int GrantLines(int chipIndex, const LineRequest &req, int &fd, Detail &detail)
{
    ChipState &chip = g.State->Chips[chipIndex];
    ReleaseAbandoned();
    uint64_t asked = 0;
    for (uint32_t i = 0; i < req.Count; ++i) {
        const uint32_t offset = req.Offsets[i];
        if (offset >= chip.Lines)
            return EINVAL;
        if (chip.Line[offset].Owner != 0 || (asked & (uint64_t(1) << offset)))
            return EBUSY;
        asked |= uint64_t(1) << offset;
    }
    int slot = -1;
    for (int h = 0; h < MaxHandles && slot < 0; ++h)
        if (!g.State->Handles[h].Id)
            slot = h;
    if (slot < 0)
        return EMFILE;
    const int id = ++g.State->NextHandleId;
    fd = NewHandleFile(id);
    if (fd < 0)
        return errno ? errno : EMFILE;
    struct stat st;
    syscall(SYS_fstat, fd, &st);
    HandleState &handle = g.State->Handles[slot];
    handle.Chip = chipIndex;
    handle.Abi = req.Abi;
    handle.Count = req.Count;
    handle.Ino = uint64_t(st.st_ino);
    for (uint32_t i = 0; i < req.Count; ++i) {
        LineState &line = chip.Line[req.Offsets[i]];
        handle.Offsets[i] = req.Offsets[i];
        line.Owner = slot + 1;
        std::memcpy(line.Consumer, req.Consumer[0] ? req.Consumer : "?", req.Consumer[0] ? NameSize : 2);
        line.Flags = LineFlags(req.Flags[i], line.Flags);
        if (req.Flags[i] & GPIOHANDLE_REQUEST_OUTPUT)
            line.Level = uint32_t(req.Defaults[i] ^ ((req.Flags[i] & GPIOHANDLE_REQUEST_ACTIVE_LOW) ? 1 : 0));
    }
    __atomic_store_n(&handle.Id, id, __ATOMIC_RELEASE);
    detail.Add(";handle=").Add(HandleName(slot).Str());
    return 0;
}

void CopyConsumer(char (&to)[NameSize], const char *from)
{
    std::memcpy(to, from, NameSize);
    to[NameSize - 1] = '\0';
}

// GPIO_GET_LINEHANDLE_IOCTL
int RequestLines(int chipIndex, gpiohandle_request &req, Detail &detail)
{
    if (req.lines == 0 || req.lines > GPIOHANDLES_MAX)
        return EINVAL;
    LineRequest lines;
    lines.Count = req.lines;
    for (uint32_t i = 0; i < req.lines; ++i) {
        lines.Offsets[i] = req.lineoffsets[i];
        lines.Flags[i] = req.flags;
        lines.Defaults[i] = req.default_values[i] ? 1 : 0;
    }
    CopyConsumer(lines.Consumer, req.consumer_label);
    detail = DescribeRequest(lines);
    if (const int error = CheckRequestFlags(req.flags))
        return error;
    return GrantLines(chipIndex, lines, req.fd, detail);
}

// ---- The second interface, in the first one's words -------------------------------------

constexpr uint64_t V2Direction = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT;
constexpr uint64_t V2Edges = GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
constexpr uint64_t V2Clocks = GPIO_V2_LINE_FLAG_EVENT_CLOCK_REALTIME | GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE;
constexpr uint64_t V2Valid = GPIO_V2_LINE_FLAG_ACTIVE_LOW | V2Direction | V2Edges | GPIO_V2_LINE_FLAG_OPEN_DRAIN |
                             GPIO_V2_LINE_FLAG_OPEN_SOURCE | GPIO_V2_LINE_FLAG_BIAS_PULL_UP |
                             GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN | GPIO_V2_LINE_FLAG_BIAS_DISABLED | V2Clocks;

// The same meaning between the interfaces' flags (the line info's and the request's).
constexpr struct {
    uint64_t V2;
    uint32_t Request; // GPIOHANDLE_REQUEST_*
    uint32_t Line;    // GPIOLINE_FLAG_*
} FlagPairs[] = {
    {GPIO_V2_LINE_FLAG_USED, 0, GPIOLINE_FLAG_KERNEL},
    {GPIO_V2_LINE_FLAG_INPUT, GPIOHANDLE_REQUEST_INPUT, 0},
    {GPIO_V2_LINE_FLAG_OUTPUT, GPIOHANDLE_REQUEST_OUTPUT, GPIOLINE_FLAG_IS_OUT},
    {GPIO_V2_LINE_FLAG_ACTIVE_LOW, GPIOHANDLE_REQUEST_ACTIVE_LOW, GPIOLINE_FLAG_ACTIVE_LOW},
    {GPIO_V2_LINE_FLAG_OPEN_DRAIN, GPIOHANDLE_REQUEST_OPEN_DRAIN, GPIOLINE_FLAG_OPEN_DRAIN},
    {GPIO_V2_LINE_FLAG_OPEN_SOURCE, GPIOHANDLE_REQUEST_OPEN_SOURCE, GPIOLINE_FLAG_OPEN_SOURCE},
    {GPIO_V2_LINE_FLAG_BIAS_PULL_UP, GPIOHANDLE_REQUEST_BIAS_PULL_UP, GPIOLINE_FLAG_BIAS_PULL_UP},
    {GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN, GPIOHANDLE_REQUEST_BIAS_PULL_DOWN, GPIOLINE_FLAG_BIAS_PULL_DOWN},
    {GPIO_V2_LINE_FLAG_BIAS_DISABLED, GPIOHANDLE_REQUEST_BIAS_DISABLE, GPIOLINE_FLAG_BIAS_DISABLE},
};

// A line request's flags as the first interface's request flags, checked as
// the kernel checks them; ENOTTY for edge detection, which is not emulated.
int FromV2(uint64_t flags, uint32_t &request)
{
    if (flags & ~V2Valid)
        return EINVAL;
    if ((flags & GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE))
        return EOPNOTSUPP; // no hardware timestamp engine
    if ((flags & V2Edges) && !(flags & GPIO_V2_LINE_FLAG_INPUT))
        return EINVAL;
    request = 0;
    for (const auto &pair : FlagPairs)
        if (flags & pair.V2)
            request |= pair.Request;
    if (const int error = CheckRequestFlags(request))
        return error;
    return (flags & V2Edges) ? ENOTTY : 0;
}

// The line info's flags in the second interface's words: a line is always
// an input or an output there.
uint64_t ToV2(uint32_t lineFlags)
{
    uint64_t flags = (lineFlags & GPIOLINE_FLAG_IS_OUT) ? 0 : GPIO_V2_LINE_FLAG_INPUT;
    for (const auto &pair : FlagPairs)
        if (pair.Line && (lineFlags & pair.Line))
            flags |= pair.V2;
    return flags;
}

bool AllZero(const void *data, size_t size)
{
    const auto *bytes = static_cast<const unsigned char *>(data);
    return std::all_of(bytes, bytes + size, [](unsigned char b) { return b == 0; });
}

// The flags and the first output value of line i of a request, as the
// config's last attribute that covers the line says (else the config's own
// flags and 0).
uint64_t ConfigFlags(const gpio_v2_line_config &config, uint32_t i)
{
    for (uint32_t a = config.num_attrs; a-- > 0;)
        if (config.attrs[a].attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS && (config.attrs[a].mask >> i) & 1)
            return config.attrs[a].attr.flags;
    return config.flags;
}

uint8_t ConfigValue(const gpio_v2_line_config &config, uint32_t i)
{
    for (uint32_t a = config.num_attrs; a-- > 0;)
        if (config.attrs[a].attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES && (config.attrs[a].mask >> i) & 1)
            return uint8_t((config.attrs[a].attr.values >> i) & 1);
    return 0;
}

// A config for `count` lines, as the first interface's flags and values.
int ReadConfig(const gpio_v2_line_config &config, uint32_t count, LineRequest &lines)
{
    if (config.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX || !AllZero(config.padding, sizeof config.padding))
        return EINVAL;
    int error = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const int lineError = FromV2(ConfigFlags(config, i), lines.Flags[i]);
        error = error ? error : lineError;
        lines.Defaults[i] = ConfigValue(config, i);
    }
    return error;
}

// GPIO_V2_GET_LINE_IOCTL
int RequestLinesV2(int chipIndex, gpio_v2_line_request &req, Detail &detail)
{
    if (req.num_lines == 0 || req.num_lines > GPIO_V2_LINES_MAX || !AllZero(req.padding, sizeof req.padding))
        return EINVAL;
    LineRequest lines;
    lines.Abi = SecondInterface;
    lines.Count = req.num_lines;
    std::copy(req.offsets, req.offsets + req.num_lines, lines.Offsets);
    CopyConsumer(lines.Consumer, req.consumer);
    const int error = ReadConfig(req.config, req.num_lines, lines);
    detail = DescribeRequest(lines);
    return error ? error : GrantLines(chipIndex, lines, req.fd, detail);
}

// The lines of a handle whose bit is in `mask`: at least one, or EINVAL.
uint64_t Masked(const HandleState &handle, uint64_t mask)
{
    return handle.Count >= 64 ? mask : mask & ((uint64_t(1) << handle.Count) - 1);
}

// /sys/dev/char/254:N/subsystem -> N, else -1.
int ChipSubsystemLink(const char *path)
{
    static const char prefix[] = "/sys/dev/char/";
    if (!g.Active || !path || std::strncmp(path, prefix, sizeof prefix - 1) != 0)
        return -1;
    char *end = nullptr;
    const char *at = path + sizeof prefix - 1;
    if (*at < '0' || *at > '9' || std::strtoul(at, &end, 10) != ChipMajor || *end != ':')
        return -1;
    at = end + 1;
    if (*at < '0' || *at > '9')
        return -1;
    const unsigned long minor = std::strtoul(at, &end, 10);
    return std::strcmp(end, "/subsystem") == 0 && minor < MaxChips ? int(minor) : -1;
}

// A new input entry starts when a line of the entry is read again.
void NoteRead(const HandleState &handle)
{
    ChipState &chip = g.State->Chips[handle.Chip];
    uint64_t reading = 0;
    for (uint32_t i = 0; i < handle.Count; ++i)
        if (!(chip.Line[handle.Offsets[i]].Flags & GPIOLINE_FLAG_IS_OUT))
            reading |= uint64_t(1) << handle.Offsets[i];
    if (!reading || g.State->InputLength <= 0)
        return;
    if (chip.ReadMask & reading) {
        for (ChipState &c : g.State->Chips)
            c.ReadMask = 0;
        if (g.State->InputAt < g.State->InputLength - 1)
            ++g.State->InputAt;
    }
    chip.ReadMask |= reading;
}

// Counts the access; true when the chips have gone.
bool CountAndCheckGone()
{
    const uint32_t nth = __atomic_add_fetch(&g.State->Accesses, 1, __ATOMIC_ACQ_REL);
    if (g.State->GoneAfter && nth > g.State->GoneAfter)
        __atomic_store_n(&g.State->Gone, 1, __ATOMIC_RELEASE);
    return __atomic_load_n(&g.State->Gone, __ATOMIC_ACQUIRE);
}

// "ioctl-0x<request in hex>"
Text<32> UnknownRequest(unsigned long code)
{
    static const char digit[] = "0123456789abcdef";
    char hex[17];
    int n = 0;
    for (unsigned long v = code; n == 0 || (v && n < 16); v >>= 4)
        hex[n++] = digit[v & 15];
    Text<32> name;
    name.Add("ioctl-0x");
    char one[2] = {0, 0};
    while (n > 0) {
        one[0] = hex[--n];
        name.Add(one);
    }
    return name;
}

int ChipIoctl(int fd, int chipIndex, unsigned long code, void *arg)
{
    StateLock lock;
    ChipState &chip = g.State->Chips[chipIndex];
    const char *call = nullptr;
    Detail detail;
    int error = 0;
    const bool gone = CountAndCheckGone();
    switch (code) {
    case GPIO_GET_CHIPINFO_IOCTL: {
        call = "GPIO_GET_CHIPINFO_IOCTL";
        if (gone)
            break;
        auto *info = static_cast<gpiochip_info *>(arg);
        std::memcpy(info->name, chip.Name, NameSize);
        std::memcpy(info->label, chip.Label, NameSize);
        info->lines = chip.Lines;
        detail.Add("lines=").Add(int64_t(chip.Lines));
        break;
    }
    case GPIO_GET_LINEINFO_IOCTL: {
        call = "GPIO_GET_LINEINFO_IOCTL";
        auto *info = static_cast<gpioline_info *>(arg);
        detail.Add(int64_t(info->line_offset));
        if (gone)
            break;
        if (info->line_offset >= chip.Lines) {
            error = EINVAL;
            break;
        }
        ReleaseAbandoned();
        const LineState &line = chip.Line[info->line_offset];
        info->flags = line.Flags;
        std::memcpy(info->name, line.Name, NameSize);
        std::memcpy(info->consumer, line.Consumer, NameSize);
        break;
    }
    case GPIO_V2_GET_LINEINFO_IOCTL: {
        call = "GPIO_V2_GET_LINEINFO_IOCTL";
        auto *info = static_cast<gpio_v2_line_info *>(arg);
        detail.Add(int64_t(info->offset));
        if (gone)
            break;
        if (info->offset >= chip.Lines || !AllZero(info->padding, sizeof info->padding)) {
            error = EINVAL;
            break;
        }
        ReleaseAbandoned();
        const LineState &line = chip.Line[info->offset];
        const uint32_t offset = info->offset;
        std::memset(static_cast<void *>(info), 0, sizeof *info);
        info->offset = offset;
        info->flags = ToV2(line.Flags);
        std::memcpy(info->name, line.Name, NameSize);
        std::memcpy(info->consumer, line.Consumer, NameSize);
        break;
    }
    case GPIO_GET_LINEHANDLE_IOCTL:
        call = "GPIO_GET_LINEHANDLE_IOCTL";
        if (!gone)
            error = RequestLines(chipIndex, *static_cast<gpiohandle_request *>(arg), detail);
        break;
    case GPIO_V2_GET_LINE_IOCTL:
        call = "GPIO_V2_GET_LINE_IOCTL";
        if (!gone)
            error = RequestLinesV2(chipIndex, *static_cast<gpio_v2_line_request *>(arg), detail);
        break;
    // Not emulated: edge events and line-info watches.
    case GPIO_GET_LINEEVENT_IOCTL:
        call = "GPIO_GET_LINEEVENT_IOCTL";
        error = ENOTTY;
        break;
    case GPIO_GET_LINEINFO_WATCH_IOCTL:
        call = "GPIO_GET_LINEINFO_WATCH_IOCTL";
        error = ENOTTY;
        break;
    case GPIO_V2_GET_LINEINFO_WATCH_IOCTL:
        call = "GPIO_V2_GET_LINEINFO_WATCH_IOCTL";
        error = ENOTTY;
        break;
    case GPIO_GET_LINEINFO_UNWATCH_IOCTL:
        call = "GPIO_GET_LINEINFO_UNWATCH_IOCTL";
        error = ENOTTY;
        break;
    default:
        Log(UnknownRequest(code).Str(), fd, chip.Name, nullptr, ENOTTY);
        return Fail(ENOTTY);
    }
    if (gone)
        error = ENODEV;
    Log(call, fd, chip.Name, detail.Str(), error);
    return error ? Fail(error) : 0;
}

int HandleIoctl(int fd, int slot, unsigned long code, void *arg)
{
    StateLock lock;
    HandleState &handle = g.State->Handles[slot];
    ChipState &chip = g.State->Chips[handle.Chip];
    const char *call = nullptr;
    Detail detail;
    int error = 0;
    // A handle takes its own interface's requests only.
    const bool first = code == GPIOHANDLE_GET_LINE_VALUES_IOCTL || code == GPIOHANDLE_SET_LINE_VALUES_IOCTL ||
                       code == GPIOHANDLE_SET_CONFIG_IOCTL;
    const bool second = code == GPIO_V2_LINE_GET_VALUES_IOCTL || code == GPIO_V2_LINE_SET_VALUES_IOCTL ||
                        code == GPIO_V2_LINE_SET_CONFIG_IOCTL;
    if (handle.Abi == SecondInterface ? first : second) {
        Log(UnknownRequest(code).Str(), fd, HandleName(slot).Str(), nullptr, ENOTTY);
        return Fail(ENOTTY);
    }
    const bool gone = CountAndCheckGone();
    switch (code) {
    case GPIOHANDLE_GET_LINE_VALUES_IOCTL: {
        call = "GPIOHANDLE_GET_LINE_VALUES_IOCTL";
        if (gone)
            break;
        NoteRead(handle);
        auto *data = static_cast<gpiohandle_data *>(arg);
        for (uint32_t i = 0; i < handle.Count; ++i) {
            const LineState &line = chip.Line[handle.Offsets[i]];
            const int level = PhysicalLevel(handle.Chip, int(handle.Offsets[i]));
            data->values[i] = uint8_t(level ^ ((line.Flags & GPIOLINE_FLAG_ACTIVE_LOW) ? 1 : 0));
        }
        detail = Levels(handle);
        break;
    }
    case GPIOHANDLE_SET_LINE_VALUES_IOCTL: {
        call = "GPIOHANDLE_SET_LINE_VALUES_IOCTL";
        if (gone)
            break;
        // As the kernel: the first line's direction decides.
        if (!(chip.Line[handle.Offsets[0]].Flags & GPIOLINE_FLAG_IS_OUT)) {
            error = EPERM;
            break;
        }
        const auto *data = static_cast<const gpiohandle_data *>(arg);
        for (uint32_t i = 0; i < handle.Count; ++i) {
            LineState &line = chip.Line[handle.Offsets[i]];
            line.Level = uint32_t((data->values[i] ? 1 : 0) ^ ((line.Flags & GPIOLINE_FLAG_ACTIVE_LOW) ? 1 : 0));
        }
        detail = Levels(handle);
        break;
    }
    case GPIOHANDLE_SET_CONFIG_IOCTL: {
        call = "GPIOHANDLE_SET_CONFIG_IOCTL";
        if (gone)
            break;
        const auto *config = static_cast<const gpiohandle_config *>(arg);
        if ((error = CheckRequestFlags(config->flags)) != 0)
            break;
        for (uint32_t i = 0; i < handle.Count; ++i) {
            LineState &line = chip.Line[handle.Offsets[i]];
            line.Flags = LineFlags(config->flags, line.Flags);
            if (config->flags & GPIOHANDLE_REQUEST_OUTPUT)
                line.Level = uint32_t((config->default_values[i] ? 1 : 0) ^
                                      ((config->flags & GPIOHANDLE_REQUEST_ACTIVE_LOW) ? 1 : 0));
        }
        detail.Add("flags=");
        AddFlagWords(detail, config->flags);
        detail.Add(";").Add(Levels(handle).Str());
        break;
    }
    case GPIO_V2_LINE_GET_VALUES_IOCTL: {
        call = "GPIO_V2_LINE_GET_VALUES_IOCTL";
        if (gone)
            break;
        auto *values = static_cast<gpio_v2_line_values *>(arg);
        const uint64_t mask = Masked(handle, values->mask);
        if (!mask) {
            error = EINVAL;
            break;
        }
        NoteRead(handle);
        values->bits = 0;
        for (uint32_t i = 0; i < handle.Count; ++i) {
            const LineState &line = chip.Line[handle.Offsets[i]];
            const int level = PhysicalLevel(handle.Chip, int(handle.Offsets[i]));
            if ((mask >> i) & 1 && (level ^ ((line.Flags & GPIOLINE_FLAG_ACTIVE_LOW) ? 1 : 0)))
                values->bits |= uint64_t(1) << i;
        }
        detail = Levels(handle);
        break;
    }
    case GPIO_V2_LINE_SET_VALUES_IOCTL: {
        call = "GPIO_V2_LINE_SET_VALUES_IOCTL";
        if (gone)
            break;
        const auto *values = static_cast<const gpio_v2_line_values *>(arg);
        const uint64_t mask = Masked(handle, values->mask);
        error = mask ? 0 : EINVAL;
        // As the kernel: every line asked must be an output, else nothing is set.
        for (uint32_t i = 0; i < handle.Count && !error; ++i)
            if ((mask >> i) & 1 && !(chip.Line[handle.Offsets[i]].Flags & GPIOLINE_FLAG_IS_OUT))
                error = EPERM;
        if (error)
            break;
        for (uint32_t i = 0; i < handle.Count; ++i) {
            LineState &line = chip.Line[handle.Offsets[i]];
            if ((mask >> i) & 1)
                line.Level = uint32_t(((values->bits >> i) & 1) ^ ((line.Flags & GPIOLINE_FLAG_ACTIVE_LOW) ? 1 : 0));
        }
        detail = Levels(handle);
        break;
    }
    case GPIO_V2_LINE_SET_CONFIG_IOCTL: {
        call = "GPIO_V2_LINE_SET_CONFIG_IOCTL";
        if (gone)
            break;
        LineRequest lines;
        lines.Count = handle.Count;
        if ((error = ReadConfig(*static_cast<const gpio_v2_line_config *>(arg), handle.Count, lines)) != 0)
            break;
        for (uint32_t i = 0; i < handle.Count; ++i) {
            LineState &line = chip.Line[handle.Offsets[i]];
            line.Flags = LineFlags(lines.Flags[i], line.Flags);
            if (lines.Flags[i] & GPIOHANDLE_REQUEST_OUTPUT)
                line.Level = uint32_t(lines.Defaults[i] ^ ((lines.Flags[i] & GPIOHANDLE_REQUEST_ACTIVE_LOW) ? 1 : 0));
        }
        detail.Add("flags=");
        AddFlagWords(detail, lines.Flags[0]);
        detail.Add(";").Add(Levels(handle).Str());
        break;
    }
    default:
        Log(UnknownRequest(code).Str(), fd, HandleName(slot).Str(), nullptr, ENOTTY);
        return Fail(ENOTTY);
    }
    if (gone)
        error = ENODEV;
    Log(call, fd, HandleName(slot).Str(), detail.Str(), error);
    return error ? Fail(error) : 0;
}

// ---- Opening, looking at and listing the chips -------------------------------------------

int OpenChip(int chip, const char *path, int flags)
{
    Text<NameSize> name;
    name.Add("gpiochip").Add(int64_t(chip));
    int error = 0;
    int fd = -1;
    if (!ChipPresent(chip)) {
        error = ENOENT;
    } else if (g.State->OpenError) {
        error = g.State->OpenError;
    } else {
        fd = int(syscall(SYS_openat, AT_FDCWD, ChipFile(chip).Str(), O_RDWR | (flags & O_CLOEXEC)));
        if (fd < 0)
            error = errno;
    }
    Log("open", fd, name.Str(), path, error);
    return error ? Fail(error) : fd;
}

int OpenDevAttr(int chip, int flags)
{
    if (!ChipPresent(chip))
        return Fail(ENOENT);
    return int(syscall(SYS_openat, AT_FDCWD, DevAttrFile(chip).Str(), O_RDONLY | (flags & O_CLOEXEC)));
}

// A character device of the chip's number, owned by root as on a plain Debian.
template <class Stat> int StatChip(int chip, Stat *st)
{
    if (!ChipPresent(chip))
        return Fail(ENOENT);
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0600;
    st->st_rdev = makedev(ChipMajor, unsigned(chip));
    st->st_nlink = 1;
    st->st_blksize = 4096;
    st->st_ino = 1000 + chip;
    return 0;
}

int CloseEmulated(int fd, const Identity &who)
{
    const int saved = errno;
    const int result = preload::RealClose(fd);
    const int error = result == 0 ? 0 : errno;
    if (who.Chip >= 0) {
        Log("close", fd, g.State->Chips[who.Chip].Name, nullptr, error);
    } else {
        StateLock lock;
        HandleState &handle = g.State->Handles[who.Handle];
        if (handle.Id) {
            const bool held = HandleHeld(handle);
            Log("close", fd, HandleName(who.Handle).Str(), held ? "kept" : "released", error);
            if (!held)
                Release(who.Handle);
        }
    }
    errno = result == 0 ? saved : error;
    return result;
}

// scandir of /dev: the machine's entries but its GPIO chips, and the emulated chips.
template <class Entry> struct Listing {
    using Filter = int (*)(const Entry *);
    using Compare = int (*)(const Entry **, const Entry **);
    static thread_local Filter userFilter;

    static int NoRealChips(const Entry *entry)
    {
        if (std::strncmp(entry->d_name, "gpiochip", 8) == 0)
            return 0;
        return userFilter ? userFilter(entry) : 1;
    }

    template <class Real> static int Scan(Real real, const char *dir, Entry ***list, Filter filter, Compare compare)
    {
        userFilter = filter;
        const int n = real(dir, list, NoRealChips, nullptr);
        userFilter = nullptr;
        if (n < 0)
            return n;
        std::vector<Entry *> entries(*list, *list + n);
        std::free(*list);
        for (int chip = 0; chip < MaxChips; ++chip) {
            if (!ChipPresent(chip))
                continue;
            auto *entry = static_cast<Entry *>(std::calloc(1, sizeof(Entry)));
            if (!entry)
                break;
            entry->d_ino = 1000 + chip;
            entry->d_reclen = sizeof(Entry);
            entry->d_type = DT_CHR;
            std::snprintf(entry->d_name, sizeof entry->d_name, "gpiochip%d", chip);
            if (filter && !filter(entry)) {
                std::free(entry);
                continue;
            }
            entries.push_back(entry);
        }
        // No entries: no list, as glibc's scandir (libgpiod 1.6 frees none then).
        if (entries.empty()) {
            *list = nullptr;
            return 0;
        }
        *list = static_cast<Entry **>(std::malloc(sizeof(Entry *) * entries.size()));
        if (!*list) {
            for (Entry *e : entries)
                std::free(e);
            return Fail(ENOMEM);
        }
        std::copy(entries.begin(), entries.end(), *list);
        if (compare)
            std::qsort(*list, entries.size(), sizeof(Entry *),
                       reinterpret_cast<int (*)(const void *, const void *)>(compare));
        return int(entries.size());
    }
};
template <class Entry> thread_local typename Listing<Entry>::Filter Listing<Entry>::userFilter = nullptr;

bool IsDevFolder(const char *dir) { return g.Active && dir && (!std::strcmp(dir, "/dev") || !std::strcmp(dir, "/dev/")); }

// ---- Set-up, once per program at load ---------------------------------------------------

void Complain(const std::string &text) { preload::Complain("%s", text.c_str()); }

// A line by name on any chip, or by offset on gpiochip0.
bool FindLine(const SharedState &s, const std::string &what, int &chip, int &offset)
{
    char *end = nullptr;
    const long number = std::strtol(what.c_str(), &end, 10);
    if (!what.empty() && *end == '\0') {
        chip = 0;
        offset = int(number);
        return s.ChipCount > 0 && number >= 0 && number < long(s.Chips[0].Lines);
    }
    for (chip = 0; chip < s.ChipCount; ++chip)
        for (offset = 0; offset < int(s.Chips[chip].Lines); ++offset)
            if (what == s.Chips[chip].Line[offset].Name)
                return true;
    return false;
}

void SetName(char (&field)[NameSize], const char *value) { std::snprintf(field, NameSize, "%s", value); }

void BuildChips(SharedState &s)
{
    s.ChipCount = int(NumberFromEnv("GPIO_EMU_CHIPS", MaxChips, MaxChips));
    ChipState &pi = s.Chips[0];
    SetName(pi.Name, "gpiochip0");
    SetName(pi.Label, "pinctrl-bcm2711");
    pi.Lines = PiLines;
    for (int i = 0; i < PiLines; ++i) {
        SetName(pi.Line[i].Name, PiLineNames[i]);
        pi.Line[i].PowerUpPull = i <= LastPulledUpAtPowerUp ? 1 : 0;
    }
    ChipState &expander = s.Chips[1];
    SetName(expander.Name, "gpiochip1");
    SetName(expander.Label, "raspberrypi-exp-gpio");
    expander.Lines = ExpanderLines;
    for (int i = 0; i < ExpanderLines; ++i)
        SetName(expander.Line[i].Name, ExpanderLineNames[i]);
    for (const BootHold &hold : BootHolds) {
        LineState &line = s.Chips[hold.Chip].Line[hold.Offset];
        SetName(line.Consumer, hold.Consumer);
        line.Owner = -1;
        line.Flags = GPIOLINE_FLAG_KERNEL | GPIOLINE_FLAG_IS_OUT | (hold.ActiveLow ? GPIOLINE_FLAG_ACTIVE_LOW : 0);
        line.Level = uint32_t(hold.Level);
    }
}

// GPIO_EMU_HELD: "<line>=<consumer>,..."
void HoldLines(SharedState &s)
{
    const char *held = std::getenv("GPIO_EMU_HELD");
    if (!held || !*held)
        return;
    std::string list = held;
    size_t at = 0;
    while (at <= list.size()) {
        const size_t comma = std::min(list.find(',', at), list.size());
        const std::string item = list.substr(at, comma - at);
        at = comma + 1;
        if (item.empty())
            continue;
        const size_t equals = item.find('=');
        int chip = 0, offset = 0;
        if (equals == std::string::npos || equals + 1 == item.size() ||
            !FindLine(s, item.substr(0, equals), chip, offset)) {
            Complain("GPIO_EMU_HELD: \"" + item + "\" is no <line>=<consumer> of the emulated chips");
            continue;
        }
        LineState &line = s.Chips[chip].Line[offset];
        SetName(line.Consumer, item.substr(equals + 1).c_str());
        line.Owner = -1;
        line.Flags |= GPIOLINE_FLAG_KERNEL;
    }
}

// GPIO_EMU_INPUTS: one entry per line of <line>=<level> words.
void LoadInputs(SharedState &s, const char *path)
{
    FILE *f = std::fopen(path, "r");
    if (!f) {
        Complain(std::string("cannot read the input levels ") + path);
        return;
    }
    char buffer[4096];
    int lineNumber = 0;
    while (s.InputLength < MaxScript && std::fgets(buffer, sizeof buffer, f)) {
        ++lineNumber;
        std::string text = buffer;
        for (char &c : text)
            if (c == ',' || c == '\t' || c == '\n' || c == '\r')
                c = ' ';
        InputEntry entry = {};
        size_t at = 0;
        bool any = false;
        while (at < text.size()) {
            const size_t start = text.find_first_not_of(' ', at);
            if (start == std::string::npos)
                break;
            const size_t end = std::min(text.find(' ', start), text.size());
            const std::string word = text.substr(start, end - start);
            at = end;
            const size_t equals = word.find('=');
            int chip = 0, offset = 0;
            const std::string level = equals == std::string::npos ? "" : word.substr(equals + 1);
            if ((level != "0" && level != "1") || !FindLine(s, word.substr(0, equals), chip, offset)) {
                Complain(std::string(path) + " line " + std::to_string(lineNumber) + ": \"" + word +
                         "\" is no <line>=<0|1> of the emulated chips");
                continue;
            }
            entry.Driven[chip] |= uint64_t(1) << offset;
            if (level == "1")
                entry.Levels[chip] |= uint64_t(1) << offset;
            any = true;
        }
        if (any || text.find_first_not_of(' ') == std::string::npos)
            s.Inputs[s.InputLength++] = entry;
    }
    std::fclose(f);
}

void WriteFile(const Path &path, const std::string &content)
{
    const int fd = int(syscall(SYS_openat, AT_FDCWD, path.Str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd < 0)
        return;
    (void)syscall(SYS_write, fd, content.data(), content.size());
    syscall(SYS_close, fd);
}

// Maps the state, making it when it is new.
SharedState *MapState()
{
    syscall(SYS_mkdirat, AT_FDCWD, g.Dir, 0755);
    struct stat st = {};
    return preload::MapSharedState<SharedState>(StateFile().Str(), StateMagic, st, [&st](SharedState &state) {
        state.EpochNs = MonotonicNs();
        state.Dev = uint64_t(st.st_dev);
        BuildChips(state);
        HoldLines(state);
        state.OpenError = preload::ErrnoFromEnv("GPIO_EMU_OPEN_ERROR");
        state.GoneAfter = uint32_t(NumberFromEnv("GPIO_EMU_GONE_AFTER", 0, INT32_MAX));
        if (const char *inputs = std::getenv("GPIO_EMU_INPUTS"); inputs && *inputs)
            LoadInputs(state, inputs);
        for (int chip = 0; chip < MaxChips; ++chip) {
            WriteFile(ChipFile(chip), "");
            WriteFile(DevAttrFile(chip), std::to_string(ChipMajor) + ":" + std::to_string(chip) + "\n");
            struct stat chipStat;
            if (syscall(SYS_newfstatat, AT_FDCWD, ChipFile(chip).Str(), &chipStat, 0) == 0)
                state.Chips[chip].Ino = uint64_t(chipStat.st_ino);
        }
    });
}

// Answers an open of the chips' paths; NotOurs for another path.
int OpenOurs(int dirfd, const char *path, int flags)
{
    const int chip = ChipNode(dirfd, path);
    if (chip >= 0)
        return OpenChip(chip, path, flags);
    const int attr = ChipDevAttr(dirfd, path);
    if (attr >= 0)
        return OpenDevAttr(attr, flags);
    return preload::NotOurs;
}

template <class Stat, class Real> int StatPath(const char *path, Stat *st, Real real, long sys, int atFlags)
{
    const int chip = ChipNode(AT_FDCWD, path);
    if (chip >= 0)
        return StatChip(chip, st);
    const int attr = ChipDevAttr(AT_FDCWD, path);
    if (attr >= 0) {
        if (!ChipPresent(attr))
            return Fail(ENOENT);
        return int(syscall(sys, AT_FDCWD, DevAttrFile(attr).Str(), st, atFlags));
    }
    return real ? real(path, st) : int(syscall(sys, AT_FDCWD, path, st, atFlags));
}

} // namespace

// ---- The interposed calls ---------------------------------------------------------------

EMU_EXPORT int access(const char *path, int mode)
{
    const int chip = ChipNode(AT_FDCWD, path);
    if (chip >= 0) {
        if (!ChipPresent(chip))
            return Fail(ENOENT);
        return (mode & (R_OK | W_OK)) && g.State->OpenError ? Fail(g.State->OpenError) : 0;
    }
    const int attr = ChipDevAttr(AT_FDCWD, path);
    if (attr >= 0)
        return ChipPresent(attr) ? 0 : Fail(ENOENT);
    return g_access ? g_access(path, mode) : int(syscall(SYS_faccessat, AT_FDCWD, path, mode, 0));
}

EMU_EXPORT int stat(const char *path, struct stat *st) { return StatPath(path, st, g_stat, SYS_newfstatat, 0); }

EMU_EXPORT int lstat(const char *path, struct stat *st)
{
    return StatPath(path, st, g_lstat, SYS_newfstatat, AT_SYMLINK_NOFOLLOW);
}

EMU_EXPORT int stat64(const char *path, struct stat64 *st) { return StatPath(path, st, g_stat64, SYS_newfstatat, 0); }

EMU_EXPORT int lstat64(const char *path, struct stat64 *st)
{
    return StatPath(path, st, g_lstat64, SYS_newfstatat, AT_SYMLINK_NOFOLLOW);
}

EMU_EXPORT int scandir(const char *dir, struct dirent ***list, int (*filter)(const struct dirent *),
                       int (*compare)(const struct dirent **, const struct dirent **))
{
    if (!g_scandir)
        return Fail(ENOSYS);
    if (!IsDevFolder(dir))
        return g_scandir(dir, list, filter, compare);
    return Listing<struct dirent>::Scan(g_scandir, dir, list, filter, compare);
}

EMU_EXPORT int scandir64(const char *dir, struct dirent64 ***list, int (*filter)(const struct dirent64 *),
                         int (*compare)(const struct dirent64 **, const struct dirent64 **))
{
    if (!g_scandir64)
        return Fail(ENOSYS);
    if (!IsDevFolder(dir))
        return g_scandir64(dir, list, filter, compare);
    return Listing<struct dirent64>::Scan(g_scandir64, dir, list, filter, compare);
}

// libgpiod 2 makes sure that a chip's device is one of the GPIO subsystem by
// the link its major and minor number have in /sys/dev/char.
EMU_EXPORT char *realpath(const char *path, char *resolved)
{
    const int chip = ChipSubsystemLink(path);
    if (chip < 0)
        return g_realpath ? g_realpath(path, resolved) : (errno = ENOSYS, nullptr);
    if (!ChipPresent(chip)) {
        errno = ENOENT;
        return nullptr;
    }
    static const char subsystem[] = "/sys/bus/gpio";
    if (!resolved)
        return strdup(subsystem); // the caller frees it, as glibc's
    return std::strcpy(resolved, subsystem);
}

// ---- The device on the preload skeleton ----------------------------------------------------

const char *const preload::Name = "gpio emulator";

void preload::Start()
{
    Resolve(g_access, "access");
    Resolve(g_stat, "stat");
    Resolve(g_lstat, "lstat");
    Resolve(g_stat64, "stat64");
    Resolve(g_lstat64, "lstat64");
    Resolve(g_scandir, "scandir");
    Resolve(g_scandir64, "scandir64");
    Resolve(g_realpath, "realpath");

    if (!CopyEnv("GPIO_EMU_DIR", g.Dir, sizeof g.Dir))
        return;
    if (!(g.State = MapState())) {
        Complain("GPIO_EMU_DIR must name a folder where it can make its state");
        return;
    }
    CopyEnv("GPIO_EMU_LOG", g.Log, sizeof g.Log);
    g.Active = true;
}

int preload::Open(int dirfd, const char *path, int flags) { return OpenOurs(dirfd, path, flags); }

bool preload::Ioctl(int fd, unsigned long request, void *arg, int &result)
{
    // The kernel takes the request as 32 bits: a caller that passed it as an
    // int (libgpiod 2 does) has it sign-extended here.
    const unsigned long code = uint32_t(request);
    if (!g.Active || _IOC_TYPE(code) != 0xB4)
        return false;
    const Identity who = Identify(fd);
    if (who.Chip < 0 && who.Handle < 0)
        return false;
    if (!arg)
        result = Fail(EFAULT); // as the kernel's copy from user space
    else if (who.Chip >= 0)
        result = ChipIoctl(fd, who.Chip, code, arg);
    else
        result = HandleIoctl(fd, who.Handle, code, arg);
    return true;
}

bool preload::Close(int fd, int &result)
{
    const Identity who = Identify(fd);
    if (who.Chip < 0 && who.Handle < 0)
        return false;
    result = CloseEmulated(fd, who);
    return true;
}
