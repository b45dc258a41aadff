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
// once per port, with the fix; then every access that needs the port (a read,
// a motor code) fails with the reason, so the drive under way ends with it
// shown, and a 0 goes nowhere. A port that could not be had is looked for
// again at most once a second.
//
// A failed read or write of a claimed device is also kept for the program,
// which asks for it through PortIoLastError() after its accesses and ends what
// it was doing with the error shown.
//
// A port claimed after another claimant held it gets a 0 before anything
// else: whatever that one left on it is not driven on.
//
// The port guard gets a copy of every claimed device's open file (see
// ParportGuard.h): it writes 0 through the program's own claim when the
// program is stopped holding a motor code, or has died without ending
// normally.
//
// The exports, the trace (ROBOT_PORT_TRACE) and the guard are the port
// library kit's (portio/kit/); this file is the backend.
//
// ROBOT_PARPORT_ROOT  a directory that stands for "/" when the library looks
//                     for proc/sys/dev/parport and dev/parportN; for tests of
//                     the library as a whole. Read once, at the first access.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "portio/hardware/ParportGuard.h"
#include "portio/hardware/ParportMap.h"
#include "portio/kit/DeviceGroup.h"
#include "portio/kit/PortKit.h"

#include <algorithm>
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
// A port that could not be had is looked for again after this long.
constexpr int64_t RetryNs = 1'000'000'000;
// A claim that took longer than this waited for another claimant.
constexpr int64_t ClaimWaitedNs = 5'000'000;

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

    int Fd() const { return fd_; }

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

// What PPCLAIM gave, and whether it had to wait for another claimant.
struct ClaimResult {
    int Error = 0;
    bool Waited = false; // and the port was given a 0 at once
};

// A port's device as far as the library got with it.
struct PortSlot {
    enum class State { Claiming, Ready, Failed } state = State::Failed;
    std::shared_ptr<ParportDevice> device;
    std::future<ClaimResult> claim; // while Claiming: the helper thread's PPCLAIM result
    int64_t claimedFromNs = 0;      // while Claiming: since when
    bool held = false;              // while Claiming: waited for longer than ClaimWait
    std::string problem;            // while not Ready: why, with what to do
    bool absent = false;            // Failed: the device is not there
    int64_t retryNs = 0;            // Failed: when to look again
};


std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

class ParportBackend final : public portkit::PortBackend {
public:
    explicit ParportBackend(portkit::Services &services) : services_(services) {}

    short In(uint16_t address) override
    {
        unsigned char byte = 0;
        const std::optional<parport::Register> reg = Resolve(address);
        ParportDevice *device = reg ? Device(reg->Index, true) : nullptr;
        if (!device)
            services_.Fail(Problem(reg));
        else if (const int error = device->Read(reg->Offset, byte)) {
            ReportIoError(reg->Index, "read", error);
            byte = 0;
        }
        return static_cast<short>(byte);
    }

    void Out(uint16_t address, short value) override
    {
        const std::optional<parport::Register> reg = Resolve(address);
        ParportDevice *device = reg ? Device(reg->Index, value != 0) : nullptr;
        if (!device) {
            // A 0 to a port that is not there: nothing runs.
            if (value != 0)
                services_.Fail(Problem(reg));
        } else if (const int error = device->Write(reg->Offset, static_cast<unsigned>(value) & 0xFF)) {
            ReportIoError(reg->Index, "write", error);
        }
    }

    // The port of the data register.
    std::string Status() override
    {
        const std::optional<parport::Register> reg = Resolve(static_cast<uint16_t>(DataPort));
        if (!reg)
            return "parallel port: absent (" + portkit::Quoted(addressProblem_, 120) + ")";
        const std::string text = "parallel port " + parport::DevicePath(root_, reg->Index) + ": ";
        Device(reg->Index, false);
        const PortSlot &slot = slots_[reg->Index];
        switch (slot.state) {
        case PortSlot::State::Ready:
            return text + "connected";
        case PortSlot::State::Claiming:
            if (!slot.held)
                return text + "starting";
            break;
        case PortSlot::State::Failed:
            break;
        }
        return text + (slot.absent ? "absent (" : "unusable (") + portkit::Quoted(slot.problem, 120) + ")";
    }

