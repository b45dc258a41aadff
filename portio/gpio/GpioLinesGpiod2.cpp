// The chips, their lines' information and the sensor lines through libgpiod 2
// (see GpioLines.h). libgpiod 2 opens a chip by its path alone and lists no
// chips: a chip named by number, name or label is found here, as libgpiod 1.6
// finds it, among the GPIO chips under /dev.
#include "portio/gpio/GpioLines.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <gpiod.h>

namespace gpio {
namespace {

// The most sensor lines one request reads: one bit each in Get's answer.
constexpr size_t MostInputs = 32;

bool AllDigits(const std::string &text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// libgpiod reports its failures in errno; a failure that left none is still one.
int LastError() { return errno ? errno : EIO; }

template <class T, void (*Free)(T *)> struct Freer {
    void operator()(T *p) const { Free(p); }
};
using ChipInfo = std::unique_ptr<gpiod_chip_info, Freer<gpiod_chip_info, gpiod_chip_info_free>>;
using LineInfoPtr = std::unique_ptr<gpiod_line_info, Freer<gpiod_line_info, gpiod_line_info_free>>;
using Settings = std::unique_ptr<gpiod_line_settings, Freer<gpiod_line_settings, gpiod_line_settings_free>>;
using LineConfig = std::unique_ptr<gpiod_line_config, Freer<gpiod_line_config, gpiod_line_config_free>>;
using RequestConfig = std::unique_ptr<gpiod_request_config, Freer<gpiod_request_config, gpiod_request_config_free>>;
using OpenChip = std::unique_ptr<gpiod_chip, Freer<gpiod_chip, gpiod_chip_close>>;

// The GPIO chips under /dev (gpiochip0, gpiochip1, ...), in their numbers' order.
std::vector<std::string> ChipPaths(int &error)
{
    std::vector<std::string> paths;
    dirent **entries = nullptr;
    const int count = scandir("/dev", &entries, nullptr, versionsort);
    if (count < 0) {
        error = errno;
        return paths;
    }
    for (int i = 0; i < count; ++i) {
        const std::string path = std::string("/dev/") + entries[i]->d_name;
        if (std::strncmp(entries[i]->d_name, "gpiochip", 8) == 0 && gpiod_is_gpiochip_device(path.c_str()))
            paths.push_back(path);
        std::free(entries[i]);
    }
    std::free(entries);
    error = 0;
    return paths;
}

// A chip and what it says of itself; null with the errno.
OpenChip OpenPath(const std::string &path, ChipInfo &info, int &error)
{
    errno = 0;
    OpenChip chip(gpiod_chip_open(path.c_str()));
    if (chip) {
        errno = 0;
        info.reset(gpiod_chip_get_info(chip.get()));
        if (!info)
            chip.reset();
    }
    error = chip ? 0 : LastError();
    return chip;
}

gpiod_line_bias BiasOf(Bias bias)
{
    switch (bias) {
    case Bias::PullUp:
        return GPIOD_LINE_BIAS_PULL_UP;
    case Bias::PullDown:
        return GPIOD_LINE_BIAS_PULL_DOWN;
    case Bias::Disabled:
        return GPIOD_LINE_BIAS_DISABLED;
    case Bias::AsIs:
        break;
    }
    return GPIOD_LINE_BIAS_AS_IS;
}

} // namespace

std::vector<ChipSummary> ListChips(int &error)
{
    std::vector<ChipSummary> chips;
    const std::vector<std::string> paths = ChipPaths(error);
    for (const std::string &path : paths) {
        ChipInfo info;
        if (!OpenPath(path, info, error))
            return {};
        chips.push_back({gpiod_chip_info_get_name(info.get()), gpiod_chip_info_get_label(info.get()),
                         unsigned(gpiod_chip_info_get_num_lines(info.get()))});
    }
    return chips;
}

// ---- Chip ---------------------------------------------------------------------

std::unique_ptr<Chip> Chip::Open(const std::string &which, int &error)
{
    if (which.empty()) {
        error = ENOENT;
        return nullptr;
    }
    std::string path = ChipPath(which);
    const bool name = which[0] != '/' && !AllDigits(which);
    ChipInfo info;
    OpenChip chip = OpenPath(path, info, error);
    if (!chip && !(name && error == ENOENT))
        return nullptr;
    if (!chip) {
        // Not a name under /dev: a label, which opens every chip to look.
        const std::vector<std::string> paths = ChipPaths(error);
        if (error)
            return nullptr;
        for (const std::string &candidate : paths) {
            chip = OpenPath(candidate, info, error);
            if (!chip)
                return nullptr; // as libgpiod 1.6: a chip it may not open ends the search
            if (which == gpiod_chip_info_get_label(info.get())) {
                path = candidate;
                break;
            }
            chip.reset();
        }
    }
    if (!chip) {
        error = ENOENT;
        return nullptr;
    }
    error = 0;
    return std::unique_ptr<Chip>(new Chip(chip.release(), path, gpiod_chip_info_get_name(info.get()),
                                          gpiod_chip_info_get_label(info.get()),
                                          unsigned(gpiod_chip_info_get_num_lines(info.get()))));
}

Chip::~Chip() { gpiod_chip_close(chip_); }

bool Chip::Describe(unsigned offset, LineInfo &info, int &error) const
{
    errno = 0;
    // Asks the kernel afresh each time.
    const LineInfoPtr line(gpiod_chip_get_line_info(chip_, offset));
    if (!line) {
        error = LastError();
        return false;
    }
    const char *name = gpiod_line_info_get_name(line.get());
    const char *consumer = gpiod_line_info_get_consumer(line.get());
    info.Name = name ? name : "";
    info.Consumer = consumer ? consumer : "";
    info.Used = gpiod_line_info_is_used(line.get());
    error = 0;
    return true;
}

// ---- Inputs through libgpiod --------------------------------------------------------

struct InputLines {
    gpiod_line_request *Request;
    size_t Count;
};

std::unique_ptr<Inputs> Inputs::Request(Chip &chip, const std::vector<unsigned> &offsets, bool activeLow,
                                        Bias bias, const std::string &consumer, int &error)
{
    if (offsets.empty() || offsets.size() > MostInputs) {
        error = EINVAL;
        return nullptr;
    }
    errno = 0;
    const Settings settings(gpiod_line_settings_new());
    const LineConfig lines(gpiod_line_config_new());
    const RequestConfig config(gpiod_request_config_new());
    if (!settings || !lines || !config || gpiod_line_settings_set_direction(settings.get(), GPIOD_LINE_DIRECTION_INPUT) < 0 ||
        gpiod_line_settings_set_bias(settings.get(), BiasOf(bias)) < 0) {
        error = LastError();
        return nullptr;
    }
    gpiod_line_settings_set_active_low(settings.get(), activeLow);
    if (gpiod_line_config_add_line_settings(lines.get(), offsets.data(), offsets.size(), settings.get()) < 0) {
        error = LastError();
        return nullptr;
    }
    gpiod_request_config_set_consumer(config.get(), consumer.c_str());
    errno = 0;
    gpiod_line_request *request = gpiod_chip_request_lines(chip.chip_, config.get(), lines.get());
    if (!request) {
        error = LastError();
        return nullptr;
    }
    error = 0;
    return std::unique_ptr<Inputs>(new Inputs(std::unique_ptr<InputLines>(new InputLines{request, offsets.size()})));
}

Inputs::Inputs(std::unique_ptr<InputLines> lines) : lines_(std::move(lines)) {}

Inputs::~Inputs() { gpiod_line_request_release(lines_->Request); }

bool Inputs::Get(uint32_t &active, int &error)
{
    gpiod_line_value values[MostInputs] = {};
    errno = 0;
    if (gpiod_line_request_get_values(lines_->Request, values) < 0) {
        error = LastError();
        return false;
    }
    active = 0;
    for (size_t i = 0; i < lines_->Count; ++i)
        if (values[i] == GPIOD_LINE_VALUE_ACTIVE)
            active |= uint32_t(1) << i;
    error = 0;
    return true;
}

} // namespace gpio
