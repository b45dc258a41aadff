#pragma once
// One FTDI USB adapter through libftdi1 (and libusb under it): finding it on
// the bus, opening and claiming it, putting its eight lines in the mode that
// holds levels (FT232R: asynchronous bit-bang; FT232H: the MPSSE engine's low
// byte), writing the levels and reading the pins. Used by the FTDI port
// library's line device (FtdiDevice.cpp) and by its guard routine
// (FtdiGuard.cpp).
//
// The eight lines are D0..D7 on an FT232R (TXD RXD RTS# CTS# DTR# DSR# DCD#
// RI# in UART mode) and AD0..AD7 on an FT232H (the same UART functions).
#include <libusb.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct ftdi_context;

namespace ftdiport {

// The chips this library drives, and the others it names when it refuses them.
enum class ChipKind { FT232R, FT232H, Other };

// An FTDI adapter on the bus, not opened.
struct FoundAdapter {
    libusb_device *Device = nullptr; // referenced by the list that holds it
    std::string BusPath;             // "1-2", "3-1.4": bus and ports, as sysfs names it
    std::string Node;                // /dev/bus/usb/BBB/DDD
    ChipKind Kind = ChipKind::Other;
    std::string ChipName;            // "FT232R", "FT2232H", ...
    uint16_t Product = 0;
};

// Why an open failed, as far as libusb and libftdi let one tell.
enum class OpenFailure { None, Absent, Permission, HeldByProgram, SerialDriver, Other };

// "1-2.3" and the like: bus number, a dash, port numbers joined by dots.
bool LooksLikeBusPath(const std::string &text);

// A libftdi context and the adapter it has open (if any). Closing (the
// destructor) releases the interface and closes the device without a write:
// the lines stay as they were.
class FtdiAdapter {
public:
    // A fresh context, or nullptr with `error`.
    static std::unique_ptr<FtdiAdapter> Create(std::string &error);
    ~FtdiAdapter();
    FtdiAdapter(const FtdiAdapter &) = delete;
    FtdiAdapter &operator=(const FtdiAdapter &) = delete;

    // The FTDI adapters on the bus (vendor 0403, FTDI's own product ids), in
    // bus-path order. The devices stay referenced until the next call or the
    // adapter's end.
    const std::vector<FoundAdapter> &List();
    // The adapter's serial number (opens it for a moment), or empty with
    // `failure` set.
    std::string SerialOf(const FoundAdapter &adapter, OpenFailure &failure);

    // Opens and claims the adapter (detaching the kernel's serial driver when
    // it holds it), with a latency timer of 1 ms so reads answer at once.
    // Drives nothing yet. On failure: why, and libftdi's or libusb's words.
    bool Open(const FoundAdapter &adapter, OpenFailure &failure, std::string &detail);

    // The mode that holds levels, with every line in `outputs` an output
    // driven at 0 before it becomes one; the others inputs.
    bool EnterLineMode(uint8_t outputs);
    // Drives the outputs: bit i of `levels` is line i (inputs ignored).
    bool WriteLines(uint8_t levels);
    // The eight lines now (outputs as driven, inputs as read).
    bool ReadLines(uint8_t &pins);

    // The open adapter's serial number (empty when it has none).
    std::string Serial();

    ChipKind Kind() const { return kind_; }
    const std::string &BusPath() const { return busPath_; }
    // libftdi's words for the last failure.
    std::string LastError() const;

private:
    FtdiAdapter() = default;
    void ForgetList();
    // FT232H: asks the MPSSE engine for the low byte and waits for the answer.
    bool ReadAnswer(uint8_t &pins, int64_t waitNs);

    ftdi_context *ftdi_ = nullptr;
    bool open_ = false;
    ChipKind kind_ = ChipKind::Other;
    std::string busPath_;
    uint8_t outputs_ = 0;
    std::vector<FoundAdapter> list_;
    libusb_device **devices_ = nullptr;
};

// The last resort when the adapter cannot be claimed (another process, the
// stopped program itself, holds its interface): a SET_BITMODE request that
// makes all eight lines inputs. It is a vendor request to the device, which
// usbfs passes without a claim. Opens the adapter at `busPath` on a libusb
// context of its own. False with `error`.
bool MakeAllLinesInputs(const std::string &busPath, int timeoutMs, std::string &error);

} // namespace ftdiport
