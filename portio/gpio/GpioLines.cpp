// The motor lines' request, made of the kernel through its second GPIO
// interface whatever libgpiod the build has, and the guard's zeroing through
// a copy of its descriptor (see GpioLines.h).
#include "portio/gpio/GpioLines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace gpio {
namespace {

// Every line of a request: the kernel looks only at the bits of the lines it has.
constexpr uint64_t AllLines = ~uint64_t(0);

// Sets the lines of a request whose bit is in `mask`; false with the errno.
bool SetValues(int fd, uint64_t bits, uint64_t mask, int &error)
{
    gpio_v2_line_values values;
    std::memset(&values, 0, sizeof values);
    values.bits = bits;
    values.mask = mask;
    if (ioctl(fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0) {
        error = errno;
        return false;
    }
    error = 0;
    return true;
}

} // namespace

std::string ChipPath(const std::string &which)
{
    if (which.empty() || which[0] == '/')
        return which;
    const size_t digits = which.find_first_not_of("0123456789");
    if (digits != std::string::npos)
        return "/dev/" + which;
    // Leading zeros dropped; a number too large for any chip names none.
    const size_t first = std::min(which.find_first_not_of('0'), which.size() - 1);
    return "/dev/gpiochip" + which.substr(first);
}

std::unique_ptr<Outputs> Outputs::Request(const Chip &chip, const std::vector<unsigned> &offsets,
                                          const std::string &consumer, int &error)
{
    if (offsets.empty() || offsets.size() > GPIO_V2_LINES_MAX) {
        error = EINVAL;
        return nullptr;
    }
    gpio_v2_line_request request;
    std::memset(&request, 0, sizeof request);
    for (size_t i = 0; i < offsets.size(); ++i)
        request.offsets[i] = offsets[i];
    request.num_lines = uint32_t(offsets.size());
    // Outputs, push-pull, no pull; with no output-values attribute every
    // line starts at 0.
    request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    std::strncpy(request.consumer, consumer.c_str(), sizeof request.consumer - 1);

    const int chipFd = open(chip.DevicePath().c_str(), O_RDWR | O_CLOEXEC);
    if (chipFd < 0) {
        error = errno;
        return nullptr;
    }
    const int result = ioctl(chipFd, GPIO_V2_GET_LINE_IOCTL, &request);
    error = result < 0 ? errno : 0;
    close(chipFd); // the request lives on without it
    if (result < 0)
        return nullptr;
    return std::unique_ptr<Outputs>(new Outputs(request.fd, offsets.size()));
}

Outputs::~Outputs() { close(fd_); }

bool Outputs::Set(uint32_t levels, int &error)
{
    const uint64_t mine = count_ >= 64 ? AllLines : (uint64_t(1) << count_) - 1;
    return SetValues(fd_, levels & mine, mine, error);
}

bool ZeroHandle(int fd, int &error) { return SetValues(fd, 0, AllLines, error); }

} // namespace gpio

const portguard::GuardRoutine registered{portguard::GpioKind, ZeroGpioFromGuard};

void ZeroGpioFromGuard(int fd, const std::string & /*payload*/, portguard::Situation /*situation*/)
{
    // Stopped or gone, the same: the lines to 0 through the guard's copy.
    // When the program has gone, the guard then closes its copy, the
    // request's last descriptor, and the kernel lets the lines go.
    if (fd < 0)
        return;
    int error = 0;
    gpio::ZeroHandle(fd, error); // nothing more to try when the chip is gone
}
