#pragma once
// The trace that the port libraries write when ROBOT_PORT_TRACE names a file:
// one line per access, flushed at once,
//   <CLOCK_MONOTONIC ns>,<W|R>,<port>,<value>
// The variable is looked at on every access, so a test may point it elsewhere.
#include "core/Clock.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

class PortTrace {
public:
    ~PortTrace() { Close(); }

    // Appends one access stamped `ns` (CLOCK_MONOTONIC nanoseconds).
    void Record(char kind, short port, short value, int64_t ns)
    {
        if (FILE *f = Get()) {
            std::fprintf(f, "%lld,%c,%d,%d\n", static_cast<long long>(ns), kind, port, value);
            std::fflush(f);
        }
    }
    // Appends one access stamped now.
    void Record(char kind, short port, short value) { Record(kind, port, value, MonotonicNs()); }
    // The open trace file's descriptor, or -1 while there is none.
    int Descriptor() const { return file_ ? fileno(file_) : -1; }
    // The open trace file's name, empty while there is none.
    const std::string &Path() const { return path_; }

private:
    FILE *Get()
    {
        const char *wanted = std::getenv("ROBOT_PORT_TRACE");
        if (!wanted || !*wanted) {
            Close();
            return nullptr;
        }
        if (!file_ || path_ != wanted) {
            Close();
            path_ = wanted;
            // Opened without waiting: a FIFO nobody reads is no trace (the
            // open fails) rather than a program held at its first access.
            const int fd = open(wanted, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
            if (fd >= 0 && fcntl(fd, F_SETFL, O_WRONLY | O_APPEND) == 0)
                file_ = fdopen(fd, "a");
            if (!file_ && fd >= 0)
                close(fd);
        }
        return file_;
    }
    void Close()
    {
        if (file_)
            std::fclose(file_);
        file_ = nullptr;
        path_.clear();
    }

    std::string path_;
    FILE *file_ = nullptr;
};
