#pragma once
// The simulator's end of the port library's socket: a local sequenced-packet
// socket served by a thread of its own, so that register reads are answered
// at once whatever the window is doing. Clients are served in turn, a few
// packets each, so that none can hold the others up. While the motors run,
// the process in charge of them is watched: stopped (SIGSTOP, a debugger),
// its motors stop. Owns the socket file for its life.
#include "sim/app/SharedRobot.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class PortServer {
public:
    // Answers a query with one line of JSON for the time given.
    using QueryFunction = std::function<std::string(int64_t ns)>;

    // Listens at `path` (see ListenAt: only this user may connect). A socket
    // file left behind by a simulator that is no longer running is replaced; a
    // live simulator at that path, a file that is not a socket of this user,
    // or a folder open to others' writes is an error (std::runtime_error).
    PortServer(const std::string &path, SharedRobot &robot, QueryFunction query);
    ~PortServer();
    PortServer(const PortServer &) = delete;
    PortServer &operator=(const PortServer &) = delete;

    const std::string &path() const { return path_; }

private:
    struct Client;
    void Run();
    // Looks at the process in charge of running motors when it is time and
    // stops them when it stands stopped; the poll timeout until the next
    // look (-1: none due).
    int WatchDriver(const std::vector<Client> &clients);

    std::string path_;
    SharedRobot &robot_;
    QueryFunction query_;
    int listenFd_ = -1;
    int wakeFd_ = -1; // an eventfd that ends the thread
    std::thread thread_;
    // The server thread's, for WatchDriver.
    uint64_t watched_ = 0;   // the client watched; 0: none
    int stoppedSeen_ = 0;    // looks in a row that found it stopped
    int64_t nextLookNs_ = 0;
};
