#include "portio/kit/PinMap.h"

#include "core/RobotWiring.h"
#include "portio/kit/PortKit.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace portkit {
namespace {
// The signals a map must give, in the order the map keeps them.
struct Signal {
    const char *Name;
    int Bit;
    bool Motor;
    bool ActiveLow; // sensors: the default polarity
};
// The line sensors pull their line low over the line; the obstacle sensor's
// output is high with an obstacle ahead (the parallel port inverts S7 at the
// pin, which is why its bit then reads 0). The same sensor boards therefore
// fit every device unchanged.
constexpr Signal Signals[] = {
    {"D0", 0, true, false},  // left motor backward
    {"D1", 1, true, false},  // left motor forward
    {"D3", 3, true, false},  // right motor backward
    {"D4", 4, true, false},  // right motor forward
    {"S4", 4, false, true},  // right line sensor
    {"S5", 5, false, true},  // left line sensor
    {"S7", 7, false, false}, // obstacle sensor
};
static_assert(LeftBackwardBit == 1 << 0 && LeftForwardBit == 1 << 1 && RightBackwardBit == 1 << 3 &&
                  RightForwardBit == 1 << 4,
              "the motor signals are the data bits of the motor lines");
static_assert(RightLineBit == 1 << 4 && LeftLineBit == 1 << 5 && ObstacleBit == 1 << 7,
              "the sensor signals are the status bits of the sensor lines");

// Settings a map may give; a device reads the ones it knows: the GPIO chip,
// the FTDI adapter (a serial number or a bus path), the board's baud rate and
// how long it may take to start.
constexpr const char *Settings[] = {"device", "chip", "adapter", "baud", "startup-ms"};

// The default map of every device, in one place. Each says why its lines.
constexpr struct {
    const char *Kind;
    const char *Text;
} Defaults[] = {
    {"ftdi",
     "# An FTDI FT232R or FT232H adapter; lines D0..D7 (FT232R: TXD RXD RTS CTS DTR DSR DCD RI,\n"
     "# FT232H: AD0..AD7). The motor lines are the ones that are inputs while the chip is\n"
     "# still in its serial mode (TXD, RTS and DTR drive high until bit-bang is set).\n"
     "device ftdi\n"
     "D0 D6   # left motor backward: DCD\n"
     "D1 D1   # left motor forward: RXD\n"
     "D3 D3   # right motor backward: CTS\n"
     "D4 D7   # right motor forward: RI\n"
     "S4 D4 active-low   # right line sensor: DTR\n"
     "S5 D5 active-low   # left line sensor: DSR\n"
     "S7 D2 active-high  # obstacle sensor: RTS\n"},
    {"gpio",
     "# A Raspberry Pi's 40-pin header (BCM line names). The motor lines are pulled down at\n"
     "# power-up, so a board booting does not drive them.\n"
     "device gpio\n"
     "chip gpiochip0\n"
     "D0 GPIO23   # left motor backward: pin 16\n"
     "D1 GPIO22   # left motor forward: pin 15\n"
     "D3 GPIO27   # right motor backward: pin 13\n"
     "D4 GPIO17   # right motor forward: pin 11\n"
     "S4 GPIO25 active-low pull-up     # right line sensor: pin 22\n"
     "S5 GPIO24 active-low pull-up     # left line sensor: pin 18\n"
     "S7 GPIO5 active-high pull-down   # obstacle sensor: pin 29\n"},
    {"firmata",
     "# A board with StandardFirmata (digital pin numbers of an Arduino Uno). The motor pins\n"
     "# share port 0 and the sensor pins port 1: one message sets the motors, one report\n"
     "# brings the sensors.\n"
     "device firmata\n"
     "baud 57600\n"
     "D0 4   # left motor backward\n"
     "D1 5   # left motor forward\n"
     "D3 6   # right motor backward\n"
     "D4 7   # right motor forward\n"
     "S4 8 active-low pull-up    # right line sensor\n"
     "S5 9 active-low pull-up    # left line sensor\n"
     "S7 10 active-high          # obstacle sensor\n"},
};

std::string Describe(const std::string &source, int line)
{
    return line > 0 ? source + " line " + std::to_string(line) : source;
}

const Signal *FindSignal(const std::string &name)
{
    for (const Signal &s : Signals)
        if (name == s.Name)
            return &s;
    return nullptr;
}

bool IsSetting(const std::string &name)
{
    return std::find_if(std::begin(Settings), std::end(Settings),
                        [&](const char *s) { return name == s; }) != std::end(Settings);
}

// No name of a signal, a line or an option, and no setting's value (a chip's
// path included), is longer.
constexpr size_t MaxWord = 255;

// Words of one line, without its comment.
std::vector<std::string> Words(const std::string &line)
{
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// Text, in any 8-bit encoding (a comment may be UTF-8), but no control
// characters other than tab and a CRLF line end.
bool Printable(const std::string &text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte >= 0x20 && byte != 0x7f) || c == '\t' || c == '\r';
    });
}
} // namespace

