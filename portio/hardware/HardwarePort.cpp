// The hardware port library: Inp32/Out32 on a real parallel port through the
// kernel's ppdev interface.
//
// An I/O address belongs to the port whose base address it lies above (the
// bases are listed in /proc/sys/dev/parport/parportN/base-addr): base + 0 is
// the data register, + 1 the status register, + 2 the control register. The
// first access to a port opens /dev/parportN and claims it; the claim is held
// until the process ends.
//
// Nothing here crashes or waits on the port. Whatever is missing (the drivers,
// the device, the permission to open it, a port held by another driver) is told
// once per port on standard error, with the fix; then writes go nowhere and
// reads return 0.
//
// A failed read or write of a claimed device is also kept for the program,
// which asks for it through PortIoLastError() after its accesses and ends what
// it was doing with the error shown.
//
// A guard process started at the first access switches the motors off when
// the program dies without ending normally: it claims every device the
// program had claimed, writes 0 to its data register and releases it (see
// PortGuard.h).
//
// ROBOT_PARPORT_ROOT  a directory that stands for "/" when the library looks
//                     for proc/sys/dev/parport and dev/parportN; for tests of
//                     the library as a whole. Read once, at the first access.
// ROBOT_PORT_TRACE    file that receives one line per access, as the recording
//                     library writes it: what the program wrote and what the
//                     port answered (0 when it could not be reached).
#include "portio/PortGuard.h"
#include "portio/PortIoExports.h"
#include "portio/PortTrace.h"
#include "portio/hardware/ParportMap.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <grp.h>
#include <linux/ppdev.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;

// How long the first access to a port waits for its claim. Claiming waits as
// long as another driver (lp printing, another program) holds the port.
constexpr auto ClaimWait = 100ms;

// Control register bits this library passes on.
constexpr unsigned ControlLines = 0x0F;   // C0..C3: strobe, autofeed, init, select-in
constexpr unsigned ControlReverse = 0x20; // C5: data lines become inputs (bidirectional ports)

// One open /dev/parportN, claimed once Claim() has succeeded; released and
// closed when the last owner lets go of it.
class ParportDevice {
public:
    explicit ParportDevice(int fd) : fd_(fd) {}
    ~ParportDevice()
    {
        if (claimed_)
            ioctl(fd_, PPRELEASE);
        close(fd_);
    }
    ParportDevice(const ParportDevice &) = delete;
    ParportDevice &operator=(const ParportDevice &) = delete;

    // Opening a ppdev device does not touch the port and never waits.
    static std::shared_ptr<ParportDevice> Open(const std::string &path, int &error)
    {
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            error = errno;
            return nullptr;
        }
        error = 0;
        return std::make_shared<ParportDevice>(fd);
    }

    // Waits while another driver holds the port: call it off the caller's thread.
    int Claim()
    {
        if (ioctl(fd_, PPCLAIM) != 0)
            return errno;
        claimed_ = true;
        return 0;
    }

    // Both return 0 or the errno of the failed request.
    int Write(unsigned offset, unsigned value)
    {
        unsigned char byte = static_cast<unsigned char>(value);
        switch (offset) {
        case parport::DataOffset:
            return Request(PPWDATA, &byte);
        case parport::ControlOffset: {
            byte = static_cast<unsigned char>(value & ControlLines);
            int reverse = (value & ControlReverse) ? 1 : 0;
            if (const int error = Request(PPWCONTROL, &byte))
                return error;
            return Request(PPDATADIR, &reverse);
        }
        default: // the status register is read-only
            return 0;
        }
    }

    int Read(unsigned offset, unsigned char &byte)
    {
        switch (offset) {
        case parport::DataOffset:
            return Request(PPRDATA, &byte);
        case parport::StatusOffset: // raw: BUSY (S7) as the register has it
            return Request(PPRSTATUS, &byte);
        case parport::ControlOffset: // C0..C3 as last written
            return Request(PPRCONTROL, &byte);
        default:
            byte = 0;
            return 0;
        }
    }

