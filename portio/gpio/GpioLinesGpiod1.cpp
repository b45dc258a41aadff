// The chips, their lines' information and the sensor lines through libgpiod
// 1.6 (see GpioLines.h).
#include "portio/gpio/GpioLines.h"

#include <algorithm>
#include <cerrno>
#include <gpiod.h>

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
    } else {
        chip = gpiod_chip_open(ChipPath(which).c_str());
        // Not a name under /dev: a label, which opens every chip to look.
        if (!chip && errno == ENOENT && which[0] != '/' && !AllDigits(which))
            chip = gpiod_chip_open_by_label(which.c_str());
    }
    if (!chip) {
        error = LastError();
        return nullptr;
    }
    error = 0;
    const std::string name = gpiod_chip_name(chip);
    return std::unique_ptr<Chip>(new Chip(chip, which[0] == '/' ? which : "/dev/" + name, name,
                                          gpiod_chip_label(chip), gpiod_chip_num_lines(chip)));
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

// ---- Inputs through libgpiod --------------------------------------------------------

struct InputLines {
    std::vector<gpiod_line *> Lines;
};

std::unique_ptr<Inputs> Inputs::Request(Chip &chip, const std::vector<unsigned> &offsets, bool activeLow,
                                        Bias bias, const std::string &consumer, int &error)
{
    // At most a bit each in Get's answer.
    if (offsets.empty() || offsets.size() > std::min<size_t>(GPIOD_LINE_BULK_MAX_LINES, 32)) {
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
    return std::unique_ptr<Inputs>(new Inputs(std::unique_ptr<InputLines>(new InputLines{std::move(lines)})));
}

Inputs::Inputs(std::unique_ptr<InputLines> lines) : lines_(std::move(lines)) {}

Inputs::~Inputs()
{
    gpiod_line_bulk bulk;
    gpiod_line_bulk_init(&bulk);
    for (gpiod_line *line : lines_->Lines)
        gpiod_line_bulk_add(&bulk, line);
    gpiod_line_release_bulk(&bulk);
}

bool Inputs::Get(uint32_t &active, int &error)
{
    gpiod_line_bulk bulk;
    gpiod_line_bulk_init(&bulk);
    for (gpiod_line *line : lines_->Lines)
        gpiod_line_bulk_add(&bulk, line);
    int values[GPIOD_LINE_BULK_MAX_LINES] = {};
    errno = 0;
    if (gpiod_line_get_value_bulk(&bulk, values) < 0) {
        error = LastError();
        return false;
    }
    active = 0;
    for (size_t i = 0; i < lines_->Lines.size(); ++i)
        if (values[i])
            active |= uint32_t(1) << i;
    error = 0;
    return true;
}

} // namespace gpio
