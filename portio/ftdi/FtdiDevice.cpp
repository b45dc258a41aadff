// The FTDI port library's device: a USB adapter with an FTDI FT232R or FT232H
// whose eight lines drive the motor driver and read the sensors, one byte
// written for every Out32 and one read of the pins for every Inp32.
//
// FT232R: asynchronous bit-bang. Each line is an input or an output (the
// mask); a byte written on the bulk endpoint sets the outputs, and "read
// pins" (a control request, answered at once) reads all eight.
// FT232H: the MPSSE engine's low byte. SET_BITS_LOW (0x80) sets values and
// directions in one command; GET_BITS_LOW (0x81) with SEND_IMMEDIATE (0x87)
// answers on the bulk IN endpoint.
//
// Which adapter: ROBOT_FTDI (a serial number, or a bus path such as 1-2 as
// lsusb -t and /sys/bus/usb/devices name it), else the pin map's "adapter"
// setting, else the first FT232R or FT232H on the bus. Any other FTDI chip is
// refused by name.
//
// The motors are off on every way out:
// - Claim: every output is at 0 before it becomes an output.
// - Close: writes 0, then lets go; the chip keeps driving the lines low.
// - The program gone without a word (kill -9): the guard opens the adapter
//   by its bus path, puts the outputs at 0 and lets go (FtdiGuard.cpp).
// - The program stopped (SIGSTOP, a debugger) while a motor runs: it still
//   holds the adapter's interface, so the guard cannot claim it. It sends
//   SET_BITMODE instead, a vendor request to the device that usbfs passes
//   without a claim, making all eight lines inputs: the motor driver's
//   inputs float, and the pull-down resistors the wiring has on them (see
//   docs/hardware/ftdi.md) hold the motors off. When the program goes on,
//   AfterGuardCut() puts the lines back as they were, outputs at 0 first,
//   before the next write.
#include "portio/ftdi/FtdiAdapter.h"
#include "portio/ftdi/FtdiPins.h"
#include "portio/ftdi/FtdiGuard.h"
#include "portio/kit/DeviceGroup.h"
#include "portio/kit/LineDevice.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdio>