private:
    template <typename T> int Request(unsigned long request, T *arg)
    {
        return ioctl(fd_, request, arg) == 0 ? 0 : errno;
    }

    int fd_;
    bool claimed_ = false;
};

// A port's device as far as the library got with it.
struct PortSlot {
    enum class State { Claiming, Ready, Failed } state = State::Failed;
    std::shared_ptr<ParportDevice> device;
    std::future<int> claim; // while Claiming: the helper thread's PPCLAIM result
};

// The group that may open the device; lp, as Debian has it, when there is no device.
std::string GroupOf(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
        group grp;
        group *found = nullptr;
        char buffer[1024];
        if (getgrgid_r(st.st_gid, &grp, buffer, sizeof buffer, &found) == 0 && found)
            return found->gr_name;
    }
    return "lp";
}

std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

class HardwarePorts {
public:
    short In(uint16_t address)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        guard_.Start();
        unsigned char byte = 0;
        const std::optional<parport::Register> reg = Resolve(address);
        if (ParportDevice *device = reg ? Device(reg->Index) : nullptr)
            if (const int error = device->Read(reg->Offset, byte)) {
                ReportIoError(reg->Index, "read", error);
                byte = 0;
            }
        trace_.Record('R', static_cast<short>(address), byte);
        return static_cast<short>(byte);
    }

    void Out(uint16_t address, short value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        guard_.Start();
        const std::optional<parport::Register> reg = Resolve(address);
        if (ParportDevice *device = reg ? Device(reg->Index) : nullptr)
            if (const int error = device->Write(reg->Offset, static_cast<unsigned>(value) & 0xFF))
                ReportIoError(reg->Index, "write", error);
        trace_.Record('W', static_cast<short>(address), value);
    }

    // Releases and closes every port and stands the guard down; later
    // accesses go nowhere.
    void CloseAll()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        slots_.clear();
        guard_.StandDown();
    }

    // The failed access since the last call, or null. The text stays valid
    // until the next call.
    const char *TakeError()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pendingError_.empty())
            return nullptr;
        takenError_.swap(pendingError_);
        pendingError_.clear();
        return takenError_.c_str();
    }

