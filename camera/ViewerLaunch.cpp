#include "camera/ViewerLaunch.h"

#include "core/ErrorDisplay.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {
// A viewer that ends this soon after its start never got to show the camera
// for long: whatever it said (or its exit status) is why. Later ends are the
// operator closing its window.
constexpr qint64 ViewerWatchMs = 5000;
// Where the kernel gives no pidfd, how often to look whether the viewer ended.
constexpr int EndPollMs = 100;
// What the viewer says is kept up to this much for the message; all of it
// goes on to the program's standard error.
constexpr size_t MaxKeptBytes = 16 * 1024;
// The viewer's own diagnosis: one line starting so (camera/viewer/kamera).
constexpr const char *ViewerPrefix = "kamera: ";
// gst-launch's words for a pipeline that failed.
constexpr const char *GstErrorPrefix = "ERROR: ";
constexpr const char *GstElementPrefix = "from element ";
constexpr const char *GstWarningPrefix = "WARNING: ";
// What the operator can do about a camera that would not open.
constexpr const char *CameraAdvice =
    " Check the camera that ROBOT_CAPTURE_SOURCE chooses; a camera serves one program at a time, "
    "so stop the preview (\"Kamera 2\") first. The viewer's own words are on standard error.";

// posix_spawn's file actions, destroyed with their owner.
class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions &) = delete;
    SpawnActions &operator=(const SpawnActions &) = delete;
    posix_spawn_file_actions_t *Get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// posix_spawn's attributes, destroyed with their owner.
class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes &) = delete;
    SpawnAttributes &operator=(const SpawnAttributes &) = delete;
    posix_spawnattr_t *Get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// A descriptor that becomes readable when the process ends. Through the
// system call: glibc 2.36's <sys/pidfd.h> does not declare it for C++.
int OpenPidFd(pid_t pid) { return int(syscall(SYS_pidfd_open, pid, 0)); }

bool StartsWith(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

void WriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere to pass it on to: it is still kept for the message
        data += n;
        size -= size_t(n);
    }
}

// The one line that says why a viewer ended: gst-launch's first error (its
// element path left out), its complaint about the pipeline, else the last
// line it wrote.
std::string WhyItEnded(const std::string &said)
{
    std::string last, warning;
    size_t start = 0;
    while (start < said.size()) {
        size_t end = said.find('\n', start);
        if (end == std::string::npos)
            end = said.size();
        std::string line = said.substr(start, end - start);
        start = end + 1;
        // Trailing blanks and a full stop: the message adds its own.
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '.'))
            line.pop_back();
        if (line.empty())
            continue;
        if (StartsWith(line, GstErrorPrefix)) {
            line.erase(0, std::strlen(GstErrorPrefix));
            if (StartsWith(line, GstElementPrefix)) {
                const size_t colon = line.find(": ");
                if (colon != std::string::npos)
                    line.erase(0, colon + 2);
            }
            return line;
        }
        if (warning.empty() && StartsWith(line, GstWarningPrefix))
            warning = line.substr(std::strlen(GstWarningPrefix));
        last = line;
    }
    return warning.empty() ? last : warning;
}

std::string EndStatus(int status)
{
    if (WIFSIGNALED(status)) {
        const char *name = sigabbrev_np(WTERMSIG(status));
        return "it was ended by signal " +
               (name ? std::string("SIG") + name : std::to_string(WTERMSIG(status)));
    }
    return "exit status " + std::to_string(WEXITSTATUS(status));
}
} // namespace

void OwnedFd::Reset(int fd)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

void ViewerLaunch::Start(const std::string &program, QObject *owner)
{
    new ViewerLaunch(program, owner); // deletes itself, or goes with its owner
}

