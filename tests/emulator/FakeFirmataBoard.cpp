// fake-firmata-board: the firmware's side of a board with StandardFirmata, on
// a pseudo-terminal, for tests of the Firmata port library. It makes the
// pseudo-terminal, prints "fake-firmata-board: ready <slave path>" on standard
// output, and plays an Arduino Uno (pins 0-19: 0 and 1 the serial line, 2-13
// digital, 14-19 analog A0-A5) until it is told to quit or standard input ends.
//
// As a real board: opening the device resets it (when --reset-ms is given):
// the pins become inputs, the board takes nothing for the reset time (the
// bootloader), then the firmware starts (digital pins outputs at 0, analog
// pins analog inputs) and says its protocol version and name unasked. Closing
// the device resets nothing: the pins stay as they were. A report of a
// digital port goes out when its reports are turned on and whenever its
// inputs change.
//
// Options:
//   --log PATH          one line per event, message and byte sent, in order:
//                         <CLOCK_MONOTONIC ns> in <message> [key=value ...] bytes=<hex,...>
//                         <ns> out <message> [key=value ...] bytes=<hex,...>
//                         <ns> event <what> [key=value ...]
//                       in: open, close, reset, started, discarded n=<bytes taken
//                       by the bootloader>, pin pin=<n> level=<0|1>, unplug,
//                       dropped n=<bytes the device had no room for>
//   --reset-ms N        the reset on open and its silence (0: the board does not
//                       reset on open, as boards with native USB)
//   --latency-us N      each message from the host takes effect this much later
//   --firmware MAJ.MIN  2.5 (below 2.5: no INPUT_PULLUP mode, a 1 written to an
//                       input turns its pull-up on; below 2.4: no report when
//                       reports are turned on)
//   --name NAME         the firmware's name (StandardFirmata)
//   --no-capabilities   no answer to the capability and analog mapping queries
//   --bytewise          every byte sent in a write of its own
//   --fault KIND        silent: never a word; text: no Firmata, a line of text
//                       (--text) at start and every 100 ms instead; malformed:
//                       each message it sends comes after a malformed one
//                       (logged as "out malformed kind=...")
//   --text TEXT         the text of --fault text ("Hello from sketch 42\r\n")
//   --unplug-after N    after the N-th message from the host, unplugs: the
//                       pseudo-terminal is closed (the host's reads end, its
//                       writes fail with EIO) and the program ends
//   --script PATH       input levels: lines "pin <n> <0|1>" and "wait <ms>",
//                       run from the first time the host turns reports on
//   --chatty N          reports without pause: the first reported port's
//                       report, N bytes a second ("event chatty sent=<bytes>"
//                       once a second, not each); and writes block while the
//                       host does not read, as a single-threaded firmware's on
//                       native USB do: it takes nothing from the host meanwhile
//                       ("event blocked", "event unblocked")
//
// Standard input takes commands, one a line: "pin <n> <0|1>" (an input's
// level as the sensor drives it), "send <hex> ..." (raw bytes to the host),
// "unplug", "quit".
//
// An input pin nobody drives reads 1 with its pull-up on, else 0.
#include "core/Clock.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int64_t Ms = 1'000'000;
// While nobody has the device open, the pseudo-terminal's master reports a
// hang-up at every poll: it is looked at again this often.
constexpr int HangUpPollMs = 2;
constexpr int64_t TextRepeatNs = 100 * Ms;
constexpr int BytewisePauseUs = 200;
constexpr int64_t ChattyEveryNs = 5 * Ms; // a chatty board's bursts

// The Uno's layout.
constexpr int TotalPins = 20;
constexpr int FirstDigitalPin = 2; // 0 and 1 carry the serial line
constexpr int FirstAnalogPin = 14; // A0
constexpr int AnalogResolution = 10;
constexpr int PwmResolution = 8;
constexpr bool IsPwm(int pin) { return pin == 3 || pin == 5 || pin == 6 || pin == 9 || pin == 10 || pin == 11; }

