// The backend of every library whose device has lines (LineDevice.h): the
// program's registers as the pin map puts them on the device's lines.
//
//   Out32(888, code)  each motor bit of the code to its output line, all at once
//   Inp32(889)        254 with the bit of every firing sensor cleared, as the
//                     parallel port presents its status register; 0 while the
//                     device cannot be used
//   Inp32(888)        the code last written
//
// The device is opened at the first access. A device that cannot be opened
// or claimed, or that fails later (unplugged), is said once per kind of
// problem with what to do; writes then go nowhere and reads give 0, and the
// device is looked for again at most once a second, unless the problem is
// one that waiting cannot mend (a wrong chip, a refused pin map).
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "portio/kit/LineDevice.h"

#include <set>

namespace portkit {
namespace {

constexpr int64_t RetryNs = 1'000'000'000;
// The guard's slot for the device.
constexpr int DeviceGuardSlot = 1;

const char *const Consequence = "Port writes go nowhere and reads return 0.";

class LineBackend final : public PortBackend {
public:
    explicit LineBackend(Services &services) : services_(services) {}

    short In(uint16_t address) override
    {
        if (address == static_cast<uint16_t>(DataPort))
            return data_;
        if (address != static_cast<uint16_t>(StatusPort))
            return 0;
        LineDevice *device = Ready();
        if (!device)
            return 0;
        uint32_t firing = 0;
        LineProblem why;
        if (!device->Read(firing, why)) {
            Lost(why, "read");
            return 0;
        }
        short status = StatusIdle;
        for (size_t i = 0; i < sensorBits_.size(); ++i)
            if (firing & (1u << i))
                status = static_cast<short>(status & ~(1 << sensorBits_[i]));
        return status;
    }

    void Out(uint16_t address, short value) override
    {
        if (address != static_cast<uint16_t>(DataPort))
            return; // the device has no other register
        data_ = value;
        LineDevice *device = Ready();
        if (!device)
            return;
        uint32_t levels = 0;
        for (size_t i = 0; i < motorBits_.size(); ++i)
            if (value & (1 << motorBits_[i]))
                levels |= 1u << i;
        LineProblem why;
        if (!device->Write(levels, why))
            Lost(why, "write");
    }

    void AfterGuardCut() override
    {
        if (device_)
            device_->AfterGuardCut();
    }

    int InputFd() const override { return device_ ? device_->InputFd() : -1; }

    void TakeInput() override
    {
        LineProblem why;
        if (device_ && !device_->TakeInput(why))
            Lost(why, "read");
    }

    void Close() override
    {
        if (!device_)
            return;
        services_.Guard(DeviceGuardSlot, {});
        device_->Close();
        device_.reset();
    }

private:
    // The device, opened and claimed; nullptr while it cannot be used.
    LineDevice *Ready()
    {
        if (device_ || given_up_)
            return device_.get();
        const int64_t now = MonotonicNs();
        if (now < nextTryNs_)
            return nullptr;
        nextTryNs_ = now + RetryNs;
        if (!map_) {
            std::string error;
            map_ = LoadPinMap(LineDeviceKind(), error);
            if (!map_) {
                services_.Say("pin-map", error + ". " + Consequence);
                given_up_ = true;
                return nullptr;
            }
        }
        std::unique_ptr<LineDevice> device = MakeLineDevice();
        device->SetSay([this](const std::string &key, const std::string &text) { services_.Say(key, text); });
        LineProblem why;
        if (!device->Open(*map_, why) || !Resolve(*device, why) || !device->Claim(outputs_, inputs_, why)) {
            Tell(why);
            given_up_ = why.Lasting;
            return nullptr;
        }
        device_ = std::move(device);
        services_.Guard(DeviceGuardSlot, device_->OrderForGuard());
        // A device that turns up later starts with its outputs at 0: a code
        // the program wrote meanwhile is not carried out late.
        return device_.get();
    }

    // The device's line for every entry of the map, each line used once.
    bool Resolve(const LineDevice &device, LineProblem &why)
    {
        outputs_.clear();
        inputs_.clear();
        motorBits_.clear();
        sensorBits_.clear();
        std::vector<std::pair<int, const PinMapEntry *>> used;
        auto find = [&](const PinMapEntry &entry, const char *signal) -> std::optional<int> {
            std::string detail;
            const std::optional<int> line = device.FindLine(entry.Line, detail);
            why.Lasting = true;
            if (!line) {
                why.Key = "pin-map";
                why.Text = map_->Where(entry) + ": " + signal + std::to_string(entry.Bit) + " names the line " +
                           entry.Line + ", which the " + LineDeviceKind() + " device does not have" +
                           (detail.empty() ? "" : " (" + detail + ")");
                why.Fix = "Correct the pin map.";
                return std::nullopt;
            }
            for (const auto &[other, otherEntry] : used)
                if (other == *line) {
                    why.Key = "pin-map";
                    why.Text = map_->Where(entry) + ": the line " + entry.Line + " is used twice (also by " +
                               map_->Where(*otherEntry) + ")";
                    why.Fix = "Give every signal a line of its own.";
                    return std::nullopt;
                }
            used.emplace_back(*line, &entry);
            why.Lasting = false;
            return line;
        };
        for (const PinMapEntry &motor : map_->Motors) {
            const std::optional<int> line = find(motor, "D");
            if (!line)
                return false;
            outputs_.push_back({*line});
            motorBits_.push_back(motor.Bit);
        }
        for (const PinMapEntry &sensor : map_->Sensors) {
            const std::optional<int> line = find(sensor, "S");
            if (!line)
                return false;
            inputs_.push_back({*line, sensor.ActiveLow, sensor.LinePull});
            sensorBits_.push_back(sensor.Bit);
        }
        return true;
    }

    void Tell(const LineProblem &why)
    {
        services_.Say(why.Key.empty() ? "device" : why.Key, why.Text + ". " + Consequence + (why.Fix.empty() ? "" : " " + why.Fix));
    }

    // The device failed under way: the program hears of it through
    // PortIoLastError and ends what it was doing; the device is let go and
    // looked for again later.
    void Lost(const LineProblem &why, const char *what)
    {
        services_.Fail(std::string("cannot ") + what + ": " + why.Text);
        Tell(why);
        services_.Guard(DeviceGuardSlot, {});
        device_.reset();
        nextTryNs_ = MonotonicNs() + RetryNs;
        given_up_ = why.Lasting;
    }

    Services &services_;
    std::optional<PinMap> map_;
    std::unique_ptr<LineDevice> device_;
    std::vector<OutputLine> outputs_;
    std::vector<InputLine> inputs_;
    std::vector<int> motorBits_;  // the data bit of each output
    std::vector<int> sensorBits_; // the status bit of each input
    int64_t nextTryNs_ = 0;
    bool given_up_ = false;
    short data_ = 0;
};

} // namespace
} // namespace portkit

std::unique_ptr<portkit::PortBackend> MakePortBackend(portkit::Services &services)
{
    return std::make_unique<portkit::LineBackend>(services);
}