std::string PinMap::Setting(const std::string &name, const std::string &fallback) const
{
    const auto found = Settings.find(name);
    return found == Settings.end() ? fallback : found->second;
}

std::string PinMap::Where(const PinMapEntry &entry) const { return Describe(Source, entry.SourceLine); }

std::string DefaultPinMapText(const std::string &deviceKind)
{
    for (const auto &d : Defaults)
        if (deviceKind == d.Kind)
            return d.Text;
    return {};
}

std::optional<PinMap> ParsePinMap(const std::string &text, const std::string &source,
                                  const std::string &deviceKind, std::string &error)
{
    // The default maps are read by this same code, their line numbers not shown.
    const bool numbered = source.rfind("the default pin map", 0) != 0;
    PinMap map;
    map.Source = source;
    PinMapEntry entries[std::size(Signals)];
    int given[std::size(Signals)] = {};
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const std::string where = Describe(source, numbered ? number : 0);
        if (!Printable(line)) {
            error = where + ": not a line of text";
            return std::nullopt;
        }
        const std::vector<std::string> words = Words(line);
        if (words.empty())
            continue;
        const std::string &name = words[0];
        for (const std::string &word : words)
            if (word.size() > MaxWord) {
                error = where + ": \"" + Quoted(word, 24) + "\" is longer than any name or value of a pin map";
                return std::nullopt;
            }
        if (IsSetting(name)) {
            if (words.size() != 2) {
                error = where + ": \"" + name + "\" takes one value";
                return std::nullopt;
            }
            if (map.Settings.count(name)) {
                error = where + ": \"" + name + "\" is given twice";
                return std::nullopt;
            }
            map.Settings[name] = words[1];
            continue;
        }
        const Signal *signal = FindSignal(name);
        if (!signal) {
            error = where + ": \"" + Quoted(name, 40) +
                    "\" is neither a signal (D0 D1 D3 D4 S4 S5 S7) nor a setting (device chip adapter baud startup-ms)";
            return std::nullopt;
        }
        const size_t index = static_cast<size_t>(signal - Signals);
        if (given[index]) {
            error = where + ": " + name + " is given twice (first on line " + std::to_string(given[index]) + ")";
            return std::nullopt;
        }
        if (words.size() < 2) {
            error = where + ": " + name + " names no line";
            return std::nullopt;
        }
        PinMapEntry entry;
        entry.Bit = signal->Bit;
        entry.Line = words[1];
        entry.ActiveLow = signal->ActiveLow;
        entry.SourceLine = numbered ? number : 0;
        bool polarity = false;
        bool pull = false;
        for (size_t w = 2; w < words.size(); ++w) {
            const std::string &option = words[w];
            const bool isPolarity = option == "active-low" || option == "active-high";
            const bool isPull = option == "pull-up" || option == "pull-down" || option == "no-pull";
            if (signal->Motor && (isPolarity || isPull)) {
                error = where + ": " + name + " is a motor line; \"" + Quoted(option, 40) + "\" is for sensor lines";
                return std::nullopt;
            }
            if ((isPolarity && polarity) || (isPull && pull)) {
                error = where + ": " + name + " has two " + (isPolarity ? "polarities" : "pulls");
                return std::nullopt;
            }
            if (isPolarity) {
                polarity = true;
                entry.ActiveLow = option == "active-low";
            } else if (isPull) {
                pull = true;
                entry.LinePull = option == "pull-up" ? Pull::Up : option == "pull-down" ? Pull::Down : Pull::None;
            } else {
                error = where + ": \"" + Quoted(option, 40) +
                        "\" is no option (active-low, active-high, pull-up, pull-down, no-pull)";
                return std::nullopt;
            }
        }
        entries[index] = entry;
        given[index] = number;
    }
    const std::string device = map.Setting("device");
    if (!device.empty() && device != deviceKind) {
        error = source + " is a pin map for the device \"" + Quoted(device, 40) + "\", not for " + deviceKind;
        return std::nullopt;
    }
    for (size_t i = 0; i < std::size(Signals); ++i) {
        if (!given[i]) {
            error = source + " does not say which line " + Signals[i].Name + " uses (" +
                    (Signals[i].Motor ? "a motor line" : "a sensor line") + ")";
            return std::nullopt;
        }
        (Signals[i].Motor ? map.Motors : map.Sensors).push_back(entries[i]);
    }
    return map;
}

