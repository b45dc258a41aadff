#pragma once
// The lines of a GPIO chip, through libgpiod 1.6 and the kernel's first GPIO
// interface (line handles). Every libgpiod call and every GPIO request made
// to the kernel is in GpioLines.cpp, so that a move to libgpiod 2 (and the
// kernel's second interface) changes that file alone.
//
// The motor lines are taken by a line handle requested from the kernel
// directly: libgpiod 1.6 keeps the descriptor of a request to itself, and the
// port guard needs a copy of it to switch the motors off when the program is
// stopped or gone.
#include "portio/guard/ZeroRoutines.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct gpiod_chip;
struct gpiod_line;

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
    Chip(gpiod_chip *chip, std::string path);

    gpiod_chip *chip_;
    std::string path_;
    std::string name_;
    std::string label_;
    unsigned lines_;
};

// Output lines taken together by one line handle, all at 0 first.
class Outputs {
public:
    // Null and the errno when the kernel refuses (EBUSY: a line is held).
    static std::unique_ptr<Outputs> Request(const Chip &chip, const std::vector<unsigned> &offsets,
                                            const std::string &consumer, int &error);
    // Lets the lines go (they may fall back to their power-up state).
    ~Outputs();
    Outputs(const Outputs &) = delete;
    Outputs &operator=(const Outputs &) = delete;

    // Drives line i high while bit i of `levels` is set; false with the errno.
    bool Set(uint32_t levels, int &error);
    // The line handle's descriptor (this object keeps it).
    int HandleFd() const { return fd_; }

private:
    Outputs(int fd, size_t count) : fd_(fd), count_(count) {}
    int fd_;
    size_t count_;
};

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
    explicit Inputs(std::vector<gpiod_line *> lines) : lines_(std::move(lines)) {}
    std::vector<gpiod_line *> lines_;
};

// Drives every line of a line handle low, through any copy of its descriptor.
bool ZeroHandle(int fd, int &error);

} // namespace gpio

// The port guard's routine for GPIO lines (portguard::GpioKind): `fd` is the
// guard's copy of the motor lines' handle; the lines go to 0 through it. It
// closes nothing: when the program has gone, the guard's closing its copy
// (the handle's last descriptor) lets the lines go.
void ZeroGpioFromGuard(int fd, const std::string &payload, portguard::Situation situation);