// Firmata's bytes, spelt out here rather than taken from the library under test.
enum : uint8_t {
    kDigital = 0x90, kAnalog = 0xE0, kReportAnalog = 0xC0, kReportDigital = 0xD0,
    kSysex = 0xF0, kSysexEnd = 0xF7, kPinMode = 0xF4, kPinValue = 0xF5, kVersion = 0xF9, kReset = 0xFF,
    kAnalogMappingQuery = 0x69, kAnalogMappingResponse = 0x6A, kCapabilityQuery = 0x6B,
    kCapabilityResponse = 0x6C, kString = 0x71, kFirmware = 0x79,
};
enum : uint8_t { kInput = 0, kOutput = 1, kAnalogMode = 2, kPwm = 3, kPullup = 0x0B, kNoMode = 0xFF };

struct Options {
    std::string Log;
    int64_t ResetNs = 0;
    int64_t LatencyUs = 0;
    int Major = 2, Minor = 5;
    std::string Name = "StandardFirmata";
    bool Capabilities = true;
    bool Bytewise = false;
    std::string Fault;
    std::string Text = "Hello from sketch 42\r\n";
    long UnplugAfter = 0;
    std::string Script;
    long ChattyBytesPerS = 0;
};

struct Pin {
    uint8_t Mode = kInput;
    bool Level = false;  // an output's level
    bool Pullup = false; // an input's pull-up
    int Driven = -1;     // the level something outside drives on it, or -1
};

std::string Hex(const std::vector<uint8_t> &bytes)
{
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%02x", bytes[i]);
        out += (i ? "," : "") + std::string(b);
    }
    return out.empty() ? "-" : out;
}

class Board {
public:
    explicit Board(const Options &options) : o_(options)
    {
        if (!o_.Log.empty()) {
            log_ = std::fopen(o_.Log.c_str(), "w");
            if (!log_) {
                std::fprintf(stderr, "fake-firmata-board: cannot write %s: %s\n", o_.Log.c_str(), std::strerror(errno));
                std::exit(2);
            }
        }
        if (!o_.Script.empty())
            LoadScript();
        Start(false); // powered up before the test began: nobody heard its words
    }

    int Run();

private:
    // --- the log ---
    void Log(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (!log_)
            return;
        va_list args;
        va_start(args, format);
        std::fprintf(log_, "%lld ", static_cast<long long>(MonotonicNs()));
        std::vfprintf(log_, format, args);
        std::fputc('\n', log_);
        std::fflush(log_);
        va_end(args);
    }

