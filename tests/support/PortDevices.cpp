// The devices under the program-on-port suite, one class each, and the table
// that names them: a new device is one class here and one line in Devices.
#include "support/ProgramOnPort.h"

#include "core/RobotWiring.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

namespace {
// The devices' faults in the middle of the first sensor loop (LoseDeviceInFirstLoop).
constexpr int ParportFailingStatusRead = 4;  // the port holds 18 by then
constexpr int GpioAccessesBeforeGone = 120;  // opening and claiming take about 75, a status read two
constexpr size_t AdapterReadsBeforeLoss = 5;
constexpr size_t BoardReadsBeforeLoss = 15;

std::string NoneIfDash(const std::string &detail) { return detail == "-" ? "" : detail; }

// The recording library: its trace is the device.
class RecordingDevice : public PortDevice {
public:
    explicit RecordingDevice(ProgramOnPort &p) : p_(p) {}
    std::string ScriptPath() const { return p_.Dir() + "/recording-status.txt"; }
    void ScriptStatus(const std::vector<int> &values) override
    {
        std::ofstream out(ScriptPath());
        for (int v : values)
            out << v << '\n';
    }
    size_t LoseInFirstLoop() override { throw std::logic_error("the recording library has no device to lose"); }
    EnvVars Start() override
    {
        EnvVars env{{"LD_LIBRARY_PATH", ROBOT_BINARY_DIR "/lib/recording"}};
        if (std::filesystem::exists(ScriptPath()))
            env.emplace_back("ROBOT_STATUS_SCRIPT", ScriptPath());
        return env;
    }
    std::vector<Write> Writes() const override { return p_.TracedWrites(); }
    size_t StatusReads() const override { return p_.StatusBytes().size(); }
    std::vector<DeviceCall> Calls() const override { return {}; }
    size_t LineAccesses() const override { return 0; }

private:
    ProgramOnPort &p_;
};

// The hardware library over the emulated parallel port.
class ParportDevice : public PortDevice {
public:
    explicit ParportDevice(ProgramOnPort &p) : port_(p.port) {}
    std::string Path() const override { return port_.Device(); }
    void ScriptStatus(const std::vector<int> &values) override { port_.ScriptStatus(values); }
    size_t LoseInFirstLoop() override
    {
        port_.FailFrom("PPRSTATUS", ParportFailingStatusRead);
        return 0;
    }
    EnvVars Start() override { return port_.Env(); } // the hardware library is the one next to the program
    std::vector<Write> Writes() const override
    {
        std::vector<Write> out;
        for (const PortCall &c : port_.Log())
            if (c.Call == "PPWDATA" && c.Ok())
                out.push_back({c.Ns, c.Value});
        return out;
    }
    size_t StatusReads() const override { return CallsOf(port_.Log(), "PPRSTATUS").size(); }
    std::vector<DeviceCall> Calls() const override
    {
        std::vector<DeviceCall> calls;
        for (const PortCall &c : port_.Log())
            calls.push_back({c.Ns, c.Pid, c.Call, c.Value < 0 ? "" : std::to_string(c.Value), c.Ok()});
        return calls;
    }
    size_t LineAccesses() const override
    {
        return CallsOf(port_.Log(), "PPWDATA").size() + CallsOf(port_.Log(), "PPRSTATUS").size();
    }

private:
    EmulatedPort &port_;
};

// What the program and its guard did to an adapter's lines, each claim's
// set-up told apart from the program's own writes and reads.
struct AdapterTraffic {
    std::vector<Write> Writes;
    size_t Reads = 0;
};

AdapterTraffic TrafficOf(const std::vector<UsbAccess> &log, int readerPid)
{
    AdapterTraffic traffic;
    std::map<int, bool> setUpWrite, setUpRead; // per client
    for (const UsbAccess &a : log) {
        if (!a.Ok())
            continue;
        if (a.Event == "bitmode") {
            // FT232R: bit-bang with no outputs, then the set-up's 0;
            // FT232H: MPSSE, then the set-up's 0 and its check.
            setUpWrite[a.Client] = a.Detail == "mode=01,mask=00" || a.Detail.rfind("mode=02", 0) == 0;
            setUpRead[a.Client] = a.Detail.rfind("mode=02", 0) == 0;
        } else if (a.Event == "write" && a.Directions != 0) {
            traffic.Writes.push_back({a.Ns, CodeOfLines(a.High)});
        } else if (a.Event == "write") {
            setUpWrite[a.Client] = false;
        } else if (a.Event == "mpsse" && a.Detail.find("set-low") != std::string::npos) {
            if (!setUpWrite[a.Client])
                traffic.Writes.push_back({a.Ns, CodeOfLines(a.High)});
            setUpWrite[a.Client] = false;
        } else if (a.Event == "mpsse" && a.Detail.find("get-low") != std::string::npos) {
            if (!setUpRead[a.Client] && (readerPid == 0 || a.Pid == readerPid))
                ++traffic.Reads;
            setUpRead[a.Client] = false;
        } else if (a.Event == "read-pins" && (readerPid == 0 || a.Pid == readerPid)) {
            ++traffic.Reads;
        }
    }
    return traffic;
}

// The FTDI library over one emulated adapter of `chip` (FT232R, FT232H).
class AdapterDevice : public PortDevice {
public:
    AdapterDevice(ProgramOnPort &p, std::string chip) : p_(p), usb_(p.usb), chip_(std::move(chip)) {}
    void ScriptStatus(const std::vector<int> &values) override
    {
        std::vector<int> levels;
        // The claim's check of an FT232H reads the lines once before the program does.
        if (chip_ == "FT232H")
            levels.push_back(LinesOfStatus(StatusIdle));
        for (int status : values)
            levels.push_back(LinesOfStatus(status));
        usb_.ScriptPins(levels);
    }
    size_t LoseInFirstLoop() override { return AdapterReadsBeforeLoss; }
    void PullOut() override { usb_.Unplug(); }
    EnvVars Start() override
    {
        if (usb_.TestbedDir().empty()) {
            // Unscripted, the emulated chip's inputs read high: the obstacle
            // sensor's line would say an obstacle is ahead.
            if (!usb_.Scripted())
                ScriptStatus({StatusIdle});
            if (!usb_.Chosen())
                usb_.Add(chip_);
            if (!usb_.Start())
                throw std::runtime_error("the FTDI emulator did not start");
        }
        EnvVars env{{"LD_LIBRARY_PATH", ROBOT_BINARY_DIR "/lib/ftdi"}};
        const EnvVars own = usb_.Env();
        env.insert(env.end(), own.begin(), own.end());
        return env;
    }
    std::vector<Write> Writes() const override { return TrafficOf(usb_.Log(), 0).Writes; }
    size_t StatusReads() const override { return TrafficOf(usb_.Log(), p_.robot.Pid()).Reads; }
    std::vector<DeviceCall> Calls() const override
    {
        std::vector<DeviceCall> calls;
        for (const UsbAccess &a : usb_.Log())
            calls.push_back({a.Ns, a.Pid, a.Event, NoneIfDash(a.Detail), a.Ok()});
        return calls;
    }
    size_t LineAccesses() const override { return LineChanges(usb_.Log()).size(); }

private:
    ProgramOnPort &p_;
    EmulatedAdapter &usb_;
    std::string chip_;
};

// The GPIO library over the emulated chips of a Raspberry Pi 4.
class GpioDevice : public PortDevice {
public:
    explicit GpioDevice(ProgramOnPort &p) : gpio_(p.gpio) {}
    void ScriptStatus(const std::vector<int> &values) override { gpio_.ScriptStatus(values); }
    size_t LoseInFirstLoop() override
    {
        gpio_.GoneAfter(GpioAccessesBeforeGone);
        return 0;
    }
    EnvVars Start() override
    {
        EnvVars env{{"LD_LIBRARY_PATH", ROBOT_BINARY_DIR "/lib/gpio"}};
        const EnvVars own = gpio_.Env();
        env.insert(env.end(), own.begin(), own.end());
        return env;
    }
    std::vector<Write> Writes() const override
    {
        std::vector<Write> out;
        for (const GpioCall &c : GpioCallsOf(gpio_.Log(), "GPIOHANDLE_SET_LINE_VALUES_IOCTL"))
            if (c.Ok())
                out.push_back({c.Ns, DefaultMapCode(LineLevels(c.Detail))});
        return out;
    }
    size_t StatusReads() const override // one read of the line sensors' request per status read
    {
        size_t n = 0;
        for (const GpioCall &c : GpioCallsOf(gpio_.Log(), "GPIOHANDLE_GET_LINE_VALUES_IOCTL"))
            n += c.Ok() && LineLevels(c.Detail).count(defaultgpio::S5);
        return n;
    }
    std::vector<DeviceCall> Calls() const override
    {
        std::vector<DeviceCall> calls;
        for (const GpioCall &c : gpio_.Log())
            calls.push_back({c.Ns, c.Pid, c.Call, NoneIfDash(c.Detail), c.Ok()});
        return calls;
    }
    size_t LineAccesses() const override { return GpioCallsOf(gpio_.Log(), "GPIO_GET_LINEHANDLE_IOCTL").size(); }

private:
    EmulatedGpio &gpio_;
};

// The Firmata library over the fake board, which reports its pins when they
// change (its sensors are set, not scripted read by read).
class BoardDevice : public PortDevice {
public:
    explicit BoardDevice(ProgramOnPort &p) : p_(p), board_(p.board) {}
    std::string Path() const override { return board_.Device(); }
    void ScriptStatus(const std::vector<int> &) override
    {
        throw std::logic_error("the board's sensors cannot be scripted read by read; use SetStatus");
    }
    void SetStatus(int status) override
    {
        for (const auto &[pin, high] : PinsOfStatus(status))
            board_.SetPin(pin, high);
    }
    size_t LoseInFirstLoop() override { return BoardReadsBeforeLoss; }
    void PullOut() override { board_.Unplug(); }
    EnvVars Start() override
    {
        if (board_.Device().empty()) {
            std::string error;
            if (!board_.Start(p_.boardOptions, &error))
                throw std::runtime_error("the fake board did not start: " + error);
        }
        EnvVars env{{"LD_LIBRARY_PATH", ROBOT_BINARY_DIR "/lib/firmata"}};
        const EnvVars own = board_.Env();
        env.insert(env.end(), own.begin(), own.end());
        return env;
    }
    void Claimed(bool faulty) override
    {
        // The claim's last step: the board reports the sensors' port.
        const auto claimed = [](const std::vector<BoardLine> &log) {
            const long on = FindLine(log, "in", "report-port");
            return on >= 0 && FindLine(log, "out", "report", on) >= 0;
        };
        if (!faulty && !board_.WaitForLog(claimed, 10000))
            throw std::runtime_error("the program did not claim the board");
    }
    // The board's port writes of the motor pins' port read back as codes
    // through the motor pins. The claim's write before the pin modes is not
    // one of the program's.
    std::vector<Write> Writes() const override
    {
        const std::vector<BoardLine> log = board_.Log();
        const std::array<int, 4> &motorPins = p_.boardMotorPins;
        const int port = motorPins[0] / 8;
        const int dataBits[] = {0, 1, 3, 4}; // D0, D1, D3, D4
        std::vector<Write> out;
        for (size_t i = 0; i < log.size(); ++i) {
            if (!log[i].Is("in", "port-write") || log[i].Int("port") != port)
                continue;
            size_t j = i + 1; // the host's next message
            while (j < log.size() && log[j].Dir != "in")
                ++j;
            if (j < log.size() && log[j].What == "pin-mode")
                continue;
            const long value = log[i].Int("value");
            int code = 0;
            for (size_t k = 0; k < 4; ++k)
                if (value & (1 << (motorPins[k] % 8)))
                    code |= 1 << dataBits[k];
            out.push_back({log[i].Ns, code});
        }
        return out;
    }
    // The board is not asked: its library answers every read from the last report.
    size_t StatusReads() const override { return p_.StatusBytes().size(); }
    std::vector<DeviceCall> Calls() const override
    {
        // The host's messages and what happened to the board; not what it sent.
        std::vector<DeviceCall> calls;
        for (const BoardLine &line : board_.Log()) {
            if (line.Dir == "out")
                continue;
            std::string detail;
            for (const auto &[key, value] : line.Fields)
                if (key != "bytes")
                    detail += (detail.empty() ? "" : " ") + key + "=" + value;
            calls.push_back({line.Ns, -1, line.What, detail, true});
        }
        return calls;
    }
    size_t LineAccesses() const override { return LinesOf(board_.Log(), "in", "port-write").size(); }

private:
    ProgramOnPort &p_;
    FakeBoard &board_;
};

template <class Device> std::unique_ptr<PortDevice> Make(ProgramOnPort &p) { return std::make_unique<Device>(p); }
template <const char *Chip> std::unique_ptr<PortDevice> MakeAdapter(ProgramOnPort &p)
{
    return std::make_unique<AdapterDevice>(p, Chip);
}
constexpr char Ft232r[] = "FT232R", Ft232h[] = "FT232H";

struct DeviceEntry {
    Library library;
    const char *name; // for test names
    std::unique_ptr<PortDevice> (*make)(ProgramOnPort &);
};
const DeviceEntry Devices[] = {
    {Library::Recording, "Recording", Make<RecordingDevice>}, {Library::Hardware, "Hardware", Make<ParportDevice>},
    {Library::Ftdi232R, "Ftdi232R", MakeAdapter<Ft232r>},     {Library::Ftdi232H, "Ftdi232H", MakeAdapter<Ft232h>},
    {Library::Gpio, "Gpio", Make<GpioDevice>},                {Library::Firmata, "Firmata", Make<BoardDevice>},
};

const DeviceEntry &EntryOf(Library library)
{
    for (const DeviceEntry &e : Devices)
        if (e.library == library)
            return e;
    throw std::logic_error("no device for this library");
}
} // namespace

void PortDevice::SetStatus(int)
{
    throw std::logic_error("only the board's sensors are set while the program runs; use ScriptStatus");
}

std::string LibraryName(Library library) { return EntryOf(library).name; }

std::unique_ptr<PortDevice> MakePortDevice(Library library, ProgramOnPort &program)
{
    return EntryOf(library).make(program);
}