namespace {
using namespace ftdiport;
using portkit::LineProblem;

constexpr int LineCount = 8;

// The lines' names in UART mode, D0..D7: what adapter boards print.
constexpr const char *UartNames[LineCount] = {"TXD", "RXD", "RTS", "CTS", "DTR", "DSR", "DCD", "RI"};

// The project's udev rule and the group it lets in (packaging/udev/).
constexpr const char *UdevRule = "60-robot-ftdi.rules";
constexpr const char *UdevGroup = "plugdev";

std::string Upper(std::string text)
{
    for (char &c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// D0..D7, AD0..AD7 (ADBUS0..7), the UART names (with or without the '#' of
// the active-low ones), or a bare index 0..7.
std::optional<int> LineByName(const std::string &name)
{
    std::string text = Upper(name);
    if (!text.empty() && text.back() == '#')
        text.pop_back();
    for (int i = 0; i < LineCount; ++i)
        if (text == UartNames[i])
            return i;
    for (const char *prefix : {"", "D", "AD", "ADBUS"}) {
        const std::string p = prefix;
        if (text.size() == p.size() + 1 && text.compare(0, p.size(), p) == 0 && text.back() >= '0' &&
            text.back() < char('0' + LineCount))
            return text.back() - '0';
    }
    return std::nullopt;
}

std::string Hex2(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x", value & 0xFF);
    return text;
}

class FtdiDevice : public portkit::LineDevice {
public:
    std::optional<int> LineOfName(const std::string &name, std::string &why) const override
    {
        const std::optional<int> line = LineByName(name);
        if (!line)
            why = portkit::Quoted(name, 40) + " is no line of an FT232R or FT232H: their lines are D0..D7 (AD0..AD7 "
                  "on an FT232H), also named TXD RXD RTS CTS DTR DSR DCD RI";
        return line;
    }

    std::string PullProblem(portkit::Pull pull) const override
    {
        // The chips have weak pull-ups on their lines and nothing else.
        if (pull == portkit::Pull::Down)
            return "the FT232R and FT232H have weak pull-ups on their lines and no pull-downs";
        if (pull == portkit::Pull::None)
            return "the FT232R and FT232H cannot switch their lines' pull-ups off";
        return {};
    }

    std::string Name() const override { return name_; }

    bool Open(const portkit::PinMap &map, LineProblem &why) override
    {
        std::string error;
        adapter_ = FtdiAdapter::Create(error);
        if (!adapter_) {
            why = {"libftdi", error, "Check the packages libftdi1-2 and libusb-1.0-0.", false};
            return false;
        }
        const std::string wanted = map.Setting("adapter", "", "ROBOT_FTDI");
        const FoundAdapter *found = Choose(wanted, why);
        if (!found)
            return Drop();
        name_ = found->ChipName + " at USB " + found->BusPath;
        if (found->Kind == ChipKind::Other) {
            why = {"chip",
                   "the FTDI adapter at USB " + found->BusPath + " is an " + found->ChipName +
                       "; this library drives only the FT232R (bit-bang) and the FT232H (MPSSE)",
                   "Use an FT232R or FT232H adapter; with several adapters, choose one with ROBOT_FTDI=<serial "
                   "number or bus path>.",
                   true};
            return Drop();
        }
        OpenFailure failure = OpenFailure::None;
        std::string detail;
        if (!adapter_->Open(*found, failure, detail)) {
            why = Problem(*found, failure, detail);
            return Drop();
        }
        serial_ = adapter_->Serial();
        if (!serial_.empty())
            name_ = found->ChipName + " " + serial_ + " at USB " + found->BusPath;
        return true;
    }

    std::optional<int> FindLine(const std::string &name, std::string &why) const override
    {
        if (const std::optional<int> line = LineByName(name))
            return line;
        const bool h = adapter_ && adapter_->Kind() == ChipKind::FT232H;
        why = name + " is no line of the " + (h ? std::string("FT232H") : std::string("FT232R")) + ": its lines are " +
              (h ? "AD0..AD7" : "D0..D7") + ", also named TXD RXD RTS CTS DTR DSR DCD RI";
        return std::nullopt;
    }

    bool Claim(const std::vector<portkit::OutputLine> &outputs, const std::vector<portkit::InputLine> &inputs,
               LineProblem &why) override
    {
        // The line backend has refused a line used twice; the lines are the
        // ones FindLine gave.
        uint8_t outputMask = 0;
        for (const portkit::OutputLine &out : outputs) {
            if (out.Line < 0 || out.Line >= LineCount) {
                why = {"lines", "line " + Label(out.Line) + " is no line of the adapter",
                       "Give every motor bit a line of the adapter.", true};
                return false;
            }
            outputMask |= uint8_t(1u << out.Line);
        }
        for (const portkit::InputLine &in : inputs) {
            if (in.Line < 0 || in.Line >= LineCount) {
                why = {"lines", "line " + Label(in.Line) + " is no line of the adapter",
                       "Give every sensor bit a line of the adapter.", true};
                return false;
            }
            // The chips have weak pull-ups on their lines and nothing else.
            if (in.LinePull == portkit::Pull::Down || in.LinePull == portkit::Pull::None) {
                why = {"pull",
                       "the " + Chip() + " cannot " +
                           (in.LinePull == portkit::Pull::Down ? "pull line " + Label(in.Line) + " down"
                                                               : "leave line " + Label(in.Line) + " without its pull-up"),
                       "Fit a resistor on the sensor's output and write the line without pull-down or no-pull in "
                       "the pin map.",
                       true};
                return false;
            }
        }
        outputs_ = outputs;
        inputs_ = inputs;
        outputMask_ = outputMask;
        if (!adapter_->EnterLineMode(outputMask_)) {
            why = {"mode",
                   "could not put the " + name_ + " into " + (adapter_->Kind() == ChipKind::FT232H ? "MPSSE" : "bit-bang") +
                       " mode: " + adapter_->LastError(),
                   "Unplug the adapter and plug it in again.", false};
            return false;
        }
        return true;
    }

    bool Write(uint32_t levels, LineProblem &why) override
    {
        if (modeLost_ && !Reenter(why))
            return false;
        if (adapter_->WriteLines(static_cast<uint8_t>(portkit::LineLevels(levels, outputs_))))
            return true;
        why = Gone("write");
        return false;
    }

    bool Read(uint32_t &firing, LineProblem &why) override
    {
        if (modeLost_ && !Reenter(why))
            return false;
        uint8_t pins = 0;
        if (!adapter_->ReadLines(pins)) {
            why = Gone("read");
            return false;
        }
        firing = portkit::FiringInputs(inputs_, [&](int line) { return (pins >> line) & 1u; });
        return true;
    }

    portkit::GuardOrder OrderForGuard() const override
    {
        portkit::GuardOrder order;
        order.Kind = portguard::FtdiKind;
        // No file: the guard opens the adapter itself (a usbfs file of the
        // program's could not be shared without sharing its claim).
        order.Fd = -1;
        order.Payload = "path=" + adapter_->BusPath() + " outputs=" + Hex2(outputMask_) +
                        " chip=" + (adapter_->Kind() == ChipKind::FT232H ? "FT232H" : "FT232R");
        return order;
    }

    void AfterGuardCut() override
    {
        // The guard made every line an input; the lines come back outputs at
        // 0 now, or at the next write.
        LineProblem unused;
        modeLost_ = true;
        Reenter(unused);
    }

    void Close() override
    {
        if (!adapter_)
            return;
        if (!modeLost_)
            adapter_->WriteLines(0); // synchronous: the chip has it when this returns
        adapter_.reset();
    }

private:
    const FoundAdapter *Choose(const std::string &wanted, LineProblem &why)
    {
        const std::vector<FoundAdapter> &list = adapter_->List();
        std::string present;
        for (const FoundAdapter &a : list)
            present += (present.empty() ? "" : ", ") + a.ChipName + " at USB " + a.BusPath;
        const std::string lsusb = "lsusb lists an FT232R as 0403:6001 and an FT232H as 0403:6014";
        if (wanted.empty()) {
            for (const FoundAdapter &a : list)
                if (a.Kind != ChipKind::Other)
                    return &a;
            if (!list.empty())
                return &list.front(); // refused by name
            why = {"absent", "no FTDI adapter (FT232R or FT232H) is plugged in",
                   "Plug the adapter in (" + lsusb + "); the program takes it within a second.", false};
            return nullptr;
        }
        if (LooksLikeBusPath(wanted)) {
            for (const FoundAdapter &a : list)
                if (a.BusPath == wanted)
                    return &a;
            why = {"absent",
                   "no FTDI adapter is plugged in at USB " + wanted + " (ROBOT_FTDI or the pin map's adapter)" +
                       (present.empty() ? "" : "; there is: " + present),
                   "Plug it in there, or name another bus path or serial number (" + lsusb + "; lsusb -t shows "
                   "the ports).",
                   false};
            return nullptr;
        }
        bool refused = false;
        for (const FoundAdapter &a : list) {
            OpenFailure failure = OpenFailure::None;
            if (adapter_->SerialOf(a, failure) == wanted)
                return &a;
            refused = refused || failure == OpenFailure::Permission;
        }
        if (refused) {
            why = Problem(list.front(), OpenFailure::Permission, "permission denied reading its serial number");
            return nullptr;
        }
        why = {"absent",
               "no FTDI adapter with serial number " + wanted + " is plugged in (ROBOT_FTDI or the pin map's adapter)" +
                   (present.empty() ? "" : "; there is: " + present),
               "Plug it in, or name another serial number or a bus path (lsusb -v -d 0403: shows iSerial).", false};
        return nullptr;
    }

    LineProblem Problem(const FoundAdapter &a, OpenFailure failure, const std::string &detail) const
    {
        const std::string which = "the FTDI adapter " + a.ChipName + " at USB " + a.BusPath + " (" + a.Node + ")";
        switch (failure) {
        case OpenFailure::Permission:
            return {"permission", "cannot open " + which + ": permission denied",
                    std::string("Let this user open it: install the project's udev rule ") + UdevRule +
                        ", which gives group " + UdevGroup + " access to 0403:6001 and 0403:6014 (sudo cmake "
                        "--install build puts it in /usr/local/lib/udev/rules.d; or sudo cp packaging/udev/" +
                        UdevRule + " /etc/udev/rules.d/), run sudo udevadm control --reload, join the group (" +
                        portkit::JoinGroupCommand(UdevGroup) + ", then log in again) and plug the adapter in again.",
                    false};
        case OpenFailure::HeldByProgram:
            return {"busy", which + " is held by another program (another copy of this one, a serial terminal)",
                    "Close that program (sudo fuser -v " + a.Node + " shows which); the program takes the adapter "
                    "within a second of its being free.",
                    false};
        case OpenFailure::SerialDriver:
            return {"serial-driver",
                    which + " is bound to the kernel's serial driver ftdi_sio (it is a /dev/ttyUSB port), and the "
                            "driver could not be detached from it; while the driver has it, its lines stay as a "
                            "serial port sets them: TXD, RTS and DTR driven, the other lines inputs",
                    "Unbind the driver from it (echo -n " + a.BusPath + ":1.0 | sudo tee "
                    "/sys/bus/usb/drivers/ftdi_sio/unbind) or unload it (sudo rmmod ftdi_sio); the program takes the "
                    "adapter within a second.",
                    false};
        case OpenFailure::Absent:
            return {"absent", which + " went away while it was being opened",
                    "Plug it in again; the program takes it within a second.", false};
        case OpenFailure::None:
        case OpenFailure::Other:
            break;
        }
        return {"open", "cannot open " + which + ": " + detail, "Unplug the adapter and plug it in again.", false};
    }

    LineProblem Gone(const char *what) const
    {
        return {"gone",
                "the " + name_ + " stopped answering (" + what + ": " + adapter_->LastError() +
                    "): it was pulled out, or lost power",
                "Plug it in again; the program takes it back within a second. While it is away the motor driver's "
                "inputs are undriven: the pull-down resistors on them hold the motors off.",
                false};
    }

    bool Reenter(LineProblem &why)
    {
        if (!adapter_->EnterLineMode(outputMask_)) {
            why = Gone("mode");
            return false;
        }
        modeLost_ = false;
        return true;
    }

    bool Drop()
    {
        adapter_.reset();
        return false;
    }

    std::string Chip() const { return adapter_ && adapter_->Kind() == ChipKind::FT232H ? "FT232H" : "FT232R"; }

    std::string Label(int line) const
    {
        if (line < 0 || line >= LineCount)
            return std::to_string(line);
        const bool h = adapter_ && adapter_->Kind() == ChipKind::FT232H;
        return (h ? "AD" : "D") + std::to_string(line) + "/" + UartNames[line];
    }

    std::unique_ptr<FtdiAdapter> adapter_;
    std::string name_, serial_;
    std::vector<portkit::OutputLine> outputs_;
    std::vector<portkit::InputLine> inputs_;
    uint8_t outputMask_ = 0;
    bool modeLost_ = false; // the guard made the lines inputs
};

} // namespace

namespace portkit {

std::unique_ptr<LineDevice> MakeLineDevice()
{
    return std::make_unique<FtdiDevice>();
}

const DeviceKind &LineDeviceKind()
{
    return ftdiport::Pins;
}

} // namespace portkit
