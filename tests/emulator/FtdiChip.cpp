#include "emulator/FtdiChip.h"

#include <algorithm>
#include <cstdio>

namespace ftdiemu {
namespace {

constexpr uint16_t FtdiVendor = 0x0403;

// Product ids and bcdDevice releases as FTDI ships the chips; libftdi tells
// the chips apart by the release.
constexpr ChipFacts Chips[] = {
    {ChipModel::FT232R, "FT232R", 0x6001, 0x0600, "FT232R USB UART", 12, 64, false},
    {ChipModel::FT232H, "FT232H", 0x6014, 0x0900, "Single RS232-HS", 480, 512, true},
    {ChipModel::FT231X, "FT231X", 0x6015, 0x1000, "FT231X USB UART", 12, 64, false},
};

// The lines' UART functions: TXD (D0), RTS# (D2) and DTR# (D4) are outputs
// in UART mode, idle high (RTS# and DTR# go low while asserted).
constexpr uint8_t TxdLine = 0x01;
constexpr uint8_t RtsLine = 0x04;
constexpr uint8_t DtrLine = 0x10;
constexpr uint8_t UartOutputs = TxdLine | RtsLine | DtrLine;

// What a bare adapter's inputs read without a script: the chip's weak pull-ups.
constexpr uint8_t PulledUp = 0xFF;

// Setup packet fields.
constexpr uint8_t DirectionIn = 0x80;
constexpr uint8_t TypeMask = 0x60;
constexpr uint8_t TypeStandard = 0x00;
constexpr uint8_t TypeVendor = 0x40;

// Vendor requests (bRequest) the chip answers.
enum VendorRequest : uint8_t {
    // wValue 0: reset; 1: drop what the host sent and the lines have not had
    // yet; 2: drop what waits for the host (libftdi's tciflush)
    Reset = 0x00,
    ModemControl = 0x01, // DTR (bit 0) and RTS (bit 1), each with its enable bit (8, 9)
    FlowControl = 0x02,
    BaudRate = 0x03,
    DataFormat = 0x04,
    ModemStatus = 0x05,  // IN, 2 bytes
    EventChar = 0x06,
    ErrorChar = 0x07,
    SetLatency = 0x09,   // wValue: the latency timer in ms
    GetLatency = 0x0A,   // IN, 1 byte
    SetBitMode = 0x0B,   // wValue: mode << 8 | direction mask (1 = output)
    ReadPinLevels = 0x0C, // IN, 1 byte: the eight lines now
    ReadEeprom = 0x90,   // IN, 2 bytes
};

// Standard requests.
constexpr uint8_t GetStatus = 0x00;
constexpr uint8_t GetDescriptor = 0x06;
constexpr uint8_t GetConfiguration = 0x08;
constexpr uint8_t SetConfiguration = 0x09;

// SET_BITMODE's modes (high byte of wValue).
constexpr uint8_t ModeReset = 0x00;
constexpr uint8_t ModeAsync = 0x01;
constexpr uint8_t ModeMpsse = 0x02;
constexpr uint8_t ModeSync = 0x04;

// The two status bytes that start every bulk IN packet: modem status (low
// nibble 1 on FTDI chips) and line status (transmitter empty).
constexpr uint8_t ModemStatusByte = 0x01;
constexpr uint8_t LineStatusByte = 0x60;

// MPSSE commands this chip understands beyond the data-shifting ones.
constexpr uint8_t SetLowLines = 0x80;  // value, direction of AD0..AD7
constexpr uint8_t ReadLowLines = 0x81;  // answers one byte
constexpr uint8_t SetHighLines = 0x82; // value, direction of AC0..AC7 (not modelled)
constexpr uint8_t ReadHighLines = 0x83;
constexpr uint8_t FlushAnswers = 0x87;
constexpr uint8_t UnknownOpcodeAnswer = 0xFA; // the answer to an opcode it does not know

std::string Hex(uint8_t v)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02x", v);
    return text;
}

std::string HexBytes(const std::vector<uint8_t> &bytes, size_t limit = 32)
{
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i)
        text += Hex(bytes[i]);
    if (bytes.size() > limit)
        text += "...";
    return text.empty() ? "-" : text;
}

void Put16(std::vector<uint8_t> &out, uint16_t v)
{
    out.push_back(uint8_t(v & 0xFF));
    out.push_back(uint8_t(v >> 8));
}

