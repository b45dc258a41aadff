#pragma once
// The lines of a GPIO chip. Every libgpiod call and every GPIO request made to
// the kernel is in the GpioLines*.cpp files:
//
//   GpioLines.cpp         the motor lines' request, made of the kernel
//                         directly through its second GPIO interface (line
//                         requests, GPIO_V2_GET_LINE_IOCTL, Linux 5.10 and
//                         later), and the guard's zeroing through a copy of it
//   GpioLinesGpiod1.cpp   the chips, their lines' information and the sensor
//                         lines through libgpiod 1.6 (Debian 12, Raspberry Pi
//                         OS bookworm)
//   GpioLinesGpiod2.cpp   the same through libgpiod 2 (Debian 13, Raspberry Pi
//                         OS trixie, Ubuntu 24.04)
//
// The build takes one of the last two, as the libgpiod it finds
// (portio/gpio/CMakeLists.txt). The motor lines' request is our own on
// either: the port guard needs a copy of its descriptor to switch the motors
// off when the program is stopped or gone, and libgpiod 1.6 keeps the
// descriptor of its requests to itself.
#include "portio/kit/GuardRoutines.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct gpiod_chip;

namespace gpio {

// A line as its chip describes it now.
struct LineInfo {
    std::string Name;     // empty when it has none
    std::string Consumer; // who holds it, as gpioinfo shows it
    bool Used = false;    // held by a consumer (the kernel's drivers included)
};

struct ChipSummary {
    std::string Name;  // gpiochip0
    std::string Label; // pinctrl-bcm2711
    unsigned Lines = 0;
};

// The computer's GPIO chips, for messages; empty with `error` set when they
// could not all be opened.
std::vector<ChipSummary> ListChips(int &error);

// The device file a chip named in the pin map stands for: a path as it is, a
// number N as /dev/gpiochipN, a name as /dev/NAME (Chip::Open also takes a
// name for a label).
std::string ChipPath(const std::string &which);

// A pull resistor a sensor line asks for.
enum class Bias { AsIs, PullUp, PullDown, Disabled };

// One open GPIO chip.
class Chip {
public:
    // `which`: a path (/dev/gpiochip0), a name (gpiochip0), a number (0) or a
    // label (pinctrl-bcm2711). Null and the errno in `error` when it cannot
    // be opened; ENOENT also when no chip has that label, ENOTTY or ENODEV
    // when the path is no GPIO chip.
    static std::unique_ptr<Chip> Open(const std::string &which, int &error);
    ~Chip();
    Chip(const Chip &) = delete;
    Chip &operator=(const Chip &) = delete;

    const std::string &Name() const { return name_; }
    const std::string &Label() const { return label_; }
    unsigned LineCount() const { return lines_; }
    // The device file the chip was opened by.
    const std::string &DevicePath() const { return path_; }

    // The line's state as the kernel reports it now; false with the errno.
    bool Describe(unsigned offset, LineInfo &info, int &error) const;

private:
    friend class Inputs;
    Chip(gpiod_chip *chip, std::string path, std::string name, std::string label, unsigned lines)
        : chip_(chip), path_(std::move(path)), name_(std::move(name)), label_(std::move(label)), lines_(lines)
    {
    }

    gpiod_chip *chip_;
    std::string path_;
    std::string name_;
    std::string label_;
    unsigned lines_;
};

// Output lines taken together by one line request, all at 0 first.
class Outputs {
public:
    // Null and the errno when the kernel refuses (EBUSY: a line is held;
    // ENOTTY: a kernel before 5.10, without line requests).
    static std::unique_ptr<Outputs> Request(const Chip &chip, const std::vector<unsigned> &offsets,
                                            const std::string &consumer, int &error);
    // Lets the lines go (they may fall back to their power-up state).
    ~Outputs();
    Outputs(const Outputs &) = delete;
    Outputs &operator=(const Outputs &) = delete;

    // Drives line i high while bit i of `levels` is set; false with the errno.
    bool Set(uint32_t levels, int &error);
    // The line request's descriptor (this object keeps it).
    int HandleFd() const { return fd_; }

private:
    Outputs(int fd, size_t count) : fd_(fd), count_(count) {}
    int fd_;
    size_t count_;
};

// The library's request of input lines (each GpioLinesGpiod*.cpp has its own).
struct InputLines;

// Input lines taken together, with one polarity and one pull.
class Inputs {
public:
    static std::unique_ptr<Inputs> Request(Chip &chip, const std::vector<unsigned> &offsets, bool activeLow,
                                           Bias bias, const std::string &consumer, int &error);
    // Lets the lines go. Must go before its chip.
    ~Inputs();
    Inputs(const Inputs &) = delete;
    Inputs &operator=(const Inputs &) = delete;

    // Bit i: line i is active (low for an active-low line); false with the errno.
    bool Get(uint32_t &active, int &error);

private:
    explicit Inputs(std::unique_ptr<InputLines> lines);
    std::unique_ptr<InputLines> lines_;
};

// Drives every line of a line request low, through any copy of its descriptor.
bool ZeroHandle(int fd, int &error);

} // namespace gpio

namespace portguard {
constexpr char GpioKind = 'G'; // GPIO lines: the open line request holding the motor lines
}

// The port guard's routine for GPIO lines (portguard::GpioKind): `fd` is the
// guard's copy of the motor lines' request; the lines go to 0 through it. It
// closes nothing: when the program has gone, the guard's closing its copy
// (the request's last descriptor) lets the lines go.
void ZeroGpioFromGuard(int fd, const std::string &payload, portguard::Situation situation);
