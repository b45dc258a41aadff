#pragma once
// The client side of the simulator's socket: one connection, made when it is
// first needed and made again after the simulator went away, at most once per
// retry interval (a new socket path is tried at once). Nothing here blocks for
// longer than the timeouts given: without a simulator writes go nowhere and
// reads give nothing.
//
// Not thread-safe; the owner serialises calls.
#include "sim/protocol/SimProtocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace simproto {

// Why the link is not connected, as of the last attempt.
enum class LinkProblem {
    None,      // connected, or not tried yet
    NoPath,    // no socket path is known
    NoAnswer,  // nothing answers at the path, or the simulator went away
    OtherUser, // the server at the path belongs to another user: refused
};

class SimLink {
public:
    // `path` empty: SocketPath(), looked up at every connection attempt.
    explicit SimLink(int64_t retryIntervalNs = 1'000'000'000, std::string path = {});
    ~SimLink();
    SimLink(const SimLink &) = delete;
    SimLink &operator=(const SimLink &) = delete;

    // Sends a register write stamped `ns`. A write the simulator cannot take
    // within a short while is dropped. False when it did not go out.
    bool Write(int16_t port, int16_t value, int64_t ns);
    // Asks for a register's value at `ns`; nothing on timeout or without a
    // simulator. A late answer to an earlier read is recognised and dropped.
    std::optional<int16_t> Read(int16_t port, int64_t ns, int timeoutMs);
    // The simulator's state as one line of JSON; nothing on timeout.
    std::optional<std::string> Query(int timeoutMs);

    // Connects now if not connected (at most once per retry interval);
    // whether it is connected. Never waits.
    bool Connect() { return EnsureConnected(); }
    // Lets the simulator go: it stops the motors of a controller that leaves.
    void Disconnect();

    bool Connected() const { return fd_ >= 0; }
    LinkProblem Problem() const { return problem_; }
    // The path of the last connection attempt.
    const std::string &Path() const { return lastPath_; }
    // The user of the server refused last (LinkProblem::OtherUser).
    uid_t RefusedUser() const { return refusedUser_; }

private:
    bool EnsureConnected();
    bool Send(const PortMessage &message, int timeoutMs);
    // Waits until `deadline` (monotonic ns) for one packet; 0 on a time-out or
    // when the simulator has gone (then the link is closed).
    ssize_t ReceivePacket(char *buffer, size_t size, int64_t deadline);

    int fd_ = -1;
    uint32_t sequence_ = 0;
    int64_t retryIntervalNs_;
    int64_t lastAttemptNs_ = 0;
    bool attempted_ = false;
    std::string lastPath_;
    std::string fixedPath_;
    LinkProblem problem_ = LinkProblem::None;
    uid_t refusedUser_ = static_cast<uid_t>(-1);
};

} // namespace simproto
