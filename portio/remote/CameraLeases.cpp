#include "portio/remote/CameraLeases.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace remotenode {
using remoteproto::CameraAsk;
using remoteproto::CameraState;

CameraState CameraLeases::Ask(const CameraAsk &ask, int64_t now)
{
    const Client client{ask.Host, ask.Port};
    const int64_t until = now + int64_t(ask.LeaseMs) * 1'000'000;
    const auto it = until_.find(client);
    if (it != until_.end()) {
        it->second = std::max(it->second, until);
        return CameraState::Sending;
    }
    if (until_.size() >= MaxCameraClients)
        return CameraState::Full;
    until_.emplace(client, until);
    return CameraState::Sending;
}

void CameraLeases::Expire(int64_t now)
{
    for (auto it = until_.begin(); it != until_.end();)
        it = it->second <= now ? until_.erase(it) : std::next(it);
}

std::vector<CameraLeases::Client> CameraLeases::Clients() const
{
    std::vector<Client> clients;
    for (const auto &entry : until_)
        clients.push_back(entry.first);
    return clients;
}

int64_t CameraLeases::NextNs() const
{
    int64_t next = std::numeric_limits<int64_t>::max();
    for (const auto &entry : until_)
        next = std::min(next, entry.second);
    return next;
}

} // namespace remotenode
