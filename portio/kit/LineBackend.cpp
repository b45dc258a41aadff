// The backend of every library whose device has lines (LineDevice.h): the
// program's registers as the pin map puts them on the device's lines.
//
//   Out32(888, code)  each motor bit of the code to its output line, all at once
//   Inp32(889)        254 with the bit of every firing sensor cleared, as the
//                     parallel port presents its status register
//   Inp32(888)        the code last written
//
// The pin map is read and checked at the first call (an access or the first
// status call): what can be told without the device is refused at once. The
// device is then opened and claimed on a thread of its own, since a board
// takes seconds to start after the port opens: the window never waits for
// it. An access that needs the device (a status read, a motor code) waits
// for the opening at most AccessWaitNs, then fails with "still starting".
//
// No drive without a device: while it cannot be used (not there, refused,
// lost, still starting), every access that needs it fails with the reason,
// so the drive under way ends with the error shown; a 0 goes nowhere. Each
// kind of problem is said once with what to do. The device is looked for
// again at most once a second, by an access or a status call, unless waiting
// cannot mend the problem (a wrong chip, a refused pin map); a device that
// turns up is claimed with its outputs at 0 and stays so until the program
// writes a code: nothing the program wrote meanwhile is carried out late.
#include "core/Clock.h"
#include "core/RobotWiring.h"
#include "portio/kit/LineBackend.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace portkit {
namespace {

// The guard's slot for the device.
constexpr int DeviceGuardSlot = 1;
// Reasons in the status line are cut to this many characters.
constexpr size_t StatusReasonChars = 120;

const char *const Consequence = "No drive runs until it can be used.";

// Where the map puts the signals on the device's lines.
struct Wiring {
    std::vector<OutputLine> Outputs;
    std::vector<InputLine> Inputs;
    std::vector<int> MotorBits;  // the data bit of each output
    std::vector<int> SensorBits; // the status bit of each input
};

// One entry's line: false with the problem (after "<where>: ") when there is
// none; `line` empty where it cannot be told yet.
using LineFinder = std::function<bool(const PinMapEntry &entry, bool motor, std::optional<int> &line,
                                      std::string &problem)>;

std::string Signal(const PinMapEntry &entry, bool motor) { return (motor ? "D" : "S") + std::to_string(entry.Bit); }

// Every entry of the map through `find`, each line used once (by its index
// where known, else by its name).
bool MapLines(const PinMap &map, const LineFinder &find, Wiring &lines, LineProblem &why)
{
    lines = {};
    struct Used {
        std::optional<int> Line;
        const PinMapEntry *Entry;
    };
    std::vector<Used> used;
    const auto take = [&](const PinMapEntry &entry, bool motor) -> std::optional<int> {
        std::optional<int> line;
        std::string problem;
        why = {"pin-map", {}, "Correct the pin map.", true};
        if (!find(entry, motor, line, problem)) {
            why.Text = map.Where(entry) + ": " + problem;
            return std::nullopt;
        }
        for (const Used &other : used)
            if ((line && other.Line == line) || other.Entry->Line == entry.Line) {
                why.Text = map.Where(entry) + ": the line " + entry.Line + " is used twice (also by " +
                           map.Where(*other.Entry) + ")";
                why.Fix = "Give every signal a line of its own.";
                return std::nullopt;
            }
        used.push_back({line, &entry});
        return line ? line : std::optional<int>(-1);
    };
    for (const PinMapEntry &motor : map.Motors) {
        const std::optional<int> line = take(motor, true);
        if (!line)
            return false;
        lines.Outputs.push_back({*line});
        lines.MotorBits.push_back(motor.Bit);
    }
    for (const PinMapEntry &sensor : map.Sensors) {
        const std::optional<int> line = take(sensor, false);
        if (!line)
            return false;
        lines.Inputs.push_back({*line, sensor.ActiveLow, sensor.LinePull});
        lines.SensorBits.push_back(sensor.Bit);
    }
    why = {};
    return true;
}

std::string NotOnDevice(const std::string &kind, const PinMapEntry &entry, bool motor, const std::string &detail)
{
    return Signal(entry, motor) + " names the line " + entry.Line + ", which the " + kind + " device does not have" +
           (detail.empty() ? "" : " (" + detail + ")");
}

// What can be told of the map before the device is there, from `kind`, a
// device of its kind not opened.
bool CheckMap(const PinMap &map, const std::string &name, const LineDevice &kind, LineProblem &why)
{
    Wiring unused;
    return MapLines(
        map,
        [&](const PinMapEntry &entry, bool motor, std::optional<int> &line, std::string &problem) {
            std::string detail;
            line = kind.LineOfName(entry.Line, detail);
            if (!line && !detail.empty()) {
                problem = NotOnDevice(name, entry, motor, detail);
                return false;
            }
            const std::string pull = motor ? std::string() : kind.PullProblem(entry.LinePull);
            if (!pull.empty())
                problem = Signal(entry, motor) + " asks for a pull the " + name + " device cannot give: " + pull;
            return pull.empty();
        },
        unused, why);
}

// The device's lines for the map, as the opened device names them.
bool Resolve(const PinMap &map, const std::string &name, const LineDevice &device, Wiring &lines, LineProblem &why)
{
    return MapLines(
        map,
        [&](const PinMapEntry &entry, bool motor, std::optional<int> &line, std::string &problem) {
            std::string detail;
            line = device.FindLine(entry.Line, detail);
            if (!line)
                problem = NotOnDevice(name, entry, motor, detail);
            return line.has_value();
        },
        lines, why);
}

// What a device says, from whatever thread, kept for the kit's next call.
class SayQueue {
public:
    void Add(const std::string &key, const std::string &text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        said_.emplace_back(key, text);
    }
    std::vector<std::pair<std::string, std::string>> Take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(said_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> said_;
};

// One opening of the device, on a thread of its own; the backend takes the
// result once Finished.
struct Opening {
    std::mutex Mutex;
    std::condition_variable Done;
    bool Finished = false;
    bool Abandoned = false;             // the library has closed: the thread lets the device go
    std::unique_ptr<LineDevice> Device; // opened and claimed, when it worked
    Wiring Lines;
    LineProblem Why;
};

void OpenAndClaim(const std::shared_ptr<Opening> &opening, std::unique_ptr<LineDevice> device,
                  const std::shared_ptr<const PinMap> &map, const std::string &kind)
{
    Wiring lines;
    LineProblem why;
    const bool ok = device->Open(*map, why) && Resolve(*map, kind, *device, lines, why) &&
                    device->Claim(lines.Outputs, lines.Inputs, why);
    if (!ok)
        device.reset(); // let go without a write: nothing was driven
    std::lock_guard<std::mutex> lock(opening->Mutex);
    if (opening->Abandoned) {
        device.reset(); // claimed with its outputs at 0; nobody drives it now
    } else {
        opening->Device = std::move(device);
        opening->Lines = std::move(lines);
        opening->Why = std::move(why);
    }
    opening->Finished = true;
    opening->Done.notify_all();
}

class LineBackend final : public PortBackend {
public:
    LineBackend(Services &services, const DeviceKind &kind, std::function<std::unique_ptr<LineDevice>()> make,
                LineTimes times)
        : services_(services), kind_(kind), make_(std::move(make)), times_(times)
    {
    }

