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

bool IsSetting(const DeviceKind &kind, const std::string &name)
{
    return name == "device" || std::find(kind.Settings.begin(), kind.Settings.end(), name) != kind.Settings.end();
}

// "device chip": the settings a map for `kind` may give.
std::string SettingNames(const DeviceKind &kind)
{
    std::string names = "device";
    for (const std::string &name : kind.Settings)
        names += " " + name;
    return names;
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

std::string PinMap::Setting(const std::string &name, const std::string &fallback, const char *variable) const
{
    if (const char *value = variable ? std::getenv(variable) : nullptr; value && *value)
        return value;
    const auto found = Settings.find(name);
    return found == Settings.end() ? fallback : found->second;
}

std::string PinMap::Where(const PinMapEntry &entry) const { return Describe(Source, entry.SourceLine); }

std::optional<PinMap> ParsePinMap(const std::string &text, const std::string &source, const DeviceKind &kind,
                                  std::string &error)
{
    const std::string &deviceKind = kind.Name;
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
        if (IsSetting(kind, name)) {
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
                    "\" is neither a signal (D0 D1 D3 D4 S4 S5 S7) nor a setting of " + deviceKind + " (" +
                    SettingNames(kind) + ")";
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

std::optional<PinMap> LoadPinMap(const DeviceKind &kind, std::string &error)
{
    const std::string &deviceKind = kind.Name;
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
            const std::string &text = kind.DefaultPinMap;
            if (text.empty()) {
                error = "there is no default pin map for " + deviceKind + "; give one in robot-pins.conf";
                return std::nullopt;
            }
            return ParsePinMap(text, "the default pin map of " + deviceKind, kind, error);
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
    return ParsePinMap(text, Quoted(path, 200), kind, error);
}

} // namespace portkit
