#pragma once
// Reads what a Firmata board sends to the host, byte by byte, in whatever
// pieces the serial device delivers them. No I/O: the board library feeds it
// what it read, and the fuzz harness feeds it anything.
//
// Whatever is malformed (a message cut short by the next command byte, a
// command the board never sends, a SysEx too long or not as Firmata frames
// it, data bytes outside any message) is ignored and counted; every command
// byte starts afresh, so one bad message costs no good one after it.
#include "portio/firmata/FirmataProtocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace firmata {

// A SysEx longer than this is dropped: the longest the library asks for, the
// capability response of a board with 128 pins and a dozen modes each, is
// about 3 KB.
constexpr size_t MaxSysexBytes = 8192;
// How many bytes that were not Firmata are kept for messages.
constexpr size_t StrayKept = 64;

// What the board has said so far. The board library clears a field before
// asking again, to tell a fresh answer from an old one.
struct BoardState {
    bool HasProtocol = false;
    int ProtocolMajor = 0, ProtocolMinor = 0;

    bool HasFirmware = false;
    int FirmwareMajor = 0, FirmwareMinor = 0;
    std::string FirmwareName; // characters above 255 become '?'

    // The last report of each digital port (bit i: pin port*8+i), -1 for none.
    std::array<int, MaxPorts> Ports;

    // Per pin: a bit per mode it has (1 << ModeOutput, ...; modes 0..15).
    bool HasCapabilities = false;
    std::vector<uint16_t> PinModes;
    // Per pin: its analog channel, or NoMore.
    bool HasAnalogMapping = false;
    std::vector<uint8_t> AnalogChannels;

    std::string LastText; // the last StringData message

    BoardState() { Ports.fill(-1); }
};

struct ParseCounts {
    uint64_t Messages = 0;   // complete, well-formed messages
    uint64_t Truncated = 0;  // messages cut short by the next command byte
    uint64_t Invalid = 0;    // unknown commands, stray SysEx ends, SysEx not as Firmata frames them
    uint64_t StrayBytes = 0; // data bytes outside any message
    uint64_t StrayRuns = 0;  // runs of them (one run, one malformed message)
    uint64_t Malformed() const { return Truncated + Invalid + StrayRuns; }
};

class BoardParser {
public:
    void Feed(const uint8_t *data, size_t size);

    BoardState &State() { return state_; }
    const BoardState &State() const { return state_; }
    const ParseCounts &Counts() const { return counts_; }
    // The first bytes that were not Firmata (StrayKept at most), as they came:
    // for a board that sends text, the start of that text.
    const std::string &Stray() const { return stray_; }

private:
    enum class Phase { Idle, Message, Sysex, SkipSysex };

    void Command(uint8_t byte);
    void Data(uint8_t byte);
    void Dispatch();
    void DispatchSysex();
    bool ReadCapabilities();
    void Strange(uint8_t byte);

    BoardState state_;
    ParseCounts counts_;
    std::string stray_;
    Phase phase_ = Phase::Idle;
    bool inStrayRun_ = false;
    uint8_t command_ = 0;
    size_t needed_ = 0;
    std::vector<uint8_t> data_; // the message's data bytes, or the SysEx's (id first)
};

} // namespace firmata