    short In(uint16_t address) override
    {
        if (address == static_cast<uint16_t>(DataPort))
            return data_;
        if (address != static_cast<uint16_t>(StatusPort))
            return 0;
        LineDevice *device = Ready(true);
        if (!device) {
            services_.Fail(Unusable());
            return 0;
        }
        uint32_t firing = 0;
        LineProblem why;
        if (!device->Read(firing, why)) {
            Lost(why);
            return 0;
        }
        short status = StatusIdle;
        for (size_t i = 0; i < lines_.SensorBits.size(); ++i)
            if (firing & (1u << i))
                status = static_cast<short>(status & ~(1 << lines_.SensorBits[i]));
        return status;
    }

    void Out(uint16_t address, short value) override
    {
        if (address != static_cast<uint16_t>(DataPort))
            return; // the device has no other register
        data_ = value;
        // A 0 waits for nothing: with no device nothing runs.
        LineDevice *device = Ready(value != 0);
        if (!device) {
            if (value != 0)
                services_.Fail(Unusable());
            return;
        }
        uint32_t levels = 0;
        for (size_t i = 0; i < lines_.MotorBits.size(); ++i)
            if (value & (1 << lines_.MotorBits[i]))
                levels |= 1u << i;
        LineProblem why;
        if (!device->Write(levels, why))
            Lost(why);
    }

    std::string Status() override
    {
        Ready(false);
        std::string text = kind_.Name;
        if (!name_.empty())
            text += " " + name_;
        switch (state_) {
        case State::Idle:
        case State::Starting:
            return text + ": starting";
        case State::Connected:
            return text + ": connected";
        case State::Absent:
        case State::Lost:
        case State::Unusable:
            break;
        }
        const char *word = state_ == State::Lost ? "lost" : state_ == State::Absent ? "absent" : "unusable";
        return text + ": " + word + " (" + Quoted(why_.Text, StatusReasonChars) + ")";
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
            Lost(why);
    }

    void Close() override
    {
        closed_ = true;
        if (opening_) {
            std::lock_guard<std::mutex> lock(opening_->Mutex);
            opening_->Abandoned = true;
            opening_->Device.reset();
        }
        opening_.reset();
        if (!device_)
            return;
        services_.Guard(DeviceGuardSlot, {});
        device_->Close();
        device_.reset();
    }

private:
    enum class State {
        Idle,      // nothing tried yet
        Starting,  // being opened
        Connected, // opened and claimed
        Absent,    // not there; looked for again
        Lost,      // it was there and failed; looked for again
        Unusable,  // cannot be used as it is; looked for again unless the problem lasts
    };

    // The device, opened and claimed; nullptr while it cannot be used. An
    // opening under way is waited for up to AccessWaitNs when `wait`.
    LineDevice *Ready(bool wait)
    {
        for (const auto &[key, text] : said_->Take())
            services_.Say(key, text);
        if (device_ || closed_)
            return device_.get();
        if (!opening_ && !givenUp_ && times_.Now() >= nextTryNs_)
            StartOpening();
        if (opening_)
            TakeOpening(wait ? MonotonicNs() + times_.AccessWaitNs : 0);
        return device_.get();
    }

