// Everything the GPIO library asks of libgpiod 1.6 and of the kernel's first
// GPIO interface (see GpioLines.h).
#include "portio/gpio/GpioLines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gpiod.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace gpio {
namespace {

bool AllDigits(const std::string &text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// libgpiod reports its failures in errno; a failure that left none is still one.
int LastError() { return errno ? errno : EIO; }

int RequestFlags(bool activeLow, Bias bias)
{
    int flags = activeLow ? GPIOD_LINE_REQUEST_FLAG_ACTIVE_LOW : 0;
    switch (bias) {
    case Bias::PullUp:
        flags |= GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_UP;
        break;
    case Bias::PullDown:
        flags |= GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_DOWN;
        break;
    case Bias::Disabled:
        flags |= GPIOD_LINE_REQUEST_FLAG_BIAS_DISABLE;
        break;
    case Bias::AsIs:
        break;
    }
    return flags;
}

} // namespace

std::vector<ChipSummary> ListChips(int &error)
{
    std::vector<ChipSummary> chips;
    errno = 0;
    gpiod_chip_iter *iter = gpiod_chip_iter_new();
    if (!iter) {
        error = LastError();
        return chips;
    }
    error = 0;
    gpiod_chip *chip;
    gpiod_foreach_chip(iter, chip)
        chips.push_back({gpiod_chip_name(chip), gpiod_chip_label(chip), gpiod_chip_num_lines(chip)});
    gpiod_chip_iter_free(iter);
    return chips;
}

// ---- Chip ---------------------------------------------------------------------

std::unique_ptr<Chip> Chip::Open(const std::string &which, int &error)
{
    errno = 0;
    gpiod_chip *chip = nullptr;
    if (which.empty()) {
        errno = ENOENT;
    } else if (which[0] == '/') {
        chip = gpiod_chip_open(which.c_str());
    } else if (AllDigits(which)) {
        chip = gpiod_chip_open_by_number(unsigned(std::stoul(which)));
    } else {
        // A name under /dev, else a label (which opens every chip to look).
        chip = gpiod_chip_open_by_name(which.c_str());
        if (!chip && errno == ENOENT)
            chip = gpiod_chip_open_by_label(which.c_str());
    }
    if (!chip) {
        error = LastError();
        return nullptr;
    }
    error = 0;
    const std::string path = which[0] == '/' ? which : "/dev/" + std::string(gpiod_chip_name(chip));
    return std::unique_ptr<Chip>(new Chip(chip, path));
}

Chip::Chip(gpiod_chip *chip, std::string path)
    : chip_(chip), path_(std::move(path)), name_(gpiod_chip_name(chip)), label_(gpiod_chip_label(chip)),
      lines_(gpiod_chip_num_lines(chip))
{
}

Chip::~Chip() { gpiod_chip_close(chip_); }

bool Chip::Describe(unsigned offset, LineInfo &info, int &error) const
{
    errno = 0;
    // Asks the kernel afresh each time.
    gpiod_line *line = gpiod_chip_get_line(chip_, offset);
    if (!line) {
        error = LastError();
        return false;
    }
    const char *name = gpiod_line_name(line);
    const char *consumer = gpiod_line_consumer(line);
    info.Name = name ? name : "";
    info.Consumer = consumer ? consumer : "";
    info.Used = gpiod_line_is_used(line);
    error = 0;
    return true;
}

// ---- Outputs: a line handle of our own ------------------------------------------

std::unique_ptr<Outputs> Outputs::Request(const Chip &chip, const std::vector<unsigned> &offsets,
                                          const std::string &consumer, int &error)
{
    if (offsets.empty() || offsets.size() > GPIOHANDLES_MAX) {
        error = EINVAL;
        return nullptr;
    }
    gpiohandle_request request;
    std::memset(&request, 0, sizeof request);
    for (size_t i = 0; i < offsets.size(); ++i)
        request.lineoffsets[i] = offsets[i];
    request.lines = uint32_t(offsets.size());
    request.flags = GPIOHANDLE_REQUEST_OUTPUT; // default_values: all 0
    std::strncpy(request.consumer_label, consumer.c_str(), sizeof request.consumer_label - 1);

    const int chipFd = open(chip.DevicePath().c_str(), O_RDWR | O_CLOEXEC);
    if (chipFd < 0) {
        error = errno;
        return nullptr;
    }
    const int result = ioctl(chipFd, GPIO_GET_LINEHANDLE_IOCTL, &request);
    error = result < 0 ? errno : 0;
    close(chipFd); // the handle lives on without it
    if (result < 0)
        return nullptr;
    return std::unique_ptr<Outputs>(new Outputs(request.fd, offsets.size()));
}

Outputs::~Outputs() { close(fd_); }

bool Outputs::Set(uint32_t levels, int &error)
{
    gpiohandle_data data;
    std::memset(&data, 0, sizeof data);
    for (size_t i = 0; i < count_; ++i)
        data.values[i] = (levels >> i) & 1;
    if (ioctl(fd_, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &data) < 0) {
        error = errno;
        return false;
    }
    error = 0;
    return true;
}

bool ZeroHandle(int fd, int &error)
{
    gpiohandle_data data;
    std::memset(&data, 0, sizeof data);
    if (ioctl(fd, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &data) < 0) {
        error = errno;
        return false;
    }
    error = 0;
    return true;
}

// ---- Inputs through libgpiod --------------------------------------------------------

std::unique_ptr<Inputs> Inputs::Request(Chip &chip, const std::vector<unsigned> &offsets, bool activeLow,
                                        Bias bias, const std::string &consumer, int &error)
{
    if (offsets.empty() || offsets.size() > GPIOD_LINE_BULK_MAX_LINES) {
        error = EINVAL;
        return nullptr;
    }
    std::vector<gpiod_line *> lines;
    gpiod_line_bulk bulk;
    gpiod_line_bulk_init(&bulk);
    for (unsigned offset : offsets) {
        errno = 0;
        gpiod_line *line = gpiod_chip_get_line(chip.chip_, offset);
        if (!line) {
            error = LastError();
            return nullptr;
        }
        gpiod_line_bulk_add(&bulk, line);
        lines.push_back(line);
    }
    errno = 0;
    if (gpiod_line_request_bulk_input_flags(&bulk, consumer.c_str(), RequestFlags(activeLow, bias)) < 0) {
        error = LastError();
        return nullptr;
    }
    error = 0;
    return std::unique_ptr<Inputs>(new Inputs(std::move(lines)));
}

Inputs::~Inputs()
{
    gpiod_line_bulk bulk;
    gpiod_line_bulk_init(&bulk);
    for (gpiod_line *line : lines_)
        gpiod_line_bulk_add(&bulk, line);
    gpiod_line_release_bulk(&bulk);
}

bool Inputs::Get(uint32_t &active, int &error)
{
    gpiod_line_bulk bulk;
    gpiod_line_bulk_init(&bulk);
    for (gpiod_line *line : lines_)
        gpiod_line_bulk_add(&bulk, line);
    int values[GPIOD_LINE_BULK_MAX_LINES] = {};
    errno = 0;
    if (gpiod_line_get_value_bulk(&bulk, values) < 0) {
        error = LastError();
        return false;
    }
    active = 0;
    for (size_t i = 0; i < lines_.size(); ++i)
        if (values[i])
            active |= uint32_t(1) << i;
    error = 0;
    return true;
}

} // namespace gpio

void ZeroGpioFromGuard(int fd, const std::string & /*payload*/, portguard::Situation /*situation*/)
{
    // Stopped or gone, the same: the lines to 0 through the guard's copy.
    // When the program has gone, the guard then closes its copy, the handle's
    // last descriptor, and the kernel lets the lines go.
    if (fd < 0)
        return;
    int error = 0;
    gpio::ZeroHandle(fd, error); // nothing more to try when the chip is gone
}
