#include "portio/ftdi/FtdiAdapter.h"

#include "core/Clock.h"

#include <ftdi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace ftdiport {
namespace {

constexpr uint16_t FtdiVendor = 0x0403;
// FTDI's own product ids, as libftdi looks for them; adapters with a
// vendor's own id are not FTDI adapters to this library.
constexpr uint16_t FtdiProducts[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};

// bcdDevice tells the chips apart (as libftdi does).
struct ChipRelease {
    uint16_t Release;
    ChipKind Kind;
    const char *Name;
};
constexpr ChipRelease Releases[] = {
    {0x0200, ChipKind::Other, "FT232AM"},  {0x0400, ChipKind::Other, "FT232BM"},
    {0x0500, ChipKind::Other, "FT2232C"},  {0x0600, ChipKind::FT232R, "FT232R"},
    {0x0700, ChipKind::Other, "FT2232H"},  {0x0800, ChipKind::Other, "FT4232H"},
    {0x0900, ChipKind::FT232H, "FT232H"},  {0x1000, ChipKind::Other, "FT-X (FT230X/FT231X/FT234XD)"},
};

// MPSSE commands on the FT232H's low byte (AD0..AD7).
constexpr uint8_t SetLowByte = 0x80;    // value, direction (1 = output)
constexpr uint8_t GetLowByte = 0x81;    // answers one byte
constexpr uint8_t FlushAnswers = 0x87; // the answer goes to the host now, not at the latency timer

// The latency timer: how long the chip holds a short answer before sending
// it. 1 ms, the least, so a read of the lines answers within a frame or two.
constexpr unsigned char LatencyMs = 1;
// How long a read of the FT232H's lines waits for the answer.
constexpr int64_t ReadAnswerNs = 100'000'000;
// How long the FT232H gets to answer its first MPSSE command.
constexpr int64_t FirstAnswerNs = 250'000'000;

// The raw SET_BITMODE request the guard sends without a claim: vendor, host
// to device, addressed to the device (not an interface), so usbfs needs no
// claim for it. wValue is mode << 8 | direction mask; wIndex the chip's
// interface A (1).
constexpr uint8_t VendorToDevice = 0x40;
constexpr uint8_t SetBitModeRequest = 0x0B;
constexpr uint16_t AsyncBitbangAllInputs = 0x0100; // mode 1 (asynchronous bit-bang), mask 0
constexpr uint16_t InterfaceA = 1;

std::string BusPathOf(libusb_device *device)
{
    uint8_t ports[8];
    const int count = libusb_get_port_numbers(device, ports, int(sizeof ports));
    if (count <= 0)
        return {};
    std::string path = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < count; ++i)
        path += (i ? "." : "") + std::to_string(ports[i]);
    return path;
}

// Bus paths in their natural order: 1-2 before 1-10, 1-2 before 1-2.1.
std::vector<int> PathNumbers(const std::string &path)
{
    std::vector<int> numbers;
    int value = 0;
    bool digits = false;
    for (char c : path) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            value = value * 10 + (c - '0');
            digits = true;
        } else if (digits) {
            numbers.push_back(value);
            value = 0;
            digits = false;
        }
    }
    if (digits)
        numbers.push_back(value);
    return numbers;
}

OpenFailure FailureOf(int libusbError)
{
    switch (libusbError) {
    case LIBUSB_ERROR_ACCESS:
        return OpenFailure::Permission;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return OpenFailure::Absent;
    case LIBUSB_ERROR_BUSY:
        return OpenFailure::HeldByProgram;
    default:
        return OpenFailure::Other;
    }
}

} // namespace

bool LooksLikeBusPath(const std::string &text)
{
    size_t dash = text.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 == text.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == dash)
            continue;
        if (c == '.' && i > dash + 1 && i + 1 < text.size() && text[i - 1] != '.')
            continue;
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

std::unique_ptr<FtdiAdapter> FtdiAdapter::Create(std::string &error)
{
    std::unique_ptr<FtdiAdapter> adapter(new FtdiAdapter);
    adapter->ftdi_ = ftdi_new();
    if (!adapter->ftdi_) {
        error = "libftdi could not start (libusb_init failed, or no memory)";
        return nullptr;
    }
    return adapter;
}

FtdiAdapter::~FtdiAdapter()
{
    if (open_)
        ftdi_usb_close(ftdi_);
    ForgetList();
    ftdi_free(ftdi_);
}