    void StartOpening()
    {
        nextTryNs_ = times_.Now() + times_.RetryNs;
        std::unique_ptr<LineDevice> device = make_();
        if (!map_) {
            std::string error;
            std::optional<PinMap> map = LoadPinMap(kind_, error);
            LineProblem why{"pin-map", error, "Correct the pin map.", true};
            if (map && CheckMap(*map, kind_.Name, *device, why))
                map_ = std::make_shared<const PinMap>(std::move(*map));
            if (!map_) {
                Unable(why);
                return;
            }
        }
        device->SetSay([said = said_](const std::string &key, const std::string &text) { said->Add(key, text); });
        auto opening = std::make_shared<Opening>();
        try {
            std::thread(OpenAndClaim, opening, std::move(device), map_, kind_.Name).detach();
        } catch (const std::system_error &e) {
            Unable({"thread", std::string("cannot open the device on a thread of its own: ") + e.what(), {}, false});
            return;
        }
        opening_ = std::move(opening);
        if (state_ != State::Lost)
            state_ = State::Starting;
    }

    // The opening's result, once it has one (waiting until `deadlineNs` at most).
    void TakeOpening(int64_t deadlineNs)
    {
        std::unique_lock<std::mutex> lock(opening_->Mutex);
        while (!opening_->Finished) {
            const int64_t left = deadlineNs - MonotonicNs();
            if (left <= 0)
                return;
            opening_->Done.wait_for(lock, std::chrono::nanoseconds(left));
        }
        std::unique_ptr<LineDevice> device = std::move(opening_->Device);
        Wiring lines = std::move(opening_->Lines);
        const LineProblem why = opening_->Why;
        lock.unlock();
        opening_.reset();
        for (const auto &[key, text] : said_->Take())
            services_.Say(key, text);
        if (!device) {
            Unable(why);
            return;
        }
        device_ = std::move(device);
        lines_ = std::move(lines);
        name_ = device_->Name();
        state_ = State::Connected;
        why_ = {};
        services_.Guard(DeviceGuardSlot, device_->OrderForGuard());
    }

    // The device cannot be had: said once per kind of problem; a loss that
    // finds it absent when looked for again stays a loss.
    void Unable(const LineProblem &why)
    {
        givenUp_ = why.Lasting;
        const bool absent = why.Key == "absent";
        if (state_ == State::Lost && absent)
            return;
        state_ = why.Lasting || !absent ? State::Unusable : State::Absent;
        why_ = why;
        Tell(why);
    }

    // The text of a failed access while the device cannot be used.
    std::string Unusable() const
    {
        if (state_ == State::Starting || state_ == State::Idle)
            return "the " + kind_.Name + " device" + (name_.empty() ? "" : " " + name_) +
                   " is still starting (it is being opened in the background). Try again in a moment.";
        return why_.Text + (why_.Fix.empty() ? "" : ". " + why_.Fix);
    }

    // A device that is not there is for the status line; anything else the
    // window hears of too.
    void Tell(const LineProblem &why)
    {
        const std::string text = why.Text + ". " + Consequence + (why.Fix.empty() ? "" : " " + why.Fix);
        if (why.Key == "absent")
            services_.Note(why.Key, text);
        else
            services_.Say(why.Key.empty() ? "device" : why.Key, text);
    }

    // The device failed under way: the program hears of it through
    // PortIoLastError and ends what it was doing; the device is let go and
    // looked for again later.
    void Lost(const LineProblem &why)
    {
        services_.Fail(why.Text + (why.Fix.empty() ? "" : ". " + why.Fix));
        Tell(why);
        services_.Guard(DeviceGuardSlot, {});
        device_.reset();
        state_ = why.Lasting ? State::Unusable : State::Lost;
        why_ = why;
        nextTryNs_ = times_.Now() + times_.RetryNs;
        givenUp_ = why.Lasting;
    }

    Services &services_;
    const DeviceKind &kind_;
    const std::function<std::unique_ptr<LineDevice>()> make_;
    const LineTimes times_;
    std::shared_ptr<const PinMap> map_;
    std::unique_ptr<LineDevice> device_;
    std::shared_ptr<Opening> opening_;
    std::shared_ptr<SayQueue> said_ = std::make_shared<SayQueue>();
    Wiring lines_;
    State state_ = State::Idle;
    LineProblem why_;  // why it cannot be used
    std::string name_; // the device's, as last opened
    int64_t nextTryNs_ = 0;
    bool givenUp_ = false;
    bool closed_ = false;
    short data_ = 0;
};

} // namespace
} // namespace portkit

std::unique_ptr<portkit::PortBackend> portkit::MakeLineBackend(Services &services, const DeviceKind &kind,
                                                               std::function<std::unique_ptr<LineDevice>()> make,
                                                               LineTimes times)
{
    return std::make_unique<LineBackend>(services, kind, std::move(make), times);
}
