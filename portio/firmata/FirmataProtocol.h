#pragma once
// The few Firmata 2.x messages the board library speaks. Firmata frames its
// messages as MIDI does: a command byte (bit 7 set) and data bytes (bit 7
// clear), or a SysEx block F0 <id> <7-bit data...> F7. The board runs the
// standard firmware (StandardFirmata), which reports its digital ports only
// when they change.
#include <array>
#include <cstdint>
#include <string>

namespace firmata {

// Command bytes. The low nibble of the first four is the port or channel.
constexpr uint8_t DigitalMessage = 0x90; // | port: levels of the port's 8 pins, two 7-bit bytes
constexpr uint8_t AnalogMessage = 0xE0;  // | channel: a 14-bit analog value (board -> host)
constexpr uint8_t ReportAnalog = 0xC0;   // | channel, then 0/1
constexpr uint8_t ReportDigital = 0xD0;  // | port, then 0/1: report the port on every change
constexpr uint8_t StartSysex = 0xF0;
constexpr uint8_t SetPinMode = 0xF4;     // pin, mode
constexpr uint8_t SetPinValue = 0xF5;    // pin, 0/1
constexpr uint8_t EndSysex = 0xF7;
constexpr uint8_t ProtocolVersion = 0xF9; // host: a query; board: major, minor
constexpr uint8_t SystemReset = 0xFF;

// SysEx ids.
constexpr uint8_t AnalogMappingQuery = 0x69;
constexpr uint8_t AnalogMappingResponse = 0x6A; // one byte per pin: its analog channel, or 127
constexpr uint8_t CapabilityQuery = 0x6B;
constexpr uint8_t CapabilityResponse = 0x6C; // per pin: (mode, resolution) pairs, then 127
constexpr uint8_t StringData = 0x71;         // text, each character as two 7-bit bytes
constexpr uint8_t ReportFirmware = 0x79;     // major, minor, name as two 7-bit bytes per character

// A pin list's end in the capability response; no channel in the analog mapping.
constexpr uint8_t NoMore = 0x7F;

// Pin modes (SetPinMode, and the capability response's modes).
constexpr uint8_t ModeInput = 0x00;
constexpr uint8_t ModeOutput = 0x01;
constexpr uint8_t ModeAnalog = 0x02;
constexpr uint8_t ModePullup = 0x0B; // input with the chip's pull-up (firmware 2.5 and later)

// The protocol versions released so far (REPORT_VERSION's answer): 2.0 to
// 2.7 (2.7 with ConfigurableFirmata 3.1). Another is no release: a firmware
// of its own, or one that misreports.
constexpr int KnownProtocolMajor = 2;
constexpr int LastKnownProtocolMinor = 7;
inline bool IsKnownProtocol(int major, int minor)
{
    return major == KnownProtocolMajor && minor >= 0 && minor <= LastKnownProtocolMinor;
}

constexpr int PinsPerPort = 8;
constexpr int MaxPorts = 16; // the command byte's nibble
constexpr int MaxPins = 128; // a pin number is one data byte

inline int PortOf(int pin) { return pin / PinsPerPort; }
inline int BitOf(int pin) { return pin % PinsPerPort; }

// Sets every pin of `port` that is an output: bit i is pin port*8+i.
inline std::array<uint8_t, 3> PortWrite(int port, uint8_t levels)
{
    return {uint8_t(DigitalMessage | (port & 0x0F)), uint8_t(levels & 0x7F), uint8_t(levels >> 7)};
}
inline std::array<uint8_t, 3> PinModeMessage(int pin, uint8_t mode)
{
    return {SetPinMode, uint8_t(pin & 0x7F), mode};
}
inline std::array<uint8_t, 2> ReportPort(int port, bool on)
{
    return {uint8_t(ReportDigital | (port & 0x0F)), uint8_t(on ? 1 : 0)};
}
inline std::array<uint8_t, 1> VersionQuery() { return {ProtocolVersion}; }
inline std::array<uint8_t, 3> SysexQuery(uint8_t id) { return {StartSysex, id, EndSysex}; }

template <size_t N> void Append(std::string &out, const std::array<uint8_t, N> &message)
{
    out.append(reinterpret_cast<const char *>(message.data()), N);
}

} // namespace firmata