// Length in bytes of the MPSSE command starting with `op` once its header is
// known (`bytes` holds what has arrived so far), or 0 while more is needed.
size_t MpsseLength(const std::vector<uint8_t> &bytes, size_t at, size_t &readBack)
{
    const uint8_t op = bytes[at];
    const size_t have = bytes.size() - at;
    readBack = 0;
    if (op < 0x80) {         // data shifting
        if (op & 0x40) {     // TMS: length, one data byte
            readBack = (op & 0x20) ? 1 : 0;
            return have >= 3 ? 3 : 0;
        }
        if (op & 0x02) {     // bits: length, one data byte when writing
            readBack = (op & 0x20) ? 1 : 0;
            const size_t need = (op & 0x10) ? 3 : 2;
            return have >= need ? need : 0;
        }
        if (have < 3)        // bytes: a 16-bit length (count - 1)
            return 0;
        const size_t count = size_t(bytes[at + 1] | (bytes[at + 2] << 8)) + 1;
        readBack = (op & 0x20) ? count : 0;
        const size_t need = 3 + ((op & 0x10) ? count : 0);
        return have >= need ? need : 0;
    }
    switch (op) {
    case SetLowLines:
    case SetHighLines:
    case 0x86: // clock divisor
    case 0x8F: // clock for n bytes
    case 0x9C:
    case 0x9D:
    case 0x9E: // drive zero only
        return have >= 3 ? 3 : 0;
    case 0x8E: // clock for n bits
        return have >= 2 ? 2 : 0;
    default:
        return 1;
    }
}

bool KnownSingleByte(uint8_t op)
{
    switch (op) {
    case ReadLowLines:
    case ReadHighLines:
    case 0x84: // loopback on
    case 0x85: // loopback off
    case FlushAnswers:
    case 0x88: // wait for I/O high
    case 0x89: // wait for I/O low
    case 0x8A: // divide by 5 off
    case 0x8B: // divide by 5 on
    case 0x8C: // three-phase clocking on
    case 0x8D: // three-phase clocking off
    case 0x96: // adaptive clocking on
    case 0x97: // adaptive clocking off
        return true;
    default:
        return false;
    }
}

} // namespace

const ChipFacts &FactsOf(ChipModel model)
{
    for (const ChipFacts &facts : Chips)
        if (facts.Model == model)
            return facts;
    return Chips[0];
}

bool ModelByName(const std::string &name, ChipModel &model)
{
    for (const ChipFacts &facts : Chips)
        if (name == facts.Name) {
            model = facts.Model;
            return true;
        }
    return false;
}

const char *ModeName(PinMode mode)
{
    switch (mode) {
    case PinMode::Uart:
        return "uart";
    case PinMode::AsyncBitbang:
        return "bitbang";
    case PinMode::Mpsse:
        return "mpsse";
    case PinMode::SyncBitbang:
        return "sync-bitbang";
    }
    return "?";
}

Chip::Chip(ChipModel model, std::string serial, std::vector<uint8_t> pinScript)
    : facts_(FactsOf(model)), serial_(std::move(serial)), script_(std::move(pinScript))
{
}

std::vector<uint8_t> Chip::Descriptors() const
{
    std::vector<uint8_t> d;
    // Device
    d.insert(d.end(), {18, 1});
    Put16(d, 0x0200);                                  // USB 2.0
    d.insert(d.end(), {0, 0, 0});                      // class per interface
    d.push_back(facts_.SpeedMbps == 480 ? 64 : 8);     // endpoint 0 packet size
    Put16(d, FtdiVendor);
    Put16(d, facts_.Product);
    Put16(d, facts_.Release);
    d.insert(d.end(), {1, 2, 3, 1});                   // strings; one configuration
    // Configuration: one interface with a bulk IN and a bulk OUT endpoint
    d.insert(d.end(), {9, 2});
    Put16(d, 9 + 9 + 7 + 7);
    d.insert(d.end(), {1, 1, 0, 0xA0, 45});            // bus powered, remote wake-up, 90 mA
    d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2});
    d.insert(d.end(), {7, 5, 0x81, 2});
    Put16(d, uint16_t(facts_.PacketSize));
    d.push_back(0);
    d.insert(d.end(), {7, 5, 0x02, 2});
    Put16(d, uint16_t(facts_.PacketSize));
    d.push_back(0);
    return d;
}