private:
    std::optional<parport::Register> Resolve(uint16_t address)
    {
        if (closed_)
            return std::nullopt;
        if (!listed_) {
            listed_ = true;
            const char *root = std::getenv("ROBOT_PARPORT_ROOT");
            root_ = root && *root ? root : "/";
            ports_ = parport::ListPorts(root_);
        }
        const std::optional<parport::Register> reg = parport::FindRegister(ports_, address);
        if (!reg) {
            std::string problem;
            if (ports_.empty()) {
                problem = "no parallel port is known to the kernel (" +
                          parport::UnderRoot(root_, "proc/sys/dev/parport") + " lists none)";
            } else {
                problem = "I/O address " + std::to_string(address) + " (" + Hex(address) +
                          ") is no register of a parallel port (bases:";
                for (const parport::Port &port : ports_)
                    problem += " parport" + std::to_string(port.Index) + " " + Hex(port.Base);
                problem += ")";
            }
            Report("address", problem, parport::DevicePath(root_, 0));
        }
        return reg;
    }

    // The port's claimed device, or nullptr while it cannot be used.
    ParportDevice *Device(int index)
    {
        auto found = slots_.find(index);
        if (found == slots_.end())
            found = slots_.emplace(index, Open(index)).first;
        PortSlot &slot = found->second;
        if (slot.state == PortSlot::State::Claiming &&
            slot.claim.wait_for(0s) == std::future_status::ready)
            Claimed(index, slot);
        return slot.state == PortSlot::State::Ready ? slot.device.get() : nullptr;
    }

    PortSlot Open(int index)
    {
        PortSlot slot;
        const std::string path = parport::DevicePath(root_, index);
        int error = 0;
        slot.device = ParportDevice::Open(path, error);
        if (!slot.device) {
            if (error == ENOENT)
                Report(Key(index), path + " does not exist (the ppdev module is not loaded)", path);
            else
                Report(Key(index), "cannot open " + path + ": " + std::strerror(error), path);
            return slot;
        }
        std::promise<int> promise;
        slot.claim = promise.get_future();
        try {
            std::thread([device = slot.device, promise = std::move(promise)]() mutable {
                promise.set_value(device->Claim());
            }).detach();
        } catch (const std::system_error &e) {
            Report(Key(index), "cannot claim " + path + ": " + e.what(), path);
            slot.device.reset();
            return slot;
        }
        slot.state = PortSlot::State::Claiming;
        if (slot.claim.wait_for(ClaimWait) == std::future_status::ready) {
            Claimed(index, slot);
        } else {
            Report(Key(index),
                   path + " is held by another driver or program (the printer driver: sudo rmmod lp;"
                          " or another copy of this program)",
                   path, "Port writes go nowhere and reads return 0 until it is free.");
        }
        return slot;
    }

    void Claimed(int index, PortSlot &slot)
    {
        const int error = slot.claim.get();
        if (error == 0) {
            slot.state = PortSlot::State::Ready;
            guard_.GuardDevice(parport::DevicePath(root_, index));
            return;
        }
        slot.state = PortSlot::State::Failed;
        slot.device.reset();
        const std::string path = parport::DevicePath(root_, index);
        Report(Key(index), "cannot claim " + path + ": " + std::strerror(error), path);
    }

    void ReportIoError(int index, const char *what, int error)
    {
        const std::string path = parport::DevicePath(root_, index);
        pendingError_ = std::string("cannot ") + what + " " + path + ": " + std::strerror(error);
        Report(Key(index) + "-io", std::string("cannot ") + what + " " + path + ": " + std::strerror(error),
               path);
    }

    static std::string Key(int index) { return "parport" + std::to_string(index); }

    // One message per key for the life of the process.
    void Report(const std::string &key, const std::string &problem, const std::string &device,
                const char *consequence = "Port writes go nowhere and reads return 0.")
    {
        if (!reported_.insert(key).second)
            return;
        const std::string group = GroupOf(device);
        std::fprintf(stderr,
                     "inpout32: %s. %s To reach the port: load the drivers (sudo modprobe parport_pc ppdev),"
                     " check that %s exists, and let this user open it (it belongs to group %s: sudo usermod"
                     " -aG %s $USER, then log in again).\n",
                     problem.c_str(), consequence, device.c_str(), group.c_str(), group.c_str());
        std::fflush(stderr);
    }

    std::mutex mutex_;
    bool listed_ = false;
    bool closed_ = false;
    std::string root_;
    std::vector<parport::Port> ports_;
    std::map<int, PortSlot> slots_;
    std::set<std::string> reported_;
    std::string pendingError_;
    std::string takenError_;
    PortGuard guard_;
    PortTrace trace_;
};

// Never destroyed, so a call made late in the process's exit stays safe; the
// ports themselves are released and closed by ReleaseAtExit.
HardwarePorts &Ports()
{
    static HardwarePorts *ports = new HardwarePorts;
    return *ports;
}

struct ReleaseAtExit {
    ~ReleaseAtExit() { Ports().CloseAll(); }
} g_releaseAtExit;
} // namespace

short Inp32(short port)
{
    try {
        return Ports().In(static_cast<uint16_t>(port));
    } catch (...) {
        return 0;
    }
}

void Out32(short port, short value)
{
    try {
        Ports().Out(static_cast<uint16_t>(port), value);
    } catch (...) {
    }
}

const char *PortIoLastError()
{
    try {
        return Ports().TakeError();
    } catch (...) {
        return nullptr;
    }
}
