#pragma once
// Where robot-node sends the robot's camera: each program's UDP address, until
// its ask's lease lapses. No I/O: the node and its tests.
#include "portio/remote/RemoteProtocol.h"

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace remotenode {

// The most addresses the node sends its camera to at once.
constexpr size_t MaxCameraClients = 4;

// Who the stream goes to, each until its lease lapses. No I/O.
class CameraLeases {
public:
    struct Client {
        std::string Host;
        uint16_t Port = 0;
        bool operator<(const Client &o) const { return std::tie(Host, Port) < std::tie(o.Host, o.Port); }
        bool operator==(const Client &o) const { return Host == o.Host && Port == o.Port; }
    };
    // An ask at `now`: Sending (taken or renewed) or Full.
    remoteproto::CameraState Ask(const remoteproto::CameraAsk &ask, int64_t now);
    // Drops the leases lapsed at `now`.
    void Expire(int64_t now);
    std::vector<Client> Clients() const;
    // The next lapse, or INT64_MAX.
    int64_t NextNs() const;

private:
    std::map<Client, int64_t> until_; // the lease's end, node's clock
};

} // namespace remotenode
