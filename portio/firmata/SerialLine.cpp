#include "portio/firmata/SerialLine.h"

#include "core/Clock.h"
#include "portio/kit/DeviceGroup.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace firmata {
namespace {

// How often SentBefore looks at the output queue.
constexpr int64_t QueueCheckNs = 1'000'000;
// close() waits for queued output to leave, up to 30 s on a USB serial
// device: a board that takes nothing gets this long, then the rest is dropped.
constexpr int64_t CloseQueueWaitNs = 100'000'000;

int MsUntil(int64_t deadlineNs)
{
    const int64_t left = deadlineNs - MonotonicNs();
    return left <= 0 ? 0 : int(std::min<int64_t>((left + 999'999) / 1'000'000, 60'000));
}

// The number after `prefix` in a device name ("ttyACM12" -> 12), or -1.
long NumberAfter(const std::string &name, const std::string &prefix)
{
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    long number = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || number > 100000)
            return -1;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

} // namespace

bool IsGone(int error)
{
    // A USB serial device pulled out also hangs up or fails with EIO.
    return error == HungUp || error == EIO || error == EPIPE || portkit::IsGoneError(error);
}

std::string ErrorText(int error)
{
    return error == HungUp ? "the device hung up" : std::strerror(error);
}

std::string ChooseSerialDevice(std::string &searched)
{
    if (const char *named = std::getenv("ROBOT_SERIAL"); named && *named)
        return named;
    const char *dirSetting = std::getenv("ROBOT_SERIAL_DIR");
    const std::string dir = dirSetting && *dirSetting ? dirSetting : "/dev";
    searched = dir + "/ttyACM*, " + dir + "/ttyUSB*";
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    // Boards with native USB and most clones' bridges are ttyACM; FTDI and
    // CH340 bridges ttyUSB.
    for (const char *prefix : {"ttyACM", "ttyUSB"}) {
        long best = -1;
        for (const std::string &name : names) {
            const long number = NumberAfter(name, prefix);
            if (number >= 0 && (best < 0 || number < best))
                best = number;
        }
        if (best >= 0)
            return dir + "/" + prefix + std::to_string(best);
    }
    return {};
}

speed_t SpeedOf(long baud)
{
    static const std::pair<long, speed_t> speeds[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
        {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
        {230400, B230400}, {460800, B460800}, {500000, B500000}, {921600, B921600},
        {1000000, B1000000}, {2000000, B2000000},
    };
    for (const auto &[rate, speed] : speeds)
        if (rate == baud)
            return speed;
    return B0;
}


int WriteBefore(int fd, const std::string &bytes, int64_t deadlineNs)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return errno;
        // The output queue is full: the board takes nothing, or slowly.
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, MsUntil(deadlineNs));
        if (ready < 0 && errno != EINTR)
            return errno;
        if (ready == 0)
            return ETIMEDOUT;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            return EIO;
    }
    return 0;
}

bool SentBefore(int fd, int64_t deadlineNs)
{
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0)
            return false;
        if (queued == 0)
            return true;
        if (MonotonicNs() >= deadlineNs)
            return false;
        const timespec pause{0, QueueCheckNs};
        nanosleep(&pause, nullptr);
    }
}

SerialLine::~SerialLine()
{
    if (!SentBefore(fd_, MonotonicNs() + CloseQueueWaitNs))
        DropOutput();
    close(fd_);
}

std::unique_ptr<SerialLine> SerialLine::Open(const std::string &path, speed_t speed, int &error)
{
    // O_NONBLOCK: open must not wait for a modem's carrier, and reads never wait.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    std::unique_ptr<SerialLine> line(new SerialLine(fd, path));
    // Another copy of this program, a serial monitor or ModemManager would
    // take bytes meant for us.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? EBUSY : errno;
        return nullptr;
    }
    termios settings;
    if (tcgetattr(fd, &settings) != 0) {
        error = errno;
        return nullptr;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSTOPB | CRTSCTS | PARENB);
    // HUPCL: closing drops DTR, so the next open resets the board and finds
    // the firmware at its start.
    settings.c_cflag |= CLOCAL | CREAD | HUPCL | CS8;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    // VMIN 1: with O_NONBLOCK a read with nothing to give fails with EAGAIN,
    // so its 0 means a hang-up (VMIN 0 would give 0 for both).
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &settings) != 0) {
        error = errno;
        return nullptr;
    }
    // Not for root, who passes TIOCEXCL; the flock holds for everyone who asks.
    ioctl(fd, TIOCEXCL);
    // Bytes from before the open (a sketch's last words) are not an answer.
    tcflush(fd, TCIOFLUSH);
    error = 0;
    return line;
}

int SerialLine::Read(std::string &out, int waitMs)
{
    char buffer[512];
    bool first = true;
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, size_t(n));
            first = false;
            continue;
        }
        if (n == 0)
            return HungUp;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return errno;
        if (!first || waitMs <= 0)
            return 0;
        first = false;
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, waitMs);
        if (ready < 0 && errno != EINTR)
            return errno;
        if (ready <= 0)
            return 0;
        // POLLHUP and POLLERR: the read that follows says which.
    }
}

void SerialLine::DropOutput()
{
    tcflush(fd_, TCOFLUSH);
}

} // namespace firmata