    // --- the pseudo-terminal ---
    bool MakeTerminal()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return false;
        const char *name = ptsname(master_);
        if (!name)
            return false;
        slave_ = name;
        // A master reports a hang-up only once its slave has been opened and
        // closed: do so, so that the host's open shows.
        const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return false;
        close(fd);
        return true;
    }

    void Send(const char *what, const std::vector<uint8_t> &bytes, const std::string &details = {})
    {
        if (o_.Fault == "malformed" && std::string(what) != "malformed")
            SendMalformed();
        Log("out %s%s%s bytes=%s", what, details.empty() ? "" : " ", details.c_str(), Hex(bytes).c_str());
        SendRaw(bytes);
    }

    void SendRaw(const std::vector<uint8_t> &bytes)
    {
        size_t dropped = 0;
        for (size_t i = 0; i < bytes.size();) {
            const size_t n = o_.Bytewise ? 1 : bytes.size() - i;
            const ssize_t done = write(master_, bytes.data() + i, n);
            if (done < 0 && errno == EAGAIN && o_.ChattyBytesPerS > 0 && WaitForRoom())
                continue;
            if (done <= 0) {
                dropped += bytes.size() - i; // the device's buffer is full, or nobody listens
                break;
            }
            i += size_t(done);
            if (o_.Bytewise)
                usleep(BytewisePauseUs);
        }
        if (dropped)
            Log("event dropped n=%zu", dropped);
    }

    // A chatty board waits for room; false once the host has closed the device.
    bool WaitForRoom()
    {
        Log("event blocked");
        pollfd p{master_, POLLOUT, 0};
        while (poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        Log("event unblocked");
        return (p.revents & POLLOUT) && !(p.revents & POLLHUP);
    }

    // A chatty board's burst; the time of the next, or -1 while it is quiet.
    int64_t Chatter()
    {
        const bool *port = std::find(reporting_, reporting_ + Ports, true);
        if (o_.ChattyBytesPerS <= 0 || !open_ || resetting_ || port == reporting_ + Ports)
            return nextChattyNs_ = -1;
        const int64_t now = MonotonicNs();
        if (nextChattyNs_ >= 0 && now < nextChattyNs_)
            return nextChattyNs_;
        const int number = int(port - reporting_), value = PortValue(number);
        std::vector<uint8_t> bytes;
        while (bytes.size() < size_t(o_.ChattyBytesPerS * ChattyEveryNs / 1'000'000'000))
            bytes.insert(bytes.end(), {uint8_t(kDigital | number), uint8_t(value & 0x7F), uint8_t(value >> 7)});
        SendRaw(bytes);
        chattySent_ += bytes.size();
        if (now >= nextChattyLogNs_) {
            Log("event chatty sent=%zu", chattySent_);
            nextChattyLogNs_ = now + 1000 * Ms;
        }
        return nextChattyNs_ = MonotonicNs() + ChattyEveryNs;
    }

    // A different kind each time; every kind costs the host one message it
    // must ignore and count, and none leaves it inside a message.
    void SendMalformed()
    {
        static const struct {
            const char *Kind;
            std::vector<uint8_t> Bytes;
        } kinds[] = {
            {"truncated-port", {kDigital | 1, 0x05}},            // cut short by what follows
            {"stray-text", {'o', 'k', '\r', '\n'}},               // data bytes outside any message
            {"unknown-command", {0xA3}},                          // a MIDI command Firmata has not
            {"empty-sysex", {kSysex, kSysexEnd}},                 // no id
            {"odd-firmware-name", {kSysex, kFirmware, 2, 5, 'X', kSysexEnd}},
            {"unended-capabilities", {kSysex, kCapabilityResponse, kInput, 1, kSysexEnd}},
            {"stray-sysex-end", {kSysexEnd}},
            {"truncated-version", {kVersion, 2}},
        };
        const auto &k = kinds[malformedSent_++ % (sizeof kinds / sizeof kinds[0])];
        Log("out malformed kind=%s bytes=%s", k.Kind, Hex(k.Bytes).c_str());
        SendRaw(k.Bytes);
    }

    // --- the firmware ---
    void Reset()
    {
        // The chip's reset: every pin an input without pull-up.
        for (Pin &p : pins_) {
            p.Mode = kInput;
            p.Level = false;
            p.Pullup = false;
        }
        std::fill(std::begin(reporting_), std::end(reporting_), false);
        std::fill(std::begin(lastReport_), std::end(lastReport_), -1);
        Log("event reset ms=%lld", static_cast<long long>(o_.ResetNs / Ms));
    }

    // The firmware's start: StandardFirmata's system reset, then its words.
    void Start(bool speak)
    {
        for (int pin = 0; pin < TotalPins; ++pin) {
            Pin &p = pins_[pin];
            p.Pullup = false;
            p.Level = false;
            if (pin >= FirstAnalogPin)
                p.Mode = kAnalogMode;
            else if (pin >= FirstDigitalPin)
                p.Mode = kOutput;
            else
                p.Mode = kNoMode; // the serial line
        }
        std::fill(std::begin(reporting_), std::end(reporting_), false);
        std::fill(std::begin(lastReport_), std::end(lastReport_), -1);
        if (!speak)
            return;
        Log("event started");
        if (o_.Fault == "silent")
            return;
        if (o_.Fault == "text") {
            SendText();
            return;
        }
        SendVersion();
        SendFirmware();
    }

    void SendText()
    {
        Log("out text");
        SendRaw(std::vector<uint8_t>(o_.Text.begin(), o_.Text.end()));
        nextTextNs_ = MonotonicNs() + TextRepeatNs;
    }

    void SendVersion() { Send("version", {kVersion, uint8_t(o_.Major), uint8_t(o_.Minor)}); }

    void SendFirmware()
    {
        std::vector<uint8_t> bytes{kSysex, kFirmware, uint8_t(o_.Major), uint8_t(o_.Minor)};
        for (unsigned char c : o_.Name) {
            bytes.push_back(c & 0x7F);
            bytes.push_back(c >> 7);
        }
        bytes.push_back(kSysexEnd);
        Send("firmware", bytes, "name=" + o_.Name);
    }

    bool HasPullupMode() const { return o_.Major > 2 || (o_.Major == 2 && o_.Minor >= 5); }
    bool ReportsOnEnable() const { return o_.Major > 2 || (o_.Major == 2 && o_.Minor >= 4); }

    std::vector<uint8_t> ModesOf(int pin) const
    {
        std::vector<uint8_t> modes; // mode, resolution pairs
        if (pin < FirstDigitalPin)
            return modes;
        modes.insert(modes.end(), {kInput, 1, kOutput, 1});
        if (HasPullupMode())
            modes.insert(modes.end(), {kPullup, 1});
        if (pin >= FirstAnalogPin)
            modes.insert(modes.end(), {kAnalogMode, AnalogResolution});
        if (IsPwm(pin))
            modes.insert(modes.end(), {kPwm, PwmResolution});
        return modes;
    }

    void SendCapabilities()
    {
        std::vector<uint8_t> bytes{kSysex, kCapabilityResponse};
        for (int pin = 0; pin < TotalPins; ++pin) {
            const std::vector<uint8_t> modes = ModesOf(pin);
            bytes.insert(bytes.end(), modes.begin(), modes.end());
            bytes.push_back(0x7F);
        }
        bytes.push_back(kSysexEnd);
        Send("capabilities", bytes);
    }

    void SendAnalogMapping()
    {
        std::vector<uint8_t> bytes{kSysex, kAnalogMappingResponse};
        for (int pin = 0; pin < TotalPins; ++pin)
            bytes.push_back(pin >= FirstAnalogPin ? uint8_t(pin - FirstAnalogPin) : 0x7F);
        bytes.push_back(kSysexEnd);
        Send("analog-mapping", bytes);
    }

    void SendString(const std::string &text)
    {
        std::vector<uint8_t> bytes{kSysex, kString};
        for (unsigned char c : text) {
            bytes.push_back(c & 0x7F);
            bytes.push_back(c >> 7);
        }
        bytes.push_back(kSysexEnd);
        std::string word = text;
        std::replace(word.begin(), word.end(), ' ', '_');
        Send("string", bytes, "text=" + word);
    }

    bool IsInput(int pin) const { return pins_[pin].Mode == kInput || pins_[pin].Mode == kPullup; }

    // The port's inputs as the firmware reads them; outputs read 0.
    int PortValue(int port) const
    {
        int value = 0;
        for (int bit = 0; bit < 8; ++bit) {
            const int pin = port * 8 + bit;
            if (pin >= TotalPins || !IsInput(pin))
                continue;
            const Pin &p = pins_[pin];
            const bool high = p.Driven >= 0 ? p.Driven == 1 : p.Pullup;
            value |= int(high) << bit;
        }
        return value;
    }

    void Report(int port, bool always)
    {
        const int value = PortValue(port);
        if (!always && value == lastReport_[port])
            return;
        lastReport_[port] = value;
        char details[32];
        std::snprintf(details, sizeof details, "port=%d value=%d", port, value);
        Send("report", {uint8_t(kDigital | port), uint8_t(value & 0x7F), uint8_t(value >> 7)}, details);
    }

    // After anything that may change an input: the reported ports that changed.
    void ReportChanges()
    {
        if (!open_ || resetting_ || o_.Fault == "silent" || o_.Fault == "text")
            return;
        for (int port = 0; port < Ports; ++port)
            if (reporting_[port])
                Report(port, false);
    }

    void SetMode(int pin, uint8_t mode)
    {
        if (pin >= TotalPins || pin < FirstDigitalPin) {
            return;
        }
        Pin &p = pins_[pin];
        switch (mode) {
        case kOutput:
            p.Level = false; // StandardFirmata writes LOW before it makes the pin an output
            p.Mode = kOutput;
            return;
        case kInput:
            p.Mode = kInput;
            p.Pullup = false;
            return;
        case kPullup:
            if (!HasPullupMode())
                break;
            p.Mode = kPullup;
            p.Pullup = true;
            return;
        case kAnalogMode:
            if (pin < FirstAnalogPin)
                break;
            p.Mode = kAnalogMode;
            p.Pullup = false;
            return;
        default:
            break;
        }
        SendString("Unknown pin mode");
    }

    void PortWrite(int port, int value)
    {
        for (int bit = 0; bit < 8; ++bit) {
            const int pin = port * 8 + bit;
            if (pin >= TotalPins || pin < FirstDigitalPin)
                continue;
            Pin &p = pins_[pin];
            const bool high = (value >> bit) & 1;
            if (p.Mode == kOutput)
                p.Level = high;
            else if (p.Mode == kInput && (high || !HasPullupMode()))
                p.Pullup = high; // 2.5 only turns a pull-up on this way; older ones write the pin
        }
    }

    std::string Outputs() const
    {
        std::string out;
        for (int pin = 0; pin < TotalPins; ++pin)
            if (pins_[pin].Mode == kOutput && pins_[pin].Level)
                out += (out.empty() ? "" : ",") + std::to_string(pin);
        return out.empty() ? "-" : out;
    }

    // One complete message from the host.
    void Handle(const std::vector<uint8_t> &m)
    {
        if (o_.LatencyUs > 0)
            usleep(useconds_t(o_.LatencyUs));
        ++received_;
        const std::string bytes = Hex(m);
        const uint8_t command = m[0] < kSysex ? (m[0] & 0xF0) : m[0];
        const int channel = m[0] & 0x0F;
        const bool answers = o_.Fault != "silent" && o_.Fault != "text";
        switch (command) {
        case kDigital: {
            const int value = m[1] | (m[2] << 7);
            PortWrite(channel, value);
            Log("in port-write port=%d value=%d high=%s bytes=%s", channel, value, Outputs().c_str(), bytes.c_str());
            break;
        }
        case kReportDigital:
            Log("in report-port port=%d on=%d bytes=%s", channel, m[1] ? 1 : 0, bytes.c_str());
            if (channel < Ports) {
                reporting_[channel] = m[1] != 0;
                if (m[1] && !scriptStarted_) {
                    scriptStarted_ = true;
                    scriptAtNs_ = MonotonicNs();
                }
                if (m[1] && answers && ReportsOnEnable())
                    Report(channel, true);
            }
            break;
        case kReportAnalog:
            Log("in report-analog channel=%d on=%d bytes=%s", channel, m[1] ? 1 : 0, bytes.c_str());
            break;
        case kAnalog:
            Log("in analog-write pin=%d bytes=%s", channel, bytes.c_str());
            break;
        case kPinMode:
            Log("in pin-mode pin=%d mode=%d bytes=%s", m[1], m[2], bytes.c_str());
            SetMode(m[1], m[2]);
            break;
        case kPinValue:
            Log("in pin-value pin=%d value=%d bytes=%s", m[1], m[2], bytes.c_str());
            if (m[1] < TotalPins && pins_[m[1]].Mode == kOutput)
                pins_[m[1]].Level = m[2] != 0;
            break;
        case kVersion:
            Log("in version-query bytes=%s", bytes.c_str());
            if (answers)
                SendVersion();
            break;
        case kReset:
            Log("in system-reset bytes=%s", bytes.c_str());
            Start(false);
            break;
        case kSysex: {
            const int id = m.size() > 2 ? m[1] : -1;
            const char *name = id == kFirmware             ? "firmware-query"
                               : id == kCapabilityQuery    ? "capability-query"
                               : id == kAnalogMappingQuery ? "analog-mapping-query"
                                                           : "sysex";
            Log("in %s bytes=%s", name, bytes.c_str());
            if (!answers)
                break;
            if (id == kFirmware)
                SendFirmware();
            else if (id == kCapabilityQuery && o_.Capabilities)
                SendCapabilities();
            else if (id == kAnalogMappingQuery && o_.Capabilities)
                SendAnalogMapping();
            break;
        }
        default:
            Log("in unknown bytes=%s", bytes.c_str());
            break;
        }
        ReportChanges();
        if (o_.UnplugAfter > 0 && received_ >= o_.UnplugAfter)
            Unplug();
    }

    // The firmware's framing of what the host sends.
    void Take(const uint8_t *data, size_t size)
    {
        for (size_t i = 0; i < size; ++i) {
            const uint8_t b = data[i];
            if (b & 0x80) {
                if (b == kSysexEnd && !message_.empty() && message_[0] == kSysex) {
                    message_.push_back(b);
                    Complete();
                    continue;
                }
                message_.assign(1, b);
                needed_ = DataBytes(b);
                if (b != kSysex && needed_ == 0)
                    Complete();
                continue;
            }
            if (message_.empty())
                continue; // the firmware drops what belongs to no message
            message_.push_back(b);
            if (message_[0] != kSysex && message_.size() == needed_ + 1)
                Complete();
        }
    }

    static size_t DataBytes(uint8_t command)
    {
        switch (command & 0xF0) {
        case kDigital:
        case kAnalog:
            return 2;
        case kReportAnalog:
        case kReportDigital:
            return 1;
        }
        return command == kPinMode || command == kPinValue ? 2 : 0;
    }

    void Complete()
    {
        std::vector<uint8_t> m;
        m.swap(message_);
        Handle(m);
    }

    [[noreturn]] void Unplug()
    {
        Log("event unplug");
        close(master_);
        std::exit(0);
    }

    // --- inputs from the script and the commands ---
    void SetInput(int pin, int level)
    {
        if (pin < 0 || pin >= TotalPins)
            return;
        pins_[pin].Driven = level ? 1 : 0;
        Log("event pin pin=%d level=%d", pin, level ? 1 : 0);
        ReportChanges();
    }

    void LoadScript()
    {
        std::ifstream in(o_.Script);
        if (!in) {
            std::fprintf(stderr, "fake-firmata-board: cannot read %s\n", o_.Script.c_str());
            std::exit(2);
        }
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string word;
            if (!(words >> word) || word[0] == '#')
                continue;
            Step step;
            if (word == "pin" && words >> step.Pin >> step.Level)
                script_.push_back(step);
            else if (word == "wait" && words >> step.WaitMs)
                script_.push_back(step);
            else {
                std::fprintf(stderr, "fake-firmata-board: %s: not a step: %s\n", o_.Script.c_str(), line.c_str());
                std::exit(2);
            }
        }
    }

    // Runs the script's steps that are due; the time of the next, or -1.
    int64_t RunScript()
    {
        while (scriptStarted_ && !script_.empty()) {
            Step &step = script_.front();
            if (step.WaitMs >= 0) {
                const int64_t due = scriptAtNs_ + step.WaitMs * Ms;
                if (MonotonicNs() < due)
                    return due;
                scriptAtNs_ = due;
            } else {
                SetInput(step.Pin, step.Level);
            }
            script_.pop_front();
        }
        return -1;
    }

    void Command(const std::string &line)
    {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word))
            return;
        if (word == "pin") {
            int pin = -1, level = 0;
            if (words >> pin >> level)
                SetInput(pin, level);
        } else if (word == "send") {
            std::vector<uint8_t> bytes;
            std::string hex;
            while (words >> hex)
                bytes.push_back(uint8_t(std::strtoul(hex.c_str(), nullptr, 16)));
            Log("out raw bytes=%s", Hex(bytes).c_str());
            SendRaw(bytes);
        } else if (word == "unplug") {
            Unplug();
        } else if (word == "quit") {
            quit_ = true;
        }
    }

    static constexpr int Ports = (TotalPins + 7) / 8;
    struct Step {
        int Pin = -1, Level = 0;
        int64_t WaitMs = -1;
    };

    const Options &o_;
    FILE *log_ = nullptr;
    int master_ = -1;
    std::string slave_;
    Pin pins_[TotalPins];
    bool reporting_[Ports] = {};
    int lastReport_[Ports] = {};
    bool open_ = false;
    bool resetting_ = false;
    int64_t resetEndNs_ = 0;
    size_t discarded_ = 0;
    int64_t nextTextNs_ = -1;
    long received_ = 0;
    size_t malformedSent_ = 0;
    std::vector<uint8_t> message_;
    size_t needed_ = 0;
    std::deque<Step> script_;
    bool scriptStarted_ = false;
    int64_t scriptAtNs_ = 0;
    bool quit_ = false;
    std::string commands_;
    int64_t nextChattyNs_ = -1, nextChattyLogNs_ = 0;
    size_t chattySent_ = 0;
};