void FtdiAdapter::ForgetList()
{
    list_.clear();
    if (devices_)
        libusb_free_device_list(devices_, 1);
    devices_ = nullptr;
}

const std::vector<FoundAdapter> &FtdiAdapter::List()
{
    ForgetList();
    if (libusb_get_device_list(ftdi_->usb_ctx, &devices_) < 0) {
        devices_ = nullptr;
        return list_;
    }
    for (libusb_device **it = devices_; *it; ++it) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(*it, &desc) != 0 || desc.idVendor != FtdiVendor ||
            std::find(std::begin(FtdiProducts), std::end(FtdiProducts), desc.idProduct) == std::end(FtdiProducts))
            continue;
        FoundAdapter found;
        found.Device = *it;
        found.BusPath = BusPathOf(*it);
        found.Product = desc.idProduct;
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(*it),
                      libusb_get_device_address(*it));
        found.Node = node;
        char unknown[48];
        std::snprintf(unknown, sizeof unknown, "FTDI chip of release %04x", desc.bcdDevice);
        found.ChipName = unknown;
        for (const ChipRelease &release : Releases)
            if (release.Release == desc.bcdDevice) {
                found.Kind = release.Kind;
                found.ChipName = release.Name;
            }
        list_.push_back(found);
    }
    std::stable_sort(list_.begin(), list_.end(), [](const FoundAdapter &a, const FoundAdapter &b) {
        return PathNumbers(a.BusPath) < PathNumbers(b.BusPath);
    });
    return list_;
}

std::string FtdiAdapter::SerialOf(const FoundAdapter &adapter, OpenFailure &failure)
{
    failure = OpenFailure::None;
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(adapter.Device, &desc) != 0 || desc.iSerialNumber == 0)
        return {};
    libusb_device_handle *handle = nullptr;
    const int opened = libusb_open(adapter.Device, &handle);
    if (opened != 0) {
        failure = FailureOf(opened);
        return {};
    }
    unsigned char text[128];
    const int length = libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text, sizeof text);
    libusb_close(handle);
    return length > 0 ? std::string(reinterpret_cast<char *>(text), size_t(length)) : std::string();
}

bool FtdiAdapter::Open(const FoundAdapter &adapter, OpenFailure &failure, std::string &detail)
{
    failure = OpenFailure::None;
    ftdi_set_interface(ftdi_, INTERFACE_A);
    // Detaches ftdi_sio when it holds the adapter (libftdi's default).
    const int result = ftdi_usb_open_dev(ftdi_, adapter.Device);
    if (result == 0) {
        open_ = true;
        busPath_ = adapter.BusPath;
        kind_ = adapter.Kind;
        if (ftdi_set_latency_timer(ftdi_, LatencyMs) != 0) {
            failure = OpenFailure::Other;
            detail = LastError();
            return false;
        }
        return true;
    }
    detail = LastError();
    // libftdi keeps libusb's reason to itself: ask the device again.
    libusb_device_handle *handle = nullptr;
    const int opened = libusb_open(adapter.Device, &handle);
    if (opened != 0) {
        failure = FailureOf(opened);
        detail = libusb_strerror(libusb_error(opened));
        return false;
    }
    // A claim refused: by the kernel's serial driver (it could not be
    // detached), or by another program ("usbfs" holds it: not a kernel driver).
    const int driver = libusb_kernel_driver_active(handle, 0);
    libusb_close(handle);
    if (driver == LIBUSB_ERROR_NO_DEVICE)
        failure = OpenFailure::Absent; // pulled out while being opened
    else if (result == -3 || result == -5 || result == -8)
        failure = driver == 1 ? OpenFailure::SerialDriver : driver == 0 ? OpenFailure::HeldByProgram : OpenFailure::Other;
    else
        failure = OpenFailure::Other;
    return false;
}

