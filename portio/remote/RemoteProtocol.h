#pragma once
// What the program's remote port library and robot-node say to each other
// through an MQTT broker: the topics, every message's encoding and decoding,
// the robot's name and the broker's address. No I/O: the library, the node,
// their tests and the fuzz harness all call it.
//
// Topics, one folder per robot, so that a broker's ACL can give a robot's
// user its own folder's node side and an operator the drive topic of the
// robots granted:
//   robot/<name>/online   the node: "online" (retained) while it serves, "offline" (its last will)
//   robot/<name>/status   the node: the status byte, at every change and every 50 ms
//   robot/<name>/node     the node: its answers to one program (session, busy, pong)
//   robot/<name>/drive    the program: hello, ping, write, renew, bye, gone (its last will),
//                         camera (asks for the robot's camera stream)
//
// A message is one line of ASCII words, "rn1 <kind> <fields...>", single
// spaces, nothing else; numbers in decimal without sign or leading zeros,
// identities as 16 lowercase hex digits. Anything else is not ours: decoding
// gives nothing, and the receiver counts it and goes on.
//
// Sessions. A program names itself with a random identity (`Program`) and
// asks for a session (hello); the node grants one under a random identity of
// its own choosing (`Session`), never used again, while no other program
// drives, and takes writes of that session only, each with a sequence number
// above the last one taken. So a replayed message, a late duplicate or a
// write of an earlier or another program's session is dropped. Who may
// publish on a robot's drive topic at all is the broker's to decide (its
// users and access list, TLS); the messages carry no secret.
//
// Times are the sender's CLOCK_BOOTTIME in nanoseconds (LinkNs): it goes on
// while a laptop sleeps, so a write stamped before a sleep is late after it.
// A write's `AtNs` is in the node's clock: the library matches the clocks
// with hello/ping and stamps each write with the moment the node is to apply
// it.
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace remoteproto {

// The clock of every time in the messages: CLOCK_BOOTTIME in nanoseconds.
inline int64_t LinkNs()
{
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The settled numbers of the link (docs/hardware/remote.md states them).
constexpr int DefaultLeaseMs = 300;      // a motor code stands this long without renewal
constexpr int MinLeaseMs = 50, MaxLeaseMs = 5000;
constexpr int DefaultDelayMs = 30;       // a write is applied this long after the program made it
constexpr int MaxDelayMs = 500;
constexpr int DefaultStatusLimitMs = 300; // an older status is no reading
constexpr int StatusEveryMs = 50;         // the node's steady status rate
constexpr int PingEveryMs = 1000;         // the library's clock samples
constexpr int SessionIdleMs = 3000;       // a session silent this long may be taken over
constexpr int DefaultPort = 1883, DefaultTlsPort = 8883;
constexpr size_t MaxPayload = 200;
constexpr size_t MaxNameLength = 32;
// The robot's camera: a stream stands this long after its last ask.
constexpr int CameraLeaseMs = 1000;
constexpr int CameraMinLeaseMs = 100, CameraMaxLeaseMs = 5000;
constexpr int CameraAskEveryMs = 250; // the program's renewals, also the camera clock's samples

enum class Channel { Online, Status, Node, Drive };

struct Topics {
    std::string Online, Status, Node, Drive;
};
// The topics of the robot `name` (a valid name: ValidRobotName).
Topics TopicsOf(const std::string &name);
// Subscribing to it lists every robot's presence.
constexpr const char *EveryOnlineTopic = "robot/+/online";
// The robot's name in "robot/<name>/online", or nothing for any other topic.
std::optional<std::string> RobotOfOnlineTopic(std::string_view topic);
// 1 to 32 of A-Z a-z 0-9 _ - ; else false with what is wrong in `why`.
bool ValidRobotName(const std::string &name, std::string *why = nullptr);

// Program -> node (drive topic).
struct Hello {
    uint64_t Program = 0;
    int64_t SentNs = 0; // the program's clock
};
struct Ping {
    uint64_t Session = 0;
    int64_t SentNs = 0; // the program's clock
};
// A data-register write. A renewal keeps a code that still stands at the
// robot for another lease and never sets one; an end (the program's clean
// end) writes 0 where a code stands and closes the session.
enum class WriteKind { Write, Renew, End };
struct Write {
    WriteKind Kind = WriteKind::Write;
    uint64_t Session = 0;
    uint64_t Seq = 0;    // 1, 2, ... within the session
    int64_t AtNs = 0;    // the node's clock
    uint32_t LeaseMs = 0; // Write and Renew: MinLeaseMs..MaxLeaseMs
    uint8_t Value = 0;    // End: 0
};
struct Gone {
    uint64_t Program = 0; // the program's last will: its link broke
};
// Asks for the robot's camera, sent as RTP to Host:Port (UDP) for LeaseMs
// from the node's taking it; renewed while the program wants it. Only a
// client the broker lets publish on the drive topic can ask. Needs no session:
// a program that does not drive may still watch.
struct CameraAsk {
    uint64_t Program = 0;
    std::string Host;    // an IPv4 or IPv6 address in its usual text form
    uint16_t Port = 0;   // 1..65535
    uint32_t LeaseMs = 0; // CameraMinLeaseMs..CameraMaxLeaseMs
    int64_t SentNs = 0;  // the program's clock
};

// Node -> program (node topic).
struct Granted {
    uint64_t Program = 0;
    uint64_t Session = 0;
    int64_t SentNs = 0; // the hello's time, given back
    int64_t NodeNs = 0;
};
struct Busy {
    uint64_t Program = 0; // refused: another program drives this robot
};
struct Pong {
    uint64_t Session = 0;
    int64_t SentNs = 0;
    int64_t NodeNs = 0;
};
struct Probe {
    uint64_t Node = 0; // the node's own round trip at its start
};
// The node's answer to a CameraAsk: the ask's time given back and the node's
// time (a round trip for the camera's clock), and what the node does.
enum class CameraState { Sending, Off, Full, Failed };
struct CameraAnswer {
    uint64_t Program = 0;
    int64_t SentNs = 0;
    int64_t NodeNs = 0;
    CameraState State = CameraState::Sending;
};

// Node -> everyone (status topic).
struct Status {
    uint64_t Node = 0;
    int64_t NodeNs = 0;   // when the status byte was read
    uint8_t Byte = 0;     // the status register
    uint8_t Data = 0;     // what the data register holds at the robot
    bool Ok = true;       // false: the robot's own port failed (its log says how)
    uint64_t Session = 0; // the session that drives, 0 for none
    uint64_t Seq = 0;     // the last write taken in it
    uint32_t Lapses = 0;  // leases lapsed since the node started
    uint32_t Late = 0;    // writes applied late (after their time)
    uint32_t Ignored = 0; // messages not ours, replays, writes of other sessions
};

// Node -> everyone (online topic, retained).
struct Online {
    uint64_t Node = 0;
    std::string Port; // its port library: hardware, ftdi, gpio, firmata, recording, sim
};
struct Offline {
    uint64_t Node = 0;
};

using Message = std::variant<Hello, Ping, Write, Gone, CameraAsk, Granted, Busy, Pong, Probe, CameraAnswer, Status,
                             Online, Offline>;

// The channel a message travels on.
Channel ChannelOf(const Message &message);
std::string Encode(const Message &message);
// The message, when `payload` is one of ours and belongs on `channel`.
std::optional<Message> Decode(Channel channel, std::string_view payload);

// A fresh random identity (never 0), from the kernel's random source.
uint64_t RandomId();
std::string IdText(uint64_t id);

// The broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS); HOST a name,
// an IPv4 address or [an IPv6 address].
struct BrokerAddress {
    bool Tls = false;
    std::string Host;
    int Port = DefaultPort;
    std::string Text() const;
};
std::optional<BrokerAddress> ParseBroker(std::string_view text, std::string *why = nullptr);

// A whole number of milliseconds within [min, max] from a setting's text;
// nothing for anything else.
std::optional<int> ParseMs(std::string_view text, int min, int max);

} // namespace remoteproto
