#include "sim/app/LocalSocket.h"

#include "core/Clock.h"
#include "sim/protocol/PrivatePlace.h"
#include "sim/protocol/SimProtocol.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
// Template of a fresh socket folder's name (mkdtemp fills in the X).
constexpr const char *FreshFolderName = "robot-sim-XXXXXX";

sockaddr_un Address(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        throw std::runtime_error("socket path empty or too long (at most " +
                                 std::to_string(sizeof(address.sun_path) - 1) + " bytes): " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// True when a server answers at `address`.
bool SomeoneListens(const sockaddr_un &address, int type)
{
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool live = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    close(fd);
    return live;
}

std::string FolderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

void CheckSocketFolder(const std::string &path)
{
    const std::string folder = FolderOf(path);
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0)
        throw std::runtime_error("cannot use the folder " + folder + " for " + path + ": " + std::strerror(errno));
    if (info.st_uid != geteuid() && info.st_uid != 0)
        throw std::runtime_error("the folder " + folder + " belongs to user " + std::to_string(info.st_uid) +
                                 ": another user could replace the socket " + path +
                                 "; choose a folder of your own");
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
        throw std::runtime_error("the folder " + folder + " (mode " + mode +
                                 ") is open to others' writes: another user could take the place of "
                                 "the socket " + path + "; choose a private folder");
    }
}

SocketFolder::SocketFolder()
{
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime && *runtime && simproto::PrivateFolderProblem(runtime).empty()) {
        path_ = runtime;
        return;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + FreshFolderName;
    if (!mkdtemp(name.data())) // made with mode 0700 under a name nobody can guess
        throw std::runtime_error("cannot make a folder for the sockets (" + name + "): " + std::strerror(errno));
    path_ = name;
    fresh_ = true;
}

SocketFolder::~SocketFolder()
{
    if (fresh_)
        rmdir(path_.c_str()); // the servers have removed their sockets
}

std::string CameraSocketPath(const std::string &portSocket)
{
    const std::string suffix = ".sock";
    if (portSocket.size() > suffix.size() &&
        portSocket.compare(portSocket.size() - suffix.size(), suffix.size(), suffix) == 0)
        return portSocket.substr(0, portSocket.size() - suffix.size()) + "-camera" + suffix;
    return portSocket + "-camera";
}

int ListenAt(const std::string &path, int type, int backlog)
{
    const sockaddr_un address = Address(path);
    CheckSocketFolder(path);
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode))
            throw std::runtime_error(path + " exists and is not a socket; not replacing it");
        if (info.st_uid != geteuid())
            throw std::runtime_error(path + " is a socket of user " + std::to_string(info.st_uid) +
                                     "; not replacing it");
        if (SomeoneListens(address, type))
            throw std::runtime_error("another robot-sim is already running at " + path);
        unlink(path.c_str()); // left behind by a simulator that ended without cleaning up
    }
    const int fd = socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("cannot create a socket: ") + std::strerror(errno));
    // Only this user may connect: the socket is made with no rights for others.
    const mode_t old = umask(077);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    const int bindError = errno;
    umask(old);
    if (!bound || listen(fd, backlog) != 0) {
        const std::string why = std::strerror(bound ? errno : bindError);
        close(fd);
        if (bound)
            unlink(path.c_str());
        throw std::runtime_error("cannot listen at " + path + ": " + why);
    }
    return fd;
}

Acceptor::Acceptor(int listenFd, std::string what, int flags)
    : listenFd_(listenFd), what_(std::move(what)), flags_(flags)
{
}

int Acceptor::PollFd() const { return resumeNs_ ? -1 : listenFd_; }

int Acceptor::PollTimeoutMs() const
{
    if (!resumeNs_)
        return -1;
    const int64_t left = resumeNs_ - MonotonicNs();
    return left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
}

int Acceptor::Accept()
{
    if (resumeNs_) {
        if (MonotonicNs() < resumeNs_)
            return -1;
        resumeNs_ = 0;
    }
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, flags_);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue; // that one connection failed; others may wait
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return -1;
            // Out of descriptors or memory: the connection stays queued, and
            // poll would report it again at once. Wait a while instead.
            if (!failing_)
                std::fprintf(stderr, "robot-sim: cannot accept connections on %s: %s; trying again every %d ms\n",
                             what_.c_str(), std::strerror(errno), PauseMs);
            failing_ = true;
            resumeNs_ = MonotonicNs() + int64_t(PauseMs) * 1'000'000;
            return -1;
        }
        if (failing_) {
            std::fprintf(stderr, "robot-sim: accepting connections on %s again\n", what_.c_str());
            failing_ = false;
        }
        const uid_t peer = simproto::PeerUser(fd);
        if (peer == geteuid())
            return fd;
        // The socket's rights keep others out; this catches rights loosened later.
        if (!toldRefusal_)
            std::fprintf(stderr, "robot-sim: refused a connection on %s from user %ld (only user %ld may connect)\n",
                         what_.c_str(), peer == static_cast<uid_t>(-1) ? -1L : static_cast<long>(peer),
                         static_cast<long>(geteuid()));
        toldRefusal_ = true;
        close(fd);
    }
}
