#pragma once
// The board's serial device (a USB CDC-ACM /dev/ttyACMn or a USB-serial
// bridge's /dev/ttyUSBn): found, opened raw at the chosen baud rate, and read
// and written without ever waiting longer than the caller allows.
//
// ROBOT_SERIAL      the device; unset: the first /dev/ttyACM*, else the first
//                   /dev/ttyUSB* (by number: ttyACM2 before ttyACM10)
// ROBOT_SERIAL_DIR  the folder searched instead of /dev (for tests)
#include <cstdint>
#include <memory>
#include <string>
#include <termios.h>

namespace firmata {

// A read found the device hung up (unplugged, or the far end closed): the
// kernel's end-of-file on a terminal.
constexpr int HungUp = -1;

// Whether an errno (or HungUp) from a read or write means the device has gone.
bool IsGone(int error);
// "Input/output error", or "the device hung up" for HungUp.
std::string ErrorText(int error);

// The device to open; empty when none is found (`searched` then says where
// the library looked).
std::string ChooseSerialDevice(std::string &searched);

// termios' speed for a baud rate, or B0 for one it does not have.
speed_t SpeedOf(long baud);

// Both wait at most until `deadlineNs` (CLOCK_MONOTONIC). For the library and
// the port guard alike: neither may hang on a board that takes nothing.
// Writes all of `bytes`: 0, or an errno (ETIMEDOUT when no room came).
int WriteBefore(int fd, const std::string &bytes, int64_t deadlineNs);
// Waits until the device has sent everything written to it. tcdrain has no
// time limit, so the output queue is watched instead. True when it emptied.
bool SentBefore(int fd, int64_t deadlineNs);

class SerialLine {
public:
    ~SerialLine(); // closes without a write
    SerialLine(const SerialLine &) = delete;
    SerialLine &operator=(const SerialLine &) = delete;

    // Opens `path` raw, 8N1 at `speed`, without flow control, and locks it
    // against other programs (flock and TIOCEXCL). Nullptr with the errno in
    // `error` (EBUSY: another program holds it; ENOTTY: not a serial device).
    static std::unique_ptr<SerialLine> Open(const std::string &path, speed_t speed, int &error);

    int Fd() const { return fd_; }
    const std::string &Path() const { return path_; }

    // Appends what has arrived to `out`, waiting up to `waitMs` for the first
    // byte (0: not at all): 0, HungUp or an errno.
    int Read(std::string &out, int waitMs);
    // Drops what was written but not sent yet.
    void DropOutput();

private:
    SerialLine(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

    int fd_;
    std::string path_;
};

} // namespace firmata
