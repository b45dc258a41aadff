#pragma once
// One emulated FTDI chip as its USB endpoints see it: the descriptors it
// shows, the vendor requests it answers on endpoint 0, the bytes it takes on
// bulk OUT (pin levels in bit-bang, commands in MPSSE) and the bytes it has
// for bulk IN (two status bytes first in every packet). Eight lines (D0..D7,
// the FT232H's AD0..AD7): each an input or an output; an output drives its
// latch bit, an input reads what the pin-level script says.
//
// Nothing here knows about processes or usbfs: FtdiUsbfs.cpp owns claims,
// URBs and clients and calls this for what reaches the chip.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace ftdiemu {

enum class ChipModel { FT232R, FT232H, FT231X };

struct ChipFacts {
    ChipModel Model;
    const char *Name;       // as the log and the options spell it
    uint16_t Product;       // USB product id (vendor 0x0403)
    uint16_t Release;       // bcdDevice: how libftdi tells the chips apart
    const char *ProductText; // the product string as FTDI programs it
    int SpeedMbps;          // 12 (full speed) or 480 (high speed)
    int PacketSize;         // bulk wMaxPacketSize
    bool Mpsse;             // has the MPSSE engine
};

const ChipFacts &FactsOf(ChipModel model);
// The model named `name` (FT232R, FT232H, FT231X); false for another name.
bool ModelByName(const std::string &name, ChipModel &model);

// The chip's modes as the SET_BITMODE request's high byte selects them.
enum class PinMode { Uart, AsyncBitbang, Mpsse, SyncBitbang };
const char *ModeName(PinMode mode);

// What a control transfer did, for the caller to log and complete.
struct ControlOutcome {
    bool Stall = false;         // the chip refused the request (URB status -EPIPE)
    std::vector<uint8_t> Data;  // the data stage of an IN request
    std::string Event;          // what it was: "bitmode", "read-pins", "reset", ...
    std::string Detail;         // its arguments, no blanks
};

// What a bulk OUT transfer did.
struct BulkOutcome {
    std::string Event;  // "write" (bit-bang) or "mpsse"
    std::string Detail; // the bytes in hex, and for MPSSE the commands understood
};

class Chip {
public:
    Chip(ChipModel model, std::string serial, std::vector<uint8_t> pinScript);

    const ChipFacts &Facts() const { return facts_; }
    const std::string &Serial() const { return serial_; }

    // The descriptors as sysfs lists them (device, then configuration with
    // its interface and endpoints), little-endian as on the wire.
    std::vector<uint8_t> Descriptors() const;

    // A control transfer on endpoint 0: `setup` the eight setup bytes,
    // `out` the data stage of an OUT request.
    ControlOutcome Control(const uint8_t setup[8], const std::vector<uint8_t> &out);
    // Bytes written to the bulk OUT endpoint (0x02).
    BulkOutcome BulkOut(const std::vector<uint8_t> &bytes);
    // Up to `room` bytes for the bulk IN endpoint (0x81), in packets that
    // each start with the two status bytes; empty when nothing is waiting
    // (the chip then answers with the status bytes alone when its latency
    // timer runs out: LatencyMs()).
    std::vector<uint8_t> BulkIn(size_t room);
    bool HasInput() const { return !toHost_.empty(); }
    int LatencyMs() const { return latencyMs_; }

    // The lines now: which are outputs, and which outputs drive high.
    uint8_t Directions() const;
    uint8_t DrivenHigh() const;
    PinMode Mode() const { return mode_; }

private:
    uint8_t ReadPins(); // takes the next pin-level script entry
    void RunMpsse(std::string &detail);
    std::vector<uint8_t> StringDescriptor(uint8_t index) const;

    const ChipFacts &facts_;
    std::string serial_;
    std::vector<uint8_t> script_;
    size_t scriptNext_ = 0;

    PinMode mode_ = PinMode::Uart;
    uint8_t directions_ = 0; // bit-bang mask or MPSSE low-byte directions
    uint8_t latch_ = 0;      // what the outputs drive
    bool dtrAsserted_ = false, rtsAsserted_ = false; // UART mode: active low
    int latencyMs_ = 16;
    std::deque<uint8_t> toHost_;
    std::vector<uint8_t> mpssePending_; // a command split across transfers
};

} // namespace ftdiemu