int Board::Run()
{
    if (!MakeTerminal()) {
        std::fprintf(stderr, "fake-firmata-board: cannot make a pseudo-terminal: %s\n", std::strerror(errno));
        return 2;
    }
    std::printf("fake-firmata-board: ready %s\n", slave_.c_str());
    std::fflush(stdout);
    bool inputOpen = true;
    while (!quit_) {
        // Is the device open? A hang-up on the master says nobody has it.
        pollfd m{master_, POLLIN, 0};
        poll(&m, 1, 0);
        const bool nowOpen = !(m.revents & POLLHUP);
        if (nowOpen && !open_) {
            open_ = true;
            Log("event open");
            message_.clear();
            if (o_.ResetNs > 0) {
                Reset();
                resetting_ = true;
                resetEndNs_ = MonotonicNs() + o_.ResetNs;
                discarded_ = 0;
            }
        } else if (!nowOpen && open_) {
            // What the host wrote before it closed reaches the board first,
            // as on a serial line.
            for (;;) {
                pollfd pending{master_, POLLIN, 0};
                if (poll(&pending, 1, 0) <= 0 || !(pending.revents & POLLIN))
                    break;
                uint8_t buffer[256];
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                if (!resetting_)
                    Take(buffer, size_t(n));
            }
            open_ = false;
            Log("event close");
        }

        int64_t wakeNs = -1;
        auto wakeBy = [&](int64_t at) {
            if (at >= 0 && (wakeNs < 0 || at < wakeNs))
                wakeNs = at;
        };
        if (resetting_ && MonotonicNs() >= resetEndNs_) {
            resetting_ = false;
            Log("event discarded n=%zu", discarded_);
            Start(true);
        }
        if (resetting_)
            wakeBy(resetEndNs_);
        if (open_ && !resetting_ && o_.Fault == "text") {
            if (MonotonicNs() >= nextTextNs_)
                SendText();
            wakeBy(nextTextNs_);
        }
        wakeBy(RunScript());
        wakeBy(Chatter());

        pollfd p[2] = {{master_, POLLIN, 0}, {inputOpen ? 0 : -1, POLLIN, 0}};
        int timeoutMs = wakeNs < 0 ? -1 : int(std::max<int64_t>(0, (wakeNs - MonotonicNs() + Ms - 1) / Ms));
        if (!open_) {
            p[0].fd = -1; // it would report the hang-up at once
            timeoutMs = timeoutMs < 0 ? HangUpPollMs : std::min(timeoutMs, HangUpPollMs);
        }
        if (poll(p, 2, timeoutMs) < 0 && errno != EINTR)
            return 2;
        if (p[0].revents & POLLIN) {
            uint8_t buffer[256];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) {
                if (resetting_)
                    discarded_ += size_t(n); // the bootloader's, not the firmware's
                else
                    Take(buffer, size_t(n));
            }
        }
        if (p[1].revents & (POLLIN | POLLHUP)) {
            char buffer[256];
            const ssize_t n = read(0, buffer, sizeof buffer);
            if (n <= 0) {
                inputOpen = false;
                quit_ = true; // the test has gone
            } else {
                commands_.append(buffer, size_t(n));
                for (size_t end; (end = commands_.find('\n')) != std::string::npos;) {
                    Command(commands_.substr(0, end));
                    commands_.erase(0, end + 1);
                }
            }
        }
    }
    Log("event quit");
    return 0;
}

