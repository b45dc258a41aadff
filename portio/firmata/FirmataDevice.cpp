#include "portio/firmata/FirmataDevice.h"

#include "core/Clock.h"
#include "portio/firmata/FirmataGuard.h"
#include "portio/kit/DeviceGroup.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace firmata {
namespace {

using portkit::LineProblem;

constexpr int64_t Ms = 1'000'000; // ns

// The firmware runs at 57600 baud as it ships (Firmata.begin(57600)).
constexpr long DefaultBaud = 57600;
// After the reset that opening the device causes, the bootloader waits for an
// upload, then StandardFirmata blinks its version on the LED before it says
// anything: on an Uno with StandardFirmata 2.5.9 the first word comes 3.5-3.6 s
// after the open (the bootloader about 1.4 s, the blinking 2.1 s). The wait
// ends at the first answer; these only bound it for a board that never
// answers: 4 s of start-up and 2 s to answer, 6 s in all.
constexpr int64_t DefaultStartupMs = 4000;
constexpr int64_t MaxStartupMs = 60000;
// Beyond the start-up, how long a board has to answer before it is taken for
// one without Firmata.
constexpr int64_t AnswerWaitNs = 2000 * Ms;
// The queries go again this often: the first ones may reach the bootloader,
// and a board that does not reset (native USB) says nothing unasked.
constexpr int64_t QueryRepeatNs = 500 * Ms;
// A board that gave its protocol version gives its name right after it.
constexpr int64_t NameWaitNs = 300 * Ms;
// The capability response is ~300 bytes on an Uno: ~50 ms at 57600 baud.
// Without one (a minimal firmware) the pins are taken unchecked.
constexpr int64_t CapabilityWaitNs = 1000 * Ms;
// Firmware 2.4 and later report a port as soon as its reports are turned on.
constexpr int64_t FirstReportWaitNs = 500 * Ms;
// A write gives up when the device has had no room for this long.
constexpr int64_t WriteWaitNs = 200 * Ms;
// Close waits this long for the motors' 0 to leave.
constexpr int64_t CloseWaitNs = 500 * Ms;


int MsUntil(int64_t deadlineNs)
{
    const int64_t left = deadlineNs - MonotonicNs();
    return left <= 0 ? 0 : int((left + Ms - 1) / Ms);
}

// A whole decimal number in [low, high], or nullopt.
std::optional<long> NumberIn(const std::string &text, long low, long high)
{
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

// Bytes as a message can show them: printable ASCII as is, the rest escaped.
std::string Printable(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
            out += char(c);
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

const char *const UploadFirmata =
    "Load the standard Firmata firmware: in the Arduino IDE open File > Examples > Firmata > "
    "StandardFirmata, choose the board and its port under Tools, and click Upload";

bool Has(uint16_t modes, uint8_t mode) { return modes & (1u << mode); }

} // namespace

FirmataDevice::~FirmataDevice() = default;

bool FirmataDevice::Open(const portkit::PinMap &map, LineProblem &why)
{
    const std::string baudText = map.Setting("baud", std::to_string(DefaultBaud));
    const std::optional<long> baud = NumberIn(baudText, 1, 4000000);
    const speed_t speed = baud ? SpeedOf(*baud) : B0;
    if (speed == B0) {
        why = {"settings", "baud " + baudText + " in " + map.Source + " is no rate a serial device takes",
               "Set baud to the rate the board's sketch gives Firmata.begin(): 57600 for StandardFirmata as "
               "it ships (others: 9600, 19200, 38400, 115200).",
               true};
        return false;
    }
    const std::string startupText = map.Setting("startup-ms", std::to_string(DefaultStartupMs));
    const std::optional<long> startupMs = NumberIn(startupText, 0, MaxStartupMs);
    if (!startupMs) {
        why = {"settings", "startup-ms " + startupText + " in " + map.Source + " is no number of milliseconds",
               "Set startup-ms to how long the board takes to start after a reset (0 to 60000; 4000 suits "
               "the common boards).",
               true};
        return false;
    }

    std::string searched;
    const std::string path = ChooseSerialDevice(searched);
    if (path.empty()) {
        why = {"absent", "no serial device for the board (ROBOT_SERIAL is not set and there is no " + searched + ")",
               "Plug the board in with a USB data cable, or name its device: ROBOT_SERIAL=/dev/ttyACM0."};
        return false;
    }
    int error = 0;
    line_ = SerialLine::Open(path, speed, error);
    if (!line_) {
        const std::string key = portkit::OpenProblemKey(error);
        if (key == "absent") {
            why = {key, path + " does not exist (the board is not plugged in?)",
                   "Plug the board in, or name its device in ROBOT_SERIAL (see ls /dev/ttyACM* /dev/ttyUSB*)."};
        } else if (key == "permission") {
            const std::string group = portkit::DeviceGroup(path, "dialout"); // as Debian has it
            why = {key, "cannot open " + path + ": " + std::strerror(error),
                   "Let this user open it: it belongs to group " + group + " (" + portkit::JoinGroupCommand(group) +
                       ", then log in again)."};
        } else if (key == "busy") {
            why = {key, path + " is held by another program (a serial monitor, another copy of this program, "
                                "or ModemManager probing the board)",
                   "Close that program (sudo fuser -v " + path + " shows which); for ModemManager see the README."};
        } else if (error == ENOTTY || error == EINVAL) {
            why = {"not-serial", path + " is not a serial device",
                   "Name the board's serial device in ROBOT_SERIAL (/dev/ttyACM0, /dev/ttyUSB0).", true};
        } else {
            why = {"open", "cannot open " + path + ": " + std::strerror(error),
                   "Check the board's USB cable, or unplug it and plug it in again."};
        }
        return false;
    }
    if (!Handshake(*startupMs * Ms, why) || !AskCapabilities(why))
        return false;
    const BoardState &board = parser_.State();
    if (board.HasProtocol && !IsKnownProtocol(board.ProtocolMajor, board.ProtocolMinor))
        Say("protocol-version",
            "the board on " + path + " says it speaks Firmata " + std::to_string(board.ProtocolMajor) + "." +
                std::to_string(board.ProtocolMinor) + ", which is no Firmata release (they are " +
                std::to_string(KnownProtocolMajor) + ".0 to " + std::to_string(KnownProtocolMajor) + "." +
                std::to_string(LastKnownProtocolMinor) +
                "); it is driven as Firmata 2 and its pins as it reports them. If the motors or sensors do not "
                "answer as the pin map says, load StandardFirmata (File > Examples > Firmata > StandardFirmata "
                "in the Arduino IDE).");
    malformedAtOpen_ = parser_.Counts().Malformed();
    return true;
}

bool FirmataDevice::Handshake(int64_t startupNs, LineProblem &why)
{
    std::string queries;
    Append(queries, VersionQuery());
    Append(queries, SysexQuery(ReportFirmware));
    const BoardState &board = parser_.State();
    const int64_t start = MonotonicNs();
    const int64_t deadline = start + startupNs + AnswerWaitNs;
    int64_t nextQuery = start;
    int64_t protocolAt = -1;
    while (!board.HasFirmware) {
        const int64_t now = MonotonicNs();
        if (now >= deadline)
            break;
        if (board.HasProtocol && protocolAt < 0)
            protocolAt = now;
        if (protocolAt >= 0 && now - protocolAt > NameWaitNs)
            break;
        if (now >= nextQuery) {
            if (!Send(queries, "write to", why))
                return false;
            nextQuery = now + QueryRepeatNs;
        }
        if (!TakeIn(MsUntil(std::min(deadline, nextQuery)), why))
            return false;
    }
    if (board.HasFirmware || board.HasProtocol)
        return true;

    const std::string &path = line_->Path();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", double(startupNs + AnswerWaitNs) / 1e9);
    if (parser_.Counts().StrayBytes + parser_.Counts().Invalid + parser_.Counts().Truncated == 0) {
        why = {"no-answer", "the board on " + path + " did not answer within " + seconds + " (no Firmata firmware on it?)",
               std::string(UploadFirmata) + "; then start this program again.", true};
    } else {
        why = {"not-firmata",
               "the board on " + path + " answers, but not in Firmata: it sent \"" + Printable(parser_.Stray()) + "\"",
               std::string("Another sketch runs on it. ") + UploadFirmata +
                   ". If it does run Firmata, set baud in the pin map to the rate its sketch gives "
                   "Firmata.begin().",
               true};
    }
    return false;
}

bool FirmataDevice::AskCapabilities(LineProblem &why)
{
    BoardState &board = parser_.State();
    board.HasCapabilities = false;
    board.HasAnalogMapping = false;
    std::string queries;
    Append(queries, SysexQuery(CapabilityQuery));
    Append(queries, SysexQuery(AnalogMappingQuery));
    if (!Send(queries, "write to", why))
        return false;
    const int64_t deadline = MonotonicNs() + CapabilityWaitNs;
    while (!(board.HasCapabilities && board.HasAnalogMapping) && MonotonicNs() < deadline)
        if (!TakeIn(MsUntil(deadline), why))
            return false;
    return true;
}

std::optional<int> FirmataDevice::LineOfName(const std::string &name, std::string &why) const
{
    const bool analog = !name.empty() && (name[0] == 'A' || name[0] == 'a');
    const bool prefixed = analog || (!name.empty() && (name[0] == 'D' || name[0] == 'd'));
    const std::optional<long> number = NumberIn(prefixed ? name.substr(1) : name, 0, MaxPins - 1);
    if (!number)
        why = "\"" + portkit::Quoted(name, 40) + "\" is no pin of a Firmata board: name a digital pin by its number "
              "(7 or D7), an analog pin as A0";
    // Which digital pin an analog one is only the board can say.
    return number && !analog ? std::optional<int>(int(*number)) : std::nullopt;
}

std::string FirmataDevice::PullProblem(portkit::Pull pull) const
{
    return pull == portkit::Pull::Down ? "a board's chip has pull-ups only" : std::string();
}

std::optional<int> FirmataDevice::FindLine(const std::string &name, std::string &why) const
{
    const BoardState &board = parser_.State();
    const bool analog = !name.empty() && (name[0] == 'A' || name[0] == 'a');
    const bool prefixed = analog || (!name.empty() && (name[0] == 'D' || name[0] == 'd'));
    const std::optional<long> number = NumberIn(prefixed ? name.substr(1) : name, 0, MaxPins - 1);
    if (!number) {
        why = "\"" + name + "\" is no pin of a Firmata board: name a digital pin by its number (7 or D7), "
              "an analog pin as A0";
        return std::nullopt;
    }
    int pin = int(*number);
    if (analog) {
        if (!board.HasAnalogMapping) {
            why = "the board did not say which pins are analog: name " + name +
                  " by its digital pin number (on an Uno A0 is 14)";
            return std::nullopt;
        }
        const auto found = std::find(board.AnalogChannels.begin(), board.AnalogChannels.end(), uint8_t(pin));
        if (found == board.AnalogChannels.end()) {
            why = "the board has no analog pin " + name;
            return std::nullopt;
        }
        pin = int(found - board.AnalogChannels.begin());
    }
    if (board.HasCapabilities) {
        const bool exists = size_t(pin) < board.PinModes.size();
        if (!exists || !(Has(board.PinModes[size_t(pin)], ModeInput) || Has(board.PinModes[size_t(pin)], ModeOutput))) {
            why = (exists ? "pin " + std::to_string(pin) + " of the board cannot be a digital input or output"
                          : "the board has no pin " + std::to_string(pin)) +
                  " (its digital pins: " + DigitalPins() + ")";
            return std::nullopt;
        }
    }
    return pin;
}

// "2-19": the pins that can be a digital input or output, as ranges.
std::string FirmataDevice::DigitalPins() const
{
    const std::vector<uint16_t> &modes = parser_.State().PinModes;
    std::string out;
    for (size_t pin = 0; pin < modes.size();) {
        if (!(Has(modes[pin], ModeInput) || Has(modes[pin], ModeOutput))) {
            ++pin;
            continue;
        }
        size_t last = pin;
        while (last + 1 < modes.size() && (Has(modes[last + 1], ModeInput) || Has(modes[last + 1], ModeOutput)))
            ++last;
        out += (out.empty() ? "" : ", ") + std::to_string(pin) + (last > pin ? "-" + std::to_string(last) : "");
        pin = last + 1;
    }
    return out.empty() ? "none" : out;
}

bool FirmataDevice::Claim(const std::vector<portkit::OutputLine> &outputs,
                          const std::vector<portkit::InputLine> &inputs, LineProblem &why)
{
    const BoardState &board = parser_.State();
    auto modesOf = [&](int pin) -> uint16_t {
        if (!board.HasCapabilities) // unchecked: whatever is asked
            return 0xFFFF;
        return size_t(pin) < board.PinModes.size() ? board.PinModes[size_t(pin)] : 0;
    };
    auto refuse = [&](int pin, const std::string &what, const std::string &fix) {
        why = {"pins", "pin " + std::to_string(pin) + " of the board on " + line_->Path() + " " + what, fix, true};
        return false;
    };
    std::set<int> taken;
    for (const portkit::OutputLine &out : outputs) {
        if (out.Line < 0 || out.Line >= MaxPins || !taken.insert(out.Line).second)
            return refuse(out.Line, "is named twice in the pin map", "Give each signal a pin of its own.");
        if (!Has(modesOf(out.Line), ModeOutput))
            return refuse(out.Line, "cannot be an output", "Choose another pin (its digital pins: " + DigitalPins() + ").");
    }
    // The modes for the inputs, and the inputs that get their pull-up the
    // older firmware's way (INPUT, then a 1 written to the pin).
    std::vector<uint8_t> inputModes;
    std::vector<int> legacyPullups;
    for (const portkit::InputLine &in : inputs) {
        if (in.Line < 0 || in.Line >= MaxPins || !taken.insert(in.Line).second)
            return refuse(in.Line, "is named twice in the pin map", "Give each signal a pin of its own.");
        const uint16_t modes = modesOf(in.Line);
        if (in.LinePull == portkit::Pull::Down)
            return refuse(in.Line, "cannot have a pull-down: the board's chip has pull-ups only",
                          "Wire a 10 kOhm resistor from the pin to GND and write no-pull in the pin map.");
        if (in.LinePull == portkit::Pull::Up && Has(modes, ModePullup)) {
            inputModes.push_back(ModePullup);
        } else if (Has(modes, ModeInput)) {
            inputModes.push_back(ModeInput);
            if (in.LinePull == portkit::Pull::Up)
                legacyPullups.push_back(in.Line);
        } else {
            return refuse(in.Line, "cannot be an input", "Choose another pin (its digital pins: " + DigitalPins() + ").");
        }
    }

    outputs_.clear();
    inputs_.clear();
    std::fill(std::begin(motorMask_), std::end(motorMask_), 0);
    std::fill(std::begin(portLevels_), std::end(portLevels_), 0);
    for (const portkit::OutputLine &out : outputs) {
        outputs_.push_back(out.Line);
        motorMask_[PortOf(out.Line)] |= uint8_t(1u << BitOf(out.Line));
    }
    for (const portkit::InputLine &in : inputs)
        inputs_.push_back({in.Line, in.ActiveLow});

    // The motor pins' ports at 0 first, so no pin drives a motor for an
    // instant when it becomes an output.
    std::string messages = MotorMessages(0);
    for (int pin : outputs_)
        Append(messages, PinModeMessage(pin, ModeOutput));
    for (size_t i = 0; i < inputs_.size(); ++i)
        Append(messages, PinModeMessage(inputs_[i].Pin, inputModes[i]));
    if (!legacyPullups.empty()) {
        std::set<int> ports;
        for (int pin : legacyPullups) {
            portLevels_[PortOf(pin)] |= uint8_t(1u << BitOf(pin));
            ports.insert(PortOf(pin));
        }
        for (int port : ports)
            Append(messages, PortWrite(port, portLevels_[port]));
    }
    std::set<int> reported;
    for (const Input &in : inputs_)
        reported.insert(PortOf(in.Pin));
    for (int port : reported) {
        parser_.State().Ports[size_t(port)] = -1;
        Append(messages, ReportPort(port, true));
    }
    if (!Send(messages, "write to", why))
        return false;

    const int64_t deadline = MonotonicNs() + FirstReportWaitNs;
    auto allReported = [&] {
        for (int port : reported)
            if (board.Ports[size_t(port)] < 0)
                return false;
        return true;
    };
    while (!allReported() && MonotonicNs() < deadline)
        if (!TakeIn(MsUntil(deadline), why))
            return false;
    return true;
}

std::string FirmataDevice::MotorMessages(uint32_t levels) const
{
    uint8_t ports[MaxPorts];
    std::copy(std::begin(portLevels_), std::end(portLevels_), ports);
    for (int port = 0; port < MaxPorts; ++port)
        ports[port] &= uint8_t(~motorMask_[port]);
    for (size_t i = 0; i < outputs_.size(); ++i)
        if (levels & (1u << i))
            ports[PortOf(outputs_[i])] |= uint8_t(1u << BitOf(outputs_[i]));
    std::string messages;
    for (int port = 0; port < MaxPorts; ++port)
        if (motorMask_[port])
            Append(messages, PortWrite(port, ports[port]));
    return messages;
}

bool FirmataDevice::Write(uint32_t levels, LineProblem &why)
{
    if (!line_)
        return false;
    if (!Send(MotorMessages(levels), "write to", why))
        return false;
    for (int port = 0; port < MaxPorts; ++port)
        portLevels_[port] &= uint8_t(~motorMask_[port]);
    for (size_t i = 0; i < outputs_.size(); ++i)
        if (levels & (1u << i))
            portLevels_[PortOf(outputs_[i])] |= uint8_t(1u << BitOf(outputs_[i]));
    return true;
}

bool FirmataDevice::Read(uint32_t &firing, LineProblem &why)
{
    firing = 0;
    if (!line_ || !TakeIn(0, why))
        return false;
    NoteMalformed();
    const BoardState &board = parser_.State();
    for (size_t i = 0; i < inputs_.size(); ++i) {
        const int port = board.Ports[size_t(PortOf(inputs_[i].Pin))];
        if (port < 0) // not reported yet: taken as not firing
            continue;
        const bool high = (port >> BitOf(inputs_[i].Pin)) & 1;
        if (high != inputs_[i].ActiveLow)
            firing |= 1u << i;
    }
    return true;
}

bool FirmataDevice::TakeInput(LineProblem &why)
{
    if (!line_)
        return true;
    if (!TakeIn(0, why))
        return false;
    NoteMalformed();
    return true;
}

portkit::GuardOrder FirmataDevice::OrderForGuard() const
{
    portkit::GuardOrder order;
    if (!line_)
        return order;
    order.Kind = portguard::FirmataKind;
    order.Fd = line_->Fd();
    order.Payload = MotorMessages(0);
    return order;
}

void FirmataDevice::AfterGuardCut()
{
    for (int port = 0; port < MaxPorts; ++port)
        portLevels_[port] &= uint8_t(~motorMask_[port]);
}

void FirmataDevice::Close()
{
    if (!line_)
        return;
    if (!outputs_.empty()) {
        const int64_t deadline = MonotonicNs() + CloseWaitNs;
        if (WriteBefore(line_->Fd(), MotorMessages(0), deadline) != 0 || !SentBefore(line_->Fd(), deadline))
            line_->DropOutput(); // or close itself would wait up to 30 s for a board that takes nothing
    }
    std::string rest;
    line_->Read(rest, 0);
    parser_.Feed(reinterpret_cast<const uint8_t *>(rest.data()), rest.size());
    if (const uint64_t malformed = Malformed())
        Say("malformed-count", "the board on " + line_->Path() + " sent " + std::to_string(malformed) +
                                   " malformed Firmata message" + (malformed == 1 ? "" : "s") + ", all ignored.");
    line_.reset();
    outputs_.clear();
    inputs_.clear();
}

bool FirmataDevice::TakeIn(int waitMs, LineProblem &why)
{
    std::string in;
    const int error = line_->Read(in, waitMs);
    parser_.Feed(reinterpret_cast<const uint8_t *>(in.data()), in.size());
    if (error != 0) {
        Gone("read from", error, why);
        return false;
    }
    return true;
}

bool FirmataDevice::Send(const std::string &bytes, const char *what, LineProblem &why)
{
    const int error = WriteBefore(line_->Fd(), bytes, MonotonicNs() + WriteWaitNs);
    if (error == 0)
        return true;
    if (error == ETIMEDOUT) {
        why = {"stalled", "the board on " + line_->Path() + " takes no data (nothing left for 200 ms)",
               "Press the board's reset button, or unplug it and plug it in again."};
        return false;
    }
    Gone(what, error, why);
    return false;
}

void FirmataDevice::Gone(const char *what, int error, LineProblem &why) const
{
    const std::string &path = line_->Path();
    if (IsGone(error))
        why = {"gone", "the board on " + path + " has gone (unplugged?): " + what + " it: " + ErrorText(error),
               "Plug it in again; the next access opens it again, which restarts the board."};
    else
        why = {"io", std::string("cannot ") + what + " " + path + ": " + ErrorText(error),
               "Check the board's USB cable, or unplug it and plug it in again."};
}

void FirmataDevice::NoteMalformed()
{
    if (saidMalformed_ || Malformed() == 0)
        return;
    saidMalformed_ = true;
    Say("malformed", "the board on " + line_->Path() +
                         " sent a malformed Firmata message; it is ignored, and the count follows when the port "
                         "closes. A loose cable, or another program writing to the board?");
}

} // namespace firmata
