#pragma once
// What the virtual robot's port library and the simulator say to each other
// over a local (Unix domain) sequenced-packet socket. Every message is one
// packet, so a message is never split or merged with another.
//
//   client → simulator  PortMessage: a register write, a register read, or a
//                       query of the simulator's state
//   simulator → client  PortMessage with the value for a read (same sequence
//                       number); the answer to a query as one packet of JSON
//                       text, which starts with '{' where a read's answer
//                       starts with its kind 'R'
//
// Plain C++ without Qt: the port library is loaded into the control program
// and must not bring a second toolkit along.
#include <cstdint>
#include <string>

namespace simproto {

// Message kinds.
constexpr uint32_t KindWrite = 'W'; // Out32: no answer
constexpr uint32_t KindRead = 'R';  // Inp32: answered with the register's value
constexpr uint32_t KindQuery = 'Q'; // answered with one line of JSON (see the simulator)

struct PortMessage {
    uint32_t kind = 0;
    uint32_t sequence = 0; // a read's answer carries its request's number
    int64_t monotonicNs = 0; // CLOCK_MONOTONIC of the access, taken by the caller
    int16_t port = 0;
    int16_t value = 0;
    uint32_t reserved = 0;
};
static_assert(sizeof(PortMessage) == 24, "the packet layout is fixed");

// Largest query answer.
constexpr size_t MaxQueryAnswer = 4096;

// Environment variable that names the socket; both sides read it.
constexpr const char *SocketVariable = "ROBOT_SIM_SOCKET";

// The socket's name in a folder of its own.
constexpr const char *SocketFileName = "robot-sim.sock";

// The socket's path: ROBOT_SIM_SOCKET, else robot-sim.sock in XDG_RUNTIME_DIR
// when that is a private folder of this user; else empty (robot-sim then made
// a folder of its own and said where on its ready line).
std::string SocketPath();

} // namespace simproto