bool ParseOptions(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        if (arg == "--no-capabilities")
            o.Capabilities = false;
        else if (arg == "--bytewise")
            o.Bytewise = true;
        else if (!(v = value()))
            return false;
        else if (arg == "--log")
            o.Log = v;
        else if (arg == "--reset-ms")
            o.ResetNs = std::atoll(v) * Ms;
        else if (arg == "--latency-us")
            o.LatencyUs = std::atoll(v);
        else if (arg == "--firmware") {
            if (std::sscanf(v, "%d.%d", &o.Major, &o.Minor) != 2)
                return false;
        } else if (arg == "--name")
            o.Name = v;
        else if (arg == "--fault") {
            o.Fault = v;
            if (o.Fault != "silent" && o.Fault != "text" && o.Fault != "malformed")
                return false;
        } else if (arg == "--text")
            o.Text = v;
        else if (arg == "--unplug-after")
            o.UnplugAfter = std::atol(v);
        else if (arg == "--script")
            o.Script = v;
        else if (arg == "--chatty")
            o.ChattyBytesPerS = std::atol(v);
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: fake-firmata-board [--log PATH] [--reset-ms N] [--latency-us N] "
                             "[--firmware MAJ.MIN] [--name NAME] [--no-capabilities] [--bytewise] "
                             "[--fault silent|text|malformed] [--text TEXT] [--unplug-after N] [--script PATH] [--chatty N]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    Board board(options);
    return board.Run();
}
