#pragma once
// The pin map: which line of a device each of the robot's signals uses. The
// program writes motor codes to the parallel port's data register and reads
// sensor bytes from its status register (core/RobotWiring.h); on any other
// device the map says which line drives each motor bit and which line
// answers each sensor bit, so the program's designed values work unchanged.
//
// The map file (ROBOT_PINS names it; else robot-pins.conf in the working
// directory; else the device's default map) has one entry per line, '#'
// starting a comment:
//
//   device gpio              the device the map is for; refused on another
//   chip gpiochip0           a setting of the device (DeviceKind::Settings):
//                            chip (GPIO), adapter (FTDI), baud and
//                            startup-ms (Firmata); refused on another device
//   D4 GPIO17                motor bit -> line: D4, D3, D1, D0, all four
//   S7 GPIO5 active-high     sensor bit <- line: S5, S4, S7, all three, with
//   S5 GPIO24 active-low pull-up    options active-low (fires when low, the
//                                   default but for S7), active-high,
//                                   pull-up, pull-down, no-pull
//
// A line is named as the device names it (an offset, a line name, a pin
// number); the device resolves the names when it opens (LineBackend).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace portkit {

enum class Pull { AsIs, Up, Down, None };

struct PinMapEntry {
    int Bit = 0;            // data bit (motor) or status bit (sensor)
    std::string Line;       // the line's name on the device
    bool ActiveLow = false; // sensors: fires when the line is low
    Pull LinePull = Pull::AsIs;
    int SourceLine = 0;     // where the map says so (0: the default map)
};

struct PinMap {
    std::string Source;                          // the file, or "the default pin map of <device>"
    std::map<std::string, std::string> Settings; // "chip", "baud", ... as written
    std::vector<PinMapEntry> Motors;             // D0, D1, D3, D4 in this order
    std::vector<PinMapEntry> Sensors;            // S4, S5, S7 in this order

    // `name`'s setting, or `fallback`. When `variable` names an environment
    // variable that is set and not empty, it wins over the map.
    std::string Setting(const std::string &name, const std::string &fallback = {},
                        const char *variable = nullptr) const;
    // "robot-pins.conf line 4" or "the default pin map of gpio": where an
    // entry comes from, for messages.
    std::string Where(const PinMapEntry &entry) const;
};

// What a kind of device brings to the pin map. Each device keeps its own in
// its folder (portio/gpio/GpioPins.h, ...), beside its code.
struct DeviceKind {
    std::string Name;                  // "gpio": the map's `device`, the status line's name
    std::string DefaultPinMap;         // the map used when none is given, in the file's
                                       // format, saying why each line; empty for none
    std::vector<std::string> Settings; // the settings its map may give besides `device`
};

// Reads a map's text. `source` names it in messages; `kind` is the device it
// must fit. A map that is malformed, for another device, gives a setting the
// device does not know, names a signal twice or leaves a motor or sensor bit
// out is refused: nullopt, and `error` names the line.
std::optional<PinMap> ParsePinMap(const std::string &text, const std::string &source, const DeviceKind &kind,
                                  std::string &error);

// The map in effect for `kind`: the file ROBOT_PINS names, else
// robot-pins.conf in the working directory, else the device's default map.
std::optional<PinMap> LoadPinMap(const DeviceKind &kind, std::string &error);

} // namespace portkit
