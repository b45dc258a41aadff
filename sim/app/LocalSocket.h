#pragma once
// robot-sim's local sockets: the folder they live in, how they are opened so
// that only this user reaches them, and how connections are taken in when the
// process may be out of file descriptors.
#include <cstdint>
#include <string>
#include <sys/types.h>

// The folder for robot-sim's sockets when none is named: XDG_RUNTIME_DIR when
// it is a private folder of this user, else a fresh folder made with mkdtemp
// in TMPDIR (else /tmp) and removed again (once empty) with this object.
class SocketFolder {
public:
    SocketFolder(); // std::runtime_error when no folder can be made
    ~SocketFolder();
    SocketFolder(const SocketFolder &) = delete;
    SocketFolder &operator=(const SocketFolder &) = delete;

    const std::string &path() const { return path_; }
    // Whether this object made the folder.
    bool fresh() const { return fresh_; }

private:
    std::string path_;
    bool fresh_ = false;
};

// The camera's socket beside the port socket at `portSocket`:
// ".../robot-sim.sock" gives ".../robot-sim-camera.sock".
std::string CameraSocketPath(const std::string &portSocket);

// Refuses (std::runtime_error) a socket path whose folder does not belong to
// this user (or to root) or is open to others' writes: another user could
// remove the socket there and put one of theirs in its place.
void CheckSocketFolder(const std::string &path);

// Listens at `path` with a non-blocking local socket of `type` (SOCK_STREAM,
// SOCK_SEQPACKET) that only this user may connect to, in a folder that passes
// CheckSocketFolder. A socket file that a robot-sim
// of this user left behind is replaced; a live one, a file of another user or
// anything that is not a socket is an error (std::runtime_error).
int ListenAt(const std::string &path, int type, int backlog);

// Takes connections in from a listening socket. A connection of another user
// is closed at once. When accept fails for want of resources (no descriptors
// left, no memory), that is said once on standard error and the socket is left
// alone for a pause instead of being retried at once, so that the server does
// not spin; it is said once more when connections come in again.
class Acceptor {
public:
    // Pause after a failed accept.
    static constexpr int PauseMs = 100;

    // `what` names the socket in messages; `flags` as for accept4.
    Acceptor(int listenFd, std::string what, int flags);

    // One waiting connection of this user, or -1 when there is none now (or
    // while paused).
    int Accept();
    // The descriptor to poll for connections: the listening socket, or -1
    // while paused (poll ignores it then).
    int PollFd() const;
    // The poll timeout until the pause ends: -1 when not paused.
    int PollTimeoutMs() const;

private:
    int listenFd_;
    std::string what_;
    int flags_;
    int64_t resumeNs_ = 0; // end of the pause; 0: not paused
    bool failing_ = false;  // since the last failure, nothing was accepted
    bool toldRefusal_ = false;
};
