#include "portio/firmata/FirmataParser.h"

namespace firmata {
namespace {

// How many data bytes follow a command byte the board may send, or 0 for a
// command that has no place here (Firmata does not use MIDI's others).
size_t DataBytesOf(uint8_t command)
{
    switch (command & 0xF0) {
    case DigitalMessage:
    case AnalogMessage:
        return 2;
    case ReportAnalog:
    case ReportDigital: // host -> board only, but framed all the same
        return 1;
    default:
        break;
    }
    switch (command) {
    case SetPinMode:
    case SetPinValue:
    case ProtocolVersion:
        return 2;
    default:
        return 0;
    }
}

// A 14-bit character as Firmata sends text: two 7-bit bytes, low first.
char CharacterOf(uint8_t low, uint8_t high)
{
    const unsigned code = unsigned(low) | unsigned(high) << 7;
    return code < 256 ? char(code) : '?';
}

} // namespace

void BoardParser::Feed(const uint8_t *data, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        if (data[i] & 0x80)
            Command(data[i]);
        else
            Data(data[i]);
    }
}

void BoardParser::Command(uint8_t byte)
{
    inStrayRun_ = false;
    if (byte == EndSysex) {
        if (phase_ == Phase::Sysex)
            DispatchSysex();
        else if (phase_ != Phase::SkipSysex)
            Strange(byte); // an end without a start
        if (phase_ == Phase::Message)
            ++counts_.Truncated;
        phase_ = Phase::Idle;
        return;
    }
    if (phase_ == Phase::Message || phase_ == Phase::Sysex)
        ++counts_.Truncated;
    data_.clear();
    if (byte == StartSysex) {
        phase_ = Phase::Sysex;
        return;
    }
    needed_ = DataBytesOf(byte);
    if (needed_ == 0) {
        Strange(byte);
        phase_ = Phase::Idle;
        return;
    }
    command_ = byte;
    phase_ = Phase::Message;
}

void BoardParser::Data(uint8_t byte)
{
    switch (phase_) {
    case Phase::Idle:
        ++counts_.StrayBytes;
        if (!inStrayRun_)
            ++counts_.StrayRuns;
        inStrayRun_ = true;
        if (stray_.size() < StrayKept)
            stray_ += char(byte);
        return;
    case Phase::Message:
        data_.push_back(byte);
        if (data_.size() == needed_) {
            Dispatch();
            phase_ = Phase::Idle;
        }
        return;
    case Phase::Sysex:
        if (data_.size() == MaxSysexBytes) {
            ++counts_.Invalid;
            data_.clear();
            phase_ = Phase::SkipSysex;
            return;
        }
        data_.push_back(byte);
        return;
    case Phase::SkipSysex:
        return;
    }
}

void BoardParser::Dispatch()
{
    ++counts_.Messages;
    if ((command_ & 0xF0) == DigitalMessage) {
        // StandardFirmata sends pin 7 as the second byte's bit 0; a wider
        // value from another firmware keeps the port's 8 pins.
        state_.Ports[command_ & 0x0F] = (data_[0] | data_[1] << 7) & 0xFF;
    } else if (command_ == ProtocolVersion) {
        state_.HasProtocol = true;
        state_.ProtocolMajor = data_[0];
        state_.ProtocolMinor = data_[1];
    }
    // Analog values and messages only a host sends are framed and let be.
}

void BoardParser::DispatchSysex()
{
    if (data_.empty()) {
        ++counts_.Invalid;
        return;
    }
    const uint8_t id = data_[0];
    const size_t size = data_.size();
    bool ok = true;
    switch (id) {
    case ReportFirmware:
        ok = size >= 3 && (size - 3) % 2 == 0;
        if (ok) {
            state_.HasFirmware = true;
            state_.FirmwareMajor = data_[1];
            state_.FirmwareMinor = data_[2];
            state_.FirmwareName.clear();
            for (size_t i = 3; i < size; i += 2)
                state_.FirmwareName += CharacterOf(data_[i], data_[i + 1]);
        }
        break;
    case StringData:
        ok = (size - 1) % 2 == 0;
        if (ok) {
            state_.LastText.clear();
            for (size_t i = 1; i < size; i += 2)
                state_.LastText += CharacterOf(data_[i], data_[i + 1]);
        }
        break;
    case CapabilityResponse:
        ok = ReadCapabilities();
        break;
    case AnalogMappingResponse:
        ok = size - 1 <= size_t(MaxPins);
        if (ok) {
            state_.HasAnalogMapping = true;
            state_.AnalogChannels.assign(data_.begin() + 1, data_.end());
        }
        break;
    default: // another feature's answer: not ours
        break;
    }
    if (ok)
        ++counts_.Messages;
    else
        ++counts_.Invalid;
}

// Per pin: (mode, resolution) pairs, then NoMore. Every pin's list must end.
bool BoardParser::ReadCapabilities()
{
    std::vector<uint16_t> pins;
    uint16_t modes = 0;
    bool open = false; // a pin's list has begun and not ended
    size_t i = 1;
    while (i < data_.size()) {
        if (data_[i] == NoMore) {
            if (pins.size() == size_t(MaxPins))
                return false;
            pins.push_back(modes);
            modes = 0;
            open = false;
            ++i;
            continue;
        }
        if (i + 1 >= data_.size())
            return false; // a mode without its resolution
        if (data_[i] < 16)
            modes |= uint16_t(1u << data_[i]);
        open = true;
        i += 2;
    }
    if (open)
        return false; // the last pin's list did not end
    state_.HasCapabilities = true;
    state_.PinModes = std::move(pins);
    return true;
}

void BoardParser::Strange(uint8_t byte)
{
    ++counts_.Invalid;
    if (stray_.size() < StrayKept)
        stray_ += char(byte);
}

} // namespace firmata