ViewerLaunch::ViewerLaunch(const std::string &program, QObject *owner) : QObject(owner), program_(program)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("Kamera 1: no pipe for the camera viewer's messages: " +
                                 std::string(std::strerror(errno)));
    errors_.Reset(ends[0]);
    OwnedFd writeEnd(ends[1]); // the viewer's copy is all that stays open
    fcntl(errors_.Get(), F_SETFL, O_NONBLOCK);

    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.Get(), writeEnd.Get(), STDERR_FILENO);
    // Whatever else the program has open (its port device, the guard's link,
    // the display connection) must not live on in a viewer that outlives it.
    posix_spawn_file_actions_addclosefrom_np(actions.Get(), STDERR_FILENO + 1);
    SpawnAttributes attributes;
    // A session of its own, as a detached program: a Ctrl+C or Ctrl+Z at the
    // program's terminal is the program's alone. And no signal blocked.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(attributes.Get(), &none);
    posix_spawnattr_setflags(attributes.Get(), POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    char *const argv[] = {program_.data(), nullptr};
    const int result = posix_spawn(&pid_, program_.c_str(), actions.Get(), attributes.Get(), argv, environ);
    if (result != 0)
        throw std::runtime_error("Kamera 1: cannot start the camera viewer " + program_ + ": " +
                                 std::strerror(result) +
                                 ". ./run and the installed launcher put it into the working directory "
                                 "(scripts/prepare-workdir.sh).");
    sinceStart_.start();

    errorWatch_ = new QSocketNotifier(errors_.Get(), QSocketNotifier::Read, this);
    connect(errorWatch_, &QSocketNotifier::activated, this, [this] { ReadErrors(); });
    endFd_.Reset(OpenPidFd(pid_));
    if (endFd_.Valid()) {
        endWatch_ = new QSocketNotifier(endFd_.Get(), QSocketNotifier::Read, this);
        connect(endWatch_, &QSocketNotifier::activated, this, [this] { LookForEnd(); });
    } else {
        endPoll_ = new QTimer(this);
        connect(endPoll_, &QTimer::timeout, this, [this] { LookForEnd(); });
        endPoll_->start(EndPollMs);
    }
}

ViewerLaunch::~ViewerLaunch()
{
    // Unwatched before their descriptors close.
    delete errorWatch_;
    delete endWatch_;
}

void ViewerLaunch::ReadErrors()
{
    if (errorsClosed_)
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(errors_.Get(), buffer, sizeof buffer);
        if (n > 0) {
            WriteAll(STDERR_FILENO, buffer, size_t(n));
            said_.append(buffer, std::min(size_t(n), MaxKeptBytes - std::min(MaxKeptBytes, said_.size())));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        errorsClosed_ = true; // its end, or an error that ends the reading alike
        errorWatch_->setEnabled(false);
        break;
    }
    // The viewer's own diagnosis, whenever it comes.
    for (size_t end; (end = said_.find('\n', scannedUpTo_)) != std::string::npos; scannedUpTo_ = end + 1) {
        const std::string line = said_.substr(scannedUpTo_, end - scannedUpTo_);
        if (StartsWith(line, ViewerPrefix))
            Report("the camera viewer cannot show the camera: " + line.substr(std::strlen(ViewerPrefix)));
    }
    FinishWhenDone();
}

void ViewerLaunch::LookForEnd()
{
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == 0 || (done < 0 && errno == EINTR))
        return;
    if (endWatch_)
        endWatch_->setEnabled(false);
    if (endPoll_)
        endPoll_->stop();
    // A viewer reaped elsewhere (done < 0) ended too; its status is unknown.
    Ended(done == pid_ ? status : 0);
}

void ViewerLaunch::Ended(int status)
{
    ended_ = true;
    ReadErrors(); // what it wrote before its end, complete
    const bool soon = sinceStart_.elapsed() <= ViewerWatchMs;
    const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (soon && (!clean || !said_.empty())) {
        const std::string why = WhyItEnded(said_);
        if (why.empty())
            Report("the camera viewer ended at once without a word (" + EndStatus(status) + ")." + CameraAdvice);
        else
            Report("the camera viewer ended at once: " + why + "." + CameraAdvice);
    }
    FinishWhenDone();
}

void ViewerLaunch::Report(const std::string &reason)
{
    if (reported_)
        return;
    reported_ = true;
    ShowAfterHandler("Kamera 1: " + reason);
}

void ViewerLaunch::FinishWhenDone()
{
    if (ended_ && errorsClosed_)
        deleteLater();
}