bool FtdiAdapter::EnterLineMode(uint8_t outputs)
{
    outputs_ = outputs;
    if (kind_ == ChipKind::FT232R) {
        // Bit-bang with no outputs, the latch at 0, then the outputs: no line
        // drives high in between.
        unsigned char zero = 0;
        return ftdi_set_bitmode(ftdi_, 0x00, BITMODE_BITBANG) == 0 && ftdi_write_data(ftdi_, &zero, 1) == 1 &&
               ftdi_set_bitmode(ftdi_, outputs, BITMODE_BITBANG) == 0;
    }
    if (kind_ != ChipKind::FT232H)
        return false;
    // The MPSSE engine starts with every line an input; one command sets the
    // low byte's values (0) and directions together. Straight from whatever
    // mode the chip is in: a reset to UART mode first would drive TXD, RTS
    // and DTR high for a moment.
    if (ftdi_set_bitmode(ftdi_, 0x00, BITMODE_MPSSE) != 0 || ftdi_tciflush(ftdi_) != 0)
        return false;
    unsigned char set[] = {SetLowByte, 0x00, outputs};
    if (ftdi_write_data(ftdi_, set, int(sizeof set)) != int(sizeof set))
        return false;
    // The engine answers: it is there and in step.
    unsigned char unused = 0;
    return ReadAnswer(unused, FirstAnswerNs);
}

bool FtdiAdapter::WriteLines(uint8_t levels)
{
    if (kind_ == ChipKind::FT232R) {
        unsigned char byte = static_cast<unsigned char>(levels & outputs_);
        return ftdi_write_data(ftdi_, &byte, 1) == 1;
    }
    unsigned char set[] = {SetLowByte, static_cast<unsigned char>(levels & outputs_), outputs_};
    return ftdi_write_data(ftdi_, set, int(sizeof set)) == int(sizeof set);
}

bool FtdiAdapter::ReadLines(uint8_t &pins)
{
    if (kind_ == ChipKind::FT232R) {
        // A control request: answered at once, whatever the latency timer.
        unsigned char byte = 0;
        if (ftdi_read_pins(ftdi_, &byte) != 0)
            return false;
        pins = byte;
        return true;
    }
    return ReadAnswer(pins, ReadAnswerNs);
}

bool FtdiAdapter::ReadAnswer(uint8_t &pins, int64_t waitNs)
{
    unsigned char get[] = {GetLowByte, FlushAnswers};
    if (ftdi_write_data(ftdi_, get, int(sizeof get)) != int(sizeof get))
        return false;
    const int64_t deadline = MonotonicNs() + waitNs;
    do {
        unsigned char byte = 0;
        const int got = ftdi_read_data(ftdi_, &byte, 1);
        if (got < 0)
            return false;
        if (got == 1) {
            pins = byte;
            return true;
        }
    } while (MonotonicNs() < deadline);
    // No answer in time: whatever comes late must not answer the next read.
    ftdi_tciflush(ftdi_);
    return false;
}

std::string FtdiAdapter::Serial()
{
    if (!open_)
        return {};
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(libusb_get_device(ftdi_->usb_dev), &desc) != 0 || desc.iSerialNumber == 0)
        return {};
    unsigned char text[128];
    const int length = libusb_get_string_descriptor_ascii(ftdi_->usb_dev, desc.iSerialNumber, text, sizeof text);
    return length > 0 ? std::string(reinterpret_cast<char *>(text), size_t(length)) : std::string();
}

std::string FtdiAdapter::LastError() const
{
    const char *text = ftdi_get_error_string(ftdi_);
    return text && *text ? text : "unknown error";
}

bool MakeAllLinesInputs(const std::string &busPath, int timeoutMs, std::string &error)
{
    libusb_context *context = nullptr;
    if (libusb_init(&context) != 0) {
        error = "libusb could not start";
        return false;
    }
    libusb_device **devices = nullptr;
    libusb_device_handle *handle = nullptr;
    int result = LIBUSB_ERROR_NOT_FOUND;
    if (libusb_get_device_list(context, &devices) >= 0) {
        for (libusb_device **it = devices; *it; ++it)
            if (BusPathOf(*it) == busPath) {
                result = libusb_open(*it, &handle);
                break;
            }
        libusb_free_device_list(devices, 1);
    }
    if (result == 0) {
        result = libusb_control_transfer(handle, VendorToDevice, SetBitModeRequest, AsyncBitbangAllInputs, InterfaceA,
                                         nullptr, 0, static_cast<unsigned>(timeoutMs));
        libusb_close(handle);
    }
    libusb_exit(context);
    if (result < 0)
        error = std::string("USB ") + busPath + ": " + libusb_strerror(libusb_error(result));
    return result >= 0;
}

} // namespace ftdiport