std::vector<uint8_t> Chip::StringDescriptor(uint8_t index) const
{
    if (index == 0)
        return {4, 3, 0x09, 0x04}; // English (US)
    std::string text;
    if (index == 1)
        text = "FTDI";
    else if (index == 2)
        text = facts_.ProductText;
    else if (index == 3)
        text = serial_;
    else
        return {};
    std::vector<uint8_t> d{uint8_t(2 + 2 * text.size()), 3};
    for (char c : text)
        d.insert(d.end(), {uint8_t(c), 0});
    return d;
}

uint8_t Chip::Directions() const
{
    return mode_ == PinMode::Uart ? UartOutputs : directions_;
}

uint8_t Chip::DrivenHigh() const
{
    if (mode_ == PinMode::Uart)
        return uint8_t(TxdLine | (rtsAsserted_ ? 0 : RtsLine) | (dtrAsserted_ ? 0 : DtrLine));
    return uint8_t(latch_ & directions_);
}

uint8_t Chip::ReadPins()
{
    uint8_t inputs = PulledUp;
    if (!script_.empty()) {
        inputs = script_[scriptNext_ < script_.size() ? scriptNext_ : script_.size() - 1];
        if (scriptNext_ < script_.size())
            ++scriptNext_;
    }
    const uint8_t outputs = Directions();
    return uint8_t((DrivenHigh() & outputs) | (inputs & ~outputs));
}

ControlOutcome Chip::Control(const uint8_t setup[8], const std::vector<uint8_t> &out)
{
    const uint8_t type = setup[0];
    const uint8_t request = setup[1];
    const uint16_t value = uint16_t(setup[2] | (setup[3] << 8));
    const uint16_t index = uint16_t(setup[4] | (setup[5] << 8));
    const uint16_t length = uint16_t(setup[6] | (setup[7] << 8));
    const bool in = type & DirectionIn;

    ControlOutcome o;
    char detail[64];
    std::snprintf(detail, sizeof detail, "%02x:%02x:%04x:%04x:%u", type, request, value, index, length);
    o.Event = "control";
    o.Detail = detail;

    if ((type & TypeMask) == TypeStandard) {
        if (in && request == GetDescriptor) {
            const uint8_t kind = uint8_t(value >> 8);
            std::vector<uint8_t> all = Descriptors();
            if (kind == 1)
                o.Data.assign(all.begin(), all.begin() + 18);
            else if (kind == 2)
                o.Data.assign(all.begin() + 18, all.end());
            else if (kind == 3)
                o.Data = StringDescriptor(uint8_t(value & 0xFF));
            o.Stall = o.Data.empty();
            o.Event = "get-descriptor";
        } else if (in && request == GetStatus) {
            o.Data = {0, 0};
        } else if (in && request == GetConfiguration) {
            o.Data = {1};
        } else if (!in && request == SetConfiguration) {
            o.Stall = value != 1;
        } else {
            o.Stall = !(!in && (request == 0x01 || request == 0x03)); // features: accepted
        }
    } else if ((type & TypeMask) == TypeVendor) {
        switch (request) {
        case Reset:
            o.Event = value == 0 ? "reset" : value == 1 ? "flush-to-lines" : "flush-to-host";
            if (value != 1)
                toHost_.clear();
            break;
        case ModemControl:
            o.Event = "modem-control";
            if (value & 0x0100)
                dtrAsserted_ = value & 0x01;
            if (value & 0x0200)
                rtsAsserted_ = value & 0x02;
            break;
        case FlowControl:
        case BaudRate:
        case DataFormat:
        case EventChar:
        case ErrorChar:
            break;
        case ModemStatus:
            o.Data = {ModemStatusByte, LineStatusByte};
            break;
        case SetLatency:
            o.Event = "latency";
            o.Detail = std::to_string(value & 0xFF);
            o.Stall = (value & 0xFF) == 0;
            if (!o.Stall)
                latencyMs_ = value & 0xFF;
            break;
        case GetLatency:
            o.Data = {uint8_t(latencyMs_)};
            break;
        case SetBitMode: {
            const uint8_t mode = uint8_t(value >> 8);
            const uint8_t mask = uint8_t(value & 0xFF);
            o.Event = "bitmode";
            o.Detail = "mode=" + Hex(mode) + ",mask=" + Hex(mask);
            if (mode == ModeReset) {
                mode_ = PinMode::Uart;
            } else if (mode == ModeAsync || mode == ModeSync) {
                mode_ = mode == ModeAsync ? PinMode::AsyncBitbang : PinMode::SyncBitbang;
                directions_ = mask;
            } else if (mode == ModeMpsse && facts_.Mpsse) {
                // The engine starts with every line an input; SET_BITS_LOW
                // sets the directions.
                mode_ = PinMode::Mpsse;
                directions_ = 0;
                mpssePending_.clear();
            } else {
                o.Stall = true; // a mode this chip (or this emulator) does not have
            }
            break;
        }
        case ReadPinLevels:
            o.Event = "read-pins";
            o.Data = {ReadPins()};
            o.Detail = Hex(o.Data[0]);
            break;
        case ReadEeprom:
            o.Data = {0xFF, 0xFF};
            break;
        default:
            o.Stall = true;
        }
    } else {
        o.Stall = true;
    }
    if (in && o.Data.size() > length)
        o.Data.resize(length);
    (void)out;
    return o;
}

