#pragma once
// "Kamera 1": the stand-alone camera viewer (kamera/kamera of the working
// directory), started and not waited for. A viewer that cannot show the
// camera (no video output, no camera, gst-launch missing) says so on its
// standard error and ends at once; the operator must hear of it, not only a
// terminal nobody reads. So its standard error comes to the program on a pipe,
// watched on the GUI thread and passed on to the program's own standard error,
// and a failure becomes one message on the error display.
#include <QElapsedTimer>
#include <QObject>

#include <string>
#include <sys/types.h>

class QSocketNotifier;
class QTimer;

// An open file descriptor, closed with its owner.
class OwnedFd {
public:
    explicit OwnedFd(int fd = -1) : fd_(fd) {}
    ~OwnedFd() { Close(); }
    OwnedFd(const OwnedFd &) = delete;
    OwnedFd &operator=(const OwnedFd &) = delete;
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Closes the one it holds and takes `fd`.
    void Reset(int fd);
    void Close() { Reset(-1); }

private:
    int fd_;
};

// One start of the viewer and its watch. Deletes itself once the viewer has
// ended and its standard error is closed; the owner's end ends the watch only
// (the viewer goes on).
class ViewerLaunch : public QObject {
    Q_OBJECT

public:
    // Starts `program` (a path, relative to the working directory) in a
    // session of its own. Throws std::runtime_error saying why when it cannot
    // be started at all.
    static void Start(const std::string &program, QObject *owner);

private:
    ViewerLaunch(const std::string &program, QObject *owner);
    ~ViewerLaunch() override;

    void ReadErrors();
    void LookForEnd();
    void Ended(int status);
    void Report(const std::string &reason);
    void FinishWhenDone();

    std::string program_;
    pid_t pid_ = -1;
    OwnedFd errors_;  // read end of the viewer's standard error
    OwnedFd endFd_;   // pidfd: readable once the viewer has ended
    QSocketNotifier *errorWatch_ = nullptr;
    QSocketNotifier *endWatch_ = nullptr;
    QTimer *endPoll_ = nullptr; // instead of the pidfd where the kernel has none
    QElapsedTimer sinceStart_;
    std::string said_;       // what it wrote, up to a limit
    size_t scannedUpTo_ = 0; // complete lines of said_ looked at so far
    bool errorsClosed_ = false;
    bool ended_ = false;
    bool reported_ = false;
};