std::optional<PinMap> LoadPinMap(const std::string &deviceKind, std::string &error)
{
    const char *named = std::getenv("ROBOT_PINS");
    const bool fromVariable = named && *named;
    const std::string path = fromVariable ? named : "robot-pins.conf";
    const std::string which = "the pin map " + Quoted(path, 200) + (fromVariable ? " (ROBOT_PINS)" : "");
    // Not blocking: a FIFO or a device named here must not hold the program.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int openError = errno;
        struct stat link;
        // Missing only when nothing is named and nothing is there, not even a
        // dangling symbolic link.
        if (openError == ENOENT && !fromVariable && lstat(path.c_str(), &link) != 0) {
            const std::string text = DefaultPinMapText(deviceKind);
            if (text.empty()) {
                error = "there is no default pin map for " + deviceKind + "; give one in robot-pins.conf";
                return std::nullopt;
            }
            return ParsePinMap(text, "the default pin map of " + deviceKind, deviceKind, error);
        }
        error = "cannot read " + which + ": " +
                (openError == ENOENT && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)
                     ? std::string("it is a symbolic link to a file that does not exist")
                     : std::string(std::strerror(openError)));
        return std::nullopt;
    }
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::string text;
    int readError = 0;
    // A pin map is a few lines; anything much longer is not one.
    constexpr size_t MaxBytes = 64 * 1024;
    if (regular) {
        char chunk[4096];
        for (ssize_t got; text.size() <= MaxBytes && (got = read(fd, chunk, sizeof chunk)) != 0;) {
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                readError = errno;
                break;
            }
            text.append(chunk, static_cast<size_t>(got));
        }
    }
    close(fd);
    if (!regular) {
        error = "cannot read " + which + ": it is " +
                (S_ISDIR(st.st_mode)    ? "a folder"
                 : S_ISFIFO(st.st_mode) ? "a FIFO"
                 : S_ISSOCK(st.st_mode) ? "a socket"
                                        : "a device") +
                ", not a file";
        return std::nullopt;
    }
    if (readError != 0) {
        error = "cannot read " + which + ": " + std::strerror(readError);
        return std::nullopt;
    }
    if (text.size() > MaxBytes) {
        error = Quoted(path, 200) + " is too long for a pin map";
        return std::nullopt;
    }
    return ParsePinMap(text, Quoted(path, 200), deviceKind, error);
}

} // namespace portkit
