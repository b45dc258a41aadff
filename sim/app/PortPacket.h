#pragma once
// One packet from a client of the port socket, taken apart and answered: the
// port server's work on what a client sends, free of sockets.
#include "sim/app/SharedRobot.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Answers a query with one line of JSON for the time given.
using PortQueryFunction = std::function<std::string(int64_t ns)>;

// A client of the port socket, as the server keeps it.
struct PortClient {
    uint64_t id = 0;         // the connection's number, its own (0: none)
    bool controller = false; // it has made a register access
};

// Handles one packet of `client` that was `size` bytes long, of which `data`
// holds the first min(size, sizeof(simproto::PortMessage)). A register write
// or read goes to the robot (the first one of a client sets its `controller`
// and tells the robot a control program arrived); a query is answered by
// `query` at the simulator's time. A packet of any other size or kind is
// ignored. Returns the bytes to send back, empty for none.
std::string HandlePortPacket(SharedRobot &robot, const PortQueryFunction &query, PortClient &client,
                             const void *data, size_t size);