    // Releases and closes every port; later accesses go nowhere.
    void Close() override
    {
        closed_ = true;
        for (const auto &entry : slots_)
            services_.Guard(GuardSlot(entry.first), {});
        slots_.clear();
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
        }
        // The ports the kernel knows, listed again while it knows none.
        if (ports_.empty() && MonotonicNs() >= nextListNs_) {
            nextListNs_ = MonotonicNs() + RetryNs;
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
            addressProblem_ = problem;
            Report("address", problem, parport::DevicePath(root_, 0), ports_.empty());
        }
        return reg;
    }

    // What a failed access says while the port cannot be used.
    std::string Problem(const std::optional<parport::Register> &reg)
    {
        const std::string problem = reg ? slots_[reg->Index].problem : addressProblem_;
        return (problem.empty() ? "the parallel port library has ended" : problem) + ". " +
               Fix(parport::DevicePath(root_, reg ? reg->Index : 0));
    }

    // The port's claimed device, or nullptr while it cannot be used. A claim
    // under way is waited for ClaimWait at the first access when `wait`.
    ParportDevice *Device(int index, bool wait)
    {
        auto found = slots_.find(index);
        if (found == slots_.end() ||
            (found->second.state == PortSlot::State::Failed && MonotonicNs() >= found->second.retryNs)) {
            PortSlot slot = Open(index);
            found = slots_.insert_or_assign(index, std::move(slot)).first;
        }
        PortSlot &slot = found->second;
        if (slot.state == PortSlot::State::Claiming && !slot.held) {
            const auto left = std::chrono::nanoseconds(std::max<int64_t>(
                0, slot.claimedFromNs + std::chrono::nanoseconds(ClaimWait).count() - MonotonicNs()));
            if (slot.claim.wait_for(wait ? left : 0ns) != std::future_status::ready && (wait || left == 0ns)) {
                slot.held = true;
                slot.problem = parport::DevicePath(root_, index) +
                               " is held by another driver or program (the printer driver: sudo rmmod lp; or "
                               "another copy of this program)";
                Report(Key(index), slot.problem, parport::DevicePath(root_, index), false,
                       "No drive runs until it is free.");
            }
        }
        if (slot.state == PortSlot::State::Claiming && slot.claim.wait_for(0s) == std::future_status::ready)
            Claimed(index, slot);
        return slot.state == PortSlot::State::Ready ? slot.device.get() : nullptr;
    }

    PortSlot Open(int index)
    {
        PortSlot slot;
        slot.retryNs = MonotonicNs() + RetryNs;
        const std::string path = parport::DevicePath(root_, index);
        int error = 0;
        slot.device = ParportDevice::Open(path, error);
        if (!slot.device) {
            slot.absent = error == ENOENT;
            slot.problem = error == ENOENT ? path + " does not exist (the ppdev module is not loaded)"
                                           : "cannot open " + path + ": " + std::strerror(error);
            Report(Key(index), slot.problem, path, slot.absent);
            return slot;
        }
        std::promise<ClaimResult> promise;
        slot.claim = promise.get_future();
        try {
            std::thread([device = slot.device, promise = std::move(promise)]() mutable {
                const int64_t start = MonotonicNs();
                ClaimResult result{device->Claim(), false};
                // Another claimant held the port: what it left there stops
                // now, before anything else, even if this program stays idle.
                if (result.Error == 0 && MonotonicNs() - start > ClaimWaitedNs)
                    result.Waited = device->Write(parport::DataOffset, 0) == 0;
                promise.set_value(result);
            }).detach();
        } catch (const std::system_error &e) {
            slot.problem = "cannot claim " + path + ": " + e.what();
            Report(Key(index), slot.problem, path);
            slot.device.reset();
            return slot;
        }
        slot.state = PortSlot::State::Claiming;
        slot.claimedFromNs = MonotonicNs();
        slot.problem = path + " is being claimed";
        return slot;
    }

    void Claimed(int index, PortSlot &slot)
    {
        const ClaimResult result = slot.claim.get();
        const std::string path = parport::DevicePath(root_, index);
        if (result.Error == 0) {
            slot.state = PortSlot::State::Ready;
            services_.Guard(GuardSlot(index), {portguard::ParportKind, slot.device->Fd(), {}});
            return;
        }
        slot.state = PortSlot::State::Failed;
        slot.device.reset();
        slot.retryNs = MonotonicNs() + RetryNs;
        slot.problem = "cannot claim " + path + ": " + std::strerror(result.Error);
        Report(Key(index), slot.problem, path);
    }

    void ReportIoError(int index, const char *what, int error)
    {
        const std::string path = parport::DevicePath(root_, index);
        const std::string failure = std::string("cannot ") + what + " " + path + ": " + std::strerror(error);
        services_.Fail(failure);
        Report(Key(index) + "-io", failure, path);
    }

    static std::string Key(int index) { return "parport" + std::to_string(index); }
    // The guard's slot of a port; ports past the slots share the last one.
    static int GuardSlot(int index) { return std::min(index + 1, portkit::GuardSlots - 1); }

    // What to do to reach the port.
    static std::string Fix(const std::string &device)
    {
        const std::string group = portkit::DeviceGroup(device, "lp"); // as Debian has it
        return "To reach the port: load the drivers (sudo modprobe parport_pc ppdev), check that " + device +
               " exists, and let this user open it (it belongs to group " + group + ": " +
               portkit::JoinGroupCommand(group) + ", then log in again).";
    }

    // One message per key for the life of the process; a port that is not
    // there is for the status line, anything else for the window too.
    void Report(const std::string &key, const std::string &problem, const std::string &device, bool absent = false,
                const char *consequence = "No drive runs until it can be used.")
    {
        const std::string text = problem + ". " + consequence + " " + Fix(device);
        if (absent)
            services_.Note(key, text);
        else
            services_.Say(key, text);
    }

    portkit::Services &services_;
    bool listed_ = false;
    bool closed_ = false;
    int64_t nextListNs_ = 0;
    std::string addressProblem_; // why an address is no register of a port
    std::string root_;
    std::vector<parport::Port> ports_;
    std::map<int, PortSlot> slots_;
};

} // namespace

std::unique_ptr<portkit::PortBackend> MakePortBackend(portkit::Services &services)
{
    return std::make_unique<ParportBackend>(services);
}