BulkOutcome Chip::BulkOut(const std::vector<uint8_t> &bytes)
{
    BulkOutcome o;
    switch (mode_) {
    case PinMode::Uart:
        o.Event = "uart-data"; // would go out on TXD
        o.Detail = HexBytes(bytes);
        break;
    case PinMode::AsyncBitbang:
        o.Event = "write";
        o.Detail = HexBytes(bytes);
        if (!bytes.empty())
            latch_ = bytes.back();
        break;
    case PinMode::SyncBitbang:
        o.Event = "write";
        o.Detail = HexBytes(bytes);
        for (uint8_t b : bytes) { // each byte answers with the pins read just before it
            toHost_.push_back(ReadPins());
            latch_ = b;
        }
        break;
    case PinMode::Mpsse:
        o.Event = "mpsse";
        mpssePending_.insert(mpssePending_.end(), bytes.begin(), bytes.end());
        RunMpsse(o.Detail);
        if (o.Detail.empty())
            o.Detail = "-";
        break;
    }
    return o;
}

void Chip::RunMpsse(std::string &detail)
{
    auto note = [&](const std::string &what) { detail += (detail.empty() ? "" : ",") + what; };
    size_t at = 0;
    while (at < mpssePending_.size()) {
        size_t readBack = 0;
        const size_t length = MpsseLength(mpssePending_, at, readBack);
        if (length == 0)
            break; // the rest comes with the next transfer
        const uint8_t op = mpssePending_[at];
        if (op == SetLowLines) {
            latch_ = mpssePending_[at + 1];
            directions_ = mpssePending_[at + 2];
            note("set-low:" + Hex(latch_) + "/" + Hex(directions_));
        } else if (op == ReadLowLines) {
            const uint8_t pins = ReadPins();
            toHost_.push_back(pins);
            note("get-low:" + Hex(pins));
        } else if (op == ReadHighLines) {
            toHost_.push_back(PulledUp);
            note("get-high");
        } else if (op < 0x80) {
            toHost_.insert(toHost_.end(), readBack, 0);
            note("shift:" + Hex(op));
        } else if (length == 1 && !KnownSingleByte(op)) {
            toHost_.push_back(UnknownOpcodeAnswer);
            toHost_.push_back(op);
            note("bad:" + Hex(op));
        } else {
            note(Hex(op));
        }
        at += length;
    }
    mpssePending_.erase(mpssePending_.begin(), mpssePending_.begin() + long(at));
}

std::vector<uint8_t> Chip::BulkIn(size_t room)
{
    std::vector<uint8_t> out;
    while (!toHost_.empty() && out.size() + 3 <= room) {
        const size_t packetRoom = std::min(size_t(facts_.PacketSize), room - out.size()) - 2;
        out.push_back(ModemStatusByte);
        out.push_back(LineStatusByte);
        for (size_t i = 0; i < packetRoom && !toHost_.empty(); ++i) {
            out.push_back(toHost_.front());
            toHost_.pop_front();
        }
    }
    return out;
}

} // namespace ftdiemu
